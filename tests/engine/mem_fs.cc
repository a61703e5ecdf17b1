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
// Writes and mappings beyond this fail with EFBIG and ENOMEM.
constexpr uint64_t kMaxSize = uint64_t{1} << 32;

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  for (size_t at = 0, end; at <= path.size(); at = end + 1) {
    end = std::min(path.find('/', at), path.size());
    std::string part = path.substr(at, end - at);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
  }
  return parts;
}

bool Writable(int flags) { return (flags & O_ACCMODE) != O_RDONLY; }
bool Readable(int flags) { return (flags & O_ACCMODE) != O_WRONLY; }
bool TooBig(uint64_t at, uint64_t n) {
  return at > kMaxSize || n > kMaxSize - at;
}

template <typename T = int>
T Fail(int error, T result = -1) {
  errno = error;
  return result;
}

void Apply(std::string& bytes, const std::string& change, uint64_t offset,
           size_t n) {
  if (bytes.size() < offset + n) bytes.resize(offset + n);
  std::memcpy(bytes.data() + offset, change.data(), n);
}

void Apply(std::map<std::string, uint64_t>& entries,
           const std::vector<std::pair<std::string, uint64_t>>& change) {
  for (const auto& [name, ino] : change) {
    entries.erase(name);
    if (ino != 0) entries[name] = ino;
  }
}

}  // namespace

void MemFs::FailCall(uint64_t nth, int error) {
  fail_at_ = nth == 0 ? 0 : counted_ + nth;
  fail_error_ = error;
  fired_ = false;
}

void MemFs::AfterCall(uint64_t nth, std::function<void()> hook) {
  hook_at_ = counted_ + nth;
  hook_ = std::move(hook);
}

void MemFs::RunHook() {
  if (!hook_) return;
  std::function<void()> hook = std::move(hook_);
  hook_ = nullptr;
  const uint64_t counted = counted_;
  const size_t traced = trace_.size();
  hook();
  counted_ = counted;
  trace_.resize(traced);
}

bool MemFs::Fault(std::string_view call, const std::string& path, size_t* n) {
  if (hook_ && counted_ == hook_at_) RunHook();
  // The state after call N is the state before call N + 1.
  trace_.push_back({call, path});
  if (++counted_ != fail_at_) return false;
  // Error 0 is a short transfer, which one byte cannot be.
  fired_ = fail_error_ != 0 || (n != nullptr && *n >= 2);
  if (fail_error_ == 0) {
    if (fired_) *n /= 2;
    return false;
  }
  errno = fail_error_;
  return true;
}

MemFs::Found MemFs::Lookup(const std::string& path) {
  const std::vector<std::string> parts = Split(path);
  Found found{kRoot, 0, ""};
  for (size_t i = 0; i < parts.size(); ++i) {
    const Inode& node = inodes_[found.ino];
    if (!node.dir) return Fail(ENOTDIR, Found{});
    auto it = node.entries.find(parts[i]);
    if (it == node.entries.end()) {
      const uint64_t parent = i + 1 == parts.size() ? found.ino : 0;
      return Fail(ENOENT, Found{0, parent, parts[i]});
    }
    found = {it->second, found.ino, parts[i]};
  }
  return found;
}

MemFs::Fd* MemFs::Desc(int fd, std::string_view call, size_t* n) {
  if (hook_ && counted_ == hook_at_) RunHook();  // before any lookup
  auto it = fds_.find(fd);
  if (Fault(call, it == fds_.end() ? "" : it->second.path, n)) return nullptr;
  if (it == fds_.end()) return Fail(EBADF, nullptr);
  Fold(it->second.ino);
  return &it->second;
}

void MemFs::Fold(uint64_t ino) {
  Inode& node = inodes_[ino];
  for (Mapped& m : maps_) {
    if (m.ino != ino || m.read_only) continue;
    const char* mapped = m.bytes.get();
    const char* data = node.data->data();
    auto same = [&](uint64_t at, uint64_t n) {
      return std::memcmp(mapped + at, data + at, n) == 0;
    };
    uint64_t start = 0, end = std::min<uint64_t>(m.length, node.data->size());
    if (same(0, end)) continue;
    // The changed range, narrowed a page at a time, then a byte at a time.
    while (start + kPage <= end && same(start, kPage)) start += kPage;
    while (same(start, 1)) ++start;
    while (end >= start + kPage && same(end - kPage, kPage)) end -= kPage;
    while (same(end - 1, 1)) --end;
    std::string bytes(mapped + start, end - start);
    node.data.Mut().replace(start, bytes.size(), bytes);
    node.pending.push_back({start, std::move(bytes), false, true});
    Propagate(ino);
  }
}

