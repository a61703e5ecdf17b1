#include "store/db.h"

#include <mutex>
#include <shared_mutex>

#include "store/dir_lock.h"
#include "store/format.h"
#include "store/fork_epoch.h"
#include "store/io.h"
#include "store/listing.h"
#include "store/persist.h"
#include "store/reader.h"
#include "store/reads.h"
#include "store/record_files.h"
#include "store/shared_state.h"
#include "store/shared_store.h"
#include "store/state.h"
#include "store/vacuum.h"
#include "store/writes.h"

namespace marrow::store {

using Exclusive = std::unique_lock<SharedMutex>;
using Shared = std::shared_lock<SharedMutex>;

namespace {

Failure NotWritable(const char* what) {
  return Failure::ReadOnly(std::string("not writable: ") + what +
                           " on a store opened read-only");
}

Status AsIo(Status s) {
  if (s.ok()) return s;
  return s.take_failure().As(FailureForm::kIoByKind);
}

}  // namespace

// In the multiprocess way every I/O failure is an OSError by kind; the
// store's refusals (limits, read-only) keep their forms.
Status AsIoFailure(Status s) {
  if (s.ok() || (s.failure().form != FailureForm::kInternal &&
                 s.failure().form != FailureForm::kPlainOs)) {
    return s;
  }
  return s.take_failure().As(FailureForm::kIoByKind);
}

// Holds the writer lock for one change; `status` tells whether it got it.
class Db::Writing {
 public:
  Writing(Db& db, WriterHeld held)
      : db_(held == WriterHeld::kNo ? &db : nullptr),
        status_(held == WriterHeld::kNo ? db.EnterWriter() : db.Usable()) {}
  ~Writing() {
    if (db_ != nullptr && status_.ok()) db_->ExitWriter();
  }
  Status& status() { return status_; }

