// The portable bitmap format: what the store writes, and the validation that
// stands between untrusted snapshot bytes and the bitmap library.

#include "store/bitmap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/test_util.h"

namespace marrow::store {
namespace {

using testing::AddU16;
using testing::AddU32;
using testing::U8;
using testing::Unhex;
using testing::Members;

// One container of a hand-built bitmap.
struct Container {
  uint16_t key;
  uint32_t cardinality;
  std::string body;
  bool run = false;
};

std::string ArrayBody(const std::vector<uint16_t>& values) {
  std::string s;
  for (uint16_t v : values) AddU16(&s, v);
  return s;
}

std::string BitsetBody(const std::vector<uint16_t>& values) {
  std::string s(8192, '\0');
  for (uint16_t v : values)
    s[v / 8] = static_cast<char>(s[v / 8] | (1 << (v % 8)));
  return s;
}

// Runs as (start, length - 1) pairs, preceded by their count.
std::string RunBody(const std::vector<std::pair<uint16_t, uint16_t>>& runs) {
  std::string s;
  AddU16(&s, static_cast<uint16_t>(runs.size()));
  for (auto [start, extra] : runs) {
    AddU16(&s, start);
    AddU16(&s, extra);
  }
  return s;
}

std::vector<uint16_t> Range(uint32_t from, uint32_t to) {
  std::vector<uint16_t> v;
  for (uint32_t i = from; i < to; ++i) v.push_back(static_cast<uint16_t>(i));
  return v;
}

// The portable layout: cookie (with the run flags for the run variant),
// descriptive header, offset header when the variant has one, bodies.
std::string Portable(const std::vector<Container>& cs, bool run_variant) {
  std::string out;
  const size_t n = cs.size();
  bool offsets = true;
  if (run_variant) {
    AddU16(&out, 12347);
    AddU16(&out, static_cast<uint16_t>(n - 1));
    std::string flags((n + 7) / 8, '\0');
    for (size_t i = 0; i < n; ++i) {
      if (cs[i].run)
        flags[i / 8] = static_cast<char>(flags[i / 8] | (1 << (i % 8)));
    }
    out += flags;
    offsets = n >= 4;
  } else {
    AddU32(&out, 12346);
    AddU32(&out, static_cast<uint32_t>(n));
  }
  for (const Container& c : cs) {
    AddU16(&out, c.key);
    AddU16(&out, static_cast<uint16_t>(c.cardinality - 1));
  }
  if (offsets) {
    uint32_t pos = static_cast<uint32_t>(out.size() + 4 * n);
    for (const Container& c : cs) {
      AddU32(&out, pos);
      pos += static_cast<uint32_t>(c.body.size());
    }
  }
  for (const Container& c : cs) out += c.body;
  return out;
}

Container Array(uint16_t key, const std::vector<uint16_t>& values) {
  return {key, static_cast<uint32_t>(values.size()), ArrayBody(values)};
}

Container Bitset(uint16_t key, const std::vector<uint16_t>& values) {
  return {key, static_cast<uint32_t>(values.size()), BitsetBody(values)};
}

Container Runs(uint16_t key,
               const std::vector<std::pair<uint16_t, uint16_t>>& runs) {
  uint32_t card = 0;
  for (auto [start, extra] : runs) card += uint32_t{extra} + 1;
  return {key, card, RunBody(runs), true};
}

bool Valid(const std::string& bytes) {
  return Bitmap::ValidatePortable(U8(bytes), bytes.size()).has_value();
}

// Every strict prefix of `bytes` is rejected.
void ExpectEveryPrefixRejected(const std::string& bytes) {
  for (size_t len = 0; len < bytes.size(); ++len) {
    EXPECT_FALSE(Bitmap::ValidatePortable(U8(bytes), len).has_value())
        << "accepted a prefix of " << len << " of " << bytes.size() << " bytes";
    EXPECT_FALSE(Bitmap::DeserializePortable(U8(bytes), len).has_value());
  }
}

TEST(BitmapTest, EmptyBitmapIsEightBytes) {
  Bitmap b;
  EXPECT_EQ(b.SerializePortable(), Unhex("3a30000000000000"));
  auto back = Bitmap::DeserializePortable(U8(Unhex("3a30000000000000")), 8);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->Cardinality(), 0u);
}

TEST(BitmapTest, SingleElementIsEighteenBytes) {
  Bitmap b;
  b.Add(0);
  EXPECT_EQ(b.SerializePortable(),
            Unhex("3a300000 01000000 00000000 10000000 0000"));
}

TEST(BitmapTest, RoundTripsArrayAndBitsetContainers) {
  std::mt19937 rng(7);
  std::set<uint32_t> want = {0, 65535, 65536, 0xFFFFFFFF, 0xFFFF0000};
  for (int i = 0; i < 5000; ++i)
    want.insert(0x30000 + rng() % 65536);            // bitset
  for (int i = 0; i < 300; ++i) want.insert(rng());  // sparse, many keys
  Bitmap b;
  for (uint32_t v : want) b.Add(v);
  b.Add(12);
  b.Remove(12);

  const std::string bytes = b.SerializePortable();
  EXPECT_EQ(bytes.substr(0, 4), Unhex("3a300000"));
  EXPECT_EQ(Bitmap::ValidatePortable(U8(bytes), bytes.size()), bytes.size());
  // Trailing bytes are not part of the bitmap.
  const std::string padded = bytes + "garbage";
  EXPECT_EQ(Bitmap::ValidatePortable(U8(padded), padded.size()), bytes.size());

  auto back = Bitmap::DeserializePortable(U8(padded), padded.size());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->Cardinality(), want.size());
  EXPECT_EQ(Members(*back), std::vector<uint32_t>(want.begin(), want.end()));
  EXPECT_TRUE(back->Contains(0xFFFFFFFF));
  EXPECT_FALSE(back->Contains(12));
  EXPECT_EQ(back->SerializePortable(), bytes);
}

