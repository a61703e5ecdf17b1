#include "store/dir_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <new>
#include <utility>

#include "store/state.h"

namespace marrow::store {

namespace {

using DirKey = std::pair<dev_t, ino_t>;

// The directories this process holds. Entries are weak: a lock lives as long
// as the Dbs that use it.
struct Registry {
  std::mutex mu;
  std::map<DirKey, std::weak_ptr<DirectoryLock>> locks;
};

Registry& registry() {
  // Never destroyed: Dbs may still be released while the process exits.
  alignas(Registry) static unsigned char storage[sizeof(Registry)];
  static Registry* r = ::new (storage) Registry();
  return *r;
}

}  // namespace

Result<std::shared_ptr<DirectoryLock>> DirectoryLock::Acquire(
    const std::string& dir) {
  auto fd = OpenFile(dir.empty() ? "." : dir, O_RDONLY | O_DIRECTORY, 0);
  if (!fd.ok()) return fd.take_failure().As(FailureForm::kIoByKind);
  struct stat st;
  if (::fstat(fd.value().get(), &st) != 0) {
    return Failure::Io(IoError::FromErrno(errno));
  }
  const DirKey key{st.st_dev, st.st_ino};

  Registry& reg = registry();
  std::lock_guard<std::mutex> guard(reg.mu);
  if (auto it = reg.locks.find(key); it != reg.locks.end()) {
    if (std::shared_ptr<DirectoryLock> held = it->second.lock()) {
      held->WriteOutLogs();
      return held;
    }
  }
  while (::flock(fd.value().get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return Failure::Io(IoError::FromErrno(errno));
  }
  auto lock = std::make_shared<DirectoryLock>(std::move(fd.value()), key.first,
                                              key.second);
  reg.locks[key] = lock;
  return lock;
}

DirectoryLock::~DirectoryLock() {
  Registry& reg = registry();
  std::lock_guard<std::mutex> guard(reg.mu);
  auto it = reg.locks.find({dev_, ino_});
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
      std::unique_lock<std::shared_mutex> hold(wal->mutex());
      (void)wal->writer().WriteOut();  // what fails stays buffered
    }
  }
}

}  // namespace marrow::store
