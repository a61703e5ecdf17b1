#include "store/crash_points.h"

namespace marrow::store {

namespace {
CrashHook g_hook = nullptr;
}  // namespace

void SetCrashHook(CrashHook hook) { g_hook = hook; }

void CrashPoint(const char* point) {
  if (g_hook != nullptr) g_hook(point);
}

}  // namespace marrow::store
