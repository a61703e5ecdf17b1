#include "store/utf8.h"

#include <cstdint>
#include <cstring>

namespace marrow::store {

namespace {

// Length of the well-formed sequence at s[i], or 0 when ill-formed; in that
// case *bad is the length of the maximal subpart to replace.
size_t SequenceLength(std::string_view s, size_t i, size_t* bad) {
  const auto at = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t b0 = at(i);
  *bad = 1;
  if (b0 < 0x80) return 1;
  size_t len;
  uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k < len; ++k) {
    if (i + k >= s.size()) return 0;
    const uint8_t b = at(i + k);
    const uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) return 0;
    *bad = k + 1;
  }
  return len;
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  size_t i = 0, bad;
  while (i < bytes.size()) {
    // Fast paths over ASCII: eight bytes at a time, then one.
    uint64_t word;
    if (i + sizeof word <= bytes.size()) {
      std::memcpy(&word, bytes.data() + i, sizeof word);
      if ((word & 0x8080808080808080u) == 0) {
        i += sizeof word;
        continue;
      }
    }
    if (static_cast<uint8_t>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t n = SequenceLength(bytes, i, &bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string Utf8Lossy(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  size_t i = 0, bad;
  while (i < bytes.size()) {
    size_t n = SequenceLength(bytes, i, &bad);
    if (n > 0) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      i += bad;
    }
  }
  return out;
}

}  // namespace marrow::store
