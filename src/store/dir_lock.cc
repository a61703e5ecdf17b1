#include "store/dir_lock.h"

#include <fcntl.h>

#include <cerrno>
#include <map>
#include <new>
#include <utility>

#include "store/fork_epoch.h"
#include "store/shared_state.h"
#include "store/state.h"

namespace marrow::store {

namespace {

// The directories this process holds. Entries are weak: a lock lives as long
// as the Dbs that use it.
struct Registry {
  std::mutex mu;
  std::map<DirectoryLock::Key, std::weak_ptr<DirectoryLock>> locks;
};

Registry& registry() {
  // Never destroyed: Dbs may still be released while the process exits.
  alignas(Registry) static unsigned char storage[sizeof(Registry)];
  static Registry* r = ::new (storage) Registry();
  return *r;
}

}  // namespace

Result<std::shared_ptr<DirectoryLock>> DirectoryLock::Acquire(
    FileSystem& fs, const std::string& dir) {
  auto fd = OpenFile(fs, dir.empty() ? "." : dir, O_RDONLY | O_DIRECTORY, 0);
  if (!fd.ok()) return fd.take_failure().As(FailureForm::kIoByKind);
  auto info = StatFile(fd.value());
  if (!info.ok()) return info.take_failure().As(FailureForm::kIoByKind);
  const Key key{&fs, info.value().device, info.value().inode};

  Registry& reg = registry();
  std::lock_guard<std::mutex> guard(reg.mu);
  if (auto it = reg.locks.find(key); it != reg.locks.end()) {
    std::shared_ptr<DirectoryLock> held = it->second.lock();
    if (held && held->fork_epoch_ == ForkEpoch()) {
      held->WriteOutLogs();
      return held;
    }
  }
  while (fs.LockExclusive(fd.value().get()) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    // Only holders the multiprocess way let a shared lock in beside them.
    if (error == EWOULDBLOCK && fs.LockShared(fd.value().get()) == 0) {
      return Failure::Io(IoError::Custom(ErrorKind::kWouldBlock,
                                         SharedState::kHeldMultiprocess));
    }
    return Failure::Io(IoError::FromErrno(error));
  }
  auto lock = std::make_shared<DirectoryLock>(std::move(fd.value()), key,
                                              ForkEpoch());
  reg.locks[key] = lock;
  return lock;
}

DirectoryLock::~DirectoryLock() {
  Registry& reg = registry();
  std::lock_guard<std::mutex> guard(reg.mu);
  auto it = reg.locks.find(key_);
  if (it != reg.locks.end() && it->second.expired()) reg.locks.erase(it);
}

void DirectoryLock::Register(const std::shared_ptr<WalHandle>& wal) {
  std::lock_guard<std::mutex> guard(mu_);
  std::erase_if(writers_, [](const auto& w) { return w.expired(); });
  writers_.push_back(wal);
}

void DirectoryLock::WriteOutLogs() {
  std::lock_guard<std::mutex> guard(mu_);
  for (const auto& weak : writers_) {
    if (std::shared_ptr<WalHandle> wal = weak.lock()) {
      std::unique_lock<SharedMutex> hold(wal->mutex());
      (void)wal->writer().WriteOut();  // what fails stays buffered
    }
  }
}

}  // namespace marrow::store
