#include "store/writes.h"

#include "store/record_files.h"

namespace marrow::store {

Status SetBytes(Store& store, WalWriter& wal, std::string_view key,
                std::string value) {
  // Refusals come before anything is logged.
  MARROW_RETURN_IF_ERROR(CheckAppendLimits(store, key.size(), value.size()));
  const uint64_t mark = wal.Position();
  MARROW_RETURN_IF_ERROR(wal.AppendPut(key, value));
  Status applied = AppendRecord(store, key, std::move(value));
  if (!applied.ok()) wal.RollBack(mark);
  return applied;
}

Status SetMany(Store& store, WalWriter& wal,
               std::span<std::pair<std::string, std::string>> items) {
  for (const auto& [key, value] : items) {
    MARROW_RETURN_IF_ERROR(CheckAppendLimits(store, key.size(), value.size()));
  }
  MARROW_RETURN_IF_ERROR(CheckAppendLimits(store, 0, 0, items.size()));
  const uint64_t mark = wal.Position();
  MARROW_RETURN_IF_ERROR(wal.AppendPuts(items));
  Status applied = AppendRecords(store, items);
  if (!applied.ok()) wal.RollBack(mark);
  return applied;
}

Result<bool> Delete(Store& store, WalWriter& wal, std::string_view key) {
  MARROW_RETURN_IF_ERROR(wal.AppendDelete(key));
  return RemoveRecord(store, key);
}

}  // namespace marrow::store
