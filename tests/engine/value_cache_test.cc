// The value cache: exact least-recently-used eviction, checked against a
// model that finds the victim by scanning for the smallest tick.

#include "store/value_cache.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>



namespace marrow::store {
namespace {

// The cache as a plain map of fingerprint to (value, tick).
class ModelCache {
 public:
  explicit ModelCache(uint64_t capacity) : capacity_(capacity) {}

  std::optional<std::string> Lookup(KeyFingerprint fp) {
    auto it = entries_.find(fp);
    if (it == entries_.end()) return std::nullopt;
    it->second.tick = ++tick_;
    return it->second.value;
  }
  void Insert(KeyFingerprint fp, std::string value) {
    const uint64_t t = ++tick_;
    if (entries_.size() >= capacity_ && !entries_.empty() &&
        !entries_.contains(fp)) {
      auto victim = entries_.begin();
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->second.tick < victim->second.tick) victim = it;
      }
      entries_.erase(victim);
    }
    entries_[fp] = {std::move(value), t};
  }
  void Remove(KeyFingerprint fp) { entries_.erase(fp); }
  void Clear() {
    entries_.clear();
    tick_ = 0;
  }

  struct Entry {
    std::string value;
    uint64_t tick = 0;
  };
  const std::map<KeyFingerprint, Entry>& entries() const { return entries_; }
  uint64_t tick() const { return tick_; }

 private:
  uint64_t capacity_;
  uint64_t tick_ = 0;
  std::map<KeyFingerprint, Entry> entries_;
};

void ExpectSame(const ValueCache& cache, const ModelCache& model,
                uint64_t universe, const std::string& where) {
  ASSERT_EQ(cache.size(), model.entries().size()) << where;
  ASSERT_EQ(cache.tick(), model.tick()) << where;
  for (KeyFingerprint fp = 0; fp < universe; ++fp) {
    auto it = model.entries().find(fp);
    ASSERT_EQ(cache.EntryTick(fp),
              it == model.entries().end() ? 0 : it->second.tick)
        << where << ", fingerprint " << fp;
  }
}

