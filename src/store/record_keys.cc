#include "store/record_keys.h"

#include <cstring>

#include "store/format.h"

namespace marrow::store {

namespace {
constexpr size_t kLengthBytes = 4;
}  // namespace

void RecordKeys::Set(RecordId id, std::string_view text) {
  uint8_t length[kLengthBytes];
  PutU32(length, static_cast<uint32_t>(text.size()));
  if (!place_.empty() && id >= first_ && id - first_ == place_.size()) {
    // The common case, an append's id just past the table: nothing to
    // erase, one slot more.
    place_.push_back(arena_.size());
    arena_.append(reinterpret_cast<const char*>(length), kLengthBytes);
    arena_.append(text);
    ++live_;
    return;
  }
  // Erasing first may compact the table, so the place is found afterwards.
  if (Find(id)) Erase(id);
  if (place_.empty()) {
    first_ = id;
  } else if (id < first_) {
    // Not expected (ids are set in ascending order), but kept correct.
    place_.insert(place_.begin(), first_ - id, kNone);
    first_ = id;
  }
  const size_t index = id - first_;
  if (index >= place_.size()) place_.resize(index + 1, kNone);
  place_[index] = arena_.size();
  arena_.append(reinterpret_cast<const char*>(length), kLengthBytes);
  arena_.append(text);
  ++live_;
}

void RecordKeys::Erase(RecordId id) {
  if (id < first_ || id - first_ >= place_.size()) return;
  uint64_t& place = place_[id - first_];
  if (place == kNone) return;
  // Counting erased texts rather than their bytes keeps the arena out of
  // the write path.
  place = kNone;
  ++erased_;
  --live_;
  if (live_ == 0) {
    place_.clear();
    arena_.clear();
    erased_ = 0;
  } else if (erased_ > live_ && arena_.size() > (1 << 20)) {
    Compact();
  }
}

std::optional<std::string_view> RecordKeys::Find(RecordId id) const {
  if (id < first_ || id - first_ >= place_.size()) return std::nullopt;
  const uint64_t place = place_[id - first_];
  if (place == kNone) return std::nullopt;
  const uint32_t length =
      GetU32(reinterpret_cast<const uint8_t*>(arena_.data() + place));
  return std::string_view(arena_.data() + place + kLengthBytes, length);
}

void RecordKeys::Reserve(size_t ids, size_t text_bytes) {
  place_.reserve(ids);
  arena_.reserve(text_bytes + ids * kLengthBytes);
}

void RecordKeys::Compact() {
  std::string arena;
  arena.reserve(arena_.size() / 2);
  size_t leading = 0;
  while (leading < place_.size() && place_[leading] == kNone) ++leading;
  for (uint64_t& place : place_) {
    if (place == kNone) continue;
    const uint32_t length =
        GetU32(reinterpret_cast<const uint8_t*>(arena_.data() + place));
    const uint64_t moved = arena.size();
    arena.append(arena_, place, kLengthBytes + length);
    place = moved;
  }
  // Ids below the first live one will not be set again.
  place_.erase(place_.begin(),
               place_.begin() + static_cast<ptrdiff_t>(leading));
  first_ += static_cast<RecordId>(leading);
  arena_ = std::move(arena);
  erased_ = 0;
}

}  // namespace marrow::store
