#include "store/reads.h"

#include <algorithm>
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

// Whether this call (a get_bytes or a whole get_many) has taken the read
// views' ends: the files do not change under the store's lock except behind
// its back, so once is enough, and a probe needs none (io.h).
struct Views {
  bool keys = false;
  bool vals = false;
};

// Does record `id` belong to `key`? Another key with the same fingerprint
// does not, and neither does a record whose entry or key bytes were
// damaged: the key is always compared with the bytes at the entry's key
// range, never with a text remembered for the record. A range past the end
// of the file fails the read.
Result<bool> IsKeyOf(Store& store, Views& views, RecordId id,
                     const OffsetEntry& entry, std::string_view key) {
  MARROW_RETURN_IF_ERROR(ReadyKeyView(store, id, entry, views.keys));
  if (auto viewed = ViewKey(store, id, entry)) return *viewed == key;
  std::string bytes;
  MARROW_RETURN_IF_ERROR(ReadKeyBytes(store, id, entry, &bytes));
  return bytes == key;
}

Result<bool> ReadValueOf(Store& store, Views& views, std::string_view key,
                         KeyFingerprint fp,
                         FunctionRef<void(std::string_view)> sink) {
  // The cache and the index are probed at once: a cold read waits on
  // memory more than on anything else.
  store.records.Prefetch(fp);
  if (const std::string* cached = store.cache.Lookup(fp)) {
    sink(*cached);
    return true;
  }
  const Located at = Locate(store, fp);
  if (!at.found) return false;
  MARROW_ASSIGN(const OffsetEntry entry, ReadEntry(store, at.id));
  // The key and value bytes load at once (a prefetch never faults).
  store.keys_view.Prefetch(entry.key_offset, entry.key_len);
  store.vals_view.Prefetch(entry.val_offset, entry.val_len);
  MARROW_ASSIGN(const bool ours,
                IsKeyOf(store, views, at.id, entry, key));
  if (!ours) return false;
  MARROW_RETURN_IF_ERROR(ReadyValueView(store, at.id, entry, views.vals));
  std::string value;
  if (auto viewed = ViewValue(store, at.id, entry)) {
    // A value the cache would not keep is handed over without a copy.
    if (!store.cache.Admits(viewed->size())) {
      sink(*viewed);
      return true;
    }
    sink(store.cache.InsertCopy(at.fp, *viewed));
    return true;
  } else {
    MARROW_RETURN_IF_ERROR(ReadValueBytes(store, at.id, entry, &value));
  }
  sink(value);
  store.cache.Insert(at.fp, std::move(value));
  return true;
}

}  // namespace

Result<bool> ReadValue(Store& store, std::string_view key,
                       FunctionRef<void(std::string_view)> sink) {
  Views views;
  return ReadValueOf(store, views, key, Fingerprint(key), sink);
}

