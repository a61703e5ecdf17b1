// The checksum of a placed put's value bytes (format.h): XXH3-64 with seed
// 0, which hashes at memory speed, so a large value costs a fraction of the
// copy that placing it saves.

#ifndef MARROW_STORE_CHECKSUM_H_
#define MARROW_STORE_CHECKSUM_H_

#include <cstdint>
#include <string_view>

namespace marrow::store {

uint64_t ValueChecksum(std::string_view bytes);

}  // namespace marrow::store

#endif  // MARROW_STORE_CHECKSUM_H_
