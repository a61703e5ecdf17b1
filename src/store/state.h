// The in-memory state of one open store directory and its lock-protected
// owners.
//
// Store holds the RecordIndex (which record is each key's live one, with
// the live and dead sets and the remembered key texts), the value cache,
// the mapping of offsets.bin, the three record files with their logical
// ends and the read views of keys.bin and vals.bin.
//
// StoreHandle and WalHandle pair a Store or a WalWriter with a reader/writer
// lock. When both are needed the StoreHandle lock is taken first; the
// WalHandle's sync mutex, when needed, before both.
//
// Thread-safety: Store and WalWriter have none of their own; every access
// goes through the owning handle's lock.

#ifndef MARROW_STORE_STATE_H_
#define MARROW_STORE_STATE_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "store/io.h"
#include "store/record_index.h"
#include "store/shared_mutex.h"
#include "store/value_cache.h"
#include "store/wal.h"

namespace marrow::store {

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

  RecordIndex records;
  ValueCache cache;

  Mapping offsets_map;
  uint64_t offsets_capacity = 0;
  uint64_t keys_end = 0;
  uint64_t vals_end = 0;
  UniqueFd offsets_file;
  UniqueFd keys_file;
  UniqueFd vals_file;
  FileView keys_view;  // of keys_file, for cold reads (reads.h)
  FileView vals_view;  // of vals_file
  // Writers: the ends of keys.bin and vals.bin that the last sync of the
  // record files covered, and whether a sync failed since. A failed
  // fdatasync may drop the pages it could not write, and a later one then
  // succeeds without them, so the next sync writes those bytes again.
  // Changed by persist and vacuum only.
  uint64_t keys_synced = 0;
  uint64_t vals_synced = 0;
  bool records_unsynced = false;

  // Set only while the log is replayed at open.
  std::unique_ptr<AppendBatch> batch;
  // A batch commit's keys and values on their way to keys.bin and vals.bin.
  std::string batch_scratch;

  // Readers only (reader.h): nothing is written; the records past the
  // snapshot, ids from log_first_id on, stay where the log holds them.
  bool read_only = false;
  UniqueFd log;            // the log as opened, read through `log_entries`
  UniqueFd snapshot_file;  // held open so its identity stays unique
  uint64_t log_end = 0;    // end of the last whole record replayed
  RecordId log_first_id = 0;
  std::vector<OffsetEntry> log_entries;  // offsets into the log
  std::vector<bool> log_placed;  // the value's offset is into vals.bin

  // Writers: the log holds placed puts (replayed at open or written since),
  // which name bytes of this vals.bin.
  bool log_holds_placed = false;
};

class StoreHandle {
 public:
  explicit StoreHandle(Store store) : store_(std::move(store)) {}
  SharedMutex& mutex() { return mu_; }
  Store& store() { return store_; }

 private:
  SharedMutex mu_;
  Store store_;
};

// A mutex whose releases can be waited for: a thread that finds it held by
// a sync waits for that sync to end and then sees whether it covered its own
// changes, instead of queueing for the mutex behind the next sync.
class SyncMutex {
 public:
  void lock() { mu_.lock(); }
  bool try_lock() { return mu_.try_lock(); }
  void unlock() {
    mu_.unlock();
    {
      std::lock_guard<std::mutex> count(released_mu_);
      ++released_;
    }
    released_cv_.notify_all();
  }
  // How often it has been released; WaitRelease(n) returns once that count
  // is past n (read it before the try_lock that failed).
  uint64_t releases() {
    std::lock_guard<std::mutex> count(released_mu_);
    return released_;
  }
  void WaitRelease(uint64_t seen) {
    std::unique_lock<std::mutex> count(released_mu_);
    released_cv_.wait(count, [&] { return released_ != seen; });
  }

 private:
  std::mutex mu_;
  std::mutex released_mu_;
  std::condition_variable released_cv_;
  uint64_t released_ = 0;
};

class WalHandle {
 public:
  explicit WalHandle(WalWriter writer) : writer_(std::move(writer)) {}
  SharedMutex& mutex() { return mu_; }
  // Held for a whole wait on the disk (Db::Sync) and by everything that
  // replaces the log, which is taken before the StoreHandle lock.
  SyncMutex& sync_mutex() { return sync_mu_; }
  WalWriter& writer() { return writer_; }

 private:
  SharedMutex mu_;
  SyncMutex sync_mu_;
  WalWriter writer_;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_STATE_H_
