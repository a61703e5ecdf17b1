// Helpers shared by the engine's unit tests: a temporary directory that
// removes itself, whole-file reads and writes, little-endian encoders and
// assertions on Status/Result.

#ifndef MARROW_TESTS_ENGINE_TEST_UTIL_H_
#define MARROW_TESTS_ENGINE_TEST_UTIL_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "store/bitmap.h"
#include "store/db.h"
#include "store/error.h"

namespace marrow::store::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") +
        "/marrow-engine-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed for " << pattern;
    }
    path_ = buf.data();
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }

  const std::string& path() const { return path_; }
  std::string File(std::string_view name) const {
    return path_ + "/" + std::string(name);
  }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::string out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << "cannot open " << path;
  if (fd < 0) return out;
  char buf[1 << 16];
  ssize_t got;
  while ((got = ::read(fd, buf, sizeof buf)) > 0)
    out.append(buf, static_cast<size_t>(got));
  EXPECT_EQ(got, 0) << "cannot read " << path;
  ::close(fd);
  return out;
}

inline void WriteFile(const std::string& path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

inline uint64_t SizeOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Little-endian pieces for hand-built files.
inline void AddU16(std::string* s, uint16_t v) {
  for (int i = 0; i < 2; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
}
inline void AddU32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
}
inline void AddU64(std::string* s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
}

// "3a 30 00" -> bytes; spaces are ignored.
inline std::string Unhex(std::string_view hex) {
  std::string out;
  int hi = -1;
  for (char c : hex) {
    if (c == ' ') continue;
    int v = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                     : c - 'A' + 10;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<char>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

inline std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

inline const uint8_t* U8(std::string_view s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

inline std::string Describe(const Failure& f) {
  std::ostringstream out;
  out << "form " << static_cast<int>(f.form) << ": " << f.Text() << " (at "
      << f.where.file_name() << ":" << f.where.line() << ")";
  return out.str();
}

#define MARROW_EXPECT_OK(expr)                                  \
  do {                                                          \
    const auto& _s = (expr);                                    \
    EXPECT_TRUE(_s.ok()) << ::marrow::store::testing::Describe( \
        _s.ok() ? ::marrow::store::Failure{} : _s.failure());   \
  } while (0)

#define MARROW_ASSERT_OK(expr)                                  \
  do {                                                          \
    const auto& _s = (expr);                                    \
    ASSERT_TRUE(_s.ok()) << ::marrow::store::testing::Describe( \
        _s.ok() ? ::marrow::store::Failure{} : _s.failure());   \
  } while (0)

// Opens a Db, failing the test when it cannot.
inline std::unique_ptr<Db> OpenDb(const std::string& dir,
                                  uint64_t cache_size = 10000) {
  auto db = Db::Open(dir, cache_size);
  EXPECT_TRUE(db.ok()) << Describe(db.ok() ? Failure{} : db.failure());
  if (!db.ok()) return nullptr;
  return std::move(db.value());
}

// The value under `key`, nullopt when absent; a failed read fails the test.
inline std::optional<std::string> Get(Db& db, std::string_view key) {
  std::optional<std::string> out;
  auto found = db.GetBytes(key, [&](std::string_view v) { out.emplace(v); });
  EXPECT_TRUE(found.ok()) << Describe(found.ok() ? Failure{} : found.failure());
  if (!found.ok() || !found.value()) return std::nullopt;
  return out;
}

// The sorted live keys; a failed listing fails the test.
inline std::vector<std::string> SortedKeys(Db& db) {
  auto keys = db.Keys();
  EXPECT_TRUE(keys.ok()) << Describe(keys.ok() ? Failure{} : keys.failure());
  if (!keys.ok()) return {};
  std::vector<std::string> out = std::move(keys.value());
  std::sort(out.begin(), out.end());
  return out;
}

// Runs `body` in a forked child and returns its exit status (or 128 + the
// signal that ended it).
template <typename Fn>
int InChild(Fn body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The members of a bitmap in ascending order.
inline std::vector<uint32_t> Members(const Bitmap& b) {
  std::vector<uint32_t> out;
  b.ForEach([&](uint32_t v) {
    out.push_back(v);
    return true;
  });
  return out;
}

}  // namespace marrow::store::testing

#endif  // MARROW_TESTS_ENGINE_TEST_UTIL_H_
