#include "store/writes.h"

#include <algorithm>

#include "store/checksum.h"
#include "store/format.h"
#include "store/record_files.h"

namespace marrow::store {

Status SetBytes(Store& store, WalWriter& wal, std::string_view key,
                std::string value, bool place_large) {
  if (place_large && value.size() >= kWalPlacedMinValue) {
    return SetPlaced(store, wal, key, value);
  }
  // Refusals come before anything is logged.
  MARROW_RETURN_IF_ERROR(CheckAppendLimits(store, key.size(), value.size()));
  const uint64_t mark = wal.Position();
  MARROW_RETURN_IF_ERROR(wal.AppendPut(key, value));
  Status applied = AppendRecord(store, key, std::move(value));
  if (!applied.ok()) wal.RollBack(mark);
  return applied;
}

Status SetPlaced(Store& store, WalWriter& wal, std::string_view key,
                 std::string_view value) {
  MARROW_RETURN_IF_ERROR(CheckAppendLimits(store, key.size(), value.size()));
  // Written once: the value first, then a record that names its place. A
  // failed record leaves bytes past vals_end, which the next append
  // overwrites.
  const uint64_t at = store.vals_end;
  MARROW_RETURN_IF_ERROR(
      PwriteFull(store.vals_file, value.data(), value.size(), at));
  const uint64_t mark = wal.Position();
  MARROW_RETURN_IF_ERROR(
      wal.AppendPlaced(key, value.size(), at, ValueChecksum(value)));
  store.log_holds_placed = true;
  Status applied = AppendPlacedRecord(store, key, value);
  if (!applied.ok()) wal.RollBack(mark);
  return applied;
}

namespace {

template <typename Op>
Result<size_t> CheckOps(const Store& store, std::span<const Op> ops) {
  size_t puts = 0;
  size_t longest = 0;
  for (const Op& op : ops) {
    longest =
        std::max({longest, op.key.size(), op.erase ? 0 : op.value.size()});
    puts += !op.erase;
  }
  // The ops one by one only when one of them is refused: the refusal is
  // then the first one's, as always.
  const bool refused =
      longest > kMaxFieldLength ||
      (!ops.empty() && store.records.next_id() >= kMaxRecordId);
  for (size_t i = 0; refused && i < ops.size(); ++i) {
    MARROW_RETURN_IF_ERROR(CheckAppendLimits(
        store, ops[i].key.size(), ops[i].erase ? 0 : ops[i].value.size()));
  }
  MARROW_RETURN_IF_ERROR(CheckAppendLimits(store, 0, 0, puts));
  return puts;
}

}  // namespace

Result<size_t> CheckBatch(const Store& store, std::span<const WriteOp> ops) {
  return CheckOps(store, ops);
}

Result<size_t> CheckBatch(const Store& store, std::span<const WriteView> ops) {
  return CheckOps(store, ops);
}

Status Commit(Store& store, WalWriter& wal, std::span<const WriteView> ops) {
  MARROW_ASSIGN(const size_t puts, CheckBatch(store, ops));
  if (ops.empty()) return {};
  const uint64_t mark = wal.Position();
  MARROW_RETURN_IF_ERROR(wal.AppendBatch(ops));
  Status applied = ApplyBatch(store, ops, puts);
  if (!applied.ok()) wal.RollBack(mark);
  return applied;
}

Result<bool> Delete(Store& store, WalWriter& wal, std::string_view key) {
  MARROW_RETURN_IF_ERROR(wal.AppendDelete(key));
  return RemoveRecord(store, key);
}

}  // namespace marrow::store
