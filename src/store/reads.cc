#include "store/reads.h"

#include <string>

#include "store/record_files.h"

namespace marrow::store {

Result<bool> ReadValue(Store& store, std::string_view key,
                       absl::FunctionRef<void(std::string_view)> sink) {
  const KeyFingerprint fp = Fingerprint(key);
  if (const std::string* cached = store.cache.Lookup(fp)) {
    sink(*cached);
    return true;
  }
  if (store.key_index.empty()) return false;
  auto it = store.key_index.find(fp);
  if (it == store.key_index.end()) return false;
  const RecordId id = it->second;
  if (!store.live.Contains(id)) return false;

  MARROW_ASSIGN(const OffsetEntry entry, ReadEntry(store, id));
  std::string stored_key;
  MARROW_RETURN_IF_ERROR(ReadKeyBytes(store, entry, &stored_key));
  // Another key with the same fingerprint is not this key.
  if (stored_key != key) return false;
  std::string value;
  MARROW_RETURN_IF_ERROR(ReadValueBytes(store, entry, &value));
  sink(value);
  store.cache.Insert(fp, std::move(value));
  return true;
}

}  // namespace marrow::store
