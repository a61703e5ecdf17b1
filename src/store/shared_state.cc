#include "store/shared_state.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "store/page_probe.h"

namespace marrow::store {

const char SharedState::kHeldOneProcess[] =
    "the store is held by a process that opened it without "
    "multiprocess=True; several processes can write it only when every one "
    "opens it with multiprocess=True";
const char SharedState::kHeldMultiprocess[] =
    "the store is held by processes that opened it with multiprocess=True; "
    "open it with multiprocess=True as well";

namespace {

using RangeLock = FileSystem::RangeLock;

// File systems that do not keep locks and shared mappings coherent between
// the machines (or the user-space daemon) behind them.
const char* DistrustedFileSystem(uint64_t type) {
  switch (type) {
    case 0x6969:
      return "NFS";
    case 0x517B:
      return "SMB";
    case 0xFF534D42:
      return "CIFS";
    case 0xFE534D42:
      return "SMB2";
    case 0x65735546:
      return "FUSE";
    case 0x01021997:
      return "9P";
    case 0x00C36400:
      return "Ceph";
    case 0x5346414F:
    case 0x6B414653:
      return "AFS";
    case 0x73757245:
      return "Coda";
    case 0x0BD00BD0:
      return "Lustre";
    case 0x01161970:
      return "GFS2";
    case 0x7461636F:
      return "OCFS2";
    default:
      return nullptr;
  }
}

Failure Refused(std::string message) {
  return Failure::Io(IoError::Custom(ErrorKind::kOther, std::move(message)));
}

Status LockRangeRetrying(FileRef fd, RangeLock kind, uint64_t byte, bool wait) {
  while (fd.fs->LockRange(fd.fd, kind, byte, 1, wait) != 0) {
    if (errno == EINTR) continue;
    if (errno == ENOTSUP || errno == EINVAL || errno == ENOLCK) {
      return Refused(
          "multiprocess=True needs open-file-description locks, which this "
          "system or file system does not offer");
    }
    return Failure::Io(IoError::FromErrno(errno));
  }
  return {};
}

// Makes the page anew: zeros, then the log's end.
Status ResetPage(FileRef file, uint64_t log_end) {
  MARROW_RETURN_IF_ERROR(Truncate(file, 0));
  MARROW_RETURN_IF_ERROR(Truncate(file, kSharedPageSize));
  uint8_t fields[kSharedSyncFailedAt + 8] = {};
  PutU64(fields + kSharedVersionAt, 1);
  PutU64(fields + kSharedLogEndAt, log_end);
  return PwriteFull(file, fields, sizeof fields, 0);
}

}  // namespace

Status SharedState::CheckPage() const {
  // A page that is only partly in the file reads and writes as memory; only
  // one wholly past its end faults.
  if (ProbePage(page_.data())) return {};
  MARROW_ASSIGN(const uint64_t size, FileSize(file_));
  return size > 0 ? Status() : ShortRead();
}

Result<std::unique_ptr<SharedState>> SharedState::Open(
    FileSystem& fs, const std::string& dir,
    FunctionRef<Result<uint64_t>()> rebuild) {
  const std::string at = dir.empty() ? "." : dir;
  uint64_t type = 0;
  if (fs.FileSystemType(at.c_str(), &type) != 0) {
    return Failure::Io(IoError::FromErrno(errno));
  }
  if (const char* name = DistrustedFileSystem(type)) {
    return Refused(std::string("multiprocess=True is refused on ") + name +
                   ": its locks and shared memory cannot be trusted between "
                   "processes; open the store on a local file system");
  }
  MARROW_ASSIGN(UniqueFd dir_fd, OpenFile(fs, at, O_RDONLY | O_DIRECTORY, 0));
  while (fs.LockShared(dir_fd.get()) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return Failure::Io(IoError::FromErrno(errno));
    return Failure::Io(IoError::Custom(ErrorKind::kWouldBlock, kHeldOneProcess));
  }
  MARROW_ASSIGN(UniqueFd file, OpenFile(fs, JoinPath(dir, kSharedFile),
                                        O_RDWR | O_CREAT, 0666));
  Status first = LockRangeRetrying(file, RangeLock::kExclusive,
                                   kSharedMemberLock, /*wait=*/false);
  if (first.ok()) {
    MARROW_ASSIGN(uint64_t log_end, rebuild());
    MARROW_RETURN_IF_ERROR(ResetPage(file, log_end));
    // Converting the lock lets the processes waiting for it in.
    MARROW_RETURN_IF_ERROR(LockRangeRetrying(file, RangeLock::kShared,
                                             kSharedMemberLock, false));
  } else if (first.failure().error.kind == ErrorKind::kWouldBlock) {
    MARROW_RETURN_IF_ERROR(LockRangeRetrying(file, RangeLock::kShared,
                                             kSharedMemberLock, true));
  } else {
    return first;
  }
  MARROW_ASSIGN(Mapping page, Mapping::Map(file, kSharedPageSize));
  return std::unique_ptr<SharedState>(
      new SharedState(std::move(dir_fd), std::move(file), std::move(page)));
}

Status SharedState::Lock(uint64_t byte) {
  return LockRangeRetrying(file_, RangeLock::kExclusive, byte, true);
}

Result<bool> SharedState::TryLockWriter() {
  Status locked = LockRangeRetrying(file_, RangeLock::kExclusive,
                                    kSharedWriterLock, /*wait=*/false);
  if (locked.ok()) return true;
  if (locked.failure().error.kind == ErrorKind::kWouldBlock) return false;
  return locked.take_failure();
}

void SharedState::Unlock(uint64_t byte) {
  (void)file_.fs().LockRange(file_.get(), RangeLock::kUnlock, byte, 1, false);
}

}  // namespace marrow::store
