// Opening a store whose five files hold arbitrary bytes, then using every
// method. Failures are fine; crashes, sanitizer reports, hangs and
// unbounded allocations are not. The files live in MemFs, the tests'
// in-memory file system, so a run costs no system calls.
//
// Input: five little-endian 32-bit lengths, then the bytes of keys.bin,
// vals.bin, offsets.bin, wal.bin and snapshot.bin in that order; a length
// larger than what is left takes what is left. A file whose length is
// 0xFFFFFFFF is left out (missing rather than empty).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/mem_fs.h"
#include "store/db.h"

constexpr const char* kFiles[] = {"keys.bin", "vals.bin", "offsets.bin",
                                  "wal.bin", "snapshot.bin"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 20) return 0;
  marrow::store::testing::MemFs fs;
  const std::string dir = "/store";
  const uint8_t* p = data + 20;
  for (int i = 0; i < 5; ++i) {
    const uint8_t* h = data + 4 * i;
    const uint32_t declared =
        h[0] | h[1] << 8 | h[2] << 16 | uint32_t{h[3]} << 24;
    if (declared == 0xFFFFFFFF) continue;  // missing
    const size_t n = std::min<size_t>(declared, data + size - p);
    fs.WriteFile(dir + "/" + kFiles[i],
                 std::string(reinterpret_cast<const char*>(p), n));
    p += n;
  }

  fs.MakeDirectory(dir.c_str(), 0755);  // when every file is left out
  auto opened = marrow::store::Db::Open(dir, 8, fs);
  if (!opened.ok()) return 0;
  marrow::store::Db& db = *opened.value();
  (void)db.Len().ok();
  (void)db.GetCacheStats();
  std::vector<std::string> keys;
  if (auto listed = db.Keys(); listed.ok()) keys = std::move(listed.value());
  if (keys.size() > 256) keys.resize(256);
  for (const std::string& key : keys) {
    (void)db.GetBytes(key, [](std::string_view) {});
  }
  keys.push_back("absent");
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  (void)db.GetMany(views, [](size_t, const std::string_view*) {});
  db.ClearCache();
  (void)db.SetBytes("fuzz", "value");
  (void)db.Delete(keys.empty() ? "k" : keys.front());
  (void)db.Persist();
  (void)db.Vacuum();
  (void)db.GetBytes("fuzz", [](std::string_view) {});
  (void)db.Len().ok();
  return 0;
}
