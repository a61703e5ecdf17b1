// Db: one open store directory, the engine half of a Marrow object.
//
// A Db owns a StoreHandle (the in-memory Store and its reader/writer lock)
// and a WalHandle (the log writer and its lock). Every public method takes
// the locks in the modes the store's methods need, always the store lock
// before the log lock, runs one engine operation and releases them, also
// when it fails. Failures are returned, never thrown.
//
// Durability: a change reaches the log's buffer when its call returns, the
// file when the buffer is written out (it fills up, Sync, Persist, Vacuum,
// the Db is destroyed), so it survives a crash of the process from then on;
// it survives a power loss once Sync, Persist or Vacuum has returned.
//
// Ownership and lifetime: Open returns the only owner. Destroying a Db
// destroys the Store first (unmap offsets.bin, close the record files), then
// the log writer (its buffer is written out, errors ignored).
//
// Thread-safety: the methods may be called from several threads; the locks
// serialise them, and Sync waits on the disk without them, so writers keep
// going and syncs that overlap share one wait. Callbacks run with the store
// lock held and must not call back into the same Db. Every change takes the
// writer lock (writer_lock.h) first, which EnterWriter holds for a
// transaction.
//
// Several processes (OpenShared): the store is read and written by every
// process that opens it so (shared_store.h); each call first follows what
// the others changed, and a change reaches wal.bin before it returns.
//
// Fork: a Db belongs to the process that opened it. In a child its methods
// fail and its destruction writes nothing (fork_epoch.h).

#ifndef MARROW_STORE_DB_H_
#define MARROW_STORE_DB_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/error.h"
#include "store/format.h"
#include "store/fork_epoch.h"
#include "store/fs.h"
#include "store/function_ref.h"
#include "store/write_op.h"
#include "store/writer_lock.h"

namespace marrow::store {

class StoreHandle;
class WalHandle;
class DirectoryLock;
class SharedState;
struct SharedView;

Status AsIoFailure(Status s);

struct CacheStats {
  uint64_t entries = 0;
  uint64_t capacity = 0;
};

class Db {
 public:
  static constexpr uint64_t kCacheUnbounded = UINT64_MAX;

  // Opens or creates the store in `path` (created with its ancestors).
  // Every file call goes through `fs`, which must outlive the Db. The value
  // cache keeps at most `cache_size` entries and `cache_bytes` bytes of
  // values (value_cache.h).
  static Result<std::unique_ptr<Db>> Open(
      const std::string& path, uint64_t cache_size,
      FileSystem& fs = PosixFileSystem(),
      uint64_t cache_bytes = kCacheUnbounded);
  // Opens the store in `path` read-only (reader.h): no lock, nothing
  // written; changes fail with a read-only failure. The directory must
  // exist.
  static Result<std::unique_ptr<Db>> OpenReader(
      const std::string& path, uint64_t cache_size,
      FileSystem& fs = PosixFileSystem(),
      uint64_t cache_bytes = kCacheUnbounded);
  // Opens or creates the store in `path` to be written by this process and
  // every other that opens it so too. Refused (would block) while a
  // process holds it the one-process way, and on file systems that cannot
  // be trusted with locks (shared_state.h).
  static Result<std::unique_ptr<Db>> OpenShared(
      const std::string& path, uint64_t cache_size,
      FileSystem& fs = PosixFileSystem(),
      uint64_t cache_bytes = kCacheUnbounded);

  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;
  ~Db();

  // A refusal when a value of `len` bytes is longer than a record can
  // describe: the check SetBytes makes, for callers that want it before
  // copying the value.
  static Status CheckValueLength(size_t len);

  // Logs a Put, then stores the record. The key is UTF-8 text.
  // Whether the caller already serialised the change with transactions:
  // it holds the writer lock, or it knows that none can begin meanwhile
  // (the binding, with the interpreter lock held and no transaction
  // counted; see CountTransaction).
  enum class WriterHeld : bool { kNo, kByCaller };
  Status SetBytes(std::string_view key, std::string value,
                  WriterHeld held = WriterHeld::kNo);
  // From now on a single put of a large value writes it once, as a placed
  // put (format.h), in the one-process way. The package's own type asks for
  // it; the raw class keeps logging every value in a Put record.
  void PlaceLargeValues() { place_large_values_ = true; }
  // Would SetBytes place a value of `len` bytes? Then SetPlacedBytes does
  // the same from a view of it, which must stay unchanged for the call.
  bool PlacesValue(size_t len) const {
    return len >= kWalPlacedMinValue && place_large_values_ &&
           wal_ != nullptr;
  }
  Status SetPlacedBytes(std::string_view key, std::string_view value,
                        WriterHeld held = WriterHeld::kNo);
  // The puts and deletes in order as one batch: one frame in the log, which
  // every later open and reader applies whole or not at all, and one write
  // per record file; the record files end up byte for byte as the single
  // calls would leave them. Every op is checked before anything is logged,
  // and a failure leaves none of the batch stored.
  Status Commit(std::vector<WriteOp> ops);
  // The same over bytes the caller keeps alive and unchanged until it
  // returns (write_op.h).
  Status Commit(std::span<const WriteView> ops);
  // Logs a Delete (also for an absent key), then removes the key.
  Result<bool> Delete(std::string_view key, WriterHeld held = WriterHeld::kNo);

