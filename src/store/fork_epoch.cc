#include "store/fork_epoch.h"

#include <pthread.h>

#include <mutex>

namespace marrow::store {

std::atomic<uint64_t> g_fork_epoch{0};

void CountForks() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    (void)pthread_atfork(nullptr, nullptr, [] {
      g_fork_epoch.fetch_add(1, std::memory_order_relaxed);
    });
  });
}

}  // namespace marrow::store
