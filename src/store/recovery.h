// Recovery at open: load snapshot.bin, then replay wal.bin on top of it.
//
// A snapshot or log that does not decode is damage and is dealt with
// silently: an undecodable snapshot counts as absent, and the replay stops
// at the first undecodable record or batch frame (a batch is applied whole
// or not at all), whose tail is then cut off wal.bin so that records
// appended later are not hidden behind it. An error while
// opening or reading either file is not damage: the open fails with it and
// nothing on disk changes.
//
// Thread-safety: runs on a Store that nothing else can reach yet.

#ifndef MARROW_STORE_RECOVERY_H_
#define MARROW_STORE_RECOVERY_H_

#include "store/error.h"
#include "store/state.h"

namespace marrow::store {

Status Recover(Store& store);

struct SnapshotData;

// The steps recovery and readers share. InstallSnapshot makes `snapshot` the
// store's state, given the sizes of keys.bin and vals.bin.
void InstallSnapshot(Store& store, SnapshotData snapshot, uint64_t keys_size,
                     uint64_t vals_size);
// Replays `log` from `start` (a record boundary) to `log_size`. A writer's
// store appends every record to the record files and cuts an undecodable
// tail; a reader's keeps the records where the log holds them and only
// remembers where the last whole record ends (Store::log_end).
Status ReplayLog(Store& store, FileRef log, uint64_t start, uint64_t log_size);

}  // namespace marrow::store

#endif  // MARROW_STORE_RECOVERY_H_
