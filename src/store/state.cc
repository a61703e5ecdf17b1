#include "store/state.h"

#include <algorithm>

namespace marrow::store {

void DeadSet::Fold() {
  std::sort(pending_.begin(), pending_.end());
  bits_.AddMany(pending_.data(), pending_.size());
  pending_.clear();
}

Bitmap DeadSet::Snapshot() const {
  Bitmap all = bits_.Copy();
  std::vector<RecordId> sorted = pending_;
  std::sort(sorted.begin(), sorted.end());
  all.AddMany(sorted.data(), sorted.size());
  return all;
}

}  // namespace marrow::store
