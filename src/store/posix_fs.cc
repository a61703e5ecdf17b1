// The POSIX file system: each call is the system call of the same name.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "store/fs.h"

namespace marrow::store {

void FileSystem::ReadBatch(std::span<ReadRequest> requests) {
  for (ReadRequest& r : requests) {
    r.result = Pread(r.fd, r.buf, r.len, r.offset);
    r.error = r.result < 0 ? errno : 0;
  }
}

namespace {

void Fill(const struct stat& st, FileInfo* info) {
  info->size = static_cast<uint64_t>(st.st_size);
  info->device = static_cast<uint64_t>(st.st_dev);
  info->inode = static_cast<uint64_t>(st.st_ino);
  info->is_directory = S_ISDIR(st.st_mode);
}

class Posix final : public FileSystem {
 public:
  int Open(const char* path, int flags, mode_t mode) override {
    return ::open(path, flags, mode);
  }
  int Close(int fd) override { return ::close(fd); }
  ssize_t Read(int fd, void* buf, size_t n) override {
    return ::read(fd, buf, n);
  }
  ssize_t Write(int fd, const void* buf, size_t n) override {
    return ::write(fd, buf, n);
  }
  ssize_t Pread(int fd, void* buf, size_t n, uint64_t offset) override {
    return ::pread(fd, buf, n, static_cast<off_t>(offset));
  }
  ssize_t Pwrite(int fd, const void* buf, size_t n, uint64_t offset) override {
    return ::pwrite(fd, buf, n, static_cast<off_t>(offset));
  }
  int Stat(int fd, FileInfo* info) override {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    Fill(st, info);
    return 0;
  }
  int StatPath(const char* path, FileInfo* info) override {
    struct stat st;
    if (::stat(path, &st) != 0) return -1;
    Fill(st, info);
    return 0;
  }
  int Truncate(int fd, uint64_t length) override {
    return ::ftruncate(fd, static_cast<off_t>(length));
  }
  int Fsync(int fd) override { return ::fsync(fd); }
  int Fdatasync(int fd) override { return ::fdatasync(fd); }
  int Rename(const char* from, const char* to) override {
    return ::rename(from, to);
  }
  int Unlink(const char* path) override { return ::unlink(path); }
  int MakeDirectory(const char* path, mode_t mode) override {
    return ::mkdir(path, mode);
  }
  int LockExclusive(int fd) override { return ::flock(fd, LOCK_EX | LOCK_NB); }
  void* Map(int fd, uint64_t length, bool read_only) override {
    void* p = ::mmap(nullptr, length,
                     read_only ? PROT_READ : PROT_READ | PROT_WRITE,
                     MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : p;
  }
  int Unmap(void* addr, uint64_t length) override {
    return ::munmap(addr, length);
  }
  int SyncMapping(void* addr, uint64_t length) override {
    return ::msync(addr, length, MS_SYNC);
  }
  void AdviseRandom(void* addr, uint64_t length) override {
    (void)::madvise(addr, length, MADV_RANDOM);
  }
};

}  // namespace

FileSystem& PosixFileSystem() {
  // Never destroyed: Dbs may still be released while the process exits.
  alignas(Posix) static unsigned char storage[sizeof(Posix)];
  static Posix* fs = ::new (storage) Posix();
  return *fs;
}

}  // namespace marrow::store
