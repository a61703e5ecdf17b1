// Named points inside persist and vacuum where a test build can stop the
// process, to check that every crash state recovers. Production code never
// installs a hook, so a crash point costs one load and one branch.
//
// Thread-safety: install the hook before any store is used.

#ifndef MARROW_STORE_CRASH_POINTS_H_
#define MARROW_STORE_CRASH_POINTS_H_

namespace marrow::store {

using CrashHook = void (*)(const char* point);

void SetCrashHook(CrashHook hook);
void CrashPoint(const char* point);

}  // namespace marrow::store

#endif  // MARROW_STORE_CRASH_POINTS_H_