void MemFs::Propagate(uint64_t ino, uint64_t from, uint64_t to) {
  const std::string& data = *inodes_[ino].data;
  for (Mapped& m : maps_) {
    if (m.ino != ino) continue;
    const uint64_t len = std::min<uint64_t>(m.length, data.size());
    const uint64_t lo = std::min(from, len), hi = std::min(to, len);
    std::memcpy(m.bytes.get() + lo, data.data() + lo, hi - lo);
    if (to == UINT64_MAX) std::memset(m.bytes.get() + len, 0, m.length - len);
  }
}

void MemFs::ChangeDir(uint64_t dir, DirChange change) {
  Apply(inodes_[dir].entries, change);
  inodes_[dir].dir_pending.push_back(std::move(change));
}

uint64_t MemFs::NewInode(bool dir) {
  inodes_[next_ino_].dir = dir;
  return next_ino_++;
}

int MemFs::Open(const char* path, int flags, mode_t) {
  if (Fault("open", path)) return -1;
  if (flags & O_TRUNC) return Fail(EINVAL);  // unused by the engine
  auto [ino, parent, name] = Lookup(path);
  if (ino == 0) {
    if (errno != ENOENT || parent == 0 || !(flags & O_CREAT)) return -1;
    ChangeDir(parent, {{name, ino = NewInode(false)}});
  } else if ((flags & O_CREAT) && (flags & O_EXCL)) {
    return Fail(EEXIST);
  } else if ((flags & O_DIRECTORY) && !inodes_[ino].dir) {
    return Fail(ENOTDIR);
  } else if (inodes_[ino].dir && Writable(flags)) {
    return Fail(EISDIR);
  }
  fds_[next_fd_] = {ino, 0, flags, path};
  return next_fd_++;
}

int MemFs::Close(int fd) {
  auto it = fds_.find(fd);
  const bool failed = Fault("close", it == fds_.end() ? "" : it->second.path);
  const int error = errno;
  if (it == fds_.end()) return Fail(EBADF);
  std::erase_if(locks_, [fd](const auto& lock) { return lock.second == fd; });
  fds_.erase(it);
  return failed ? Fail(error) : 0;  // closed even when it reports a failure
}

ssize_t MemFs::WriteAt(Fd& f, const void* buf, size_t n, uint64_t at) {
  Inode& node = inodes_[f.ino];
  if (node.dir || !Writable(f.flags)) return Fail(node.dir ? EISDIR : EBADF);
  if (TooBig(at, n)) return Fail(EFBIG);
  std::string bytes(static_cast<const char*>(buf), n);
  Apply(node.data.Mut(), bytes, at, n);
  node.pending.push_back({at, std::move(bytes), false, false});
  Propagate(f.ino, at, at + n);
  return static_cast<ssize_t>(n);
}

ssize_t MemFs::Write(int fd, const void* buf, size_t n) {
  Fd* f = Desc(fd, "write", &n);
  if (f == nullptr) return -1;
  const uint64_t at =
      (f->flags & O_APPEND) ? inodes_[f->ino].data->size() : f->pos;
  const ssize_t put = WriteAt(*f, buf, n, at);
  if (put >= 0) f->pos = at + static_cast<uint64_t>(put);
  return put;
}

ssize_t MemFs::WriteGather(int fd, std::span<const std::string_view> pieces) {
  std::string joined;
  for (std::string_view piece : pieces) joined.append(piece);
  return Write(fd, joined.data(), joined.size());
}

ssize_t MemFs::Pwrite(int fd, const void* buf, size_t n, uint64_t offset) {
  Fd* f = Desc(fd, "pwrite", &n);
  return f == nullptr ? -1 : WriteAt(*f, buf, n, offset);
}

ssize_t MemFs::Pread(int fd, void* buf, size_t n, uint64_t at) {
  Fd* f = Desc(fd, "pread", &n);
  if (f == nullptr) return -1;
  const Inode& node = inodes_[f->ino];
  const std::string& data = *node.data;
  if (node.dir || !Readable(f->flags)) return Fail(node.dir ? EISDIR : EBADF);
  if (at >= uint64_t{1} << 63) return Fail(EINVAL);
  if (at >= data.size()) return 0;
  n = std::min<uint64_t>(n, data.size() - at);
  std::memcpy(buf, data.data() + at, n);
  return static_cast<ssize_t>(n);
}

int MemFs::Stat(int fd, FileInfo* info) {
  Fd* f = Desc(fd, "fstat");
  return f == nullptr ? -1 : Info(f->ino, info);
}

int64_t MemFs::SeekEnd(int fd) {
  Fd* f = Desc(fd, "lseek");
  return f == nullptr ? -1 : static_cast<int64_t>(inodes_[f->ino].data->size());
}