  // Calls `sink` with the value under the store lock (the bytes are valid
  // only during the call) and returns true, or returns false when absent.
  Result<bool> GetBytes(std::string_view key,
                        FunctionRef<void(std::string_view)> sink);
  // One lock hold for the batch. `sink(i, value)` runs for each key in
  // order, with nullptr for an absent key. On a failure no further key is
  // read.
  Status GetMany(std::span<const std::string_view> keys,
                 FunctionRef<void(size_t, const std::string_view*)> sink);

  // Every change made before the call survives a power loss when it
  // returns: the log is written out and synced (with its directory entry
  // when persist or vacuum put a new log in place). Costs what changed since
  // the last sync, not the store's size. After a failed sync the log can no
  // longer be trusted, and the next Sync persists instead. A reader has
  // nothing to sync.
  Status Sync();
  Status Persist(WriterHeld held = WriterHeld::kNo);
  Status Vacuum(WriterHeld held = WriterHeld::kNo);
  // A reader catches up with the writer (reader.h); a writer has nothing to
  // do.
  Status Refresh();
  bool read_only() const { return wal_ == nullptr && shared_ == nullptr; }
  bool shared() const { return shared_ != nullptr; }

  // The writer lock, for a transaction: while this thread holds it no other
  // thread or process commits a change, and this one's changes go through.
  // Calls nest. TryEnterWriter returns false instead of waiting, and when
  // EnterWriter would fail (which then says why).
  Status EnterWriter() {
    if (forked()) return ForkedFailure();
    if (writer_.Lock() == 1 && shared_ != nullptr) return LockShared();
    return {};
  }
  // Transactions under way, counted by the caller around EnterWriter and
  // ExitWriter: while there are none, no holder of the writer lock waits
  // for its caller's own threads.
  void CountTransaction(int delta) {
    transactions_.fetch_add(delta, std::memory_order_relaxed);
  }
  bool transactions() const {
    return transactions_.load(std::memory_order_relaxed) != 0;
  }
  bool TryEnterWriter() {
    if (forked()) return false;
    const int depth = writer_.TryLock();
    return depth > 1 || (depth == 1 && (shared_ == nullptr || TryLockShared()));
  }
  void ExitWriter();
  bool writer_held() const { return writer_.Mine(); }

  Result<uint64_t> Len();
  // Live keys in ascending RecordId order. Keys of records loaded from a
  // snapshot are read back from keys.bin, so this can fail on damaged files.
  Result<std::vector<std::string>> Keys();
  // The same texts handed to `sink` one at a time, without collecting them.
  Status ForEachKey(FunctionRef<void(std::string_view)> sink);
  CacheStats GetCacheStats();
  void ClearCache();

  const std::string& path() const { return path_; }

 private:
  Db(std::string path, std::shared_ptr<StoreHandle> store,
     std::shared_ptr<WalHandle> wal, std::shared_ptr<DirectoryLock> lock);
  // Persist with the WalHandle's sync mutex held.
  Status PersistLocked();
  bool place_large_values_ = false;
  // A failure when the process is a fork child of the one that opened it.
  bool forked() const { return fork_epoch_ != ForkEpoch(); }
  static Failure ForkedFailure();
  Status Usable() const { return forked() ? ForkedFailure() : Status(); }
  // The other processes' side of the writer lock; on failure this thread's
  // side is released too.
  Status LockShared();
  bool TryLockShared();
  class Writing;

  // The multiprocess forms, with the writer lock held where they change.
  Status CommitShared(std::vector<WriteOp> ops, bool batch, bool* found);
  Status RewriteShared(bool vacuum, WriterHeld held = WriterHeld::kNo);
  Status SyncShared();
  // With the store lock held exclusively: Usable, and in the multiprocess
  // way catching up with the other processes.
  Status FollowLocked() {
    if (!forked() && shared_ == nullptr) return {};
    return FollowShared();
  }
  Status FollowShared();

  std::string path_;
  std::shared_ptr<StoreHandle> store_;
  std::shared_ptr<WalHandle> wal_;
  std::shared_ptr<DirectoryLock> lock_;
  WriterLock writer_;
  std::atomic<int> transactions_{0};
  const uint64_t fork_epoch_;
  std::unique_ptr<SharedState> shared_;
  std::unique_ptr<SharedView> view_;  // guarded by the store lock
};

}  // namespace marrow::store

#endif  // MARROW_STORE_DB_H_
