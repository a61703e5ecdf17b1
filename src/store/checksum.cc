#include "store/checksum.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace marrow::store {

uint64_t ValueChecksum(std::string_view bytes) {
  return XXH3_64bits(bytes.data(), bytes.size());
}

}  // namespace marrow::store
