#include "engine/mem_fs.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

namespace marrow::store::testing {

namespace {

constexpr uint64_t kRoot = 1;
constexpr uint64_t kPage = 4096;
constexpr uint64_t kMaxOffset = uint64_t{1} << 63;

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = std::min(path.find('/', at), path.size());
    std::string part = path.substr(at, end - at);
    if (!part.empty() && part != ".") parts.push_back(part);
    at = end + 1;
  }
  return parts;
}

bool Writable(int flags) { return (flags & O_ACCMODE) != O_RDONLY; }
bool Readable(int flags) { return (flags & O_ACCMODE) != O_WRONLY; }

void Apply(std::string& bytes, const std::string& change, uint64_t offset,
           size_t n) {
  if (bytes.size() < offset + n) bytes.resize(offset + n);
  std::memcpy(bytes.data() + offset, change.data(), n);
}

}  // namespace

const char* CallName(Call call) {
  static const char* const kNames[] = {
      "any",    "open",  "close",     "write", "pread",     "pwrite",
      "fstat",  "stat",  "ftruncate", "fsync", "fdatasync", "rename",
      "unlink", "mkdir", "flock",     "mmap",  "munmap",    "msync"};
  return kNames[static_cast<int>(call)];
}

MemFs::MemFs() { inodes_[kRoot].dir = true; }
MemFs::~MemFs() = default;

void MemFs::FailCall(uint64_t nth, int error, Call only) {
  fail_at_ = nth;
  fail_error_ = error;
  fail_only_ = only;
  fired_ = false;
  kind_counted_ = 0;
}

void MemFs::CaptureAfter(uint64_t nth) {
  capture_at_ = counted_ + nth;
  capture_.reset();
}

std::unique_ptr<MemFs> MemFs::TakeCapture() {
  if (!capture_ && capture_at_ != 0 && counted_ >= capture_at_) {
    capture_ = Clone();
  }
  return std::move(capture_);
}

bool MemFs::Fault(Call call, const std::string& path, size_t* n) {
  // The state after call N is the state before call N + 1.
  if (capture_at_ != 0 && counted_ == capture_at_ && !capture_) {
    capture_ = Clone();
  }
  ++counted_;
  trace_.push_back({call, path});
  if (fail_at_ == 0 || (fail_only_ != Call::kAny && fail_only_ != call) ||
      ++kind_counted_ != fail_at_) {
    return false;
  }
  if (fail_error_ == 0) {
    if (n == nullptr || *n < 2) return false;
    *n /= 2;
    fired_ = true;
    return false;
  }
  fired_ = true;
  errno = fail_error_;
  return true;
}

uint64_t MemFs::Lookup(const std::string& path, uint64_t* parent,
                       std::string* name) {
  const std::vector<std::string> parts = Split(path);
  uint64_t at = kRoot, up = 0;
  std::string last;
  for (size_t i = 0; i < parts.size(); ++i) {
    const Inode& node = inodes_[at];
    if (!node.dir) {
      errno = ENOTDIR;
      return 0;
    }
    up = at;
    last = parts[i];
    auto it = node.entries.find(last);
    if (it == node.entries.end()) {
      if (parent != nullptr) *parent = i + 1 == parts.size() ? up : 0;
      if (name != nullptr) *name = last;
      errno = ENOENT;
      return 0;
    }
    at = it->second;
  }
  if (parent != nullptr) *parent = up;
  if (name != nullptr) *name = last;
  return at;
}

MemFs::Fd* MemFs::Desc(int fd, Call call, size_t* n) {
  auto it = fds_.find(fd);
  const bool failed = Fault(call, it == fds_.end() ? "" : it->second.path, n);
  if (failed) return nullptr;
  if (it == fds_.end()) {
    errno = EBADF;
    return nullptr;
  }
  Fold(it->second.ino);
  return &it->second;
}

void MemFs::Fold(uint64_t ino) {
  Inode& node = inodes_[ino];
  for (Mapped& m : maps_) {
    if (m.ino != ino) continue;
    const uint64_t len = std::min<uint64_t>(m.length, node.data->size());
    const auto* data = reinterpret_cast<const uint8_t*>(node.data->data());
    const uint8_t* mapped = m.bytes.get();
    if (std::memcmp(mapped, data, len) == 0) continue;
    // The changed range, narrowed a page at a time, then a byte at a time.
    uint64_t start = 0, end = len;
    while (start + kPage <= len &&
           !std::memcmp(mapped + start, data + start, kPage)) {
      start += kPage;
    }
    while (mapped[start] == data[start]) ++start;
    while (end >= start + kPage &&
           !std::memcmp(mapped + end - kPage, data + end - kPage, kPage)) {
      end -= kPage;
    }
    while (mapped[end - 1] == data[end - 1]) --end;
    std::string bytes(reinterpret_cast<char*>(m.bytes.get()) + start,
                      end - start);
    node.data.Mut().replace(start, bytes.size(), bytes);
    node.pending.push_back({start, std::move(bytes), false, true});
    Propagate(ino);
  }
}

