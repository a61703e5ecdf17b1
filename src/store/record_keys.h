// RecordKeys: RecordId to the key text of that record, for the records
// written or rebuilt while the store has been open (keys() reads the others
// back from keys.bin).
//
// Texts live back to back in one arena, each behind a 32-bit length; a
// dense table indexed by RecordId minus the first id holds each text's
// place. Ids are set in ascending order (appends and vacuum hand them out
// that way), so the table only grows at its end. Erased texts leave garbage
// that is compacted away once erased texts outnumber the live ones. Per live
// key this costs the key's bytes plus 12, instead of a heap string and a hash
// slot.
//
// Thread-safety: none; the Store's lock guards it.

#ifndef MARROW_STORE_RECORD_KEYS_H_
#define MARROW_STORE_RECORD_KEYS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marrow::store {

class RecordKeys {
 public:
  using RecordId = uint32_t;

  void Set(RecordId id, std::string_view text);
  void Erase(RecordId id);
  std::optional<std::string_view> Find(RecordId id) const;
  void Reserve(size_t ids, size_t text_bytes);
  size_t size() const { return live_; }

 private:
  static constexpr uint64_t kNone = UINT64_MAX;

  void Compact();

  RecordId first_ = 0;
  std::vector<uint64_t> place_;  // arena offset of id first_ + i, or kNone
  std::string arena_;
  size_t erased_ = 0;  // texts erased since the last compaction
  size_t live_ = 0;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_RECORD_KEYS_H_
