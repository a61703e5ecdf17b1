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
      const uint64_t op = rng() % 20;
      if (op < 8) {  // lookups, hits and misses
        const std::string* got = cache.Lookup(fp);
        std::optional<std::string> want = model.Lookup(fp);
        ASSERT_EQ(got != nullptr, want.has_value()) << where;
        if (got != nullptr) {
          ASSERT_EQ(*got, *want) << where;
        }
      } else if (op < 16) {  // inserts, new and cached, empty values too
        std::string value(rng() % 40, static_cast<char>('a' + step % 26));
        cache.Insert(fp, value);
        model.Insert(fp, value);
      } else if (op < 19) {
        cache.Remove(fp);
        model.Remove(fp);
      } else {
        cache.Clear();
        model.Clear();
      }
      ExpectSame(cache, model, kUniverse, where);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
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
