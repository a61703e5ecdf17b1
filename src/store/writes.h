// set_bytes, delete and batch commits: the log record first, then the
// change.
//
// Each is atomic for the open store: when the change cannot be applied, its
// log record is rolled back and the store is left as it was, so the log
// never holds a change that the open store does not show. A batch is one
// frame in the log, which replay applies whole or not at all.
//
// Thread-safety: requires the StoreHandle lock and the WalHandle lock, both
// held exclusively.

#ifndef MARROW_STORE_WRITES_H_
#define MARROW_STORE_WRITES_H_

#include <span>
#include <string>
#include <string_view>

#include "store/error.h"
#include "store/state.h"
#include "store/wal.h"

namespace marrow::store {

// One put; with `place_large`, a value of kWalPlacedMinValue bytes or more
// goes to vals.bin first and the log names it (a placed put).
Status SetBytes(Store& store, WalWriter& wal, std::string_view key,
                std::string value, bool place_large);
// A placed put of `value` (borrowed for the call): written to vals.bin
// once, then named by the log.
Status SetPlaced(Store& store, WalWriter& wal, std::string_view key,
                 std::string_view value);
// The ops in order, as one frame in the log and one write per record file;
// the record files end up as the same single writes would leave them.
// Every op is checked before anything is logged.
Status Commit(Store& store, WalWriter& wal, std::span<const WriteView> ops);
Result<bool> Delete(Store& store, WalWriter& wal, std::string_view key);

// The refusals a batch of `ops` meets before anything is logged; the number
// of its puts.
Result<size_t> CheckBatch(const Store& store, std::span<const WriteOp> ops);
Result<size_t> CheckBatch(const Store& store, std::span<const WriteView> ops);

}  // namespace marrow::store

#endif  // MARROW_STORE_WRITES_H_
