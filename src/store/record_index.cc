#include "store/record_index.h"

#include <algorithm>
#include <array>

namespace marrow::store {

namespace {

// An LSD radix sort, a byte a pass: ids superseded by random overwrites come
// in random order, where a comparison sort mispredicts nearly every branch.
// A pass whose byte all ids share is skipped.
void SortIds(std::vector<RecordId>& ids) {
  std::vector<RecordId> scratch(ids.size());
  for (int shift = 0; shift < 32; shift += 8) {
    std::array<size_t, 257> start{};
    for (RecordId id : ids) ++start[((id >> shift) & 0xff) + 1];
    if (std::find(start.begin() + 1, start.end(), ids.size()) != start.end()) {
      continue;
    }
    for (size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
    for (RecordId id : ids) scratch[start[(id >> shift) & 0xff]++] = id;
    ids.swap(scratch);
  }
}

}  // namespace

void DeadSet::Fold() {
  SortIds(pending_);
  bits_.AddMany(pending_.data(), pending_.size());
  pending_.clear();
}

Bitmap DeadSet::Snapshot() const {
  Bitmap all = bits_.Copy();
  std::vector<RecordId> sorted = pending_;
  SortIds(sorted);
  all.AddMany(sorted.data(), sorted.size());
  return all;
}

RecordId RecordIndex::Append(KeyFingerprint fp, std::string_view text) {
  const RecordId id = next_id_;
  auto [it, fresh] = index_.try_emplace(fp, id);
  if (!fresh) {
    const RecordId old = it->second;
    live_.Remove(old);
    dead_.Add(old);
    texts_.Erase(old);
    it->second = id;
  }
  live_.Add(id);
  texts_.Set(id, text);
  next_id_ = id + 1;
  return id;
}

bool RecordIndex::Remove(KeyFingerprint fp) {
  auto it = index_.find(fp);
  if (it == index_.end()) return false;
  const RecordId id = it->second;
  live_.Remove(id);
  dead_.Add(id);
  texts_.Erase(id);
  index_.erase(it);
  return true;
}

void RecordIndex::Install(KeyIndex index, Bitmap live, Bitmap dead,
                          RecordKeys texts, RecordId next_id) {
  index_ = std::move(index);
  live_ = std::move(live);
  dead_.Assign(std::move(dead));
  texts_ = std::move(texts);
  next_id_ = next_id;
}

void RecordIndex::DropRecords(FunctionRef<bool(RecordId)> gone) {
  std::vector<RecordId> dropped;
  live_.ForEach([&](RecordId id) {
    if (gone(id)) dropped.push_back(id);
    return true;
  });
  for (auto it = index_.begin(); it != index_.end();) {
    if (gone(it->second)) {
      dropped.push_back(it->second);
      index_.erase(it++);
    } else {
      ++it;
    }
  }
  for (RecordId id : dropped) {
    live_.Remove(id);
    texts_.Erase(id);
    dead_.Add(id);
  }
}

}  // namespace marrow::store
