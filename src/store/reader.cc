#include "store/reader.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>

#include "store/format.h"
#include "store/record_files.h"
#include "store/recovery.h"
#include "store/snapshot.h"

namespace marrow::store {

namespace {

// How long an open keeps retrying while the writer replaces files.
constexpr int kOpenAttempts = 2000;
constexpr auto kRetryPause = std::chrono::milliseconds(1);

Status AsIo(Status s) {
  if (s.ok()) return s;
  return s.take_failure().As(FailureForm::kIoByKind);
}

// `name` opened read-only, or an invalid descriptor when it does not exist.
Result<UniqueFd> OpenIfPresent(FileSystem& fs, const std::string& dir,
                               const char* name) {
  auto fd = OpenFile(fs, JoinPath(dir, name), O_RDONLY);
  if (fd.ok()) return std::move(fd.value());
  if (fd.failure().error.os_code == ENOENT) return UniqueFd();
  return fd.take_failure().As(FailureForm::kIoByKind);
}

// An absent file's size is 0; a failure to tell is an error, never 0.
Result<uint64_t> Size(const UniqueFd& fd) {
  if (!fd.valid()) return uint64_t{0};
  auto size = FileSize(fd);
  if (!size.ok()) return size.take_failure().As(FailureForm::kIoByKind);
  return size.value();
}

// Is `fd` (invalid: absent) the file that `name` names now?
Result<bool> StillAt(FileSystem& fs, const std::string& dir, const char* name,
                     const UniqueFd& fd) {
  auto found = StatIfPresent(fs, JoinPath(dir, name));
  if (!found.ok()) return found.take_failure().As(FailureForm::kIoByKind);
  const std::optional<FileInfo>& now = found.value();
  if (!fd.valid() || !now) return !fd.valid() && !now;
  MARROW_ASSIGN(FileInfo then, StatFile(fd));
  return then.device == now->device && then.inode == now->inode;
}

// Is `snapshot` the store's current snapshot: the one a committed vacuum
// left in snapshot.bin.vac, or else snapshot.bin?
Result<bool> SnapshotCurrent(FileSystem& fs, const std::string& dir,
                             const UniqueFd& snapshot) {
  MARROW_ASSIGN(bool committed,
                PathExists(fs, JoinPath(dir, kSnapshotVacFile)));
  return StillAt(fs, dir, committed ? kSnapshotVacFile : kSnapshotFile,
                 snapshot);
}

// The file a committed vacuum wrote as `vac_name` when it is still there,
// else `name`.
Result<UniqueFd> OpenCurrent(FileSystem& fs, const std::string& dir,
                             const char* name, const char* vac_name,
                             bool committed) {
  if (committed) {
    MARROW_ASSIGN(UniqueFd fd, OpenIfPresent(fs, dir, vac_name));
    if (fd.valid()) return fd;
  }
  return OpenIfPresent(fs, dir, name);
}

// One attempt; nullopt when the writer replaced a file meanwhile.
Result<std::optional<Store>> TryOpen(FileSystem& fs, const std::string& dir,
                                     uint64_t cache_size) {
  Store store;
  store.fs = &fs;
  store.dir = dir;
  store.read_only = true;
  MARROW_ASSIGN(store.log, OpenIfPresent(fs, dir, kWalFile));
  MARROW_ASSIGN(bool committed,
                PathExists(fs, JoinPath(dir, kSnapshotVacFile)));
  MARROW_ASSIGN(store.snapshot_file, OpenCurrent(fs, dir, kSnapshotFile,
                                                 kSnapshotVacFile, committed));
  std::optional<SnapshotData> snapshot;
  if (store.snapshot_file.valid()) {
    MARROW_ASSIGN(snapshot, ReadSnapshotFrom(store.snapshot_file));
  }
  MARROW_ASSIGN(store.offsets_file,
                OpenCurrent(fs, dir, kOffsetsFile, kOffsetsVacFile, committed));
  MARROW_ASSIGN(store.keys_file,
                OpenCurrent(fs, dir, kKeysFile, kKeysVacFile, committed));
  MARROW_ASSIGN(store.vals_file,
                OpenCurrent(fs, dir, kValsFile, kValsVacFile, committed));
  MARROW_ASSIGN(bool snapshot_current,
                SnapshotCurrent(fs, dir, store.snapshot_file));
  MARROW_ASSIGN(bool log_current, StillAt(fs, dir, kWalFile, store.log));
  if (!snapshot_current || !log_current) return std::optional<Store>();

  MARROW_ASSIGN(const uint64_t offsets_size, Size(store.offsets_file));
  store.offsets_capacity = offsets_size / kOffsetEntrySize;
  if (offsets_size > 0) {
    MARROW_ASSIGN(Mapping map, Mapping::Map(store.offsets_file, offsets_size,
                                            /*read_only=*/true));
    map.AdviseRandom();
    store.offsets_map = std::move(map);
  }
  MARROW_RETURN_IF_ERROR(store.cache.Init(cache_size));
  MARROW_ASSIGN(store.keys_end, Size(store.keys_file));
  MARROW_ASSIGN(store.vals_end, Size(store.vals_file));
  // Without a snapshot every record comes from the log.
  if (snapshot) {
    InstallSnapshot(store, std::move(*snapshot), store.keys_end,
                    store.vals_end);
  }
  store.log_first_id = store.records.next_id();
  if (store.log.valid()) {
    MARROW_ASSIGN(const uint64_t log_size, Size(store.log));
    MARROW_RETURN_IF_ERROR(ReplayLog(store, store.log, 0, log_size));
  }
  return std::optional<Store>(std::move(store));
}

}  // namespace

Result<Store> OpenReaderStore(FileSystem& fs, const std::string& dir,
                              uint64_t cache_size) {
  FileInfo info;
  if (fs.StatPath(dir.empty() ? "." : dir.c_str(), &info) != 0) {
    return Failure::Io(IoError::FromErrno(errno));
  }
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    MARROW_ASSIGN(std::optional<Store> store, TryOpen(fs, dir, cache_size));
    if (store) return std::move(*store);
    std::this_thread::sleep_for(kRetryPause);
  }
  return Failure::Io(IoError::Custom(
      ErrorKind::kTimedOut,
      "the store's files kept being replaced while they were opened"));
}

Status RefreshReader(Store& store) {
  FileSystem& fs = *store.fs;
  MARROW_ASSIGN(bool snapshot_current,
                SnapshotCurrent(fs, store.dir, store.snapshot_file));
  MARROW_ASSIGN(bool log_current, StillAt(fs, store.dir, kWalFile, store.log));
  if (snapshot_current && log_current) {
    if (!store.log.valid()) return {};
    MARROW_ASSIGN(const uint64_t log_size, Size(store.log));
    return AsIo(ReplayLog(store, store.log, store.log_end, log_size));
  }
  MARROW_ASSIGN(Store fresh,
                OpenReaderStore(fs, store.dir, store.cache.capacity()));
  fresh.cache.LimitBytes(store.cache.max_bytes());
  store = std::move(fresh);
  return {};
}

}  // namespace marrow::store
