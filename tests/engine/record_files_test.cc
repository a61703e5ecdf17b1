// The record primitives on a Store opened straight from a directory:
// appends, removals, the offsets table and its growth, and reads of damaged
// entries.

#include "store/record_files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "engine/test_util.h"
#include "store/format.h"
#include "store/open.h"

namespace marrow::store {
namespace {

using testing::ReadFile;
using testing::SizeOf;
using testing::TempDir;
using testing::Unhex;
using testing::InChild;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

Store Open(const TempDir& dir, uint64_t cache = 100) {
  auto s = OpenStore(dir.path(), cache);
  EXPECT_TRUE(s.ok()) << testing::Describe(s.ok() ? Failure{} : s.failure());
  return std::move(s.value());
}

std::string Value(const Store& s, RecordId id) {
  auto e = ReadEntry(s, id);
  EXPECT_TRUE(e.ok());
  std::string out;
  Status st = ReadValueBytes(s, e.value(), &out);
  EXPECT_TRUE(st.ok()) << testing::Describe(st.ok() ? Failure{} : st.failure());
  return out;
}

std::string Key(const Store& s, RecordId id) {
  auto e = ReadEntry(s, id);
  EXPECT_TRUE(e.ok());
  std::string out;
  Status st = ReadKeyBytes(s, e.value(), &out);
  EXPECT_TRUE(st.ok()) << testing::Describe(st.ok() ? Failure{} : st.failure());
  return out;
}

bool SameEntry(const OffsetEntry& a, const OffsetEntry& b) {
  return a.key_offset == b.key_offset && a.key_len == b.key_len &&
         a.val_offset == b.val_offset && a.val_len == b.val_len;
}

// Caps the address space at what the process uses now plus `extra` bytes.
bool LimitAddressSpace(uint64_t extra) {
  std::ifstream status("/proc/self/status");
  std::string line;
  uint64_t vm_kb = 0;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) vm_kb = std::stoull(line.substr(7));
  }
  if (vm_kb == 0) return false;
  rlimit lim{vm_kb * 1024 + extra, vm_kb * 1024 + extra};
  return ::setrlimit(RLIMIT_AS, &lim) == 0;
}

TEST(OffsetEntryTest, FieldsSitAtZeroEightTwelveTwenty) {
  const OffsetEntry e{0x0102030405060708, 0x0a0b0c0d, 0x1112131415161718,
                      0x1a1b1c1d};
  uint8_t slot[24];
  EncodeOffsetEntry(e, slot);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(slot), 24),
            Unhex("0807060504030201 0d0c0b0a 1817161514131211 1d1c1b1a"));
  EXPECT_TRUE(SameEntry(DecodeOffsetEntry(slot), e));
}

TEST(RecordFilesTest, AppendsLandWhereTheirEntriesSay) {
  TempDir dir;
  Store s = Open(dir);
  EXPECT_EQ(SizeOf(dir.File(kOffsetsFile)), 2400000u);
  EXPECT_EQ(s.offsets_capacity, 100000u);

  MARROW_ASSERT_OK(AppendRecord(s, "ab", "xyz"));
  MARROW_ASSERT_OK(AppendRecord(s, "", ""));
  MARROW_ASSERT_OK(AppendRecord(s, "c\xc3\xa9", ""));
  MARROW_ASSERT_OK(AppendRecord(s, "", "v"));  // replaces the empty key
  EXPECT_EQ(s.next_id, 4u);
  EXPECT_EQ(s.keys_end, 5u);
  EXPECT_EQ(s.vals_end, 4u);

  auto e0 = ReadEntry(s, 0);
  ASSERT_TRUE(e0.ok());
  EXPECT_TRUE(SameEntry(e0.value(), {0, 2, 0, 3}));
  EXPECT_TRUE(SameEntry(ReadEntry(s, 1).value(), {2, 0, 3, 0}));
  EXPECT_TRUE(SameEntry(ReadEntry(s, 2).value(), {2, 3, 3, 0}));
  EXPECT_TRUE(SameEntry(ReadEntry(s, 3).value(), {5, 0, 3, 1}));
  EXPECT_EQ(Key(s, 2), "c\xc3\xa9");
  EXPECT_EQ(Value(s, 0), "xyz");
  EXPECT_EQ(Value(s, 1), "");
  EXPECT_EQ(Value(s, 3), "v");

  // The table is shared with the file.
  const std::string offsets = ReadFile(dir.File(kOffsetsFile));
  ASSERT_EQ(offsets.size(), 2400000u);
  EXPECT_EQ(offsets.substr(0, 24),
            Unhex("0000000000000000 02000000 0000000000000000 03000000"));
  EXPECT_EQ(offsets.find_first_not_of('\0', 4 * 24), std::string::npos);
  EXPECT_EQ(ReadFile(dir.File(kKeysFile)), "abc\xc3\xa9");
  EXPECT_EQ(ReadFile(dir.File(kValsFile)), "xyzv");

  std::vector<uint32_t> live;
  s.live.ForEach([&](uint32_t v) {
    live.push_back(v);
    return true;
  });
  EXPECT_EQ(live, (std::vector<uint32_t>{0, 2, 3}));
  EXPECT_TRUE(s.dead.Contains(1));
  EXPECT_EQ(s.dead.Cardinality(), 1u);
}

