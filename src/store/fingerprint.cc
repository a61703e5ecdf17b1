#include "store/fingerprint.h"

#include <bit>
#include <cstring>

namespace marrow::store {

namespace {

inline uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;

  void Round() {
    v0 += v1;
    v1 = Rotl(v1, 13);
    v1 ^= v0;
    v0 = Rotl(v0, 32);
    v2 += v3;
    v3 = Rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = Rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = Rotl(v1, 17);
    v1 ^= v2;
    v2 = Rotl(v2, 32);
  }
  void Compress(uint64_t m) {
    v3 ^= m;
    Round();
    v0 ^= m;
  }
  uint64_t Finish() {
    v2 ^= 0xff;
    Round();
    Round();
    Round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

// A little-endian word in one load: hashing a batch's frame runs this once
// per 8 bytes.
inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) {
    v = __builtin_bswap64(v);
  }
  return v;
}

}  // namespace

uint64_t SipHash13(uint64_t k0, uint64_t k1, const uint8_t* data, size_t len) {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL,
             k0 ^ 0x6c7967656e657261ULL, k1 ^ 0x7465646279746573ULL};
  size_t whole = len & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) s.Compress(Load64(data + i));
  uint64_t last = static_cast<uint64_t>(len & 0xff) << 56;
  for (size_t i = 0; i < (len & 7); ++i) {
    last |= static_cast<uint64_t>(data[whole + i]) << (8 * i);
  }
  s.Compress(last);
  return s.Finish();
}

KeyFingerprint Fingerprint(std::string_view key) {
  // The message is the key followed by 0xFF. Hash it without a copy: the
  // 0xFF byte lands in the tail word after the key's whole words.
  const auto* data = reinterpret_cast<const uint8_t*>(key.data());
  const size_t len = key.size() + 1;
  SipState s{0x736f6d6570736575ULL, 0x646f72616e646f6dULL,
             0x6c7967656e657261ULL, 0x7465646279746573ULL};
  size_t whole = key.size() & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) s.Compress(Load64(data + i));
  uint8_t tail[8] = {0};
  size_t rest = key.size() - whole;
  if (rest > 0) std::memcpy(tail, data + whole, rest);
  tail[rest] = 0xff;
  if (rest == 7) {
    // Key tail plus 0xFF fill a whole word; the length goes in the next.
    s.Compress(Load64(tail));
    s.Compress(static_cast<uint64_t>(len & 0xff) << 56);
  } else {
    uint64_t last = Load64(tail) | (static_cast<uint64_t>(len & 0xff) << 56);
    s.Compress(last);
  }
  return s.Finish();
}

}  // namespace marrow::store