void MemFs::Propagate(uint64_t ino) {
  const std::string& data = *inodes_[ino].data;
  for (Mapped& m : maps_) {
    if (m.ino != ino) continue;
    const uint64_t len = std::min<uint64_t>(m.length, data.size());
    std::memcpy(m.bytes.get(), data.data(), len);
    std::memset(m.bytes.get() + len, 0, m.length - len);
  }
}

void MemFs::ChangeDir(uint64_t dir, DirChange change) {
  Inode& node = inodes_[dir];
  for (const auto& [name, ino] : change) {
    if (ino == 0) {
      node.entries.erase(name);
    } else {
      node.entries[name] = ino;
    }
  }
  node.dir_pending.push_back(std::move(change));
}

uint64_t MemFs::NewInode(bool dir) {
  inodes_[next_ino_].dir = dir;
  return next_ino_++;
}

int MemFs::Open(const char* path, int flags, mode_t) {
  if (Fault(Call::kOpen, path)) return -1;
  uint64_t parent = 0;
  std::string name;
  uint64_t ino = Lookup(path, &parent, &name);
  if (ino != 0) {
    Inode& node = inodes_[ino];
    if ((flags & O_CREAT) && (flags & O_EXCL)) return Fail(EEXIST);
    if ((flags & O_DIRECTORY) && !node.dir) return Fail(ENOTDIR);
    if (node.dir && Writable(flags)) return Fail(EISDIR);
    if ((flags & O_TRUNC) && Writable(flags) && !node.data->empty()) {
      Fold(ino);
      node.data.Mut().clear();
      node.pending.push_back({0, {}, true, false});
      Propagate(ino);
    }
  } else {
    if (errno != ENOENT || parent == 0 || !(flags & O_CREAT)) return -1;
    ino = NewInode(false);
    ChangeDir(parent, {{name, ino}});
  }
  fds_[next_fd_] = {ino, flags, 0, path};
  return next_fd_++;
}

int MemFs::Fail(int error) {
  errno = error;
  return -1;
}

namespace {

void* FailMap(int error) {
  errno = error;
  return nullptr;
}

}  // namespace

int MemFs::Close(int fd) {
  auto it = fds_.find(fd);
  const bool failed =
      Fault(Call::kClose, it == fds_.end() ? "" : it->second.path);
  const int error = errno;
  if (it == fds_.end()) return Fail(EBADF);
  std::erase_if(locks_, [fd](const auto& lock) { return lock.second == fd; });
  fds_.erase(it);
  return failed ? Fail(error) : 0;  // closed even when it reports a failure
}

ssize_t MemFs::ReadAt(Fd& f, void* buf, size_t n, uint64_t at) {
  const Inode& node = inodes_[f.ino];
  if (at >= kMaxOffset || n >= kMaxOffset - at) return Fail(EINVAL);
  if (node.dir) return Fail(EISDIR);
  if (!Readable(f.flags)) return Fail(EBADF);
  if (at >= node.data->size()) return 0;
  n = std::min<uint64_t>(n, node.data->size() - at);
  std::memcpy(buf, node.data->data() + at, n);
  return static_cast<ssize_t>(n);
}

ssize_t MemFs::WriteAt(Fd& f, const void* buf, size_t n, uint64_t at) {
  Inode& node = inodes_[f.ino];
  if (at >= kMaxOffset || n >= kMaxOffset - at) return Fail(EINVAL);
  if (node.dir) return Fail(EISDIR);
  if (!Writable(f.flags)) return Fail(EBADF);
  if (at + n > max_file_size) return Fail(EFBIG);
  std::string bytes(static_cast<const char*>(buf), n);
  Apply(node.data.Mut(), bytes, at, n);
  node.pending.push_back({at, std::move(bytes), false, false});
  Propagate(f.ino);
  return static_cast<ssize_t>(n);
}

ssize_t MemFs::Write(int fd, const void* buf, size_t n) {
  Fd* f = Desc(fd, Call::kWrite, &n);
  if (f == nullptr) return -1;
  const uint64_t at =
      (f->flags & O_APPEND) ? inodes_[f->ino].data->size() : f->pos;
  const ssize_t put = WriteAt(*f, buf, n, at);
  if (put >= 0) f->pos = at + static_cast<uint64_t>(put);
  return put;
}

ssize_t MemFs::Pread(int fd, void* buf, size_t n, uint64_t offset) {
  Fd* f = Desc(fd, Call::kPread, &n);
  return f == nullptr ? -1 : ReadAt(*f, buf, n, offset);
}

