// Record files: keys.bin, vals.bin and the mapped offsets.bin table (layouts
// in format.h), and the record operations that writes, reads, recovery and
// vacuum are built on.
//
// AppendRecord is all or nothing for the in-memory state: it writes the key,
// the value and the OffsetEntry first and changes the RecordIndex and the
// logical ends only once every write succeeded. A failed append leaves the
// store as it was; the bytes it may have written past keys_end/vals_end are
// overwritten by the next append.
//
// Thread-safety: every function requires the StoreHandle lock, held
// exclusively except for the readers, which need it held shared.

#ifndef MARROW_STORE_RECORD_FILES_H_
#define MARROW_STORE_RECORD_FILES_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "store/error.h"
#include "store/state.h"
#include "store/write_op.h"

namespace marrow::store {

void EncodeOffsetEntry(const OffsetEntry& e, uint8_t* slot);
OffsetEntry DecodeOffsetEntry(const uint8_t* slot);

// Maps offsets.bin whole and advises random access.
Result<Mapping> MapOffsets(FileRef fd, Where where = Where::current());

// Doubles offsets.bin (as often as needed) and remaps it when `count` more
// records would not fit.
Status EnsureOffsetsCapacity(Store& store, uint64_t count = 1);

// Stores one record for `key` and makes it the key's live record; the value
// moves into the cache, the key text into RecordKeys. The callers check the
// limits first (CheckAppendLimits), before anything is logged. With
// `value_placed` the value's bytes already lie in vals.bin at vals_end (a
// placed put) and only the key is written.
Status AppendRecord(Store& store, std::string_view key, std::string value,
                    bool value_placed = false);
// Applies a batch of `puts` puts and some deletes as AppendRecord and
// RemoveRecord would one by one, with one write per record file. All or
// nothing: on failure nothing has changed. The cache copies the values.
Status ApplyBatch(Store& store, std::span<const WriteView> ops, size_t puts);
// A placed put's record (AppendRecord with `value_placed`) from a view of
// the value, which is copied only when the cache keeps it.
Status AppendPlacedRecord(Store& store, std::string_view key,
                          std::string_view value);
// A reader's append: the record stays where the log holds it (`entry` gives
// its key and value offsets in the log, or with `placed` its value's offset
// in vals.bin); nothing is written.
Status AppendLoggedRecord(Store& store, std::string key, std::string value,
                          const OffsetEntry& entry, bool placed);
// True when the key's fingerprint was indexed and has been removed.
bool RemoveRecord(Store& store, std::string_view key);

// Starts collecting appends in memory (see AppendBatch); FlushBatch writes
// them out and stops collecting.
void BeginBatch(Store& store);
Status FlushBatch(Store& store);

// A refusal when a `field` ("key" or "value") of `len` bytes is longer than
// a record can describe.
Status CheckFieldLength(const char* field, size_t len);
// A refusal when a key or value cannot be stored, or when `count` more
// records would use up the ids.
Status CheckAppendLimits(const Store& store, size_t key_len, size_t val_len,
                         size_t count = 1);

Result<OffsetEntry> ReadEntry(const Store& store, RecordId id);
// Starts loading record `id`'s entry from offsets.bin's mapping.
void PrefetchEntry(const Store& store, RecordId id);
// The record's key, from keys.bin or, for a reader's records past its
// snapshot, from the log.
Status ReadKeyBytes(const Store& store, RecordId id, const OffsetEntry& e,
                    std::string* out);
// Readies the read view for the record's key or value: nothing for bytes
// the log holds or bytes Probe vouches for; otherwise the view's Refresh,
// unless `refreshed` says this call made it already (and then sets it).
Status ReadyKeyView(Store& store, RecordId id, const OffsetEntry& e,
                    bool& refreshed);
Status ReadyValueView(Store& store, RecordId id, const OffsetEntry& e,
                      bool& refreshed);
// The record's key or value in the read views, when they cover it (once
// readied); otherwise ReadKeyBytes or ReadValueBytes reads it.
std::optional<std::string_view> ViewKey(const Store& store, RecordId id,
                                        const OffsetEntry& e);
std::optional<std::string_view> ViewValue(const Store& store, RecordId id,
                                          const OffsetEntry& e);
// The value of record `id`, from vals.bin or, for a reader's records past
// its snapshot, from the log.
Status ReadValueBytes(const Store& store, RecordId id, const OffsetEntry& e,
                      std::string* out);

}  // namespace marrow::store

#endif  // MARROW_STORE_RECORD_FILES_H_
