#include "store/record_files.h"

#include <algorithm>
#include <string>
#include <vector>

#include "store/format.h"
#include "store/page_probe.h"

namespace marrow::store {

void EncodeOffsetEntry(const OffsetEntry& e, uint8_t* slot) {
  PutU64(slot + kKeyOffsetAt, e.key_offset);
  PutU32(slot + kKeyLenAt, e.key_len);
  PutU64(slot + kValOffsetAt, e.val_offset);
  PutU32(slot + kValLenAt, e.val_len);
}

OffsetEntry DecodeOffsetEntry(const uint8_t* slot) {
  return {GetU64(slot + kKeyOffsetAt), GetU32(slot + kKeyLenAt),
          GetU64(slot + kValOffsetAt), GetU32(slot + kValLenAt)};
}

Result<Mapping> MapOffsets(FileRef fd, Where where) {
  MARROW_ASSIGN(uint64_t size, FileSize(fd, where));
  MARROW_ASSIGN(Mapping map, Mapping::Map(fd, size, false, where));
  map.AdviseRandom();
  return map;
}

Status EnsureOffsetsCapacity(Store& store, uint64_t count) {
  const uint64_t needed = uint64_t{store.records.next_id()} + count;
  if (store.offsets_capacity >= needed) return {};
  // Doubling once is enough for one record; a snapshot whose next_id lies
  // far past the table (damage) must not grow the file without bound.
  uint64_t grown = store.offsets_capacity * 2;
  while (count > 1 && grown < needed) grown *= 2;
  // A file cut behind the store is not grown back: its lost slots would
  // read as zeros.
  MARROW_ASSIGN(const uint64_t size, FileSize(store.offsets_file));
  if (size < store.offsets_map.size()) return ShortRead();
  MARROW_RETURN_IF_ERROR(store.offsets_map.Sync());
  MARROW_RETURN_IF_ERROR(
      Truncate(store.offsets_file, grown * kOffsetEntrySize));
  MARROW_ASSIGN(Mapping map, MapOffsets(store.offsets_file));
  store.offsets_map = std::move(map);
  store.offsets_capacity = grown;
  return {};
}

namespace {

// offsets.bin cut behind the store leaves the mapping's pages past the new
// end raising SIGBUS and the rest of its last page reading as zeros. A load
// of the mapping's last page that does not fault (page_probe.h) tells that
// the file still holds every slot before that page, with no system call and
// at an address that stays cached; a slot inside that page, or a load that
// faults, asks the file's end.
Status CheckSlotInFile(const Store& store, uint64_t end, Where where) {
  const Mapping& map = store.offsets_map;
  const uint64_t last_page = (map.size() - 1) & ~(PageSize() - 1);
  if (end <= last_page && ProbePage(map.data() + last_page)) return {};
  MARROW_ASSIGN(const uint64_t file_end, FileEnd(store.offsets_file, where));
  if (end <= file_end) return {};
  return ShortRead(where);
}

// The slot of `id` in the mapping, or the range failure a bounds-checked
// slice of the mapping reports, or an early end of a file cut behind the
// store.
Result<uint8_t*> Slot(const Store& store, RecordId id, Where where) {
  const uint64_t start = uint64_t{id} * kOffsetEntrySize;
  const uint64_t end = start + kOffsetEntrySize;
  const uint64_t length = store.offsets_map.size();
  if (start > length) {
    return Failure::InternalMessage(
        "range start index " + std::to_string(start) +
            " out of range for slice of length " + std::to_string(length),
        where);
  }
  if (end > length) {
    return Failure::InternalMessage("range end index " + std::to_string(end) +
                                        " out of range for slice of length " +
                                        std::to_string(length),
                                    where);
  }
  MARROW_RETURN_IF_ERROR(CheckSlotInFile(store, end, where));
  return store.offsets_map.data() + start;
}

constexpr size_t kBatchBytes = 4 << 20;

Status FlushBatchBuffers(Store& store) {
  AppendBatch& b = *store.batch;
  MARROW_RETURN_IF_ERROR(
      PwriteFull(store.keys_file, b.keys.data(), b.keys.size(), b.keys_at));
  MARROW_RETURN_IF_ERROR(
      PwriteFull(store.vals_file, b.vals.data(), b.vals.size(), b.vals_at));
  b.keys_at += b.keys.size();
  b.vals_at += b.vals.size();
  b.keys.clear();
  b.vals.clear();
  return {};
}

Status BatchAppend(Store& store, std::string_view key, std::string_view value) {
  AppendBatch& b = *store.batch;
  if (b.keys.size() + b.vals.size() + key.size() + value.size() > kBatchBytes) {
    MARROW_RETURN_IF_ERROR(FlushBatchBuffers(store));
  }
  b.keys.append(key);
  b.vals.append(value);
  return {};
}

}  // namespace

void BeginBatch(Store& store) {
  store.batch = std::make_unique<AppendBatch>();
  store.batch->keys_at = store.keys_end;
  store.batch->vals_at = store.vals_end;
}

Status FlushBatch(Store& store) {
  if (!store.batch) return {};
  Status flushed = FlushBatchBuffers(store);
  store.batch.reset();
  return flushed;
}

Status CheckFieldLength(const char* field, size_t len) {
  if (len <= kMaxFieldLength) return {};
  return Failure::Value(std::string(field) +
                        " is too long: " + std::to_string(len) +
                        " bytes (the limit is 4294967295)");
}

Status CheckAppendLimits(const Store& store, size_t key_len, size_t val_len,
                         size_t count) {
  MARROW_RETURN_IF_ERROR(CheckFieldLength("key", key_len));
  MARROW_RETURN_IF_ERROR(CheckFieldLength("value", val_len));
  if (count > kMaxRecordId - store.records.next_id()) {
    return Failure::Overflow(
        "the store has used up its record ids (4294967295); run vacuum() to "
        "renumber the live records");
  }
  return {};
}

namespace {

// The in-memory half of an append, once the record's bytes are stored.
void Install(Store& store, KeyFingerprint fp, std::string_view key,
             std::string value) {
  store.records.Append(fp, key);
  store.cache.Insert(fp, std::move(value));
}

}  // namespace

namespace {

// AppendRecord on `bytes`, the value; `cached` is what the cache takes of
// it (the value itself, or nothing when the cache would not keep it).
Status AppendRecordFrom(Store& store, std::string_view key,
                        std::string_view bytes, bool value_placed,
                        std::string* cached) {
  const KeyFingerprint fp = Fingerprint(key);
  // The slots the install writes load while the record is written.
  store.records.Prefetch(fp);
  store.cache.Prefetch(fp);
  MARROW_RETURN_IF_ERROR(EnsureOffsetsCapacity(store));
  MARROW_ASSIGN(uint8_t* slot,
                Slot(store, store.records.next_id(), Where::current()));

  const OffsetEntry entry{store.keys_end, static_cast<uint32_t>(key.size()),
                          store.vals_end, static_cast<uint32_t>(bytes.size())};
  if (store.batch) {
    if (value_placed) {
      // The collected values end where the placed one begins.
      MARROW_RETURN_IF_ERROR(FlushBatchBuffers(store));
      store.batch->vals_at += bytes.size();
    }
    MARROW_RETURN_IF_ERROR(
        BatchAppend(store, key, value_placed ? std::string_view() : bytes));
  } else {
    MARROW_RETURN_IF_ERROR(
        PwriteFull(store.keys_file, key.data(), key.size(), entry.key_offset));
    if (!value_placed) {
      MARROW_RETURN_IF_ERROR(PwriteFull(store.vals_file, bytes.data(),
                                        bytes.size(), entry.val_offset));
    }
  }
  EncodeOffsetEntry(entry, slot);
  // Every write succeeded: the record becomes the key's live one.
  store.keys_end += entry.key_len;
  store.vals_end += entry.val_len;
  store.records.Append(fp, key);
  // An empty `cached` for a longer value: the cache would not keep it, and
  // drops what it held for the key instead, as Insert would.
  if (cached->size() == bytes.size()) {
    store.cache.Insert(fp, std::move(*cached));
  } else {
    store.cache.Remove(fp);
  }
  return {};
}

}  // namespace

Status AppendRecord(Store& store, std::string_view key, std::string value,
                    bool value_placed) {
  return AppendRecordFrom(store, key, value, value_placed, &value);
}

Status AppendPlacedRecord(Store& store, std::string_view key,
                          std::string_view value) {
  std::string cached;
  if (store.cache.Admits(value.size())) cached.assign(value);
  return AppendRecordFrom(store, key, value, /*value_placed=*/true, &cached);
}

// Larger room for a batch's bytes goes back once the batch is written.
constexpr size_t kKeptScratch = 4 << 20;

Status ApplyBatch(Store& store, std::span<const WriteView> ops, size_t puts) {
  MARROW_RETURN_IF_ERROR(EnsureOffsetsCapacity(store, puts));
  size_t key_bytes = 0;
  size_t val_bytes = 0;
  for (const WriteView& op : ops) {
    if (op.erase) continue;
    key_bytes += op.key.size();
    val_bytes += op.value.size();
  }
  // The keys, the values and the offsets entries, in one buffer kept from
  // batch to batch: a fresh one would cost its pages' faults at every
  // batch. The entries go out in one write too, instead of a fault for
  // every page of offsets.bin's mapping they fill.
  std::string& bytes = store.batch_scratch;
  const size_t entry_bytes = puts * kOffsetEntrySize;
  bytes.resize(key_bytes + val_bytes + entry_bytes);
  std::vector<KeyFingerprint> fps(ops.size());
  char* key_at = bytes.data();
  char* val_at = bytes.data() + key_bytes;
  auto* slot = reinterpret_cast<uint8_t*>(val_at + val_bytes);
  OffsetEntry entry{store.keys_end, 0, store.vals_end, 0};
  for (size_t i = 0; i < ops.size(); ++i) {
    fps[i] = Fingerprint(ops[i].key);
    if (ops[i].erase) continue;
    key_at = std::copy(ops[i].key.begin(), ops[i].key.end(), key_at);
    val_at = std::copy(ops[i].value.begin(), ops[i].value.end(), val_at);
    entry.key_len = static_cast<uint32_t>(ops[i].key.size());
    entry.val_len = static_cast<uint32_t>(ops[i].value.size());
    EncodeOffsetEntry(entry, slot);
    slot += kOffsetEntrySize;
    entry.key_offset += entry.key_len;
    entry.val_offset += entry.val_len;
  }
  Status written =
      PwriteFull(store.keys_file, bytes.data(), key_bytes, store.keys_end);
  if (written.ok()) {
    written = PwriteFull(store.vals_file, bytes.data() + key_bytes, val_bytes,
                         store.vals_end);
  }
  if (written.ok()) {
    written = PwriteFull(
        store.offsets_file, bytes.data() + key_bytes + val_bytes, entry_bytes,
        uint64_t{store.records.next_id()} * kOffsetEntrySize);
  }
  if (bytes.capacity() > kKeptScratch) {
    std::string().swap(bytes);
  }
  MARROW_RETURN_IF_ERROR(std::move(written));
  // The index and cache slots are prefetched a few items ahead: a batch's
  // inserts land at random places of tables larger than the caches.
  constexpr size_t kAhead = 16;
  for (size_t i = 0; i < ops.size(); ++i) {
    if (i + kAhead < ops.size()) {
      store.records.Prefetch(fps[i + kAhead]);
      store.cache.Prefetch(fps[i + kAhead]);
    }
    const WriteView& op = ops[i];
    if (op.erase) {
      if (store.records.Remove(fps[i])) store.cache.Remove(fps[i]);
      continue;
    }
    store.keys_end += op.key.size();
    store.vals_end += op.value.size();
    store.records.Append(fps[i], op.key);
    store.cache.Insert(fps[i], op.value);
  }
  return {};
}

Status AppendLoggedRecord(Store& store, std::string key, std::string value,
                          const OffsetEntry& entry, bool placed) {
  store.log_entries.push_back(entry);
  store.log_placed.push_back(placed);
  Install(store, Fingerprint(key), key, std::move(value));
  return {};
}

bool RemoveRecord(Store& store, std::string_view key) {
  const KeyFingerprint fp = Fingerprint(key);
  if (!store.records.Remove(fp)) return false;
  store.cache.Remove(fp);
  return true;
}

Result<OffsetEntry> ReadEntry(const Store& store, RecordId id) {
  if (store.read_only && id >= store.log_first_id &&
      id - store.log_first_id < store.log_entries.size()) {
    return store.log_entries[id - store.log_first_id];
  }
  MARROW_ASSIGN(uint8_t* slot, Slot(store, id, Where::current()));
  return DecodeOffsetEntry(slot);
}

void PrefetchEntry(const Store& store, RecordId id) {
  const uint64_t start = uint64_t{id} * kOffsetEntrySize;
  if (start + kOffsetEntrySize <= store.offsets_map.size()) {
    __builtin_prefetch(store.offsets_map.data() + start);
  }
}

namespace {

bool InLog(const Store& store, RecordId id) {
  return store.read_only && id >= store.log_first_id;
}

// A reader's record whose value the log holds (a placed put's is in
// vals.bin).
bool ValueInLog(const Store& store, RecordId id) {
  return InLog(store, id) && !store.log_placed[id - store.log_first_id];
}

}  // namespace

Status ReadKeyBytes(const Store& store, RecordId id, const OffsetEntry& e,
                    std::string* out) {
  return ReadRange(InLog(store, id) ? store.log : store.keys_file, e.key_offset,
                   e.key_len, out);
}

namespace {

Status ReadyView(FileView& view, const UniqueFd& file, uint64_t offset,
                 uint64_t len, bool& refreshed) {
  if (refreshed || !file.valid() || view.Probe(offset, len)) return {};
  refreshed = true;
  return view.Refresh(file);
}

}  // namespace

Status ReadyKeyView(Store& store, RecordId id, const OffsetEntry& e,
                    bool& refreshed) {
  if (InLog(store, id)) return {};
  return ReadyView(store.keys_view, store.keys_file, e.key_offset, e.key_len,
                   refreshed);
}

Status ReadyValueView(Store& store, RecordId id, const OffsetEntry& e,
                      bool& refreshed) {
  if (ValueInLog(store, id)) return {};
  return ReadyView(store.vals_view, store.vals_file, e.val_offset, e.val_len,
                   refreshed);
}

std::optional<std::string_view> ViewKey(const Store& store, RecordId id,
                                        const OffsetEntry& e) {
  if (InLog(store, id)) return std::nullopt;
  return store.keys_view.Find(e.key_offset, e.key_len);
}

std::optional<std::string_view> ViewValue(const Store& store, RecordId id,
                                          const OffsetEntry& e) {
  if (ValueInLog(store, id)) return std::nullopt;
  return store.vals_view.Find(e.val_offset, e.val_len);
}

Status ReadValueBytes(const Store& store, RecordId id, const OffsetEntry& e,
                      std::string* out) {
  const bool in_log = ValueInLog(store, id);
  return ReadRange(in_log ? store.log : store.vals_file, e.val_offset,
                   e.val_len, out);
}

}  // namespace marrow::store