ssize_t MemFs::Pwrite(int fd, const void* buf, size_t n, uint64_t offset) {
  Fd* f = Desc(fd, Call::kPwrite, &n);
  return f == nullptr ? -1 : WriteAt(*f, buf, n, offset);
}

namespace {

void Fill(uint64_t ino, bool dir, uint64_t size, FileInfo* info) {
  info->size = dir ? 4096 : size;
  info->device = 0x6d656d;
  info->inode = ino;
  info->is_directory = dir;
}

}  // namespace

int MemFs::Stat(int fd, FileInfo* info) {
  Fd* f = Desc(fd, Call::kStat);
  if (f == nullptr) return -1;
  const Inode& node = inodes_[f->ino];
  Fill(f->ino, node.dir, node.data->size(), info);
  return 0;
}

int MemFs::StatPath(const char* path, FileInfo* info) {
  if (Fault(Call::kStatPath, path)) return -1;
  const uint64_t ino = Lookup(path);
  if (ino == 0) return -1;
  Fold(ino);
  Fill(ino, inodes_[ino].dir, inodes_[ino].data->size(), info);
  return 0;
}

int MemFs::Truncate(int fd, uint64_t length) {
  Fd* f = Desc(fd, Call::kTruncate);
  if (f == nullptr) return -1;
  Inode& node = inodes_[f->ino];
  if (length >= kMaxOffset || node.dir || !Writable(f->flags)) {
    return Fail(EINVAL);
  }
  if (length > max_file_size) return Fail(EFBIG);
  node.data.Mut().resize(length);
  node.pending.push_back({length, {}, true, false});
  Propagate(f->ino);
  return 0;
}

int MemFs::Sync(int fd, Call call) {
  Fd* f = Desc(fd, call);
  if (f == nullptr) return -1;
  Inode& node = inodes_[f->ino];
  node.durable = node.data;
  node.pending.clear();
  node.durable_entries = node.entries;
  node.dir_pending.clear();
  return 0;
}

int MemFs::Fsync(int fd) { return Sync(fd, Call::kFsync); }

int MemFs::Rename(const char* from, const char* to) {
  if (Fault(Call::kRename, from)) return -1;
  uint64_t from_dir = 0, to_dir = 0;
  std::string from_name, to_name;
  const uint64_t ino = Lookup(from, &from_dir, &from_name);
  if (ino == 0) return -1;
  const uint64_t old = Lookup(to, &to_dir, &to_name);
  if (old == 0 && (errno != ENOENT || to_dir == 0)) return -1;
  if (old == ino) return 0;
  if (old != 0 && inodes_[old].dir != inodes_[ino].dir) {
    return Fail(inodes_[old].dir ? EISDIR : ENOTDIR);
  }
  if (from_dir == to_dir) {
    ChangeDir(to_dir, {{to_name, ino}, {from_name, 0}});
  } else {
    ChangeDir(to_dir, {{to_name, ino}});
    ChangeDir(from_dir, {{from_name, 0}});
  }
  return 0;
}

int MemFs::Unlink(const char* path) {
  if (Fault(Call::kUnlink, path)) return -1;
  uint64_t dir = 0;
  std::string name;
  const uint64_t ino = Lookup(path, &dir, &name);
  if (ino == 0) return -1;
  if (inodes_[ino].dir) return Fail(EISDIR);
  ChangeDir(dir, {{name, 0}});
  return 0;
}

int MemFs::MakeDirectory(const char* path, mode_t) {
  if (Fault(Call::kMkdir, path)) return -1;
  uint64_t parent = 0;
  std::string name;
  if (Lookup(path, &parent, &name) != 0) return Fail(EEXIST);
  if (errno != ENOENT || parent == 0) return -1;
  if (name.empty()) return Fail(EEXIST);
  ChangeDir(parent, {{name, NewInode(true)}});
  return 0;
}

int MemFs::LockExclusive(int fd) {
  Fd* f = Desc(fd, Call::kLock);
  if (f == nullptr) return -1;
  auto [it, fresh] = locks_.try_emplace(f->ino, fd);
  return fresh || it->second == fd ? 0 : Fail(EWOULDBLOCK);
}

void* MemFs::Map(int fd, uint64_t length, bool read_only) {
  Fd* f = Desc(fd, Call::kMap);
  if (f == nullptr) return nullptr;
  if (length == 0 || length >= kMaxOffset) return FailMap(EINVAL);
  if (inodes_[f->ino].dir) return FailMap(ENODEV);
  if (!Readable(f->flags) || (!read_only && !Writable(f->flags))) {
    return FailMap(EACCES);
  }
  if (length > max_file_size) return FailMap(ENOMEM);
  maps_.push_back({f->ino, std::make_unique_for_overwrite<uint8_t[]>(length),
                   length, f->path});
  Propagate(f->ino);
  return maps_.back().bytes.get();
}

