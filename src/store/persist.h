// persist(): make the current state durable as snapshot.bin and empty the
// log.
//
// Invariant: snapshot.bin plus a replay of wal.bin always gives a state the
// store really had. Replaying a log on top of a snapshot that already holds
// its changes is harmless (each key ends with its last logged value), so
// the log is written out whole and synced before the new snapshot becomes
// current, and emptied, file and buffer together, only after that.
//
// Steps and crash states:
//   1. finish a committed vacuum whose renames are pending (vacuum.h)
//   2. write out and fdatasync the log; fdatasync keys.bin and vals.bin,
//      msync offsets.bin            crash: old snapshot + whole log
//   3. write snapshot.bin.tmp, fsync crash: as 2, plus a stray .tmp
//   4. rename over snapshot.bin, fsync the directory
//                                   crash: new snapshot + whole log (harmless)
//   5. empty the log: a new empty wal.bin.tmp is renamed over wal.bin
//                                   crash: new snapshot + whole or empty log
//
// Readers in other processes (reader.h) rely on the order: the log is whole
// on disk before the snapshot that covers it is renamed, and it is replaced,
// never cut, after that.
//
// Thread-safety: requires the StoreHandle lock (shared is enough) and the
// WalHandle lock held exclusively.

#ifndef MARROW_STORE_PERSIST_H_
#define MARROW_STORE_PERSIST_H_

#include "store/error.h"
#include "store/state.h"
#include "store/wal.h"

namespace marrow::store {

Status Persist(Store& store, WalWriter& wal);

// fdatasync of keys.bin and vals.bin, msync of offsets.bin; after a failed
// one, the records written since the last that succeeded are written again
// first.
Status SyncRecordFiles(Store& store);

}  // namespace marrow::store

#endif  // MARROW_STORE_PERSIST_H_
