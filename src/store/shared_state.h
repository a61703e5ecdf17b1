// SharedState: what the processes that hold a store with multiprocess=True
// share, and how they claim it.
//
// Each such process holds a shared flock on the store directory, which the
// one-process way's exclusive flock (dir_lock.h) refuses and is refused by.
// Beside it, shared.bin (format.h) holds one page that every such process
// maps, and carries three byte-range locks. They are open-file-description
// locks: the kernel drops them when the process dies, and they rest neither
// on process ids (which collide across PID namespaces) nor on a robust
// mutex, nor are they lost when the process closes another descriptor of
// the file, as POSIX record locks would be.
//   member  shared by every holder; taken exclusively by the first one,
//           while it builds the page anew from the store's files
//   writer  the one writer: held for every change, persist, vacuum and
//           transaction
//   sync    the one wait on the disk
//
// The page tells every process what the log holds (format.h): a process
// that loads an unchanged version knows, without a system call, that
// nothing changed. Fields change only under the writer lock, each with one
// atomic store; version is bumped last.
//
// File systems whose locks or shared mappings cannot be trusted between
// machines (network and FUSE file systems) are refused.
//
// Thread-safety: the loads and stores are atomic; the locks are the
// caller's to pair (Db serialises its threads in front of them).

#ifndef MARROW_STORE_SHARED_STATE_H_
#define MARROW_STORE_SHARED_STATE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "store/error.h"
#include "store/format.h"
#include "store/fs.h"
#include "store/function_ref.h"
#include "store/io.h"

namespace marrow::store {

class SharedState {
 public:
  // Claims `dir` the multiprocess way and maps shared.bin. When no other
  // process holds the store, `rebuild` runs first, with the store to this
  // process alone: it readies the files and returns the end of the log's
  // whole records, from which the page is made anew.
  static Result<std::unique_ptr<SharedState>> Open(
      FileSystem& fs, const std::string& dir,
      FunctionRef<Result<uint64_t>()> rebuild);

  SharedState(const SharedState&) = delete;
  SharedState& operator=(const SharedState&) = delete;

  uint64_t Load(uint64_t field) const {
    return __atomic_load_n(Field(field), __ATOMIC_ACQUIRE);
  }
  void Store(uint64_t field, uint64_t value) {
    __atomic_store_n(Field(field), value, __ATOMIC_RELEASE);
  }
  // Whether shared.bin still holds the page: a file cut to nothing behind
  // the processes would make their next access of it raise SIGBUS. Fails
  // with an early end of file then.
  Status CheckPage() const;

  // Version bumped after the fields it covers were stored.
  void Publish() {
    __atomic_fetch_add(Field(kSharedVersionAt), 1, __ATOMIC_ACQ_REL);
  }

  // Waits for the writer or the sync lock; unlocking cannot fail.
  Status LockWriter() { return Lock(kSharedWriterLock); }
  // False when another process holds it.
  Result<bool> TryLockWriter();
  void UnlockWriter() { Unlock(kSharedWriterLock); }
  Status LockSync() { return Lock(kSharedSyncLock); }
  void UnlockSync() { Unlock(kSharedSyncLock); }

  // The message of an open refused because the store is held the other way.
  static const char kHeldOneProcess[];
  static const char kHeldMultiprocess[];

 private:
  SharedState(UniqueFd dir, UniqueFd file, Mapping page)
      : dir_(std::move(dir)), file_(std::move(file)), page_(std::move(page)) {}
  uint64_t* Field(uint64_t at) const {
    return reinterpret_cast<uint64_t*>(page_.data() + at);
  }
  Status Lock(uint64_t byte);
  void Unlock(uint64_t byte);

  UniqueFd dir_;   // holds the shared flock
  UniqueFd file_;  // shared.bin, holds the member lock
  Mapping page_;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_SHARED_STATE_H_