MemFs::Mapped* MemFs::FindMap(void* addr, Call call) {
  auto it = std::find_if(maps_.begin(), maps_.end(), [addr](const Mapped& m) {
    return m.bytes.get() == addr;
  });
  if (Fault(call, it == maps_.end() ? "" : it->path)) return nullptr;
  if (it == maps_.end()) {
    errno = EINVAL;
    return nullptr;
  }
  Fold(it->ino);
  return &*it;
}

int MemFs::Unmap(void* addr, uint64_t) {
  Mapped* m = FindMap(addr, Call::kUnmap);
  if (m == nullptr) return -1;
  maps_.erase(maps_.begin() + (m - maps_.data()));
  return 0;
}

int MemFs::SyncMapping(void* addr, uint64_t) {
  Mapped* m = FindMap(addr, Call::kSyncMapping);
  if (m == nullptr) return -1;
  // Like fdatasync of the file: the mapping is its only writer here.
  Inode& node = inodes_[m->ino];
  node.durable = node.data;
  node.pending.clear();
  return 0;
}

std::unique_ptr<MemFs> MemFs::Clone() {
  for (const Mapped& m : maps_) Fold(m.ino);
  auto out = std::make_unique<MemFs>();
  out->inodes_ = inodes_;
  out->next_ino_ = next_ino_;
  out->max_file_size = max_file_size;
  return out;
}

std::unique_ptr<MemFs> MemFs::Crash(Outcome outcome, uint64_t seed) {
  for (const Mapped& m : maps_) Fold(m.ino);
  std::mt19937_64 rng(seed);
  const bool random = outcome >= Outcome::kPrefix;
  auto keep = [&](size_t n) {
    return outcome == Outcome::kNoneReached  ? 0
           : outcome == Outcome::kAllReached ? n
                                             : rng() % (n + 1);
  };
  std::unique_ptr<MemFs> out = Clone();
  std::map<uint64_t, std::string> names;  // for the zero-tail report
  for (auto& [ino, node] : inodes_) {
    for (const auto& [name, child] : node.entries) names[child] = name;
  }
  for (auto& [ino, node] : out->inodes_) {
    if (node.dir) {
      node.entries = node.durable_entries;
      const size_t n = keep(node.dir_pending.size());
      for (size_t i = 0; i < n; ++i) {
        for (const auto& [name, child] : node.dir_pending[i]) {
          if (child == 0) {
            node.entries.erase(name);
          } else {
            node.entries[name] = child;
          }
        }
      }
    } else {
      node.data = node.durable;  // shared until written
      if (node.pending.empty()) continue;
      std::string bytes = *node.durable;
      size_t regular = 0;
      for (const Change& c : node.pending) regular += !c.from_map;
      const size_t n = keep(regular);
      const bool maps =
          outcome == Outcome::kAllReached || (random && rng() % 2);
      size_t seen = 0;
      for (const Change& c : node.pending) {
        if (c.from_map ? !maps : seen++ >= n) continue;
        if (c.resize) {
          bytes.resize(c.offset);
          continue;
        }
        uint64_t len = c.bytes.size();
        // The last write kept may be torn at a page boundary.
        const uint64_t first_page = (c.offset / kPage + 1) * kPage;
        if (random && seen == n && !c.from_map && rng() % 2 &&
            first_page < c.offset + len) {
          const uint64_t pages = (c.offset + len - first_page - 1) / kPage + 1;
          len = first_page + kPage * (rng() % pages) - c.offset;
        }
        Apply(bytes, c.bytes, c.offset, len);
      }
      if (outcome == Outcome::kZeroTail &&
          bytes.size() > node.durable->size()) {
        std::fill(bytes.begin() + node.durable->size(), bytes.end(), '\0');
        out->zero_tails_.push_back(names[ino]);
      }
      node.durable.Mut() = std::move(bytes);
      node.data = node.durable;
      node.pending.clear();
    }
    node.durable_entries = node.entries;
    node.dir_pending.clear();
  }
  return out;
}

void MemFs::WriteFile(const std::string& path, const std::string& bytes) {
  uint64_t dir = kRoot;
  const std::vector<std::string> parts = Split(path);
  for (size_t i = 0; i < parts.size(); ++i) {
    Inode& node = inodes_[dir];
    auto it = node.entries.find(parts[i]);
    uint64_t child =
        it != node.entries.end() ? it->second : NewInode(i + 1 < parts.size());
    inodes_[dir].entries[parts[i]] = child;
    inodes_[dir].durable_entries[parts[i]] = child;
    dir = child;
  }
  inodes_[dir].data.Mut() = bytes;
  inodes_[dir].durable = inodes_[dir].data;
  inodes_[dir].pending.clear();
  Propagate(dir);
}

}  // namespace marrow::store::testing
