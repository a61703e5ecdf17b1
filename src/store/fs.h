// FileSystem: the one seam between the engine and the operating system.
//
// Every file, directory and mapping call of the engine goes through a
// FileSystem: the Db owns a pointer to one and hands it to everything it
// opens (a UniqueFd and a Mapping remember theirs). The POSIX file system is
// the product's only implementation; tests put their own behind the seam to
// inject faults, to simulate power loss and to run the engine in memory.
//
// The calls keep the POSIX contract on purpose: a failure returns -1 (or
// nullptr for Map) and sets errno, short transfers and EINTR happen, and the
// engine's own loops (io.h) deal with them. So a test file system exercises
// exactly the code paths a real kernel does.
//
// Ownership: a FileSystem outlives every Db, descriptor and mapping made
// through it. Thread-safety: the POSIX one is stateless; a test one must
// guard its state if several Dbs use it from several threads.

#ifndef MARROW_STORE_FS_H_
#define MARROW_STORE_FS_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace marrow::store {

struct FileInfo {
  uint64_t size = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  bool is_directory = false;
};

// One positioned read of a batch: `result` receives what pread would return
// (bytes read, or -1 with `error` set to the errno).
struct ReadRequest {
  int fd = -1;
  void* buf = nullptr;
  size_t len = 0;
  uint64_t offset = 0;
  ssize_t result = 0;
  int error = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual int Open(const char* path, int flags, mode_t mode) = 0;
  virtual int Close(int fd) = 0;
  virtual ssize_t Write(int fd, const void* buf, size_t n) = 0;
  // writev(2): the pieces in order, as one write of their concatenation.
  virtual ssize_t WriteGather(int fd,
                              std::span<const std::string_view> pieces) = 0;
  virtual ssize_t Pread(int fd, void* buf, size_t n, uint64_t offset) = 0;
  virtual ssize_t Pwrite(int fd, const void* buf, size_t n,
                         uint64_t offset) = 0;
  virtual int Stat(int fd, FileInfo* info) = 0;
  // stat(2) of a path, following links.
  virtual int StatPath(const char* path, FileInfo* info) = 0;
  // lseek(fd, 0, SEEK_END): the file's size, or -1 and errno. It moves the
  // descriptor's position, which the engine never uses for these files.
  virtual int64_t SeekEnd(int fd) = 0;
  virtual int Truncate(int fd, uint64_t length) = 0;
  virtual int Fsync(int fd) = 0;
  virtual int Fdatasync(int fd) = 0;
  virtual int Rename(const char* from, const char* to) = 0;
  virtual int Unlink(const char* path) = 0;
  virtual int MakeDirectory(const char* path, mode_t mode) = 0;
  // flock(LOCK_EX | LOCK_NB).
  virtual int LockExclusive(int fd) = 0;
  // flock(LOCK_SH | LOCK_NB).
  virtual int LockShared(int fd) = 0;
  // An open-file-description lock (F_OFD_SETLK, or F_OFD_SETLKW when
  // `wait`) of `kind` on the byte range [start, start + len): the kernel
  // drops it when the last descriptor of that open goes, so it outlives
  // neither the process nor its pid. ENOTSUP where the system has none.
  enum class RangeLock : uint8_t { kShared, kExclusive, kUnlock };
  virtual int LockRange(int fd, RangeLock kind, uint64_t start, uint64_t len,
                        bool wait) = 0;
  // statfs(2)'s f_type of the file system that holds `path`.
  virtual int FileSystemType(const char* path, uint64_t* type) = 0;

  // A shared mapping of `length` bytes from offset 0 (read-write unless
  // `read_only`); nullptr and errno on failure.
  virtual void* Map(int fd, uint64_t length, bool read_only) = 0;
  virtual int Unmap(void* addr, uint64_t length) = 0;
  // msync(MS_SYNC).
  virtual int SyncMapping(void* addr, uint64_t length) = 0;
  // A hint (MADV_RANDOM); failures are ignored.
  virtual void AdviseRandom(void* /*addr*/, uint64_t /*length*/) {}

  // Runs every request; the POSIX file system hands the batch to the kernel
  // in one submission where it can. The default issues one Pread each.
  virtual void ReadBatch(std::span<ReadRequest> requests);
};

// The operating system's file system (process-wide, never destroyed).
FileSystem& PosixFileSystem();

}  // namespace marrow::store

#endif  // MARROW_STORE_FS_H_
