// snapshot.bin: the exact encoding, and a reader that takes any damage for
// "no snapshot" but reports a failure to read.

#include "store/snapshot.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "engine/test_util.h"
#include "store/fingerprint.h"
#include "store/format.h"

namespace marrow::store {
namespace {

using testing::AddU16;
using testing::AddU32;
using testing::AddU64;
using testing::ReadFile;
using testing::TempDir;
using testing::Unhex;
using testing::WriteFile;
using testing::Members;

// Reads `path`, expecting the read itself to succeed.
std::optional<SnapshotData> Load(const std::string& path) {
  auto r = ReadSnapshot(path);
  EXPECT_TRUE(r.ok()) << testing::Describe(r.ok() ? Failure{} : r.failure());
  if (!r.ok()) return std::nullopt;
  return std::move(r.value());
}

struct Sample {
  KeyIndex index;
  Bitmap live;
  Bitmap dead;

  explicit Sample(bool with_bitset = true) {
    for (uint32_t i = 0; i < 50; ++i) {
      index[Fingerprint("key" + std::to_string(i))] = i * 3;
      live.Add(i * 3);
      dead.Add(i * 3 + 1);
    }
    if (with_bitset) {
      for (uint32_t v = 200000; v < 206000; ++v) dead.Add(v);
    } else {
      dead.Add(200000);  // a second container
    }
  }
  SnapshotView View() const {
    return {
        index, live, dead, 0xFFFFFFF0u, uint64_t{1} << 40, 0x0123456789abcdefu};
  }
};

TEST(SnapshotTest, RoundTrip) {
  TempDir dir;
  const std::string path = dir.File(kSnapshotFile);
  Sample s;
  MARROW_ASSERT_OK(WriteSnapshot(s.View(), path));
  std::optional<SnapshotData> back = Load(path);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->key_index, s.index);
  EXPECT_EQ(Members(back->live), Members(s.live));
  EXPECT_EQ(Members(back->dead), Members(s.dead));
  EXPECT_EQ(back->next_id, 0xFFFFFFF0u);
  EXPECT_EQ(back->keys_end, uint64_t{1} << 40);
  EXPECT_EQ(back->vals_end, 0x0123456789abcdefu);
  // 44 + 12N + L1 + L2.
  const uint64_t expected = 44 + 12 * 50 + s.live.SerializePortable().size() +
                            s.dead.SerializePortable().size();
  EXPECT_EQ(testing::SizeOf(path), expected);
}

TEST(SnapshotTest, EveryTruncationIsNoSnapshot) {
  TempDir dir;
  const std::string path = dir.File(kSnapshotFile);
  Sample s(/*with_bitset=*/false);
  MARROW_ASSERT_OK(WriteSnapshot(s.View(), path));
  const uint64_t full = testing::SizeOf(path);
  ASSERT_TRUE(Load(path).has_value());
  for (uint64_t len = full; len-- > 0;) {
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(len)), 0);
    auto r = ReadSnapshot(path);
    ASSERT_TRUE(r.ok()) << "length " << len;
    ASSERT_FALSE(r.value().has_value()) << "length " << len;
  }
}

// A snapshot from its raw pieces.
std::string RawSnapshot(uint64_t count, const std::string& entries, uint64_t l1,
                        const std::string& live, uint64_t l2,
                        const std::string& dead, uint32_t next_id) {
  std::string s;
  AddU64(&s, count);
  s += entries;
  AddU64(&s, l1);
  s += live;
  AddU64(&s, l2);
  s += dead;
  AddU32(&s, next_id);
  AddU64(&s, 7);
  AddU64(&s, 9);
  return s;
}

TEST(SnapshotTest, CountsLargerThanTheFileAreNoSnapshot) {
  TempDir dir;
  const std::string path = dir.File(kSnapshotFile);
  const std::string empty = Unhex("3a30000000000000");
  // Under the sanitizer, reserving room for these would abort the test.
  for (uint64_t n :
       {uint64_t{1} << 60, UINT64_MAX, uint64_t{1} << 33, uint64_t{2}}) {
    std::string entries(12, '\0');  // room for one entry only
    WriteFile(path, RawSnapshot(n, entries, 8, empty, 8, empty, 1));
    auto r = ReadSnapshot(path);
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r.value().has_value()) << "count " << n;
  }
  for (uint64_t l : {uint64_t{1} << 60, UINT64_MAX, uint64_t{9}}) {
    WriteFile(path, RawSnapshot(0, "", l, empty, 8, empty, 1));
    EXPECT_FALSE(Load(path).has_value()) << "L1 " << l;
    WriteFile(path, RawSnapshot(0, "", 8, empty, l, empty, 1));
    EXPECT_FALSE(Load(path).has_value()) << "L2 " << l;
  }
}

TEST(SnapshotTest, RunContainersLoadAndAreWrittenWithout) {
  TempDir dir;
  const std::string path = dir.File(kSnapshotFile);
  // 12347, one container with runs: 0..9 and 100.
  std::string runs = Unhex("3b300000 01 0000 0a00");
  AddU16(&runs, 2);
  runs += Unhex("0000 0900 6400 0000");
  const std::string empty = Unhex("3a30000000000000");
  WriteFile(path, RawSnapshot(0, "", runs.size(), runs, 8, empty, 101));
  std::optional<SnapshotData> back = Load(path);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->live.Cardinality(), 11u);
  EXPECT_TRUE(back->live.Contains(100));

  const std::string again = dir.File("again.bin");
  MARROW_ASSERT_OK(
      WriteSnapshot(SnapshotView{back->key_index, back->live, back->dead,
                                 back->next_id, back->keys_end, back->vals_end},
                    again));
  const std::string bytes = ReadFile(again);
  EXPECT_EQ(bytes.substr(16, 4), Unhex("3a300000"));  // after N and L1
  std::optional<SnapshotData> reread = Load(again);
  ASSERT_TRUE(reread.has_value());
  EXPECT_EQ(reread->live.Cardinality(), 11u);
}

TEST(SnapshotTest, MissingFileIsNoSnapshotButAReadErrorFails) {
  TempDir dir;
  const std::string path = dir.File(kSnapshotFile);
  EXPECT_FALSE(Load(path).has_value());
  ASSERT_EQ(::mkdir(path.c_str(), 0777), 0);
  auto r = ReadSnapshot(path);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.failure().form, FailureForm::kIoByKind);
  EXPECT_EQ(r.failure().error.os_code, EISDIR);
}

TEST(SnapshotTest, WritingReplacesWhateverStandsAtThePath) {
  TempDir dir;
  const std::string path = dir.File(kSnapshotTempFile);
  const std::string target = dir.File("elsewhere");
  WriteFile(target, "keep me");
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
  KeyIndex index;
  Bitmap live, dead;
  MARROW_ASSERT_OK(WriteSnapshot({index, live, dead, 0, 0, 0}, path));
  EXPECT_EQ(ReadFile(target), "keep me");
  struct stat st;
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 60);
}

}  // namespace
}  // namespace marrow::store
