#include "store/reads.h"

#include <string>
#include <vector>

#include "store/record_files.h"

namespace marrow::store {

namespace {

// A key's live record, when the index has one.
struct Located {
  KeyFingerprint fp;
  RecordId id = 0;
  bool found = false;
};

Located Locate(const Store& store, KeyFingerprint fp) {
  const std::optional<RecordId> id = store.records.Find(fp);
  return {fp, id.value_or(0), id.has_value()};
}

// Does record `id`, whose stored key `stored` was read (or is nullptr when
// it was not), belong to `key`? Another key with the same fingerprint does
// not. A text remembered for the record equals its stored bytes, so no
// read is needed for records written or rebuilt while open.
Result<bool> IsKeyOf(const Store& store, RecordId id, const OffsetEntry& entry,
                     std::string_view key, const std::string* stored) {
  if (auto text = store.records.KeyText(id)) return *text == key;
  if (stored != nullptr) return *stored == key;
  std::string bytes;
  MARROW_RETURN_IF_ERROR(ReadKeyBytes(store, entry, &bytes));
  return bytes == key;
}

Result<bool> ReadValueOf(Store& store, std::string_view key, KeyFingerprint fp,
                         absl::FunctionRef<void(std::string_view)> sink) {
  if (const std::string* cached = store.cache.Lookup(fp)) {
    sink(*cached);
    return true;
  }
  const Located at = Locate(store, fp);
  if (!at.found) return false;
  MARROW_ASSIGN(const OffsetEntry entry, ReadEntry(store, at.id));
  MARROW_ASSIGN(const bool ours, IsKeyOf(store, at.id, entry, key, nullptr));
  if (!ours) return false;
  std::string value;
  MARROW_RETURN_IF_ERROR(ReadValueBytes(store, at.id, entry, &value));
  sink(value);
  store.cache.Insert(at.fp, std::move(value));
  return true;
}

}  // namespace

Result<bool> ReadValue(Store& store, std::string_view key,
                       absl::FunctionRef<void(std::string_view)> sink) {
  return ReadValueOf(store, key, Fingerprint(key), sink);
}

Status ReadValues(
    Store& store, std::span<const std::string> keys,
    absl::FunctionRef<void(size_t, const std::string_view*)> sink) {
  // First every read the misses need goes to the file system in one batch;
  // then the keys are answered in order exactly as one ReadValue each would
  // (a cache hit wins, a failure stops the batch at its key), so a value
  // that an earlier key's insert evicted is simply read again.
  struct Prefetch {
    OffsetEntry entry;
    std::string key;
    std::string value;
    size_t key_request = SIZE_MAX;
    size_t value_request = SIZE_MAX;
  };
  std::vector<Prefetch> prefetch(keys.size());
  std::vector<ReadRequest> requests;
  std::vector<Located> located(keys.size());
  const bool can_batch = !store.read_only;
  for (size_t i = 0; i < keys.size() && can_batch; ++i) {
    const KeyFingerprint fp = Fingerprint(keys[i]);
    located[i].fp = fp;
    if (store.cache.Contains(fp)) continue;
    located[i] = Locate(store, fp);
    const Located& at = located[i];
    if (!at.found) continue;
    auto entry = ReadEntry(store, at.id);
    if (!entry.ok()) continue;  // the ordered pass reports it
    Prefetch& p = prefetch[i];
    p.entry = entry.value();
    constexpr uint64_t kTrustedLength = 1 << 20;
    if (p.entry.val_len > kTrustedLength || p.entry.key_len > kTrustedLength) {
      continue;  // large ones are read (and size-checked) one by one
    }
    if (!store.records.KeyText(at.id)) {
      p.key.resize(p.entry.key_len);
      p.key_request = requests.size();
      requests.push_back({store.keys_file.get(), p.key.data(), p.key.size(),
                          p.entry.key_offset});
    }
    p.value.resize(p.entry.val_len);
    p.value_request = requests.size();
    requests.push_back({store.vals_file.get(), p.value.data(), p.value.size(),
                        p.entry.val_offset});
  }
  if (!requests.empty()) store.fs->ReadBatch(requests);
  auto complete = [&](size_t request) {
    return request != SIZE_MAX &&
           requests[request].result ==
               static_cast<ssize_t>(requests[request].len);
  };

  for (size_t i = 0; i < keys.size(); ++i) {
    Prefetch& p = prefetch[i];
    const bool ready = can_batch && p.value_request != SIZE_MAX &&
                       complete(p.value_request) &&
                       (p.key_request == SIZE_MAX || complete(p.key_request));
    const Located& at = located[i];
    if (!ready || store.cache.Contains(at.fp)) {
      const KeyFingerprint fp = can_batch ? at.fp : Fingerprint(keys[i]);
      MARROW_ASSIGN(const bool found,
                    ReadValueOf(store, keys[i], fp,
                                [&](std::string_view v) { sink(i, &v); }));
      if (!found) sink(i, nullptr);
      continue;
    }
    MARROW_ASSIGN(const bool ours,
                  IsKeyOf(store, at.id, p.entry, keys[i],
                          p.key_request == SIZE_MAX ? nullptr : &p.key));
    if (!ours) {
      sink(i, nullptr);
      continue;
    }
    const std::string_view value(p.value);
    sink(i, &value);
    store.cache.Insert(at.fp, std::move(p.value));
  }
  return {};
}

}  // namespace marrow::store
