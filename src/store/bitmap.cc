#include "store/bitmap.h"

#include <roaring/roaring.h>

#include <bit>
#include <cstring>
#include <new>
#include <utility>

#include "store/format.h"

namespace marrow::store {

namespace {

// The CRoaring bitmap behind a Bitmap's pointer.
roaring_bitmap_t* Rb(void* p) { return static_cast<roaring_bitmap_t*>(p); }

roaring_bitmap_t* CheckedCreate() {
  roaring_bitmap_t* r = roaring_bitmap_create();
  if (r == nullptr) throw std::bad_alloc();
  return r;
}

}  // namespace

Bitmap::Bitmap() : r_(CheckedCreate()) {}

Bitmap::Bitmap(Bitmap&& o) noexcept : r_(std::exchange(o.r_, nullptr)) {}

Bitmap& Bitmap::operator=(Bitmap&& o) noexcept {
  std::swap(r_, o.r_);
  return *this;
}

Bitmap::~Bitmap() {
  if (r_ != nullptr) roaring_bitmap_free(Rb(r_));
}

void Bitmap::Add(uint32_t v) { roaring_bitmap_add(Rb(r_), v); }
void Bitmap::AddMany(const uint32_t* values, size_t n) {
  roaring_bitmap_add_many(Rb(r_), n, values);
}

Bitmap Bitmap::Copy() const {
  roaring_bitmap_t* copy = roaring_bitmap_copy(Rb(r_));
  if (copy == nullptr) throw std::bad_alloc();
  return Bitmap(copy);
}

void Bitmap::Remove(uint32_t v) { roaring_bitmap_remove(Rb(r_), v); }
bool Bitmap::Contains(uint32_t v) const {
  return roaring_bitmap_contains(Rb(r_), v);
}
uint64_t Bitmap::Cardinality() const {
  return roaring_bitmap_get_cardinality(Rb(r_));
}
void Bitmap::Clear() { roaring_bitmap_clear(Rb(r_)); }

void Bitmap::ForEachImpl(bool (*fn)(uint32_t, void*), void* ctx) const {
  roaring_iterate(Rb(r_), fn, ctx);
}

std::string Bitmap::SerializePortable() const {
  std::string out(roaring_bitmap_portable_size_in_bytes(Rb(r_)), '\0');
  roaring_bitmap_portable_serialize(Rb(r_), out.data());
  if (out.size() >= 2 && GetU16(reinterpret_cast<const uint8_t*>(out.data())) ==
                             kRoaringCookieRuns) {
    // Run containers are never written: convert a copy.
    Bitmap copy(roaring_bitmap_copy(Rb(r_)));
    if (copy.r_ == nullptr) throw std::bad_alloc();
    roaring_bitmap_remove_run_compression(Rb(copy.r_));
    return copy.SerializePortable();
  }
  return out;
}

std::optional<size_t> Bitmap::ValidatePortable(const uint8_t* data,
                                               size_t size) {
  size_t pos = 0;
  auto need = [&](size_t n) { return n <= size - pos; };
  if (!need(4)) return std::nullopt;
  const uint32_t cookie = GetU32(data);
  pos = 4;
  uint32_t count;
  const uint8_t* run_flags = nullptr;
  bool has_offsets;
  if ((cookie & 0xFFFF) == kRoaringCookieRuns) {
    count = (cookie >> 16) + 1;
    size_t flag_bytes = (count + 7) / 8;
    if (!need(flag_bytes)) return std::nullopt;
    run_flags = data + pos;
    pos += flag_bytes;
    has_offsets = count >= kRoaringNoOffsetThreshold;
  } else if (cookie == kRoaringCookieNoRuns) {
    if (!need(4)) return std::nullopt;
    count = GetU32(data + pos);
    pos += 4;
    has_offsets = true;
  } else {
    return std::nullopt;
  }
  if (count > kRoaringMaxContainers) return std::nullopt;

  const size_t header_bytes = size_t{count} * 4;
  if (!need(header_bytes)) return std::nullopt;
  const uint8_t* header = data + pos;
  pos += header_bytes;
  const uint8_t* offsets = nullptr;
  if (has_offsets) {
    if (!need(header_bytes)) return std::nullopt;
    offsets = data + pos;
    pos += header_bytes;
  }

  int32_t prev_key = -1;
  for (uint32_t i = 0; i < count; ++i) {
    const uint16_t key = GetU16(header + 4 * i);
    const uint32_t card = uint32_t{GetU16(header + 4 * i + 2)} + 1;
    if (static_cast<int32_t>(key) <= prev_key) return std::nullopt;
    prev_key = key;
    if (offsets != nullptr && GetU32(offsets + 4 * i) != pos) {
      return std::nullopt;
    }
    const bool is_run =
        run_flags != nullptr && (run_flags[i / 8] >> (i % 8)) & 1;
    if (is_run) {
      if (!need(2)) return std::nullopt;
      const uint32_t runs = GetU16(data + pos);
      pos += 2;
      if (runs == 0 || !need(size_t{runs} * 4)) return std::nullopt;
      uint32_t total = 0;
      int32_t prev_end = -1;
      for (uint32_t r = 0; r < runs; ++r) {
        const uint32_t start = GetU16(data + pos + 4 * r);
        const uint32_t length = GetU16(data + pos + 4 * r + 2);
        if (static_cast<int32_t>(start) <= prev_end) return std::nullopt;
        if (start + length > 0xFFFF) return std::nullopt;
        prev_end = static_cast<int32_t>(start + length);
        total += length + 1;
      }
      if (total != card) return std::nullopt;
      pos += size_t{runs} * 4;
    } else if (card > kRoaringMaxArrayCardinality) {
      if (!need(kRoaringBitsetBytes)) return std::nullopt;
      uint32_t population = 0;
      for (size_t w = 0; w < kRoaringBitsetBytes; w += 8) {
        population += std::popcount(GetU64(data + pos + w));
      }
      if (population != card) return std::nullopt;
      pos += kRoaringBitsetBytes;
    } else {
      if (!need(size_t{card} * 2)) return std::nullopt;
      int32_t prev = -1;
      for (uint32_t v = 0; v < card; ++v) {
        const int32_t value = GetU16(data + pos + 2 * v);
        if (value <= prev) return std::nullopt;
        prev = value;
      }
      pos += size_t{card} * 2;
    }
  }
  return pos;
}

namespace {

// Rewrites a validated portable bitmap that uses run containers into the
// variant without them: each run container becomes the array or bitset
// container holding the same members. The library's own conversion of a
// run that ends at 65535 never terminates (its loop counter is 16 bits
// wide), so run containers never reach it.
std::string ExpandRuns(const uint8_t* data) {
  const uint32_t count = (GetU32(data) >> 16) + 1;
  const uint8_t* run_flags = data + 4;
  size_t pos = 4 + (count + 7) / 8;
  const uint8_t* header = data + pos;
  pos += size_t{count} * 4;
  if (count >= kRoaringNoOffsetThreshold) pos += size_t{count} * 4;

  std::string out(8 + size_t{count} * 8, '\0');
  auto* head = reinterpret_cast<uint8_t*>(out.data());
  PutU32(head, kRoaringCookieNoRuns);
  PutU32(head + 4, count);
  // The descriptive header (key, cardinality - 1) is the same.
  std::memcpy(head + 8, header, size_t{count} * 4);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t card = uint32_t{GetU16(header + 4 * i + 2)} + 1;
    PutU32(reinterpret_cast<uint8_t*>(out.data()) + 8 + size_t{count} * 4 +
               4 * size_t{i},
           static_cast<uint32_t>(out.size()));
    const bool is_run = (run_flags[i / 8] >> (i % 8)) & 1;
    if (!is_run) {
      const size_t bytes =
          card > kRoaringMaxArrayCardinality ? kRoaringBitsetBytes : card * 2;
      out.append(reinterpret_cast<const char*>(data + pos), bytes);
      pos += bytes;
      continue;
    }
    const uint32_t runs = GetU16(data + pos);
    const uint8_t* run = data + pos + 2;
    pos += 2 + size_t{runs} * 4;
    if (card > kRoaringMaxArrayCardinality) {
      const size_t at = out.size();
      out.append(kRoaringBitsetBytes, '\0');
      auto* bits = reinterpret_cast<uint8_t*>(out.data()) + at;
      for (uint32_t r = 0; r < runs; ++r) {
        const uint32_t start = GetU16(run + 4 * r);
        const uint32_t end = start + GetU16(run + 4 * r + 2);
        for (uint32_t v = start; v <= end; ++v) bits[v / 8] |= 1u << (v % 8);
      }
    } else {
      for (uint32_t r = 0; r < runs; ++r) {
        const uint32_t start = GetU16(run + 4 * r);
        const uint32_t end = start + GetU16(run + 4 * r + 2);
        for (uint32_t v = start; v <= end; ++v) {
          const char le[2] = {static_cast<char>(v & 0xFF),
                              static_cast<char>(v >> 8)};
          out.append(le, 2);
        }
      }
    }
  }
  return out;
}

}  // namespace

std::optional<Bitmap> Bitmap::DeserializePortable(const uint8_t* data,
                                                  size_t size) {
  std::optional<size_t> length = ValidatePortable(data, size);
  if (!length) return std::nullopt;
  // In memory the bitmaps hold no run containers, so they are written
  // without them.
  std::string expanded;
  if ((GetU32(data) & 0xFFFF) == kRoaringCookieRuns) {
    expanded = ExpandRuns(data);
    data = reinterpret_cast<const uint8_t*>(expanded.data());
    length = expanded.size();
  }
  roaring_bitmap_t* r = roaring_bitmap_portable_deserialize_safe(
      reinterpret_cast<const char*>(data), *length);
  if (r == nullptr) return std::nullopt;
  return Bitmap(r);
}

}  // namespace marrow::store
