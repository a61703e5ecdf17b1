#include "store/db.h"

#include <mutex>
#include <shared_mutex>

#include "store/dir_lock.h"
#include "store/listing.h"
#include "store/persist.h"
#include "store/reads.h"
#include "store/state.h"
#include "store/vacuum.h"
#include "store/writes.h"

namespace marrow::store {

using Exclusive = std::unique_lock<std::shared_mutex>;
using Shared = std::shared_lock<std::shared_mutex>;

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

Status Db::SetBytes(std::string key, std::string value) {
  Exclusive s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::SetBytes(store_->store(), wal_->writer(), std::move(key),
                         std::move(value));
}

Result<bool> Db::Delete(std::string key) {
  Exclusive s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::Delete(store_->store(), wal_->writer(), std::move(key));
}

Result<bool> Db::GetBytes(std::string_view key,
                          absl::FunctionRef<void(std::string_view)> sink) {
  Exclusive s(store_->mutex());
  return ReadValue(store_->store(), key, sink);
}

Status Db::GetMany(
    std::span<const std::string> keys,
    absl::FunctionRef<void(size_t, const std::string_view*)> sink) {
  Exclusive s(store_->mutex());
  for (size_t i = 0; i < keys.size(); ++i) {
    MARROW_ASSIGN(const bool found,
                  ReadValue(store_->store(), keys[i],
                            [&](std::string_view v) { sink(i, &v); }));
    if (!found) sink(i, nullptr);
  }
  return {};
}

Status Db::Persist() {
  Shared s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::Persist(store_->store(), wal_->writer());
}

Status Db::Vacuum() {
  Exclusive s(store_->mutex());
  Exclusive w(wal_->mutex());
  return store::Vacuum(store_->store(), wal_->writer());
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

Status Db::ForEachKey(absl::FunctionRef<void(std::string_view)> sink) {
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
