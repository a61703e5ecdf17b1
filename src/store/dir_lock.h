// DirectoryLock: one store directory's claim by this process.
//
// A process holds one descriptor per store directory, with an exclusive,
// non-blocking flock(2) on it, shared by every Db of the process that uses
// the directory; the last one to go closes it, and the kernel drops the lock
// when the process dies. Another process that tries to open the directory
// meanwhile fails with "would block". The lock is on the directory itself,
// so vacuum's renames inside it do not touch it.
//
// A fork child does not share its parent's locks: its open takes its own,
// which the parent's refuses.
//
// Within the process, a Db opened on a directory that another live Db
// holds first writes out that Db's log buffer, so the new one replays every
// change made through the old one.
//
// Thread-safety: Acquire and Register are safe to call from any thread.

#ifndef MARROW_STORE_DIR_LOCK_H_
#define MARROW_STORE_DIR_LOCK_H_

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/error.h"
#include "store/io.h"

namespace marrow::store {

class WalHandle;

class DirectoryLock {
 public:
  // The lock on `dir` (which exists), shared with other Dbs of this process.
  // Writes out the log buffers of those Dbs. Fails with an I/O error by kind
  // (would block when another process holds the directory).
  static Result<std::shared_ptr<DirectoryLock>> Acquire(FileSystem& fs,
                                                        const std::string& dir);

  // A log writer whose buffer later opens of the directory write out.
  void Register(const std::shared_ptr<WalHandle>& wal);

  struct Key {
    FileSystem* fs;
    uint64_t device;
    uint64_t inode;
    auto operator<=>(const Key&) const = default;
  };
  DirectoryLock(UniqueFd fd, Key key, uint64_t fork_epoch)
      : fd_(std::move(fd)), key_(key), fork_epoch_(fork_epoch) {}
  ~DirectoryLock();

 private:
  void WriteOutLogs();

  UniqueFd fd_;
  Key key_;
  uint64_t fork_epoch_;  // a fork child's copy is its parent's lock
  std::mutex mu_;
  std::vector<std::weak_ptr<WalHandle>> writers_;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_DIR_LOCK_H_
