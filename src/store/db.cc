#include "store/db.h"

#include <mutex>
#include <shared_mutex>

#include "store/dir_lock.h"
#include "store/io.h"
#include "store/listing.h"
#include "store/persist.h"
#include "store/reader.h"
#include "store/reads.h"
#include "store/record_files.h"
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

Db::Db(std::string path, std::shared_ptr<StoreHandle> store,
       std::shared_ptr<WalHandle> wal, std::shared_ptr<DirectoryLock> lock)
    : path_(std::move(path)),
      store_(std::move(store)),
      wal_(std::move(wal)),
      lock_(std::move(lock)) {}

Db::~Db() {
  // The Store first (unmap, close), then the log writer (write out its
  // buffer), and only then the directory lock.
  store_.reset();
  wal_.reset();
  lock_.reset();
}

Status Db::CheckValueLength(size_t len) {
  return CheckFieldLength("value", len);
}

Status Db::SetBytes(std::string_view key, std::string value) {
  if (read_only()) return NotWritable("set_bytes()");
  Exclusive s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::SetBytes(store_->store(), wal_->writer(), key,
                         std::move(value));
}

Status Db::Commit(std::vector<WriteOp> ops) {
  if (read_only()) return NotWritable("a batch");
  Exclusive s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::Commit(store_->store(), wal_->writer(), ops);
}

Result<bool> Db::Delete(std::string_view key) {
  if (read_only()) return NotWritable("delete()");
  Exclusive s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::Delete(store_->store(), wal_->writer(), key);
}

Result<bool> Db::GetBytes(std::string_view key,
                          FunctionRef<void(std::string_view)> sink) {
  Exclusive s(store_->mutex());
  return ReadValue(store_->store(), key, sink);
}

Status Db::GetMany(std::span<const std::string_view> keys,
                   FunctionRef<void(size_t, const std::string_view*)> sink) {
  Exclusive s(store_->mutex());
  return ReadValues(store_->store(), keys, sink);
}

Status Db::Sync() {
  if (read_only()) return {};
  WalWriter& wal = wal_->writer();
  uint64_t end = 0;
  {
    Exclusive w(wal_->mutex());
    end = wal.End();
    if (wal.durable() >= end) return {};
  }
  // One wait on the disk at a time; a thread that waited here for another's
  // often finds its own changes covered by it.
  std::lock_guard<std::mutex> one_wait(wal_->sync_mutex());
  WalWriter::SyncPoint point;
  {
    Exclusive w(wal_->mutex());
    if (wal.durable() >= end) return {};
    if (!wal.sync_failed()) {
      auto prepared = wal.PrepareSync();
      if (!prepared.ok()) return AsIo(prepared.take_failure());
      point = prepared.value();
    }
  }
  if (point.log.fd < 0) return PersistLocked();
  Status synced = Fdatasync(point.log);
  if (synced.ok() && point.directory) {
    synced = SyncDirectory(*store_->store().fs, path_);
  }
  Exclusive w(wal_->mutex());
  wal.SyncDone(point, synced.ok());
  return AsIo(std::move(synced));
}

Status Db::Persist() {
  if (read_only()) return NotWritable("persist()");
  std::lock_guard<std::mutex> no_sync(wal_->sync_mutex());
  return PersistLocked();
}

Status Db::PersistLocked() {
  Shared s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::Persist(store_->store(), wal_->writer());
}

Status Db::Vacuum() {
  if (read_only()) return NotWritable("vacuum()");
  std::lock_guard<std::mutex> no_sync(wal_->sync_mutex());
  Exclusive s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::Vacuum(store_->store(), wal_->writer());
}

Status Db::Refresh() {
  if (!read_only()) return {};
  Exclusive s(store_->mutex());
  return RefreshReader(store_->store());
}

uint64_t Db::Len() {
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
