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
  Status finished = FinishCommittedVacuum(fs, path);
  if (!finished.ok()) return finished.take_failure().As(FailureForm::kIoByKind);

  MARROW_ASSIGN(Store store, OpenStore(fs, path, std::move(cache)));
  MARROW_ASSIGN(WalWriter writer, WalWriter::Open(fs, path));
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

}  // namespace marrow::store