TEST(BitmapTest, ForEachStopsWhenAskedTo) {
  Bitmap b;
  for (uint32_t v : {5u, 1u, 3u, 100000u}) b.Add(v);
  std::vector<uint32_t> seen;
  b.ForEach([&](uint32_t v) {
    seen.push_back(v);
    return v < 3;
  });
  EXPECT_EQ(seen, (std::vector<uint32_t>{1, 3}));
}

TEST(BitmapTest, AcceptsHandBuiltArrayAndBitsetContainers) {
  const std::string bytes =
      Portable({Array(0, {1, 5, 65535}), Bitset(2, Range(100, 4197))}, false);
  ASSERT_EQ(Bitmap::ValidatePortable(U8(bytes), bytes.size()), bytes.size());
  auto b = Bitmap::DeserializePortable(U8(bytes), bytes.size());
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(b->Cardinality(), 3u + 4097u);
  EXPECT_TRUE(b->Contains(65535));
  EXPECT_TRUE(b->Contains((2u << 16) + 100));
  EXPECT_TRUE(b->Contains((2u << 16) + 4196));
  EXPECT_FALSE(b->Contains((2u << 16) + 4197));
}

TEST(BitmapTest, RejectsBrokenHeaders) {
  // Unknown cookies.
  EXPECT_FALSE(Valid(Unhex("39300000 00000000")));
  EXPECT_FALSE(Valid(Unhex("3c300000 00000000")));
  EXPECT_FALSE(Valid(Unhex("3a300100 00000000")));  // 12346 with high bits
  // More than 65536 containers, with or without the bytes to back them.
  std::string many;
  AddU32(&many, 12346);
  AddU32(&many, 65537);
  EXPECT_FALSE(Valid(many));
  many.append(65537 * 8 + 2 * 65537, '\0');
  EXPECT_FALSE(Valid(many));
  std::string huge;
  AddU32(&huge, 12346);
  AddU32(&huge, 0xFFFFFFFF);
  EXPECT_FALSE(Valid(huge));
}

TEST(BitmapTest, RejectsKeysThatDoNotAscend) {
  EXPECT_TRUE(Valid(Portable({Array(1, {1}), Array(2, {1})}, false)));
  EXPECT_FALSE(Valid(Portable({Array(2, {1}), Array(1, {1})}, false)));
  EXPECT_FALSE(Valid(Portable({Array(1, {1}), Array(1, {2})}, false)));
  EXPECT_FALSE(Valid(Portable({Runs(3, {{0, 0}}), Array(3, {1})}, true)));
}

TEST(BitmapTest, RejectsArrayValuesThatDoNotAscend) {
  EXPECT_FALSE(Valid(Portable({Array(0, {5, 4})}, false)));
  EXPECT_FALSE(Valid(Portable({Array(0, {4, 4})}, false)));
  EXPECT_FALSE(Valid(Portable({Array(0, {1, 2, 3}), Array(1, {9, 8})}, false)));
}

TEST(BitmapTest, RejectsABitsetWhosePopulationIsNotItsCardinality) {
  Container c = Bitset(0, Range(0, 5000));
  EXPECT_TRUE(Valid(Portable({c}, false)));
  c.cardinality = 5001;
  EXPECT_FALSE(Valid(Portable({c}, false)));
  c.cardinality = 4999;
  EXPECT_FALSE(Valid(Portable({c}, false)));
  // 4096 or fewer values must be an array, so a bitset body is misread as
  // one and its length no longer matches.
  Container small = Bitset(0, Range(0, 4096));
  EXPECT_FALSE(Valid(Portable({small}, false)));
}