TEST(ValueCacheTest, EvictsExactlyTheLeastRecentlyUsedEntry) {
  std::mt19937_64 rng(20240611);
  constexpr uint64_t kUniverse = 12;
  for (uint64_t capacity : {0, 1, 2, 3, 5, 8, 11}) {
    ValueCache cache;
    ASSERT_TRUE(cache.Init(capacity).ok());
    ModelCache model(capacity);
    for (int step = 0; step < 4000; ++step) {
      const KeyFingerprint fp = rng() % kUniverse;
      const std::string where = "capacity " + std::to_string(capacity) +
                                ", step " + std::to_string(step);
      switch (rng() % 10) {
        case 0:
        case 1:
        case 2:
        case 3: {
          const std::string* got = cache.Lookup(fp);
          std::optional<std::string> want = model.Lookup(fp);
          ASSERT_EQ(got != nullptr, want.has_value()) << where;
          if (got != nullptr) {
            ASSERT_EQ(*got, *want) << where;
          }
          break;
        }
        case 4:
        case 5:
        case 6:
        case 7: {
          std::string value(rng() % 40, static_cast<char>('a' + step % 26));
          cache.Insert(fp, value);
          model.Insert(fp, value);
          break;
        }
        case 8:
          cache.Remove(fp);
          model.Remove(fp);
          break;
        default:
          if (rng() % 20 == 0) {
            cache.Clear();
            model.Clear();
          }
          break;
      }
      ExpectSame(cache, model, kUniverse, where);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(ValueCacheTest, CapacityTwoKeepsTheRecentlyReadEntry) {
  // read a, read b, read a, read c: b goes.
  ValueCache cache;
  ASSERT_TRUE(cache.Init(2).ok());
  cache.Insert(1, "a");
  cache.Insert(2, "b");
  ASSERT_NE(cache.Lookup(1), nullptr);
  cache.Insert(3, "c");
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(cache.capacity(), 2u);
  EXPECT_NE(cache.Lookup(1), nullptr);
  EXPECT_EQ(cache.Lookup(2), nullptr);
  EXPECT_NE(cache.Lookup(3), nullptr);
}

TEST(ValueCacheTest, CapacityTwoWriteThroughEvictsTheOldest) {
  ValueCache cache;
  ASSERT_TRUE(cache.Init(2).ok());
  cache.Insert(1, "a");
  cache.Insert(2, "b");
  cache.Insert(3, "c");
  EXPECT_EQ(cache.Lookup(1), nullptr);
  EXPECT_NE(cache.Lookup(2), nullptr);
  EXPECT_NE(cache.Lookup(3), nullptr);
}

TEST(ValueCacheTest, CapacityZeroHoldsOneEntry) {
  ValueCache cache;
  ASSERT_TRUE(cache.Init(0).ok());
  EXPECT_EQ(cache.capacity(), 0u);
  cache.Insert(1, "a");
  EXPECT_EQ(cache.size(), 1u);
  cache.Insert(2, "b");
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.Lookup(1), nullptr);
  ASSERT_NE(cache.Lookup(2), nullptr);
  // Re-inserting the cached fingerprint replaces it in place.
  cache.Insert(2, "bb");
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(*cache.Lookup(2), "bb");
}

TEST(ValueCacheTest, InsertOfACachedFingerprintNeverEvicts) {
  ValueCache cache;
  ASSERT_TRUE(cache.Init(3).ok());
  cache.Insert(1, "a");
  cache.Insert(2, "b");
  cache.Insert(3, "c");
  // 1 is the least recent, but re-inserting 2 must not push it out.
  cache.Insert(2, "b2");
  EXPECT_EQ(cache.size(), 3u);
  EXPECT_EQ(*cache.Lookup(1), "a");
  EXPECT_EQ(*cache.Lookup(2), "b2");
  EXPECT_EQ(*cache.Lookup(3), "c");
}

TEST(ValueCacheTest, MissAndRemoveLeaveTheTickAlone) {
  ValueCache cache;
  ASSERT_TRUE(cache.Init(4).ok());
  EXPECT_EQ(cache.Lookup(7), nullptr);  // empty cache
  EXPECT_EQ(cache.tick(), 0u);
  cache.Insert(1, "");
  EXPECT_EQ(cache.tick(), 1u);
  EXPECT_EQ(cache.Lookup(7), nullptr);
  cache.Remove(7);
  EXPECT_EQ(cache.tick(), 1u);
  // An empty value is a hit, not a miss.
  const std::string* hit = cache.Lookup(1);
  ASSERT_NE(hit, nullptr);
  EXPECT_EQ(*hit, "");
  EXPECT_EQ(cache.tick(), 2u);
  EXPECT_EQ(cache.EntryTick(1), 2u);
  cache.Remove(1);
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.tick(), 2u);
}

TEST(ValueCacheTest, ClearResetsTheTickAndKeepsWorking) {
  ValueCache cache;
  ASSERT_TRUE(cache.Init(2).ok());
  cache.Clear();  // clearing an empty cache resets the tick too
  EXPECT_EQ(cache.tick(), 0u);
  for (KeyFingerprint fp = 1; fp <= 5; ++fp) cache.Insert(fp, "x");
  cache.Remove(5);  // leaves a freed node behind
  cache.Clear();
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.tick(), 0u);
  EXPECT_EQ(cache.capacity(), 2u);
  EXPECT_EQ(cache.Lookup(4), nullptr);

  // Eviction order is intact after the reset.
  cache.Insert(10, "a");
  cache.Insert(11, "b");
  ASSERT_NE(cache.Lookup(10), nullptr);
  cache.Insert(12, "c");
  EXPECT_EQ(cache.tick(), 4u);
  EXPECT_NE(cache.Lookup(10), nullptr);
  EXPECT_EQ(cache.Lookup(11), nullptr);
  EXPECT_NE(cache.Lookup(12), nullptr);
  EXPECT_EQ(cache.size(), 2u);
}

TEST(ValueCacheTest, AbsurdCapacityIsAnOutOfMemoryFailure) {
  for (uint64_t capacity :
       {UINT64_MAX, uint64_t{1} << 40, uint64_t{UINT32_MAX}}) {
    ValueCache cache;
    Status st = cache.Init(capacity);
    ASSERT_FALSE(st.ok()) << capacity;
    EXPECT_EQ(st.failure().form, FailureForm::kOutOfMemory) << capacity;
    EXPECT_NE(st.failure().Text().find(std::to_string(capacity)),
              std::string::npos)
        << st.failure().Text();
  }
}

}  // namespace
}  // namespace marrow::store
