// The multiprocess way: several processes read and write one store.
//
// Every process keeps a reader's Store (reader.h): the last snapshot from
// the record files, every record since from where the log holds it. The
// log is the one thing the processes write between two persists, so every
// process's state is the same function of (snapshot, log), and following
// another process's changes means replaying the log from where this one
// stopped, to the end that shared.bin publishes (shared_state.h).
//
// A change, under the writer lock: follow the log to its end; write the
// record or batch frame at that end (one pwrite, so it reaches the file
// before the call returns and a kill of this process loses nothing it
// acknowledged); apply it to this process's Store as a replay would; then
// publish the new end. Persist and vacuum run the one-process way on the
// files, as an open would (recovery writes the log's records into the
// record files), put a new log in place and bump the generation, after
// which every process reopens its Store at its next call.
//
// Crash states. busy is set before a writer touches any file and cleared
// once the page says what the files hold, so a writer that finds it set
// knows the last one died in between, at any step of an append, a persist
// or a vacuum. The files are then in one of the states a crash of the
// one-process way leaves (persist.h, vacuum.h), plus perhaps a torn record
// past log_end. It finishes a committed vacuum, cuts the log back to its
// last whole record (a whole record of the dead writer is kept: other
// processes may have read it), bumps the generation and publishes, as the
// first process to open the store does. A torn record is never applied:
// replay stops at it, and it is cut before anything is written behind it.
//
// Durability: Sync fdatasyncs wal.bin, which covers every process's
// records before the published end; synced_end lets the syncs of all
// processes share one wait on the disk.
//
// Thread-safety: the caller holds the StoreHandle lock exclusively for
// Follow, and for the rest the writer lock too (Sync: neither).

#ifndef MARROW_STORE_SHARED_STORE_H_
#define MARROW_STORE_SHARED_STORE_H_

#include <cstdint>
#include <span>
#include <string>

#include "store/error.h"
#include "store/shared_state.h"
#include "store/state.h"
#include "store/write_op.h"

namespace marrow::store {

// What this process's Store reflects of the page, and what it wrote.
struct SharedView {
  uint64_t version = 0;
  uint64_t generation = 0;
  uint64_t cache_size = 0;
  uint64_t cache_bytes = 0;
  UniqueFd log_out;  // the current wal.bin, for appends
  uint64_t log_out_generation = 0;
  uint64_t written_end = 0;  // the end of this process's last change
  uint64_t written_generation = 0;
};

// Readies the files for sharing with the store to this process alone (a
// first open, or after a writer died busy): finishes a committed vacuum,
// creates wal.bin or cuts it back to its last whole record, whose end it
// returns.
Result<uint64_t> ReadyFilesForSharing(FileSystem& fs, const std::string& dir);

// The Store for a process that shares `dir`, at the page's current state.
Result<Store> OpenSharedStore(FileSystem& fs, const std::string& dir,
                              SharedState& shared, SharedView& view);

// Catches up with every change published; costs one load from shared
// memory when there is none.
Status Follow(Store& store, SharedState& shared, SharedView& view);

// The ops as one change: a single put or delete when `batch` is false (one
// op), else one batch frame. Sets *found to whether a single delete's key
// was there.
Status AppendShared(Store& store, SharedState& shared, SharedView& view,
                    std::span<WriteOp> ops, bool batch,
                    bool* found = nullptr);

// persist(), or vacuum() when `vacuum`, of the shared files.
Status RewriteShared(Store& store, SharedState& shared, SharedView& view,
                     bool vacuum);

// The changes up to `written_end` of log `generation` (this process's, as
// its view says) survive a power loss when it returns. Asks for a persist
// instead (true) after a failed fdatasync of the log.
Result<bool> SyncShared(FileSystem& fs, const std::string& dir,
                        SharedState& shared, uint64_t written_end,
                        uint64_t generation);

}  // namespace marrow::store

#endif  // MARROW_STORE_SHARED_STORE_H_
