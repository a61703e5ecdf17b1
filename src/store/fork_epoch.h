// How many times this process's ancestry forked since the engine was
// loaded: a child counts one more than the parent had at the fork. An
// object made before a fork belongs to the parent; a child that finds a
// stale count refuses to use it (the descriptors, locks and mappings it
// would act through are the parent's) and releases it without writing.
//
// Thread-safety: all of it.

#ifndef MARROW_STORE_FORK_EPOCH_H_
#define MARROW_STORE_FORK_EPOCH_H_

#include <cstdint>

namespace marrow::store {

uint64_t ForkEpoch();

}  // namespace marrow::store

#endif  // MARROW_STORE_FORK_EPOCH_H_
