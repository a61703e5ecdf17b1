// The POSIX file system: each call is the system call of the same name.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#ifdef __APPLE__
#include <sys/mount.h>
#else
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <new>

#include "store/fs.h"

#if MARROW_HAVE_LIBURING
#include <liburing.h>
#endif

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

#if MARROW_HAVE_LIBURING
// One ring per thread, made on the thread's first batch. Whether io_uring
// can be used at all (a kernel without it, or a sandbox that refuses it) is
// found out once for the process; without it batches fall back to preads.
class Ring {
 public:
  static constexpr unsigned kEntries = 256;

  Ring() { ok_ = io_uring_queue_init(kEntries, &ring_, 0) == 0; }
  ~Ring() {
    if (ok_) io_uring_queue_exit(&ring_);
  }
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;

  // Runs `requests` (at most kEntries); false when the ring failed and the
  // caller must read them itself.
  bool Run(std::span<ReadRequest> requests) {
    for (size_t i = 0; i < requests.size(); ++i) {
      io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
      if (sqe == nullptr) return false;
      ReadRequest& r = requests[i];
      io_uring_prep_read(sqe, r.fd, r.buf, static_cast<unsigned>(r.len),
                         r.offset);
      io_uring_sqe_set_data64(sqe, i);
    }
    size_t done = 0;
    while (done < requests.size()) {
      int submitted = io_uring_submit_and_wait(
          &ring_, static_cast<unsigned>(requests.size() - done));
      if (submitted < 0 && submitted != -EINTR) return Drain(done, requests);
      io_uring_cqe* cqe;
      unsigned head;
      unsigned seen = 0;
      io_uring_for_each_cqe(&ring_, head, cqe) {
        ReadRequest& r = requests[io_uring_cqe_get_data64(cqe)];
        r.result = cqe->res < 0 ? -1 : cqe->res;
        r.error = cqe->res < 0 ? -cqe->res : 0;
        ++seen;
      }
      io_uring_cq_advance(&ring_, seen);
      done += seen;
    }
    return true;
  }

  bool ok() const { return ok_; }

 private:
  // After a failed submission: wait out what was queued, then give up.
  bool Drain(size_t done, std::span<ReadRequest> requests) {
    while (done < requests.size()) {
      io_uring_cqe* cqe;
      if (io_uring_wait_cqe(&ring_, &cqe) != 0) break;
      io_uring_cqe_seen(&ring_, cqe);
      ++done;
    }
    ok_ = false;
    return false;
  }

  io_uring ring_{};
  bool ok_ = false;
};

std::atomic<bool> g_uring_refused{false};
#endif

class Posix final : public FileSystem {
 public:
#if MARROW_HAVE_LIBURING
  void ReadBatch(std::span<ReadRequest> requests) override {
    // Reads that fit whole in an io_uring completion (int result).
    constexpr size_t kMaxLen = 1u << 30;
    if (!g_uring_refused.load(std::memory_order_relaxed) &&
        requests.size() > 1 &&
        std::all_of(requests.begin(), requests.end(),
                    [](const ReadRequest& r) { return r.len <= kMaxLen; })) {
      thread_local Ring ring;
      if (!ring.ok()) {
        g_uring_refused.store(true, std::memory_order_relaxed);
      } else {
        bool ran = true;
        for (size_t at = 0; at < requests.size() && ran; at += Ring::kEntries) {
          ran = ring.Run(requests.subspan(
              at, std::min<size_t>(Ring::kEntries, requests.size() - at)));
        }
        if (ran) return;
      }
    }
    FileSystem::ReadBatch(requests);
  }
#endif

  int Open(const char* path, int flags, mode_t mode) override {
    return ::open(path, flags, mode);
  }
  int Close(int fd) override { return ::close(fd); }
  ssize_t Write(int fd, const void* buf, size_t n) override {
    return ::write(fd, buf, n);
  }
  ssize_t WriteGather(int fd,
                      std::span<const std::string_view> pieces) override {
    constexpr size_t kMaxPieces = 8;
    std::array<iovec, kMaxPieces> iov;
    const size_t count = std::min(pieces.size(), kMaxPieces);
    for (size_t i = 0; i < count; ++i) {
      iov[i] = {const_cast<char*>(pieces[i].data()), pieces[i].size()};
    }
    return ::writev(fd, iov.data(), static_cast<int>(count));
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
  int64_t SeekEnd(int fd) override { return ::lseek(fd, 0, SEEK_END); }
  int Truncate(int fd, uint64_t length) override {
    return ::ftruncate(fd, static_cast<off_t>(length));
  }
  int Fsync(int fd) override { return ::fsync(fd); }
#ifdef __APPLE__
  // macOS declares no fdatasync: fsync, as Fsync does.
  int Fdatasync(int fd) override { return ::fsync(fd); }
#else
  int Fdatasync(int fd) override { return ::fdatasync(fd); }
#endif
  int Rename(const char* from, const char* to) override {
    return ::rename(from, to);
  }
  int Unlink(const char* path) override { return ::unlink(path); }
  int MakeDirectory(const char* path, mode_t mode) override {
    return ::mkdir(path, mode);
  }
  int LockExclusive(int fd) override { return ::flock(fd, LOCK_EX | LOCK_NB); }
  int LockShared(int fd) override { return ::flock(fd, LOCK_SH | LOCK_NB); }
  int LockRange(int fd, RangeLock kind, uint64_t start, uint64_t len,
                bool wait) override {
#ifdef F_OFD_SETLK
    struct flock range = {};
    range.l_type = kind == RangeLock::kShared      ? F_RDLCK
                   : kind == RangeLock::kExclusive ? F_WRLCK
                                                   : F_UNLCK;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(start);
    range.l_len = static_cast<off_t>(len);
    return ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &range);
#else
    (void)fd, (void)kind, (void)start, (void)len, (void)wait;
    errno = ENOTSUP;
    return -1;
#endif
  }
  int FileSystemType(const char* path, uint64_t* type) override {
    struct statfs info;
    if (::statfs(path, &info) != 0) return -1;
    *type = static_cast<uint64_t>(info.f_type);
    return 0;
  }
  void* Map(int fd, uint64_t length, bool read_only) override {
    void* p =
        ::mmap(nullptr, length, read_only ? PROT_READ : PROT_READ | PROT_WRITE,
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
