// The in-memory state of one open store directory and its lock-protected
// owners.
//
// Store holds the index from fingerprints to RecordIds, the live and dead
// record sets, the value cache, the key texts of records, the mapping of
// offsets.bin and the three record files with their logical ends.
// LiveSet, DeadSet, KeyIndex and RecordKeys change together (see
// record_files.h); a record id is never handed out twice between vacuums.
//
// StoreHandle and WalHandle pair a Store or a WalWriter with a reader/writer
// lock. When both are needed the StoreHandle lock is taken first.
//
// Thread-safety: Store and WalWriter have none of their own; every access
// goes through the owning handle's lock.

#ifndef MARROW_STORE_STATE_H_
#define MARROW_STORE_STATE_H_

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "store/bitmap.h"
#include "store/fingerprint.h"
#include "store/io.h"
#include "store/record_keys.h"
#include "store/value_cache.h"
#include "store/wal.h"

namespace marrow::store {

using RecordId = uint32_t;
using KeyIndex = absl::flat_hash_map<KeyFingerprint, RecordId>;

// DeadSet: the RecordIds superseded or deleted since the last vacuum. Only
// persist reads it, so additions are collected and merged in ascending
// batches rather than inserted one by one at random places of the bitmap's
// containers, which costs a memory move per write.
class DeadSet {
 public:
  void Add(RecordId id) {
    pending_.push_back(id);
    if (pending_.size() >= kFoldAt) Fold();
  }
  void Clear() {
    bits_.Clear();
    pending_.clear();
  }
  void Assign(Bitmap bits) {
    bits_ = std::move(bits);
    pending_.clear();
  }
  // The whole set as a new bitmap.
  Bitmap Snapshot() const;
  // For checks: linear in the additions not merged yet.
  bool Contains(RecordId id) const {
    return bits_.Contains(id) ||
           std::find(pending_.begin(), pending_.end(), id) != pending_.end();
  }
  uint64_t Cardinality() const { return Snapshot().Cardinality(); }

 private:
  static constexpr size_t kFoldAt = 1 << 16;
  void Fold();

  Bitmap bits_;
  std::vector<RecordId> pending_;
};

// The location of one record in the record files (offsets.bin's entry).
struct OffsetEntry {
  uint64_t key_offset = 0;
  uint32_t key_len = 0;
  uint64_t val_offset = 0;
  uint32_t val_len = 0;
};

// Appends collected in memory and written to keys.bin and vals.bin in large
// pieces, for the replay at open, where nothing reads the files until the
// replay ends and a failure fails the whole open.
struct AppendBatch {
  std::string keys;
  std::string vals;
  uint64_t keys_at = 0;  // file offset of keys[0]
  uint64_t vals_at = 0;  // file offset of vals[0]
};

struct Store {
  FileSystem* fs = nullptr;
  std::string dir;

  KeyIndex key_index;
  Bitmap live;
  DeadSet dead;
  ValueCache cache;
  RecordKeys record_keys;

  Mapping offsets_map;
  uint64_t offsets_capacity = 0;
  uint64_t keys_end = 0;
  uint64_t vals_end = 0;
  UniqueFd offsets_file;
  UniqueFd keys_file;
  UniqueFd vals_file;
  RecordId next_id = 0;

  // Set only while the log is replayed at open.
  std::unique_ptr<AppendBatch> batch;

  // Readers only (reader.h): nothing is written; the records past the
  // snapshot, ids from log_first_id on, stay where the log holds them.
  bool read_only = false;
  UniqueFd log;            // the log as opened, read through `log_entries`
  UniqueFd snapshot_file;  // held open so its identity stays unique
  uint64_t log_end = 0;    // end of the last whole record replayed
  RecordId log_first_id = 0;
  std::vector<OffsetEntry> log_entries;  // offsets into the log
};

class StoreHandle {
 public:
  explicit StoreHandle(Store store) : store_(std::move(store)) {}
  std::shared_mutex& mutex() { return mu_; }
  Store& store() { return store_; }

 private:
  std::shared_mutex mu_;
  Store store_;
};

class WalHandle {
 public:
  explicit WalHandle(WalWriter writer) : writer_(std::move(writer)) {}
  std::shared_mutex& mutex() { return mu_; }
  WalWriter& writer() { return writer_; }

 private:
  std::shared_mutex mu_;
  WalWriter writer_;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_STATE_H_