int MemFs::StatPath(const char* path, FileInfo* info) {
  if (Fault("stat", path)) return -1;
  const uint64_t ino = Lookup(path).ino;
  if (ino == 0) return -1;
  Fold(ino);
  return Info(ino, info);
}

int MemFs::Info(uint64_t ino, FileInfo* info) {
  const Inode& node = inodes_[ino];
  *info = {node.dir ? kPage : node.data->size(), 0x6d656d, ino, node.dir};
  return 0;
}

int MemFs::Truncate(int fd, uint64_t length) {
  Fd* f = Desc(fd, "ftruncate");
  if (f == nullptr) return -1;
  Inode& node = inodes_[f->ino];
  if (node.dir || !Writable(f->flags)) return Fail(EINVAL);
  if (TooBig(length, 0)) return Fail(EFBIG);
  node.data.Mut().resize(length);
  node.pending.push_back({length, {}, true, false});
  Propagate(f->ino);
  return 0;
}

int MemFs::Sync(int fd, std::string_view call) {
  Fd* f = Desc(fd, call);
  if (f != nullptr) return Written(f->ino);
  if (auto it = fds_.find(fd); fired_ && errno != EINTR && it != fds_.end()) {
    Inode& node = inodes_[it->second.ino];
    node.dropped = !node.dir;
    node.pending.clear();
  }
  return -1;
}

int MemFs::Written(uint64_t ino) {
  Inode& node = inodes_[ino];
  if (!node.dropped) return Settle(ino);
  std::string& bytes = node.durable.Mut();
  for (const Change& c : node.pending) {
    c.resize ? bytes.resize(c.offset)
             : Apply(bytes, c.bytes, c.offset, c.bytes.size());
  }
  node.pending.clear();
  return 0;
}

int MemFs::Settle(uint64_t ino) {
  Inode& node = inodes_[ino];
  node.dropped = false;
  node.durable = node.data;
  node.pending.clear();
  node.durable_entries = node.entries;
  node.dir_pending.clear();
  return 0;
}

int MemFs::Rename(const char* from, const char* to) {
  if (Fault("rename", from)) return -1;
  const Found src = Lookup(from);
  if (src.ino == 0) return -1;
  const Found dst = Lookup(to);
  if (dst.ino == 0 && (errno != ENOENT || dst.parent == 0)) return -1;
  if (src.parent != dst.parent) return Fail(EXDEV);  // the engine never does
  if (dst.ino != src.ino) {
    ChangeDir(dst.parent, {{dst.name, src.ino}, {src.name, 0}});
  }
  return 0;
}

int MemFs::Unlink(const char* path) {
  if (Fault("unlink", path)) return -1;
  const Found found = Lookup(path);
  if (found.ino == 0) return -1;
  ChangeDir(found.parent, {{found.name, 0}});
  return 0;
}

int MemFs::MakeDirectory(const char* path, mode_t) {
  if (Fault("mkdir", path)) return -1;
  const Found found = Lookup(path);
  if (found.ino != 0) return Fail(EEXIST);
  if (errno != ENOENT || found.parent == 0) return -1;
  ChangeDir(found.parent, {{found.name, NewInode(true)}});
  return 0;
}

int MemFs::LockExclusive(int fd) {
  Fd* f = Desc(fd, "flock");
  if (f == nullptr) return -1;
  auto [it, fresh] = locks_.try_emplace(f->ino, fd);
  return fresh || it->second == fd ? 0 : Fail(EWOULDBLOCK);
}

int MemFs::LockShared(int fd) {
  Fd* f = Desc(fd, "flock");
  if (f == nullptr) return -1;
  auto held = locks_.find(f->ino);
  return held == locks_.end() || held->second == fd ? 0 : Fail(EWOULDBLOCK);
}

// One Db of each way drives a MemFs at a time, so no range lock, and no
// shared flock, ever conflicts with another of its kind.
int MemFs::LockRange(int fd, RangeLock, uint64_t, uint64_t, bool) {
  return Desc(fd, "fcntl") == nullptr ? -1 : 0;
}

int MemFs::FileSystemType(const char* path, uint64_t* type) {
  if (Fault("statfs", path)) return -1;
  *type = 0xEF53;  // ext4's
  return 0;
}

void* MemFs::Map(int fd, uint64_t length, bool read_only) {
  Fd* f = Desc(fd, "mmap");
  if (f == nullptr) return nullptr;
  if (length == 0 || inodes_[f->ino].dir) return Fail(EINVAL, nullptr);
  if (!Readable(f->flags) || (!read_only && !Writable(f->flags))) {
    return Fail(EACCES, nullptr);
  }
  if (TooBig(0, length)) return Fail(ENOMEM, nullptr);
  maps_.push_back({f->ino, length, read_only,
                   std::make_unique_for_overwrite<char[]>(length), f->path});
  Propagate(f->ino);
  return maps_.back().bytes.get();
}

