// len() and keys().
//
// Thread-safety: requires the StoreHandle lock, held shared.

#ifndef MARROW_STORE_LISTING_H_
#define MARROW_STORE_LISTING_H_

#include <cstdint>
#include <string>
#include <vector>

#include "store/error.h"
#include "store/state.h"

namespace marrow::store {

uint64_t LiveCount(const Store& store);

// The text of every live key in ascending RecordId order. A live record
// without a RecordKeys entry (loaded from a snapshot) has its key read back
// from keys.bin, invalid UTF-8 replaced by U+FFFD.
Result<std::vector<std::string>> LiveKeys(const Store& store);

}  // namespace marrow::store

#endif  // MARROW_STORE_LISTING_H_
