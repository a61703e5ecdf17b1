// The engine's small I/O layer: owned descriptors and mappings, and
// positioned reads and writes that move every byte or fail, all made through
// a FileSystem (fs.h).
//
// Every function here retries calls interrupted by a signal, continues after
// short transfers, and reports failures as a Status whose form is kInternal;
// a caller whose step reports in another form re-forms it (Failure::As).
// `where` names the caller's step in internal-failure reports.
//
// Thread-safety: UniqueFd and Mapping are owned values; using one object
// from several threads needs the owner's lock.

#ifndef MARROW_STORE_IO_H_
#define MARROW_STORE_IO_H_

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "store/error.h"
#include "store/fs.h"

namespace marrow::store {

using Where = Failure::Where;

// A descriptor borrowed from its owner (a UniqueFd), valid while that is.
struct FileRef {
  FileSystem* fs = nullptr;
  int fd = -1;
};

// An open file descriptor of a FileSystem, closed on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  UniqueFd(FileSystem* fs, int fd) : fs_(fs), fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fs_(o.fs_), fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      Reset();
      fs_ = o.fs_;
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  FileSystem& fs() const { return *fs_; }
  bool valid() const { return fd_ >= 0; }
  operator FileRef() const { return {fs_, fd_}; }  // NOLINT: borrowing
  void Reset();

 private:
  FileSystem* fs_ = nullptr;
  int fd_ = -1;
};

// A shared mapping of a file from offset 0, unmapped on destruction
// (without a flush: the kernel writes shared pages back). A zero-length
// mapping holds no address.
class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& o) noexcept
      : fs_(o.fs_),
        data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)) {}
  Mapping& operator=(Mapping&& o) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { Reset(); }

  // Maps `size` bytes of `fd`, shared, readable and (unless `read_only`)
  // writable.
  static Result<Mapping> Map(FileRef fd, uint64_t size, bool read_only = false,
                             Where where = Where::current());

  uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }
  // msync(MS_SYNC) over the whole mapping.
  Status Sync(Where where = Where::current()) const;
  // MADV_RANDOM; failures are ignored.
  void AdviseRandom() const;
  void Reset();

 private:
  FileSystem* fs_ = nullptr;
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
};

// `dir` joined with `name`: a separator is inserted when `dir` is not empty
// and does not end in one; an empty `dir` means the working directory.
std::string JoinPath(std::string_view dir, std::string_view name);

// open(2) with O_CLOEXEC. A path holding a NUL byte is refused.
Result<UniqueFd> OpenFile(FileSystem& fs, const std::string& path, int flags,
                          mode_t mode = 0666, Where where = Where::current());
// Opens without following a final symbolic link and without blocking on
// special files, then truncates: for temporary files that must never be
// written through a planted link.
Result<UniqueFd> CreateTruncated(FileSystem& fs, const std::string& path,
                                 Where where = Where::current());

Result<uint64_t> FileSize(FileRef fd, Where where = Where::current());
// The file's size by lseek, the cheapest call that tells it.
Result<uint64_t> FileEnd(FileRef fd, Where where = Where::current());
Result<FileInfo> StatFile(FileRef fd, Where where = Where::current());
// What stat(path) finds, nullopt only when the path (or a directory on it)
// does not exist; any other failure of the lookup is reported, never read
// as absence.
Result<std::optional<FileInfo>> StatIfPresent(FileSystem& fs,
                                              const std::string& path,
                                              Where where = Where::current());
// StatIfPresent(...).has_value().
Result<bool> PathExists(FileSystem& fs, const std::string& path,
                        Where where = Where::current());

Status PreadFull(FileRef fd, void* buf, size_t n, uint64_t offset,
                 Where where = Where::current());
Status PwriteFull(FileRef fd, const void* buf, size_t n, uint64_t offset,
                  Where where = Where::current());
// write(2) until every byte is written; for append-mode descriptors.
Status WriteFull(FileRef fd, const void* buf, size_t n,
                 Where where = Where::current());
// The same, also telling how many bytes reached the file when it fails.
Status WriteFull(FileRef fd, const void* buf, size_t n, size_t* written,
                 Where where = Where::current());
// The pieces in order with as few writev(2) calls as the file takes, also
// telling how many bytes reached the file when it fails.
Status WriteGatherFull(FileRef fd, std::span<std::string_view> pieces,
                       size_t* written, Where where = Where::current());
Status Truncate(FileRef fd, uint64_t length, Where where = Where::current());
Status Fsync(FileRef fd, Where where = Where::current());
Status Fdatasync(FileRef fd, Where where = Where::current());
Status Rename(FileSystem& fs, const std::string& from, const std::string& to,
              Where where = Where::current());
Status Unlink(FileSystem& fs, const std::string& path,
              Where where = Where::current());
// fsync of a directory, so that renames in it are durable.
Status SyncDirectory(FileSystem& fs, const std::string& dir,
                     Where where = Where::current());
// The directory that holds `path` ("." or "/" at the top).
std::string ParentDirectory(const std::string& path);
// mkdir -p with mode 0777.
Status CreateDirectories(FileSystem& fs, const std::string& path,
                         Where where = Where::current());

// Appends to a file through a buffer of fixed capacity. Pieces that do not
// fit cause a write-out first; a piece at least as large as the buffer goes
// to the file directly. The file position is the descriptor's own.
class BufferedWriter {
 public:
  BufferedWriter(FileRef fd, size_t capacity) : fd_(fd), capacity_(capacity) {
    buffer_.reserve(capacity);
  }
  Status Append(const void* data, size_t n, Where where = Where::current());
  Status Flush(Where where = Where::current());
  uint64_t written() const { return written_ + buffer_.size(); }

