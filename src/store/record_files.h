// Record files: keys.bin, vals.bin and the mapped offsets.bin table (layouts
// in format.h), and the record operations that writes, reads, recovery and
// vacuum are built on.
//
// AppendRecord is all or nothing for the in-memory state: it writes the key,
// the value and the OffsetEntry first and changes KeyIndex, LiveSet,
// DeadSet, RecordKeys, next_id and the logical ends only once every write
// succeeded. A failed append leaves the store as it was; the bytes it may
// have written past keys_end/vals_end are overwritten by the next append.
//
// Thread-safety: every function requires the StoreHandle lock, held
// exclusively except for the readers, which need it held shared.

#ifndef MARROW_STORE_RECORD_FILES_H_
#define MARROW_STORE_RECORD_FILES_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "store/error.h"
#include "store/state.h"

namespace marrow::store {

struct OffsetEntry {
  uint64_t key_offset = 0;
  uint32_t key_len = 0;
  uint64_t val_offset = 0;
  uint32_t val_len = 0;
};

void EncodeOffsetEntry(const OffsetEntry& e, uint8_t* slot);
OffsetEntry DecodeOffsetEntry(const uint8_t* slot);

// Maps offsets.bin whole and advises random access.
Result<Mapping> MapOffsets(FileRef fd, Where where = Where::current());

// Doubles offsets.bin and remaps it when next_id has reached the capacity.
Status EnsureOffsetsCapacity(Store& store);

// Stores one record for `key` and makes it the key's live record; the value
// moves into the cache, the key text into RecordKeys.
Status AppendRecord(Store& store, std::string key, std::string value);
// True when the key's fingerprint was indexed and has been removed.
bool RemoveRecord(Store& store, std::string_view key);

// Starts collecting appends in memory (see AppendBatch); FlushBatch writes
// them out and stops collecting.
void BeginBatch(Store& store);
Status FlushBatch(Store& store);

// A refusal when a key or value cannot be stored, or ids are used up.
Status CheckAppendLimits(const Store& store, size_t key_len, size_t val_len);

Result<OffsetEntry> ReadEntry(const Store& store, RecordId id);
Status ReadKeyBytes(const Store& store, const OffsetEntry& e, std::string* out);
Status ReadValueBytes(const Store& store, const OffsetEntry& e, std::string* out);

}  // namespace marrow::store

#endif  // MARROW_STORE_RECORD_FILES_H_
