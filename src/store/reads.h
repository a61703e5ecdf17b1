// The single-key read shared by get_bytes and get_many.
//
// Thread-safety: requires the StoreHandle lock held exclusively, since a
// read changes the value cache.

#ifndef MARROW_STORE_READS_H_
#define MARROW_STORE_READS_H_

#include <span>
#include <string>
#include <string_view>

#include "store/error.h"
#include "store/function_ref.h"
#include "store/state.h"

namespace marrow::store {

// Answers from the cache, else through KeyIndex, LiveSet and the record
// files (checking the stored key text), caching what it read. Calls `sink`
// with the value and returns true, or returns false when the key is absent.
Result<bool> ReadValue(Store& store, std::string_view key,
                       FunctionRef<void(std::string_view)> sink);

// ReadValue for each key in order, with the same results, values, failures
// and cache effects, but with the file reads of the misses handed to the
// file system as one batch first. `sink(i, value)` gets nullptr for an
// absent key; on a failure no further key is answered.
Status ReadValues(Store& store, std::span<const std::string_view> keys,
                  FunctionRef<void(size_t, const std::string_view*)> sink);

}  // namespace marrow::store

#endif  // MARROW_STORE_READS_H_
