// len() and keys().
//
// Thread-safety: requires the StoreHandle lock, held shared.

#ifndef MARROW_STORE_LISTING_H_
#define MARROW_STORE_LISTING_H_

#include <cstdint>
#include <string_view>

#include "store/error.h"
#include "store/function_ref.h"
#include "store/state.h"

namespace marrow::store {

uint64_t LiveCount(const Store& store);

// Calls `sink` with the text of every live key in ascending RecordId order
// (the text is valid during the call only). A live record without a
// RecordKeys entry (loaded from a snapshot) has its key read back from
// keys.bin, invalid UTF-8 replaced by U+FFFD. Stops at the first failure.
Status ForEachLiveKey(const Store& store,
                      FunctionRef<void(std::string_view)> sink);

}  // namespace marrow::store

#endif  // MARROW_STORE_LISTING_H_
