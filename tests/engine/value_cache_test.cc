// The value cache: exact least-recently-used eviction, checked against a
// model that finds the victim by scanning for the smallest tick.

#include "store/value_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>

namespace marrow::store {
namespace {

// The cache as a plain map of fingerprint to (value, tick).
struct ModelCache {
  struct Entry {
    std::string value;
    uint64_t tick = 0;
  };
  uint64_t capacity, tick = 0;
  std::map<KeyFingerprint, Entry> entries = {};

  std::optional<std::string> Lookup(KeyFingerprint fp) {
    auto it = entries.find(fp);
    if (it == entries.end()) return std::nullopt;
    it->second.tick = ++tick;
    return it->second.value;
  }
  void Insert(KeyFingerprint fp, std::string value) {
    const uint64_t t = ++tick;
    if (entries.size() >= capacity && !entries.empty() &&
        !entries.contains(fp)) {
      entries.erase(std::min_element(entries.begin(), entries.end(),
                                     [](const auto& a, const auto& b) {
                                       return a.second.tick < b.second.tick;
                                     }));
    }
    entries[fp] = {std::move(value), t};
  }
};

TEST(ValueCacheTest, EvictsExactlyTheLeastRecentlyUsedEntry) {
  std::mt19937_64 rng(20240611);
  constexpr uint64_t kUniverse = 12;
  for (uint64_t capacity : {0, 1, 2, 3, 5, 8, 11}) {
    ValueCache cache;
    ASSERT_TRUE(cache.Init(capacity).ok());
    ModelCache model{capacity};
    for (int step = 0; step < 4000; ++step) {
      const KeyFingerprint fp = rng() % kUniverse;
      const std::string where = "capacity " + std::to_string(capacity) +
                                ", step " + std::to_string(step);
      const uint64_t op = rng() % 20;
      if (op < 8) {  // lookups, hits and misses
        const std::string* got = cache.Lookup(fp);
        ASSERT_EQ(got ? std::optional(*got) : std::nullopt, model.Lookup(fp))
            << where;
      } else if (op < 16) {  // inserts, new and cached, empty values too
        std::string value(rng() % 40, static_cast<char>('a' + step % 26));
        cache.Insert(fp, value);
        model.Insert(fp, value);
      } else if (op < 19) {
        cache.Remove(fp);
        model.entries.erase(fp);
      } else {
        cache.Clear();
        model = ModelCache{capacity};
      }
      ASSERT_EQ(cache.size(), model.entries.size()) << where;
      ASSERT_EQ(cache.tick(), model.tick) << where;
      for (KeyFingerprint f = 0; f < kUniverse; ++f) {
        auto it = model.entries.find(f);
        ASSERT_EQ(cache.EntryTick(f),
                  it == model.entries.end() ? 0 : it->second.tick)
            << where << ", fingerprint " << f;
      }
    }
  }
}

}  // namespace
}  // namespace marrow::store
