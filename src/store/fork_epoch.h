// How many times this process's ancestry forked since the engine was
// loaded: a child counts one more than the parent had at the fork. An
// object made before a fork belongs to the parent; a child that finds a
// stale count refuses to use it (the descriptors, locks and mappings it
// would act through are the parent's) and releases it without writing.
//
// Thread-safety: all of it.

#ifndef MARROW_STORE_FORK_EPOCH_H_
#define MARROW_STORE_FORK_EPOCH_H_

#include <atomic>
#include <cstdint>

namespace marrow::store {

extern std::atomic<uint64_t> g_fork_epoch;

// Counts forks from the first call on; every object that checks the count
// calls it once when it is made.
void CountForks();

inline uint64_t ForkEpoch() {
  return g_fork_epoch.load(std::memory_order_relaxed);
}

}  // namespace marrow::store

#endif  // MARROW_STORE_FORK_EPOCH_H_
