// set_bytes and delete: the log record first, then the change.
//
// Both are atomic for the open store: when the change cannot be applied,
// its log record is rolled back and the store is left as it was, so the
// log never holds a change that the open store does not show.
//
// Thread-safety: requires the StoreHandle lock and the WalHandle lock, both
// held exclusively.

#ifndef MARROW_STORE_WRITES_H_
#define MARROW_STORE_WRITES_H_

#include <string>
#include <string_view>

#include "store/error.h"
#include "store/state.h"
#include "store/wal.h"

namespace marrow::store {

Status SetBytes(Store& store, WalWriter& wal, std::string_view key,
                std::string value);
Status SetMany(Store& store, WalWriter& wal,
               std::span<std::pair<std::string, std::string>> items);
Result<bool> Delete(Store& store, WalWriter& wal, std::string_view key);

}  // namespace marrow::store

#endif  // MARROW_STORE_WRITES_H_
