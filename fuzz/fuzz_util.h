// Helpers shared by the fuzz targets: a scratch directory per process and
// whole-file writes.

#ifndef MARROW_FUZZ_FUZZ_UTIL_H_
#define MARROW_FUZZ_FUZZ_UTIL_H_

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace marrow::fuzz {

// A directory private to this process, on a memory file system when there
// is one (the store syncs files), removed at exit.
inline const std::string& ScratchDir() {
  static const std::string dir = [] {
    std::string base = std::filesystem::is_directory("/dev/shm")
                           ? "/dev/shm"
                           : std::filesystem::temp_directory_path().string();
    std::string templ = base + "/marrow-fuzz-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) std::abort();
    static std::string to_remove = templ;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(to_remove, ignored);
    });
    return templ;
  }();
  return dir;
}

// Replaces `path` with exactly these bytes.
inline void WriteWholeFile(const std::string& path, const uint8_t* data,
                           size_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  while (size > 0) {
    ssize_t put = ::write(fd, data, size);
    if (put <= 0) std::abort();
    data += put;
    size -= static_cast<size_t>(put);
  }
  ::close(fd);
}

// Removes everything inside `dir`, keeping `dir`.
inline void EmptyDir(const std::string& dir) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

// A failed check: a message and a crash libFuzzer records.
#define FUZZ_CHECK(cond)                                                  \
  do {                                                                    \
    if (!(cond)) {                                                        \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #cond);                                                \
      std::abort();                                                       \
    }                                                                     \
  } while (0)

}  // namespace marrow::fuzz

#endif  // MARROW_FUZZ_FUZZ_UTIL_H_