TEST(RecordFilesTest, RewriteKeepsBothCopiesAndRetiresTheOld) {
  TempDir dir;
  Store s = Open(dir);
  MARROW_ASSERT_OK(AppendRecord(s, "k", "1"));
  MARROW_ASSERT_OK(AppendRecord(s, "k", "22"));
  EXPECT_EQ(ReadFile(dir.File(kKeysFile)), "kk");
  EXPECT_EQ(ReadFile(dir.File(kValsFile)), "122");
  EXPECT_EQ(s.key_index.at(Fingerprint("k")), 1u);
  EXPECT_FALSE(s.live.Contains(0));
  EXPECT_TRUE(s.live.Contains(1));
  EXPECT_TRUE(s.dead.Contains(0));
  EXPECT_FALSE(s.record_keys.Find(0));
  ASSERT_TRUE(s.record_keys.Find(1));
  EXPECT_EQ(*s.record_keys.Find(1), "k");
  EXPECT_EQ(Value(s, 0), "1");  // the old record stays readable by id
  EXPECT_EQ(*s.cache.Lookup(Fingerprint("k")), "22");
}

TEST(RecordFilesTest, RemoveRecord) {
  TempDir dir;
  Store s = Open(dir);
  MARROW_ASSERT_OK(AppendRecord(s, "k", "1"));
  EXPECT_FALSE(RemoveRecord(s, "other"));
  EXPECT_EQ(s.live.Cardinality(), 1u);
  EXPECT_EQ(s.dead.Cardinality(), 0u);
  EXPECT_EQ(s.key_index.size(), 1u);

  EXPECT_TRUE(RemoveRecord(s, "k"));
  EXPECT_EQ(s.live.Cardinality(), 0u);
  EXPECT_TRUE(s.dead.Contains(0));
  EXPECT_TRUE(s.key_index.empty());
  EXPECT_EQ(s.cache.size(), 0u);
  EXPECT_FALSE(s.record_keys.Find(0));
  EXPECT_EQ(s.next_id, 1u);
  EXPECT_FALSE(RemoveRecord(s, "k"));
  // The record's bytes and entry stay.
  EXPECT_EQ(Value(s, 0), "1");
}

TEST(RecordFilesTest, OffsetsDoubleWhenTheNextIdReachesCapacity) {
  TempDir dir;
  {
    Store s = Open(dir);
    // As if 99999 records had been appended.
    s.next_id = 99999;
    MARROW_ASSERT_OK(AppendRecord(s, "last", "fits"));
    EXPECT_EQ(SizeOf(dir.File(kOffsetsFile)), 2400000u);
    EXPECT_EQ(s.offsets_capacity, 100000u);
    MARROW_ASSERT_OK(AppendRecord(s, "first", "grown"));
    EXPECT_EQ(SizeOf(dir.File(kOffsetsFile)), 4800000u);
    EXPECT_EQ(s.offsets_capacity, 200000u);
    EXPECT_EQ(s.offsets_map.size(), 4800000u);
    EXPECT_EQ(Value(s, 99999), "fits");
    EXPECT_EQ(Value(s, 100000), "grown");
    EXPECT_TRUE(SameEntry(ReadEntry(s, 100000).value(), {4, 5, 4, 5}));
  }
  // Entries written before and after the growth reached the file.
  const std::string offsets = ReadFile(dir.File(kOffsetsFile));
  EXPECT_EQ(offsets.substr(99999 * 24, 48),
            Unhex("0000000000000000 04000000 0000000000000000 04000000"
                  "0400000000000000 05000000 0400000000000000 05000000"));
  Store again = Open(dir);
  EXPECT_EQ(again.offsets_capacity, 200000u);
}

