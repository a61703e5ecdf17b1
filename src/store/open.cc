#include "store/open.h"

#include <fcntl.h>

#include <algorithm>
#include <memory>

#include "store/db.h"
#include "store/dir_lock.h"
#include "store/format.h"
#include "store/reader.h"
#include "store/record_files.h"
#include "store/recovery.h"
#include "store/shared_state.h"
#include "store/shared_store.h"
#include "store/vacuum.h"

namespace marrow::store {

namespace {

Result<UniqueFd> OpenRecordFile(FileSystem& fs, const std::string& dir,
                                const char* name) {
  return OpenFile(fs, JoinPath(dir, name), O_RDWR | O_CREAT, 0666);
}

}  // namespace

Result<Store> OpenStore(FileSystem& fs, const std::string& dir,
                        ValueCache cache) {
  Store store;
  store.fs = &fs;
  store.dir = dir;
  MARROW_ASSIGN(store.offsets_file, OpenRecordFile(fs, dir, kOffsetsFile));
  MARROW_ASSIGN(store.keys_file, OpenRecordFile(fs, dir, kKeysFile));
  MARROW_ASSIGN(store.vals_file, OpenRecordFile(fs, dir, kValsFile));

  MARROW_ASSIGN(const uint64_t offsets_size, FileSize(store.offsets_file));
  MARROW_ASSIGN(store.keys_end, FileSize(store.keys_file));
  MARROW_ASSIGN(store.vals_end, FileSize(store.vals_file));
  store.offsets_capacity =
      std::max(kMinOffsetSlots, offsets_size / kOffsetEntrySize);
  if (offsets_size < store.offsets_capacity * kOffsetEntrySize) {
    MARROW_RETURN_IF_ERROR(Truncate(store.offsets_file,
                                    store.offsets_capacity * kOffsetEntrySize));
  }
  MARROW_ASSIGN(store.offsets_map, MapOffsets(store.offsets_file));
  store.cache = std::move(cache);

  MARROW_RETURN_IF_ERROR(Recover(store));
  return store;
}

Result<std::unique_ptr<Db>> Db::Open(const std::string& path,
                                     uint64_t cache_size, FileSystem& fs,
                                     uint64_t cache_bytes) {
  // The cache is reserved first: a refused size leaves nothing on disk.
  ValueCache cache;
  MARROW_RETURN_IF_ERROR(cache.Init(cache_size, cache_bytes));
  auto created = CreateDirectories(fs, path);
  if (!created.ok()) return created.take_failure().As(FailureForm::kIoByKind);
  MARROW_ASSIGN(std::shared_ptr<DirectoryLock> lock,
                DirectoryLock::Acquire(fs, path));
  // A directory without a log may be one that an earlier open made but
  // failed to sync into its parent: it is synced before the store's files
  // are made, so that a power loss cannot take away a synced store.
  auto logged = PathExists(fs, JoinPath(path, kWalFile));
  if (!logged.ok()) return logged.take_failure().As(FailureForm::kIoByKind);
  if (!logged.value()) {
    Status synced = SyncDirectory(fs, ParentDirectory(path));
    if (!synced.ok()) return synced.take_failure().As(FailureForm::kIoByKind);
  }
  Status finished = FinishCommittedVacuum(fs, path);
  if (!finished.ok()) return finished.take_failure().As(FailureForm::kIoByKind);

  MARROW_ASSIGN(Store store, OpenStore(fs, path, std::move(cache)));
  MARROW_ASSIGN(WalWriter writer, WalWriter::Open(fs, path));
  if (store.log_holds_placed) writer.MarkPlacedUnsynced();
  auto store_handle = std::make_shared<StoreHandle>(std::move(store));
  auto wal_handle = std::make_shared<WalHandle>(std::move(writer));
  lock->Register(wal_handle);
  return std::unique_ptr<Db>(new Db(path, std::move(store_handle),
                                    std::move(wal_handle), std::move(lock)));
}

Result<std::unique_ptr<Db>> Db::OpenReader(const std::string& path,
                                           uint64_t cache_size, FileSystem& fs,
                                           uint64_t cache_bytes) {
  MARROW_ASSIGN(Store store, OpenReaderStore(fs, path, cache_size));
  store.cache.LimitBytes(cache_bytes);
  return std::unique_ptr<Db>(new Db(
      path, std::make_shared<StoreHandle>(std::move(store)), nullptr, nullptr));
}

Result<std::unique_ptr<Db>> Db::OpenShared(const std::string& path,
                                           uint64_t cache_size, FileSystem& fs,
                                           uint64_t cache_bytes) {
  auto open = [&]() -> Result<std::unique_ptr<Db>> {
    {
      ValueCache refused_early;  // as Open: a refused size leaves nothing
      MARROW_RETURN_IF_ERROR(refused_early.Init(cache_size));
    }
    MARROW_RETURN_IF_ERROR(CreateDirectories(fs, path));
    MARROW_ASSIGN(std::unique_ptr<SharedState> shared,
                  SharedState::Open(fs, path, [&]() -> Result<uint64_t> {
                    return ReadyFilesForSharing(fs, path);
                  }));
    auto view = std::make_unique<SharedView>();
    view->cache_size = cache_size;
    view->cache_bytes = cache_bytes;
    MARROW_ASSIGN(Store store, OpenSharedStore(fs, path, *shared, *view));
    std::unique_ptr<Db> db(new Db(path,
                                  std::make_shared<StoreHandle>(std::move(store)),
                                  nullptr, nullptr));
    db->shared_ = std::move(shared);
    db->view_ = std::move(view);
    return db;
  };
  Result<std::unique_ptr<Db>> db = open();
  if (db.ok()) return db;
  return AsIoFailure(std::move(db).status());
}

}  // namespace marrow::store
