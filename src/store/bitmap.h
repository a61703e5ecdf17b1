// Bitmap: an owned CRoaring bitmap of 32-bit RecordIds, and the portable
// serialization that snapshot.bin stores.
//
// Reading treats its input as untrusted: ValidatePortable checks every rule
// of the portable format before the library sees the bytes, so damaged or
// hostile input is rejected instead of crashing or allocating without
// bound. Bitmaps are written with array and bitmap containers only.
//
// Thread-safety: none; the Store's lock guards it.

#ifndef MARROW_STORE_BITMAP_H_
#define MARROW_STORE_BITMAP_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace marrow::store {

class Bitmap {
 public:
  Bitmap();
  Bitmap(Bitmap&& o) noexcept;
  Bitmap& operator=(Bitmap&& o) noexcept;
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  ~Bitmap();

  void Add(uint32_t v);
  // Adds `n` values, fastest when they ascend.
  void AddMany(const uint32_t* values, size_t n);
  Bitmap Copy() const;
  void Remove(uint32_t v);
  bool Contains(uint32_t v) const;
  uint64_t Cardinality() const;
  void Clear();

  // Calls fn(v) for every member in ascending order; stops when fn returns
  // false.
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    ForEachImpl(
        [](uint32_t v, void* ctx) { return (*static_cast<Fn*>(ctx))(v); }, &fn);
  }

  // The portable serialization (array and bitmap containers only).
  std::string SerializePortable() const;
  // Parses exactly one valid portable bitmap from the first bytes of
  // [data, data + size); trailing bytes are ignored. nullopt when invalid.
  static std::optional<Bitmap> DeserializePortable(const uint8_t* data,
                                                   size_t size);
  // The length of the valid portable bitmap at the start of the input, or
  // nullopt when the bytes break any rule of the format.
  static std::optional<size_t> ValidatePortable(const uint8_t* data,
                                                size_t size);

 private:
  explicit Bitmap(void* r) : r_(r) {}
  void ForEachImpl(bool (*fn)(uint32_t, void*), void* ctx) const;

  // A roaring_bitmap_t, opaque here: newer CRoaring versions declare it in a
  // C++ namespace of their own, older ones at global scope.
  void* r_;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_BITMAP_H_