MemFs::Mapped* MemFs::FindMap(void* addr, std::string_view call) {
  if (hook_ && counted_ == hook_at_) RunHook();  // before any lookup
  auto it = std::find_if(maps_.begin(), maps_.end(), [addr](const Mapped& m) {
    return m.bytes.get() == addr;
  });
  if (Fault(call, it == maps_.end() ? "" : it->path)) return nullptr;
  if (it == maps_.end()) return Fail(EINVAL, nullptr);
  Fold(it->ino);
  return &*it;
}

int MemFs::Unmap(void* addr, uint64_t) {
  Mapped* m = FindMap(addr, "munmap");
  if (m == nullptr) return -1;
  maps_.erase(maps_.begin() + (m - maps_.data()));
  return 0;
}

int MemFs::SyncMapping(void* addr, uint64_t) {
  Mapped* m = FindMap(addr, "msync");
  // Like fdatasync of the file: the mapping is its only writer here.
  return m == nullptr ? -1 : Written(m->ino);
}

std::unique_ptr<MemFs> MemFs::Clone() {
  for (const Mapped& m : maps_) Fold(m.ino);
  auto out = std::make_unique<MemFs>();
  out->inodes_ = inodes_;
  out->next_ino_ = next_ino_;
  return out;
}

std::unique_ptr<MemFs> MemFs::Crash(Outcome outcome, uint64_t seed) {
  std::unique_ptr<MemFs> out = Clone();
  std::mt19937_64 rng(seed);
  const bool random = outcome >= Outcome::kPrefix;
  auto keep = [&](size_t n) -> size_t {
    if (outcome == Outcome::kNoneReached) return 0;
    return outcome == Outcome::kAllReached ? n : rng() % (n + 1);
  };
  for (auto& [ino, node] : out->inodes_) {
    if (node.dir) {
      node.entries = node.durable_entries;
      const size_t n = keep(node.dir_pending.size());
      for (size_t i = 0; i < n; ++i) Apply(node.entries, node.dir_pending[i]);
      out->Settle(ino);
      continue;
    }
    node.data = node.durable;  // shared until written
    if (node.pending.empty()) continue;
    std::string bytes = *node.durable;
    const size_t n =
        keep(std::count_if(node.pending.begin(), node.pending.end(),
                           [](auto& c) { return !c.from_map; }));
    const bool maps = outcome == Outcome::kAllReached || (random && rng() % 2);
    size_t seen = 0;
    for (const Change& c : node.pending) {
      if (c.from_map ? !maps : seen++ >= n) continue;
      uint64_t len = c.bytes.size();
      // The last write kept may be torn at a page boundary.
      const uint64_t first_page = (c.offset / kPage + 1) * kPage;
      if (random && seen == n && !c.from_map && !c.resize && rng() % 2 &&
          first_page < c.offset + len) {
        const uint64_t pages = (c.offset + len - first_page - 1) / kPage + 1;
        len = first_page + kPage * (rng() % pages) - c.offset;
      }
      c.resize ? bytes.resize(c.offset) : Apply(bytes, c.bytes, c.offset, len);
    }
    if (outcome == Outcome::kZeroTail && bytes.size() > node.durable->size()) {
      // The bytes of some pages past the durable length arrived, those of
      // the rest of the new length did not.
      const uint64_t first = (node.durable->size() + kPage - 1) / kPage;
      const uint64_t last = (bytes.size() + kPage - 1) / kPage;
      const uint64_t from = std::min<uint64_t>(
          bytes.size(), rng() % 2
                            ? node.durable->size()
                            : kPage * (first + rng() % (last - first + 1)));
      std::fill(bytes.begin() + from, bytes.end(), '\0');
      out->zero_tail_ |= from < bytes.size();
    }
    node.data.p = std::make_shared<std::string>(std::move(bytes));
    out->Settle(ino);
  }
  return out;
}

void MemFs::WriteFile(const std::string& path, const std::string& bytes) {
  uint64_t ino = kRoot;
  const std::vector<std::string> parts = Split(path);
  for (size_t i = 0; i < parts.size(); ++i) {
    auto [it, fresh] = inodes_[ino].entries.try_emplace(parts[i], 0);
    if (fresh) it->second = NewInode(i + 1 < parts.size());
    ino = inodes_[ino].durable_entries[parts[i]] = it->second;
  }
  inodes_[ino].data.p = std::make_shared<std::string>(bytes);
  Settle(ino);
}

}  // namespace marrow::store::testing
