#include "store/listing.h"

#include "store/record_files.h"
#include "store/utf8.h"

namespace marrow::store {

uint64_t LiveCount(const Store& store) { return store.records.LiveCount(); }

Status ForEachLiveKey(const Store& store,
                      FunctionRef<void(std::string_view)> sink) {
  std::string scratch;
  Status status;
  WindowReader reader(store.keys_file, 1 << 20);
  store.records.live().ForEach([&](RecordId id) {
    if (auto text = store.records.KeyText(id)) {
      sink(*text);
      return true;
    }
    auto entry = ReadEntry(store, id);
    if (!entry.ok()) {
      status = entry.take_failure();
      return false;
    }
    auto bytes =
        reader.View(entry.value().key_offset, entry.value().key_len, &scratch);
    if (!bytes.ok()) {
      status = bytes.take_failure();
      return false;
    }
    if (IsValidUtf8(bytes.value())) {
      sink(bytes.value());
    } else {
      sink(Utf8Lossy(bytes.value()));
    }
    return true;
  });
  return status;
}

}  // namespace marrow::store