 private:
  Db* db_;  // null when the caller holds it
  Status status_;
};

#define MARROW_WRITING(db, held)                    \
  Writing writing(db, held);                        \
  if (!writing.status().ok()) {                     \
    return writing.status().take_failure();         \
  }

Db::Db(std::string path, std::shared_ptr<StoreHandle> store,
       std::shared_ptr<WalHandle> wal, std::shared_ptr<DirectoryLock> lock)
    : path_(std::move(path)),
      store_(std::move(store)),
      wal_(std::move(wal)),
      lock_(std::move(lock)),
      fork_epoch_((CountForks(), ForkEpoch())) {}

Db::~Db() {
  // In a fork child the log's buffer is the parent's to write.
  if (fork_epoch_ != ForkEpoch() && wal_ != nullptr) wal_->writer().Abandon();
  // The Store first (unmap, close), then the log writer (write out its
  // buffer), and only then the locks.
  store_.reset();
  wal_.reset();
  shared_.reset();
  lock_.reset();
}

Failure Db::ForkedFailure() {
  return Failure::Runtime(
      "this store was opened before the process forked and belongs to the "
      "parent; open it again in this process");
}

Status Db::LockShared() {
  Status locked = shared_->LockWriter();
  if (!locked.ok()) writer_.Unlock();
  return locked;
}

bool Db::TryLockShared() {
  Result<bool> locked = shared_->TryLockWriter();
  if (locked.ok() && locked.value()) return true;
  writer_.Unlock();
  return false;
}

void Db::ExitWriter() {
  if (writer_.Unlock() == 0 && shared_ != nullptr) shared_->UnlockWriter();
}

Status Db::CheckValueLength(size_t len) {
  return CheckFieldLength("value", len);
}

Status Db::SetBytes(std::string_view key, std::string value,
                    WriterHeld held) {
  if (read_only()) return NotWritable("set_bytes()");
  MARROW_WRITING(*this, held);
  if (shared_ != nullptr) {
    std::vector<WriteOp> ops(1);
    ops[0].key = key;
    ops[0].value = std::move(value);
    return CommitShared(std::move(ops), /*batch=*/false, nullptr);
  }
  Exclusive s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::SetBytes(store_->store(), wal_->writer(), key,
                         std::move(value), place_large_values_);
}

Status Db::SetPlacedBytes(std::string_view key, std::string_view value,
                          WriterHeld held) {
  if (!PlacesValue(value.size())) {
    return SetBytes(key, std::string(value), held);
  }
  MARROW_WRITING(*this, held);
  Exclusive s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::SetPlaced(store_->store(), wal_->writer(), key, value);
}

Status Db::Commit(std::vector<WriteOp> ops) {
  if (shared_ != nullptr) {
    if (read_only()) return NotWritable("a batch");
    MARROW_WRITING(*this, WriterHeld::kNo);
    return CommitShared(std::move(ops), true, nullptr);
  }
  std::vector<WriteView> views(ops.size());
  for (size_t i = 0; i < ops.size(); ++i) {
    views[i] = {ops[i].key, ops[i].value, ops[i].erase};
  }
  return Commit(std::span<const WriteView>(views));
}

Status Db::Commit(std::span<const WriteView> ops) {
  if (read_only()) return NotWritable("a batch");
  if (shared_ != nullptr) {
    // The other processes' way appends owned copies.
    std::vector<WriteOp> owned(ops.size());
    for (size_t i = 0; i < ops.size(); ++i) {
      owned[i] = {std::string(ops[i].key), std::string(ops[i].value),
                  ops[i].erase};
    }
    return Commit(std::move(owned));
  }
  MARROW_WRITING(*this, WriterHeld::kNo);
  Exclusive s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::Commit(store_->store(), wal_->writer(), ops);
}

Result<bool> Db::Delete(std::string_view key, WriterHeld held) {
  if (read_only()) return NotWritable("delete()");
  MARROW_WRITING(*this, held);
  if (shared_ != nullptr) {
    std::vector<WriteOp> ops(1);
    ops[0].key = key;
    ops[0].erase = true;
    bool found = false;
    MARROW_RETURN_IF_ERROR(CommitShared(std::move(ops), false, &found));
    return found;
  }
  Exclusive s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::Delete(store_->store(), wal_->writer(), key);
}

Status Db::CommitShared(std::vector<WriteOp> ops, bool batch, bool* found) {
  Exclusive s(store_->mutex());
  return AsIoFailure(
      AppendShared(store_->store(), *shared_, *view_, ops, batch, found));
}

Status Db::FollowShared() {
  MARROW_RETURN_IF_ERROR(Usable());
  return AsIoFailure(Follow(store_->store(), *shared_, *view_));
}

Result<bool> Db::GetBytes(std::string_view key,
                          FunctionRef<void(std::string_view)> sink) {
  Exclusive s(store_->mutex());
  MARROW_RETURN_IF_ERROR(FollowLocked());
  return ReadValue(store_->store(), key, sink);
}

Status Db::GetMany(std::span<const std::string_view> keys,
                   FunctionRef<void(size_t, const std::string_view*)> sink) {
  Exclusive s(store_->mutex());
  MARROW_RETURN_IF_ERROR(FollowLocked());
  return ReadValues(store_->store(), keys, sink);
}

Status Db::SyncShared() {
  uint64_t end = 0;
  uint64_t generation = 0;
  {
    Exclusive s(store_->mutex());
    end = view_->written_end;
    generation = view_->written_generation;
  }
  Result<bool> persist = store::SyncShared(*store_->store().fs, path_,
                                           *shared_, end, generation);
  if (!persist.ok()) return AsIoFailure(std::move(persist).status());
  return persist.value() ? RewriteShared(false) : Status();
}

Status Db::RewriteShared(bool vacuum, WriterHeld held) {
  MARROW_WRITING(*this, held);
  Exclusive s(store_->mutex());
  return AsIoFailure(
      store::RewriteShared(store_->store(), *shared_, *view_, vacuum));
}

Status Db::Sync() {
  MARROW_RETURN_IF_ERROR(Usable());
  if (shared_ != nullptr) return SyncShared();
  if (read_only()) return {};
  WalWriter& wal = wal_->writer();
  uint64_t end = 0;
  {
    Exclusive w(wal_->mutex());
    end = wal.End();
    if (wal.durable() >= end) return {};
  }
  // One wait on the disk at a time. A thread that finds another waiting
  // waits for that wait to end, which often covers its own changes too.
  SyncMutex& sync_mutex = wal_->sync_mutex();
  std::unique_lock<SyncMutex> one_wait(sync_mutex, std::defer_lock);
  for (;;) {
    const uint64_t seen = sync_mutex.releases();
    if (one_wait.try_lock()) break;
    sync_mutex.WaitRelease(seen);
    Exclusive w(wal_->mutex());
    if (wal.durable() >= end) return {};
  }
  WalWriter::SyncPoint point;
  FileRef vals;  // vacuum, which replaces vals.bin, waits for sync_mutex
  {
    Shared s(store_->mutex());
    Exclusive w(wal_->mutex());
    if (wal.durable() >= end) return {};
    // After a failed sync of the log, or of vals.bin while the log names
    // placed values in it, only a persist, which writes their bytes again,
    // makes them durable.
    const Store& store = store_->store();
    if (!wal.sync_failed() &&
        !(store.records_unsynced && store.log_holds_placed)) {
      auto prepared = wal.PrepareSync();
      if (!prepared.ok()) return AsIo(prepared.take_failure());
      point = prepared.value();
      if (point.vals) vals = store.vals_file;
    }
  }
  if (point.log.fd < 0) return PersistLocked();
  Status synced;
  if (point.vals) {
    synced = Fdatasync(vals);
    if (!synced.ok()) {
      Exclusive s(store_->mutex());
      store_->store().records_unsynced = true;
    }
  }
  if (synced.ok()) synced = Fdatasync(point.log);
  if (synced.ok() && point.directory) {
    synced = SyncDirectory(*store_->store().fs, path_);
  }
  Exclusive w(wal_->mutex());
  wal.SyncDone(point, synced.ok());
  return AsIo(std::move(synced));
}

Status Db::Persist(WriterHeld held) {
  if (read_only()) return NotWritable("persist()");
  if (shared_ != nullptr) return RewriteShared(false, held);
  MARROW_WRITING(*this, held);
  std::lock_guard<SyncMutex> no_sync(wal_->sync_mutex());
  return PersistLocked();
}

Status Db::PersistLocked() {
  Shared s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::Persist(store_->store(), wal_->writer());
}

Status Db::Vacuum(WriterHeld held) {
  if (read_only()) return NotWritable("vacuum()");
  if (shared_ != nullptr) return RewriteShared(true, held);
  MARROW_WRITING(*this, held);
  std::lock_guard<SyncMutex> no_sync(wal_->sync_mutex());
  Exclusive s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::Vacuum(store_->store(), wal_->writer());
}

Status Db::Refresh() {
  Exclusive s(store_->mutex());
  if (!read_only()) return FollowLocked();
  MARROW_RETURN_IF_ERROR(Usable());
  return RefreshReader(store_->store());
}

Result<uint64_t> Db::Len() {
  if (shared_ != nullptr) {
    Exclusive s(store_->mutex());
    MARROW_RETURN_IF_ERROR(FollowLocked());
    return LiveCount(store_->store());
  }
  MARROW_RETURN_IF_ERROR(Usable());
  Shared s(store_->mutex());
  return LiveCount(store_->store());
}

Result<std::vector<std::string>> Db::Keys() {
  std::vector<std::string> keys;
  MARROW_RETURN_IF_ERROR(
      ForEachKey([&](std::string_view text) { keys.emplace_back(text); }));
  return keys;
}

Status Db::ForEachKey(FunctionRef<void(std::string_view)> sink) {
  if (shared_ != nullptr) {
    Exclusive s(store_->mutex());
    MARROW_RETURN_IF_ERROR(FollowLocked());
    return ForEachLiveKey(store_->store(), sink);
  }
  MARROW_RETURN_IF_ERROR(Usable());
  Shared s(store_->mutex());
  return ForEachLiveKey(store_->store(), sink);
}

CacheStats Db::GetCacheStats() {
  Shared s(store_->mutex());
  const ValueCache& cache = store_->store().cache;
  return {cache.size(), cache.capacity()};
}

void Db::ClearCache() {
  Exclusive s(store_->mutex());
  store_->store().cache.Clear();
}

}  // namespace marrow::store
