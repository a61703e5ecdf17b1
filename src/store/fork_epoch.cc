#include "store/fork_epoch.h"

#include <pthread.h>

#include <atomic>

namespace marrow::store {

namespace {

std::atomic<uint64_t> g_epoch{0};

void CountFork() { g_epoch.fetch_add(1, std::memory_order_relaxed); }

// Registered when the engine is loaded, before any object exists.
const bool g_registered = [] {
  return pthread_atfork(nullptr, nullptr, CountFork) == 0;
}();

}  // namespace

uint64_t ForkEpoch() {
  (void)g_registered;
  return g_epoch.load(std::memory_order_relaxed);
}

}  // namespace marrow::store
