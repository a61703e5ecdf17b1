// RecordIndex: which record is each key's live one.
//
// It owns the structures that must change together: the KeyIndex
// (fingerprint to the key's live RecordId), the live and dead record sets,
// the remembered key texts (RecordKeys) and next_id, the id the next append
// takes. Every change goes through one of its four writes, each of which
// keeps them consistent:
//   - Append: record next_id becomes the key's live record; the key's
//     previous record, if any, moves from live to dead and loses its text.
//   - Remove: the key's live record moves to dead and loses its text.
//   - Install: a whole state at once (a snapshot loaded, a vacuum
//     committed).
//   - DropRecords: records found past the files' ends move to dead.
// Invariants: a RecordId is never handed out twice between installs; every
// indexed id is live; a remembered text belongs to a live record and equals
// its stored key bytes.
//
// Thread-safety: none; the Store's lock guards it.

#ifndef MARROW_STORE_RECORD_INDEX_H_
#define MARROW_STORE_RECORD_INDEX_H_

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "store/bitmap.h"
#include "store/fingerprint.h"
#include "store/flat_hash_map.h"
#include "store/function_ref.h"
#include "store/record_keys.h"

namespace marrow::store {

using RecordId = uint32_t;
using KeyIndex = FlatHashMap<KeyFingerprint, RecordId>;

// DeadSet: the RecordIds superseded or deleted since the last vacuum. Only
// persist reads it, so additions are collected and merged in ascending
// batches rather than inserted one by one at random places of the bitmap's
// containers, which costs a memory move per write.
class DeadSet {
 public:
  void Add(RecordId id) {
    pending_.push_back(id);
    if (pending_.size() >= kFoldAt) Fold();
  }
  void Assign(Bitmap bits) {
    bits_ = std::move(bits);
    pending_.clear();
  }
  // The whole set as a new bitmap.
  Bitmap Snapshot() const;

 private:
  static constexpr size_t kFoldAt = 1 << 16;
  void Fold();

  Bitmap bits_;
  std::vector<RecordId> pending_;
};

class RecordIndex {
 public:
  // The live record of `fp`, if the key has one.
  std::optional<RecordId> Find(KeyFingerprint fp) const {
    if (index_.empty()) return std::nullopt;
    auto it = index_.find(fp);
    if (it == index_.end() || !live_.Contains(it->second)) return std::nullopt;
    return it->second;
  }
  // Starts loading the memory a Find of `fp` touches.
  void Prefetch(KeyFingerprint fp) const { index_.prefetch(fp); }
  // The key text remembered for record `id` (see RecordKeys).
  std::optional<std::string_view> KeyText(RecordId id) const {
    return texts_.Find(id);
  }

  RecordId next_id() const { return next_id_; }
  uint64_t LiveCount() const { return live_.Cardinality(); }
  const KeyIndex& key_index() const { return index_; }
  const Bitmap& live() const { return live_; }
  Bitmap DeadSnapshot() const { return dead_.Snapshot(); }

  // Makes record next_id() the live record of `fp`, remembering `text` as
  // its key, and returns its id. The caller has checked that ids remain.
  RecordId Append(KeyFingerprint fp, std::string_view text);
  // True when `fp` was indexed; its record is dead from now on.
  bool Remove(KeyFingerprint fp);
  // Replaces the whole state.
  void Install(KeyIndex index, Bitmap live, Bitmap dead, RecordKeys texts,
               RecordId next_id);
  // Moves every live or indexed record for which `gone` holds to the dead
  // set and out of the index.
  void DropRecords(FunctionRef<bool(RecordId)> gone);

 private:
  KeyIndex index_;
  Bitmap live_;
  DeadSet dead_;
  RecordKeys texts_;
  RecordId next_id_ = 0;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_RECORD_INDEX_H_
