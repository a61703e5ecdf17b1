#include "store/io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <limits>

namespace marrow::store {

namespace {

Failure ErrnoFailure(Where where) {
  return Failure::Internal(IoError::FromErrno(errno), where);
}

bool HasNul(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

Failure NulInPath(Where where) {
  return Failure::Internal(IoError::Custom(
                               ErrorKind::kInvalidInput,
                               "file name contained an unexpected NUL byte"),
                           where);
}

}  // namespace

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Mapping& Mapping::operator=(Mapping&& o) noexcept {
  if (this != &o) {
    Reset();
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
  }
  return *this;
}

void Mapping::Reset() {
  if (data_ != nullptr) ::munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

Result<Mapping> Mapping::Map(int fd, uint64_t size, Where where) {
  Mapping m;
  if (size == 0) return m;
  if (size > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max())) {
    return Failure::Internal(
        IoError::Custom(ErrorKind::kInvalidInput,
                        "memory map length overflows isize"),
        where);
  }
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return ErrnoFailure(where);
  m.data_ = static_cast<uint8_t*>(p);
  m.size_ = size;
  return m;
}

Status Mapping::Sync(Where where) const {
  if (data_ == nullptr) return {};
  if (::msync(data_, size_, MS_SYNC) != 0) return ErrnoFailure(where);
  return {};
}

void Mapping::AdviseRandom() const {
  if (data_ != nullptr) (void)::madvise(data_, size_, MADV_RANDOM);
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

Result<UniqueFd> OpenFile(const std::string& path, int flags, mode_t mode,
                          Where where) {
  if (HasNul(path)) return NulInPath(where);
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ErrnoFailure(where);
  return UniqueFd(fd);
}

Result<UniqueFd> CreateTruncated(const std::string& path, Where where) {
  if (HasNul(path)) return NulInPath(where);
  // Whatever stands at the name (a leftover file, a planted link) is
  // replaced, never written through.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return ErrnoFailure(where);
  return OpenFile(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666, where);
}

Result<uint64_t> FileSize(int fd, Where where) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return ErrnoFailure(where);
  return static_cast<uint64_t>(st.st_size);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return !HasNul(path) && ::stat(path.c_str(), &st) == 0;
}

Failure ShortRead(Where where) {
  return Failure::Internal(
      IoError::Custom(ErrorKind::kUnexpectedEof, "failed to fill whole buffer"),
      where);
}

Status PreadFull(int fd, void* buf, size_t n, uint64_t offset, Where where) {
  auto* p = static_cast<uint8_t*>(buf);
  while (n > 0) {
    ssize_t got = ::pread(fd, p, n, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return ErrnoFailure(where);
    }
    if (got == 0) return ShortRead(where);
    p += got;
    n -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return {};
}

namespace {

Failure WriteZero(Where where) {
  return Failure::Internal(
      IoError::Custom(ErrorKind::kWriteZero, "failed to write whole buffer"),
      where);
}

}  // namespace

namespace {

// Writes every byte, at `offset` or (when it is negative) at the file
// position, continuing after short writes and retrying interrupted ones.
Status WriteLoop(int fd, const void* buf, size_t n, off_t offset,
                 size_t* written, Where where) {
  const auto* p = static_cast<const uint8_t*>(buf);
  size_t done = 0;
  Status status;
  while (done < n) {
    ssize_t put = offset < 0 ? ::write(fd, p + done, n - done)
                             : ::pwrite(fd, p + done, n - done,
                                        offset + static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      status = put < 0 ? ErrnoFailure(where) : WriteZero(where);
      break;
    }
    done += static_cast<size_t>(put);
  }
  if (written != nullptr) *written = done;
  return status;
}

}  // namespace

Status PwriteFull(int fd, const void* buf, size_t n, uint64_t offset,
                  Where where) {
  return WriteLoop(fd, buf, n, static_cast<off_t>(offset), nullptr, where);
}

Status WriteFull(int fd, const void* buf, size_t n, Where where) {
  return WriteLoop(fd, buf, n, -1, nullptr, where);
}

Status WriteFull(int fd, const void* buf, size_t n, size_t* written,
                 Where where) {
  return WriteLoop(fd, buf, n, -1, written, where);
}

Status BufferedWriter::Append(const void* data, size_t n, Where where) {
  if (buffer_.size() + n > capacity_) {
    MARROW_RETURN_IF_ERROR(Flush(where));
    if (n >= capacity_) {
      MARROW_RETURN_IF_ERROR(WriteFull(fd_, data, n, where));
      written_ += n;
      return {};
    }
  }
  buffer_.append(static_cast<const char*>(data), n);
  return {};
}

Status BufferedWriter::Flush(Where where) {
  if (buffer_.empty()) return {};
  Status st = WriteFull(fd_, buffer_.data(), buffer_.size(), where);
  if (!st.ok()) return st;
  written_ += buffer_.size();
  buffer_.clear();
  return {};
}

BufferedReader::Outcome BufferedReader::Read(void* out, size_t n) {
  auto* dst = static_cast<char*>(out);
  while (n > 0) {
    if (pos_ == len_) {
      const bool direct = n >= buffer_.size();
      ssize_t got = ::read(fd_, direct ? dst : buffer_.data(),
                           direct ? n : buffer_.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        error_ = IoError::FromErrno(errno);
        return Outcome::kError;
      }
      if (got == 0) return Outcome::kEof;
      if (direct) {
        dst += got;
        n -= static_cast<size_t>(got);
        consumed_ += static_cast<uint64_t>(got);
        continue;
      }
      pos_ = 0;
      len_ = static_cast<size_t>(got);
    }
    const size_t take = std::min(n, len_ - pos_);
    std::memcpy(dst, buffer_.data() + pos_, take);
    pos_ += take;
    dst += take;
    n -= take;
    consumed_ += take;
  }
  return Outcome::kOk;
}

Status ReadRange(int fd, uint64_t offset, uint64_t len, std::string* out,
                 Where where) {
  constexpr uint64_t kTrustedLength = 1 << 20;
  if (len > kTrustedLength) {
    MARROW_ASSIGN(uint64_t size, FileSize(fd, where));
    if (offset > size || len > size - offset) return ShortRead(where);
  }
  out->resize(len);
  return PreadFull(fd, out->data(), len, offset, where);
}

Result<std::string_view> WindowReader::View(uint64_t offset, uint64_t len,
                                            std::string* scratch,
                                            Where where) {
  if (len > window_.size() / 2) {
    MARROW_RETURN_IF_ERROR(ReadRange(fd_, offset, len, scratch, where));
    return std::string_view(*scratch);
  }
  if (offset < start_ || offset + len > start_ + filled_) {
    start_ = offset;
    filled_ = 0;
    while (filled_ < window_.size()) {
      ssize_t got = ::pread(fd_, window_.data() + filled_,
                            window_.size() - filled_,
                            static_cast<off_t>(offset + filled_));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        filled_ = 0;
        return ErrnoFailure(where);
      }
      if (got == 0) break;
      filled_ += static_cast<size_t>(got);
    }
    if (filled_ < len) return ShortRead(where);
  }
  return std::string_view(window_.data() + (offset - start_), len);
}

Status WindowReader::Read(uint64_t offset, uint64_t len, std::string* out,
                          Where where) {
  MARROW_ASSIGN(std::string_view bytes, View(offset, len, out, where));
  if (bytes.data() != out->data()) out->assign(bytes);
  return {};
}

Status Truncate(int fd, uint64_t length, Where where) {
  while (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return ErrnoFailure(where);
  }
  return {};
}

Status Fsync(int fd, Where where) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return ErrnoFailure(where);
  }
  return {};
}

Status Fdatasync(int fd, Where where) {
  while (::fdatasync(fd) != 0) {
    if (errno != EINTR) return ErrnoFailure(where);
  }
  return {};
}

Status Rename(const std::string& from, const std::string& to, Where where) {
  if (::rename(from.c_str(), to.c_str()) != 0) return ErrnoFailure(where);
  return {};
}

Status Unlink(const std::string& path, Where where) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return ErrnoFailure(where);
  return {};
}

Status SyncDirectory(const std::string& dir, Where where) {
  MARROW_ASSIGN(UniqueFd fd,
                OpenFile(dir.empty() ? "." : dir, O_RDONLY | O_DIRECTORY, 0,
                         where));
  return Fsync(fd.get(), where);
}

Status CreateDirectories(const std::string& path, Where where) {
  if (HasNul(path)) return NulInPath(where);
  if (path.empty()) return {};
  struct stat st;
  // Create each missing ancestor in turn, from the root down.
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string prefix = path.substr(0, pos);
    if (::mkdir(prefix.c_str(), 0777) == 0) continue;
    int err = errno;
    if (::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    errno = err;
    return ErrnoFailure(where);
  }
  return {};
}

}  // namespace marrow::store
