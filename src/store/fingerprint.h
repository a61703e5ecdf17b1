// KeyFingerprint: SipHash-1-3 under the all-zero key of a key's UTF-8 bytes
// followed by one 0xFF byte. Stored in snapshot.bin, so it is bit-exact and
// independent of process, platform and seed.

#ifndef MARROW_STORE_FINGERPRINT_H_
#define MARROW_STORE_FINGERPRINT_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace marrow::store {

using KeyFingerprint = uint64_t;

// SipHash-1-3 of `len` bytes under the 128-bit key (k0, k1).
uint64_t SipHash13(uint64_t k0, uint64_t k1, const uint8_t* data, size_t len);

KeyFingerprint Fingerprint(std::string_view key);

}  // namespace marrow::store

#endif  // MARROW_STORE_FINGERPRINT_H_