TEST(BitmapTest, RejectsBadRuns) {
  EXPECT_TRUE(Valid(Portable({Runs(0, {{0, 9}, {20, 0}})}, true)));
  // Overlapping, touching the previous run's last value, and out of order.
  EXPECT_FALSE(Valid(Portable({Runs(0, {{0, 9}, {5, 0}})}, true)));
  EXPECT_FALSE(Valid(Portable({Runs(0, {{0, 9}, {9, 0}})}, true)));
  EXPECT_FALSE(Valid(Portable({Runs(0, {{20, 0}, {0, 9}})}, true)));
  // Up to 65535 is fine, one past is not.
  EXPECT_TRUE(Valid(Portable({Runs(0, {{65534, 1}})}, true)));
  EXPECT_FALSE(Valid(Portable({Runs(0, {{65535, 1}})}, true)));
  EXPECT_FALSE(Valid(Portable({Runs(0, {{1, 65535}})}, true)));
  // No runs at all, and a cardinality the runs do not add up to.
  EXPECT_FALSE(Valid(Portable({{0, 1, RunBody({}), true}}, true)));
  Container wrong = Runs(0, {{0, 9}});
  wrong.cardinality = 11;
  EXPECT_FALSE(Valid(Portable({wrong}, true)));
}

TEST(BitmapTest, RejectsWrongOffsets) {
  std::string bytes = Portable({Array(0, {1}), Array(1, {2, 3})}, false);
  ASSERT_TRUE(Valid(bytes));
  // The second container's offset, one byte off either way.
  const size_t at = 8 + 2 * 4 + 4;
  for (int delta : {-1, 1, 2}) {
    std::string bad = bytes;
    bad[at] = static_cast<char>(bad[at] + delta);
    EXPECT_FALSE(Valid(bad)) << "delta " << delta;
  }
  // The run variant carries offsets from four containers on.
  std::string runs = Portable(
      {Runs(0, {{0, 3}}), Array(1, {7}), Runs(2, {{10, 10}}), Array(3, {1, 2})},
      true);
  ASSERT_TRUE(Valid(runs));
  const size_t second_offset = 4 + 1 + 4 * 4 + 4;
  runs[second_offset] = static_cast<char>(runs[second_offset] + 2);
  EXPECT_FALSE(Valid(runs));
}

TEST(BitmapTest, RejectsEveryTruncation) {
  ExpectEveryPrefixRejected(
      Portable({Array(0, {1, 5}), Bitset(2, Range(0, 4100))}, false));
  ExpectEveryPrefixRejected(Portable({Runs(0, {{0, 9}}), Array(1, {4})}, true));
  ExpectEveryPrefixRejected(
      Portable({Runs(0, {{0, 3}}), Array(1, {7}), Runs(2, {{10, 10}, {30, 0}}),
                Bitset(3, Range(1, 4200))},
               true));
}

TEST(BitmapTest, ReadsRunContainersAndWritesThemWithout) {
  // Under four containers the run variant has no offset header.
  const std::string small =
      Portable({Runs(0, {{0, 9}, {100, 0}}), Array(1, {3})}, true);
  EXPECT_EQ(small.substr(0, 2), Unhex("3b30"));
  ASSERT_EQ(Bitmap::ValidatePortable(U8(small), small.size()), small.size());
  auto a = Bitmap::DeserializePortable(U8(small), small.size());
  ASSERT_TRUE(a.has_value());
  std::vector<uint32_t> want = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 100, 65536 + 3};
  EXPECT_EQ(Members(*a), want);
  const std::string rewritten = a->SerializePortable();
  EXPECT_EQ(rewritten.substr(0, 4), Unhex("3a300000"));
  auto again = Bitmap::DeserializePortable(U8(rewritten), rewritten.size());
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(Members(*again), want);

  // A long run becomes a bitset container; with offsets from four on.
  const std::string big = Portable(
      {Runs(0, {{0, 9999}}), Array(1, {1}), Array(2, {2}), Runs(9, {{5, 0}})},
      true);
  auto b = Bitmap::DeserializePortable(U8(big), big.size());
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(b->Cardinality(), 10003u);
  EXPECT_TRUE(b->Contains((9u << 16) + 5));
  const std::string out = b->SerializePortable();
  EXPECT_EQ(out.substr(0, 4), Unhex("3a300000"));
  // cookie + count + 4 headers + 4 offsets + bitset + 3 one-value arrays
  EXPECT_EQ(out.size(), 8u + 16u + 16u + 8192u + 6u);
  EXPECT_EQ(Bitmap::ValidatePortable(U8(out), out.size()), out.size());
}

}  // namespace
}  // namespace marrow::store
