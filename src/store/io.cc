#include "store/io.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include "store/page_probe.h"

namespace marrow::store {

namespace {

Failure ErrnoFailure(Where where) {
  return Failure::Internal(IoError::FromErrno(errno), where);
}

bool HasNul(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

Failure NulInPath(Where where) {
  return Failure::Internal(
      IoError::Custom(ErrorKind::kInvalidInput,
                      "file name contained an unexpected NUL byte"),
      where);
}

}  // namespace

void UniqueFd::Reset() {
  if (fd_ >= 0) fs_->Close(fd_);
  fd_ = -1;
}

Mapping& Mapping::operator=(Mapping&& o) noexcept {
  if (this != &o) {
    Reset();
    fs_ = o.fs_;
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
  }
  return *this;
}

void Mapping::Reset() {
  if (data_ != nullptr) fs_->Unmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

Result<Mapping> Mapping::Map(FileRef fd, uint64_t size, bool read_only,
                             Where where) {
  Mapping m;
  m.fs_ = fd.fs;
  if (size == 0) return m;
  if (size > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max())) {
    return Failure::Internal(
        IoError::Custom(ErrorKind::kInvalidInput,
                        "memory map length overflows isize"),
        where);
  }
  void* p = fd.fs->Map(fd.fd, size, read_only);
  if (p == nullptr) return ErrnoFailure(where);
  m.data_ = static_cast<uint8_t*>(p);
  m.size_ = size;
  return m;
}

Status Mapping::Sync(Where where) const {
  if (data_ == nullptr) return {};
  if (fs_->SyncMapping(data_, size_) != 0) return ErrnoFailure(where);
  return {};
}

void Mapping::AdviseRandom() const {
  if (data_ != nullptr) fs_->AdviseRandom(data_, size_);
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

Result<UniqueFd> OpenFile(FileSystem& fs, const std::string& path, int flags,
                          mode_t mode, Where where) {
  if (HasNul(path)) return NulInPath(where);
  int fd;
  do {
    fd = fs.Open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ErrnoFailure(where);
  return UniqueFd(&fs, fd);
}

Result<UniqueFd> CreateTruncated(FileSystem& fs, const std::string& path,
                                 Where where) {
  if (HasNul(path)) return NulInPath(where);
  // Whatever stands at the name (a leftover file, a planted link) is
  // replaced, never written through.
  if (fs.Unlink(path.c_str()) != 0 && errno != ENOENT) {
    return ErrnoFailure(where);
  }
  return OpenFile(fs, path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666,
                  where);
}

Result<FileInfo> StatFile(FileRef fd, Where where) {
  FileInfo info;
  if (fd.fs->Stat(fd.fd, &info) != 0) return ErrnoFailure(where);
  return info;
}

Result<uint64_t> FileSize(FileRef fd, Where where) {
  MARROW_ASSIGN(FileInfo info, StatFile(fd, where));
  return info.size;
}

Result<uint64_t> FileEnd(FileRef fd, Where where) {
  const int64_t end = fd.fs->SeekEnd(fd.fd);
  if (end < 0) return ErrnoFailure(where);
  return static_cast<uint64_t>(end);
}

Status FileView::Refresh(FileRef fd, Where where) {
  end_ = 0;
  MARROW_ASSIGN(end_, FileEnd(fd, where));
  if (end_ > map_.size() && end_ / 2 >= tried_) {
    tried_ = end_;
    // Twice the file's length: the records appended until it doubles again
    // are read from this mapping too. Its pages past the end are never
    // touched, since Find serves only ranges below the end just taken.
    const uint64_t length = end_ > UINT64_MAX / 2 ? end_ : end_ * 2;
    if (auto map = Mapping::Map(fd, length, /*read_only=*/true, where);
        map.ok()) {
      map_ = std::move(map.value());
    }
  }
  return {};
}

uint64_t FileView::NextPage(uint64_t offset, uint64_t len) {
  // The page size is a power of two.
  return ((offset + len - 1) | (PageSize() - 1)) + 1;
}

bool FileView::Probe(uint64_t offset, uint64_t len) const {
  if (!Serves(offset, len)) return false;
  if (len == 0) return true;  // no byte is loaded
  const uint64_t next = NextPage(offset, len);
  return next < Readable() && ProbePage(map_.data() + next);
}

Result<std::optional<FileInfo>> StatIfPresent(FileSystem& fs,
                                              const std::string& path,
                                              Where where) {
  FileInfo info;
  if (HasNul(path)) return std::optional<FileInfo>();
  if (fs.StatPath(path.c_str(), &info) == 0) return std::optional(info);
  if (errno == ENOENT || errno == ENOTDIR) return std::optional<FileInfo>();
  return ErrnoFailure(where);
}

Result<bool> PathExists(FileSystem& fs, const std::string& path, Where where) {
  MARROW_ASSIGN(std::optional<FileInfo> info, StatIfPresent(fs, path, where));
  return info.has_value();
}

Failure ShortRead(Where where) {
  return Failure::Internal(
      IoError::Custom(ErrorKind::kUnexpectedEof, "failed to fill whole buffer"),
      where);
}

Status PreadFull(FileRef fd, void* buf, size_t n, uint64_t offset,
                 Where where) {
  auto* p = static_cast<uint8_t*>(buf);
  while (n > 0) {
    ssize_t got = fd.fs->Pread(fd.fd, p, n, offset);
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
Status WriteLoop(FileRef fd, const void* buf, size_t n, int64_t offset,
                 size_t* written, Where where) {
  const auto* p = static_cast<const uint8_t*>(buf);
  size_t done = 0;
  Status status;
  while (done < n) {
    ssize_t put = offset < 0
                      ? fd.fs->Write(fd.fd, p + done, n - done)
                      : fd.fs->Pwrite(fd.fd, p + done, n - done,
                                      static_cast<uint64_t>(offset) + done);
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

Status PwriteFull(FileRef fd, const void* buf, size_t n, uint64_t offset,
                  Where where) {
  return WriteLoop(fd, buf, n, static_cast<int64_t>(offset), nullptr, where);
}

Status WriteFull(FileRef fd, const void* buf, size_t n, Where where) {
  return WriteLoop(fd, buf, n, -1, nullptr, where);
}

Status WriteFull(FileRef fd, const void* buf, size_t n, size_t* written,
                 Where where) {
  return WriteLoop(fd, buf, n, -1, written, where);
}

Status WriteGatherFull(FileRef fd, std::span<std::string_view> pieces,
                       size_t* written, Where where) {
  *written = 0;
  while (!pieces.empty()) {
    if (pieces.front().empty()) {
      pieces = pieces.subspan(1);
      continue;
    }
    ssize_t put = fd.fs->WriteGather(fd.fd, pieces);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return put < 0 ? ErrnoFailure(where) : WriteZero(where);
    *written += static_cast<size_t>(put);
    // A short write leaves the rest of its piece and the pieces after it.
    for (size_t left = static_cast<size_t>(put); left > 0;) {
      const size_t step = std::min(left, pieces.front().size());
      pieces.front().remove_prefix(step);
      left -= step;
      if (pieces.front().empty()) pieces = pieces.subspan(1);
    }
  }
  return {};
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
      ssize_t got =
          fd_.fs->Pread(fd_.fd, direct ? dst : buffer_.data(),
                        direct ? n : buffer_.size(), start_ + consumed_);
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

Status ReadRange(FileRef fd, uint64_t offset, uint64_t len, std::string* out,
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
                                            std::string* scratch, Where where) {
  if (len > window_size_ / 2) {
    MARROW_RETURN_IF_ERROR(ReadRange(fd_, offset, len, scratch, where));
    return std::string_view(*scratch);
  }
  // Offsets and lengths come from files: compare without adding them, so a
  // damaged offset near 2^64 cannot wrap around into the window.
  const bool in_window = offset >= start_ && offset - start_ <= filled_ &&
                         len <= filled_ - (offset - start_);
  if (!in_window) {
    start_ = offset;
    filled_ = 0;
    while (filled_ < window_size_) {
      ssize_t got = fd_.fs->Pread(fd_.fd, window_.get() + filled_,
                                  window_size_ - filled_, offset + filled_);
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
  return std::string_view(window_.get() + (offset - start_), len);
}

Status WindowReader::Read(uint64_t offset, uint64_t len, std::string* out,
                          Where where) {
  MARROW_ASSIGN(std::string_view bytes, View(offset, len, out, where));
  if (bytes.data() != out->data()) out->assign(bytes);
  return {};
}

Status Truncate(FileRef fd, uint64_t length, Where where) {
  while (fd.fs->Truncate(fd.fd, length) != 0) {
    if (errno != EINTR) return ErrnoFailure(where);
  }
  return {};
}

Status Fsync(FileRef fd, Where where) {
  while (fd.fs->Fsync(fd.fd) != 0) {
    if (errno != EINTR) return ErrnoFailure(where);
  }
  return {};
}

Status Fdatasync(FileRef fd, Where where) {
  while (fd.fs->Fdatasync(fd.fd) != 0) {
    if (errno != EINTR) return ErrnoFailure(where);
  }
  return {};
}

Status Rename(FileSystem& fs, const std::string& from, const std::string& to,
              Where where) {
  if (fs.Rename(from.c_str(), to.c_str()) != 0) return ErrnoFailure(where);
  return {};
}

Status Unlink(FileSystem& fs, const std::string& path, Where where) {
  if (fs.Unlink(path.c_str()) != 0 && errno != ENOENT) {
    return ErrnoFailure(where);
  }
  return {};
}

Status SyncDirectory(FileSystem& fs, const std::string& dir, Where where) {
  MARROW_ASSIGN(UniqueFd fd, OpenFile(fs, dir.empty() ? "." : dir,
                                      O_RDONLY | O_DIRECTORY, 0, where));
  return Fsync(fd, where);
}

std::string ParentDirectory(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "."
         : slash == 0               ? "/"
                                    : path.substr(0, slash);
}

Status CreateDirectories(FileSystem& fs, const std::string& path, Where where) {
  if (HasNul(path)) return NulInPath(where);
  if (path.empty()) return {};
  FileInfo info;
  // Create each missing ancestor in turn, from the root down. A new
  // directory's name is synced into its parent, so that a power loss
  // cannot take away a store whose files were synced.
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string prefix = path.substr(0, pos);
    if (fs.MakeDirectory(prefix.c_str(), 0777) == 0) {
      MARROW_RETURN_IF_ERROR(SyncDirectory(fs, ParentDirectory(prefix), where));
      continue;
    }
    const int made = errno;
    if (fs.StatPath(prefix.c_str(), &info) == 0) {
      if (info.is_directory) continue;
      errno = made;
    } else if (made != EEXIST) {
      errno = made;  // else the failed stat tells why the name is unusable
    }
    return ErrnoFailure(where);
  }
  return {};
}

}  // namespace marrow::store
