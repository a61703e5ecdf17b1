#include "store/listing.h"

#include "store/record_files.h"
#include "store/utf8.h"

namespace marrow::store {

uint64_t LiveCount(const Store& store) { return store.live.Cardinality(); }

Result<std::vector<std::string>> LiveKeys(const Store& store) {
  std::vector<std::string> keys;
  keys.reserve(store.live.Cardinality());
  std::string bytes;
  Status status;
  WindowReader reader(store.keys_file.get(), 1 << 20);
  store.live.ForEach([&](RecordId id) {
    if (auto text = store.record_keys.Find(id)) {
      keys.emplace_back(*text);
      return true;
    }
    auto entry = ReadEntry(store, id);
    if (!entry.ok()) {
      status = entry.take_failure();
      return false;
    }
    status = reader.Read(entry.value().key_offset, entry.value().key_len, &bytes);
    if (!status.ok()) return false;
    keys.push_back(Utf8Lossy(bytes));
    return true;
  });
  if (!status.ok()) return status.take_failure();
  return keys;
}

}  // namespace marrow::store