 private:
  FileRef fd_;
  size_t capacity_;
  std::string buffer_;
  uint64_t written_ = 0;
};

// Reads a file from `start` towards its end through a buffer of fixed
// capacity, with positioned reads (the descriptor's position is not used).
// Reads of at least the buffer's size bypass it.
class BufferedReader {
 public:
  enum class Outcome { kOk, kEof, kError };

  BufferedReader(FileRef fd, size_t capacity, uint64_t start = 0)
      : fd_(fd), buffer_(capacity, '\0'), start_(start) {}
  // Fills out[0, n). kEof when the file ends first (the bytes read so far
  // are consumed), kError with error() set when a read fails.
  Outcome Read(void* out, size_t n);
  // Bytes consumed since `start`.
  uint64_t consumed() const { return consumed_; }
  const IoError& error() const { return error_; }

 private:
  FileRef fd_;
  std::string buffer_;
  uint64_t start_;
  size_t pos_ = 0;
  size_t len_ = 0;
  uint64_t consumed_ = 0;
  IoError error_;
};

// Reads `len` bytes at `offset` into *out. A length beyond what a small
// read needs is first checked against the file's size, so a damaged length
// cannot make the caller reserve gigabytes for bytes that do not exist.
Status ReadRange(FileRef fd, uint64_t offset, uint64_t len, std::string* out,
                 Where where = Where::current());

// Reads byte ranges that mostly ascend through a file (records in id order)
// through a large window, so that copying many small records costs a few
// large reads instead of one read per record.
class WindowReader {
 public:
  // The window is left uninitialised: only bytes read into it are seen.
  WindowReader(FileRef fd, size_t window)
      : fd_(fd),
        window_(std::make_unique_for_overwrite<char[]>(window)),
        window_size_(window) {}
  Status Read(uint64_t offset, uint64_t len, std::string* out,
              Where where = Where::current());
  // The same bytes without a copy when they lie in the window (valid until
  // the next call); otherwise read into *scratch.
  Result<std::string_view> View(uint64_t offset, uint64_t len,
                                std::string* scratch,
                                Where where = Where::current());

 private:
  FileRef fd_;
  std::unique_ptr<char[]> window_;
  size_t window_size_;
  uint64_t start_ = 0;
  size_t filled_ = 0;
};

// Reads of a file that only grows (keys.bin, vals.bin) through a read-only
// shared mapping, so that a cold read copies from memory instead of making a
// pread.
//
// A mapped page past the file's end kills the process (SIGBUS), and the
// rest of the last page reads as zeros, so a file shortened behind the store
// must never be read through the mapping. Find serves only ranges below both
// the mapping and the file's end as Refresh last took it (by lseek); every
// other range is read with pread, which reports a shortened file as an early
// end of file. Whether the file has been cut since that lseek is told
// without a system call by Probe: it loads the first byte of the page after
// the range (page_probe.h), which faults exactly when the file now ends
// before that page, and so before the range's last byte ends (a cut inside
// the range's own last page leaves that page readable, which is why the
// next one is loaded). A range whose next page is not below the end taken
// (the file's last page) needs a Refresh. Left open is a file cut by
// another process between the probe (or the lseek) and the copy.
//
// Refresh maps twice the file's length whenever the file has outgrown its
// mapping, so a growing file is mapped a logarithmic number of times and
// the records appended in between are read from memory as well. A mapping
// that fails is no error: the reads fall back to pread until the next
// doubling.
class FileView {
 public:
  Status Refresh(FileRef fd, Where where = Where::current());
  std::optional<std::string_view> Find(uint64_t offset, uint64_t len) const {
    if (!Serves(offset, len)) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(map_.data()) + offset,
                            len);
  }
  // Whether the file still holds every byte Find would serve of the range
  // (see above); false also when Find would not serve it.
  bool Probe(uint64_t offset, uint64_t len) const;
  // Starts loading the first and last cache lines of a range Find serves,
  // and the byte Probe loads.
  void Prefetch(uint64_t offset, uint64_t len) const {
    if (!Serves(offset, len) || len == 0) return;
    const char* bytes = reinterpret_cast<const char*>(map_.data()) + offset;
    __builtin_prefetch(bytes);
    __builtin_prefetch(bytes + len - 1);
    if (const uint64_t next = NextPage(offset, len); next < Readable()) {
      __builtin_prefetch(map_.data() + next);
    }
  }
  // For a file replaced by another (vacuum).
  void Reset() { *this = FileView(); }

 private:
  uint64_t Readable() const { return std::min(end_, map_.size()); }
  bool Serves(uint64_t offset, uint64_t len) const {
    // Compared without adding: a damaged offset near 2^64 must not wrap.
    const uint64_t readable = Readable();
    return offset <= readable && len <= readable - offset;
  }
  // The start of the page after the range's last byte (len > 0).
  static uint64_t NextPage(uint64_t offset, uint64_t len);

  Mapping map_;
  uint64_t end_ = 0;    // the file's end at the last Refresh
  uint64_t tried_ = 0;  // the end at the last attempt to map
};

// The failure for a read that ran out of file.
Failure ShortRead(Where where = Where::current());

}  // namespace marrow::store

#endif  // MARROW_STORE_IO_H_