TEST(RecordFilesTest, SlotsOutsideTheMappingAreRangeFailures) {
  TempDir dir;
  Store s = Open(dir);
  auto end = ReadEntry(s, 100000);
  ASSERT_FALSE(end.ok());
  EXPECT_EQ(end.failure().form, FailureForm::kInternalMessage);
  EXPECT_EQ(end.failure().message,
            "range end index 2400024 out of range for slice of length 2400000");
  auto start = ReadEntry(s, 100001);
  ASSERT_FALSE(start.ok());
  EXPECT_EQ(
      start.failure().message,
      "range start index 2400024 out of range for slice of length 2400000");

  // An append whose slot one doubling cannot reach changes nothing.
  MARROW_ASSERT_OK(AppendRecord(s, "k", "old"));
  s.next_id = 400000;
  Status st = AppendRecord(s, "k", "new");
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(
      st.failure().message,
      "range start index 9600000 out of range for slice of length 4800000");
  EXPECT_EQ(s.next_id, 400000u);
  EXPECT_EQ(s.key_index.at(Fingerprint("k")), 0u);
  EXPECT_TRUE(s.live.Contains(0));
  EXPECT_EQ(s.live.Cardinality(), 1u);
  EXPECT_EQ(s.dead.Cardinality(), 0u);
  EXPECT_EQ(s.keys_end, 1u);
  EXPECT_EQ(s.vals_end, 3u);
  ASSERT_TRUE(s.record_keys.Find(0));
  EXPECT_EQ(*s.cache.Lookup(Fingerprint("k")), "old");
}

TEST(RecordFilesTest, AppendLimits) {
  TempDir dir;
  Store s = Open(dir);
  MARROW_EXPECT_OK(CheckAppendLimits(s, kMaxFieldLength, kMaxFieldLength));
  Status key = CheckAppendLimits(s, kMaxFieldLength + 1, 0);
  ASSERT_FALSE(key.ok());
  EXPECT_EQ(key.failure().form, FailureForm::kValueError);
  Status val = CheckAppendLimits(s, 0, kMaxFieldLength + 1);
  ASSERT_FALSE(val.ok());
  EXPECT_EQ(val.failure().form, FailureForm::kValueError);

  s.next_id = UINT32_MAX - 1;
  MARROW_EXPECT_OK(CheckAppendLimits(s, 1, 1));
  s.next_id = UINT32_MAX;
  Status ids = CheckAppendLimits(s, 1, 1);
  ASSERT_FALSE(ids.ok());
  EXPECT_EQ(ids.failure().form, FailureForm::kOverflow);
  // The refusal comes before anything is written.
  Status append = AppendRecord(s, "k", "v");
  ASSERT_FALSE(append.ok());
  EXPECT_EQ(append.failure().form, FailureForm::kOverflow);
  EXPECT_EQ(s.keys_end, 0u);
  EXPECT_EQ(SizeOf(dir.File(kKeysFile)), 0u);
}

TEST(RecordFilesTest, BytesBeyondTheFileFailToFill) {
  TempDir dir;
  Store s = Open(dir);
  MARROW_ASSERT_OK(AppendRecord(s, "key", "value"));
  std::string out;
  for (OffsetEntry e : {OffsetEntry{0, 3, 1, 5},           // one byte short
                        OffsetEntry{0, 3, 6, 1},           // past the end
                        OffsetEntry{0, 3, 0, 0xFFFFFFFF},  // 4 GB
                        OffsetEntry{0, 3, uint64_t{1} << 40, 2 << 20}}) {
    Status st = ReadValueBytes(s, e, &out);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.failure().form, FailureForm::kInternal);
    EXPECT_EQ(st.failure().error.description, "failed to fill whole buffer");
    EXPECT_NE(st.failure().Text().find("failed to fill whole buffer"),
              std::string::npos);
  }
  Status key = ReadKeyBytes(s, {1, 0xFFFFFFFF, 0, 0}, &out);
  ASSERT_FALSE(key.ok());
  EXPECT_EQ(key.failure().error.description, "failed to fill whole buffer");
  // Zero bytes at the very end are a valid empty read.
  MARROW_EXPECT_OK(ReadValueBytes(s, {0, 0, 5, 0}, &out));
  EXPECT_EQ(out, "");
}

TEST(RecordFilesTest, ADamagedLengthIsNotAllocated) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer's allocator ignores RLIMIT_AS";
  TempDir dir;
  Store s = Open(dir);
  MARROW_ASSERT_OK(AppendRecord(s, "key", "value"));
  const int status = InChild([&]() -> int {
    if (!LimitAddressSpace(uint64_t{1} << 30)) return 10;
    try {
      std::string out;
      Status st = ReadValueBytes(s, {0, 3, 0, 0xFFFFFFFF}, &out);
      if (st.ok()) return 11;
      if (st.failure().error.description != "failed to fill whole buffer") {
        return 12;
      }
      Status key = ReadKeyBytes(s, {0, 0xFFFFFFF0, 0, 5}, &out);
      if (key.ok() ||
          key.failure().error.description != "failed to fill whole buffer") {
        return 13;
      }
    } catch (...) {
      return 14;  // the 4 GB buffer was asked for
    }
    return 0;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace marrow::store
