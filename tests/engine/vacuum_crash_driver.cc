// vacuum_crash_driver DIR POINT
//
// Opens the store in DIR and runs vacuum (or persist, when POINT starts with
// "persist."), killing itself with SIGKILL when the engine reaches the crash
// point named POINT. With a POINT that is never reached (say "none") the
// operation runs to the end, so a test can kill the process at a random
// instant instead.
//
// Exit status: 0 when the operation finished, 2 when the store did not
// open, 3 when the operation failed, 64 on bad usage.

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "store/crash_points.h"
#include "store/db.h"

namespace {

const char* g_point = nullptr;

void StopAt(const char* point) {
  if (std::strcmp(point, g_point) == 0) ::raise(SIGKILL);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DIR POINT\n", argv[0]);
    return 64;
  }
  g_point = argv[2];
  marrow::store::SetCrashHook(StopAt);

  auto db = marrow::store::Db::Open(argv[1], 100);
  if (!db.ok()) {
    std::fprintf(stderr, "open failed: %s\n", db.failure().Text().c_str());
    return 2;
  }
  const bool persist = std::strncmp(g_point, "persist.", 8) == 0;
  marrow::store::Status st =
      persist ? db.value()->Persist() : db.value()->Vacuum();
  if (!st.ok()) {
    std::fprintf(stderr, "%s failed: %s\n", persist ? "persist" : "vacuum",
                 st.failure().Text().c_str());
    return 3;
  }
  return 0;
}
