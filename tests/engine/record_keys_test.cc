#include "store/record_keys.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <string>

namespace marrow::store {
namespace {

// Random sets and erases in ascending-id order, with enough churn to force
// compactions, checked against a plain map.
TEST(RecordKeysTest, MatchesAMapThroughCompactions) {
  RecordKeys keys;
  std::map<uint32_t, std::string> model;
  std::mt19937 rng(7);
  uint32_t next = 5;
  for (int step = 0; step < 200000; ++step) {
    if (model.empty() || rng() % 3 != 0) {
      std::string text(rng() % 40, static_cast<char>('a' + rng() % 26));
      keys.Set(next, text);
      model[next++] = text;
    } else {
      auto it = model.lower_bound(rng() % next);
      if (it == model.end()) it = model.begin();
      keys.Erase(it->first);
      model.erase(it);
    }
  }
  EXPECT_EQ(keys.size(), model.size());
  for (uint32_t id = 0; id < next; ++id) {
    std::optional<std::string> want;
    if (auto it = model.find(id); it != model.end()) want = it->second;
    ASSERT_EQ(keys.Find(id), want) << id;
  }
}

}  // namespace
}  // namespace marrow::store