Status ReadValues(Store& store, std::span<const std::string_view> keys,
                  FunctionRef<void(size_t, const std::string_view*)> sink) {
  // Keys are taken in chunks. For a chunk, first the memory every miss will
  // touch is prefetched stage by stage (index and cache slots, then the
  // offsets entries, then the key and value bytes in the views and the bytes
  // their probes load), so that the misses of a chunk wait on memory
  // together, and every read that the views do not cover goes to the file
  // system in one batch. Then the keys are answered in order exactly as one
  // ReadValue each would (a cache hit wins, a failure stops the batch at its
  // key), so a value that an earlier key's insert evicted is simply read
  // again.
  struct Prefetch {
    Located at;
    OffsetEntry entry;
    std::string key;
    std::string value;
    size_t key_request = SIZE_MAX;
    size_t value_request = SIZE_MAX;
    bool entry_read = false;
    bool ready = false;  // the key and value are viewed or requested
  };
  constexpr size_t kChunk = 64;
  std::vector<Prefetch> prefetch(std::min(keys.size(), kChunk));
  std::vector<ReadRequest> requests;
  Views views;
  // A reader's newest records are in the log: it reads one by one.
  const bool can_batch = !store.read_only;
  for (size_t first = 0; first < keys.size(); first += kChunk) {
    const std::span<const std::string_view> chunk =
        keys.subspan(first, std::min(kChunk, keys.size() - first));
    requests.clear();
    for (size_t i = 0; i < chunk.size(); ++i) {
      prefetch[i] = Prefetch{};
      prefetch[i].at.fp = Fingerprint(chunk[i]);
      store.records.Prefetch(prefetch[i].at.fp);
      store.cache.Prefetch(prefetch[i].at.fp);
    }
    for (size_t i = 0; i < chunk.size() && can_batch; ++i) {
      Located& at = prefetch[i].at;
      if (store.cache.Contains(at.fp)) continue;
      at = Locate(store, at.fp);
      if (at.found) PrefetchEntry(store, at.id);
    }
    for (size_t i = 0; i < chunk.size() && can_batch; ++i) {
      Prefetch& p = prefetch[i];
      if (!p.at.found) continue;
      auto entry = ReadEntry(store, p.at.id);
      if (!entry.ok()) continue;  // the ordered pass reports it
      p.entry = entry.value();
      p.entry_read = true;
      store.keys_view.Prefetch(p.entry.key_offset, p.entry.key_len);
      store.vals_view.Prefetch(p.entry.val_offset, p.entry.val_len);
    }
    // The probes load what the stage before prefetched, so that they do not
    // wait on memory one key at a time.
    for (size_t i = 0; i < chunk.size() && can_batch; ++i) {
      Prefetch& p = prefetch[i];
      if (!p.entry_read) continue;
      // A failed lseek is reported by the ordered pass too.
      if (!ReadyKeyView(store, p.at.id, p.entry, views.keys).ok() ||
          !ReadyValueView(store, p.at.id, p.entry, views.vals).ok()) {
        continue;
      }
      const bool key_viewed = ViewKey(store, p.at.id, p.entry).has_value();
      const bool value_viewed = ViewValue(store, p.at.id, p.entry).has_value();
      // Large ranges outside the views are read (and size-checked) one by
      // one.
      constexpr uint64_t kTrustedLength = 1 << 20;
      if ((!key_viewed && p.entry.key_len > kTrustedLength) ||
          (!value_viewed && p.entry.val_len > kTrustedLength)) {
        continue;
      }
      p.ready = true;
      if (!key_viewed) {
        p.key.resize(p.entry.key_len);
        p.key_request = requests.size();
        requests.push_back({store.keys_file.get(), p.key.data(), p.key.size(),
                            p.entry.key_offset});
      }
      if (!value_viewed) {
        p.value.resize(p.entry.val_len);
        p.value_request = requests.size();
        requests.push_back({store.vals_file.get(), p.value.data(),
                            p.value.size(), p.entry.val_offset});
      }
    }
    if (!requests.empty()) store.fs->ReadBatch(requests);
    auto complete = [&](size_t request) {
      return request == SIZE_MAX ||
             requests[request].result ==
                 static_cast<ssize_t>(requests[request].len);
    };

    for (size_t i = 0; i < chunk.size(); ++i) {
      Prefetch& p = prefetch[i];
      const size_t index = first + i;
      // A view whose end a later key's Refresh moved may no longer serve
      // the key or the value: they are read again then.
      const std::optional<std::string_view> stored_key =
          !p.ready                     ? std::nullopt
          : p.key_request == SIZE_MAX ? ViewKey(store, p.at.id, p.entry)
                                      : std::optional<std::string_view>(p.key);
      const std::optional<std::string_view> viewed =
          p.ready && p.value_request == SIZE_MAX
              ? ViewValue(store, p.at.id, p.entry)
              : std::nullopt;
      const bool ready = stored_key && complete(p.value_request) &&
                         complete(p.key_request) &&
                         (p.value_request != SIZE_MAX || viewed);
      if (!ready || store.cache.Contains(p.at.fp)) {
        MARROW_ASSIGN(
            const bool found,
            ReadValueOf(store, views, chunk[i], p.at.fp,
                        [&](std::string_view v) { sink(index, &v); }));
        if (!found) sink(index, nullptr);
        continue;
      }
      if (*stored_key != chunk[i]) {
        sink(index, nullptr);
        continue;
      }
      if (viewed) {
        if (!store.cache.Admits(viewed->size())) {
          sink(index, &*viewed);
          continue;
        }
        const std::string_view cached =
            store.cache.InsertCopy(p.at.fp, *viewed);
        sink(index, &cached);
        continue;
      }
      const std::string_view value(p.value);
      sink(index, &value);
      store.cache.Insert(p.at.fp, std::move(p.value));
    }
  }
  return {};
}

}  // namespace marrow::store
