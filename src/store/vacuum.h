// vacuum(): copy the live records into fresh files, renumber them densely
// in ascending RecordId order, and switch the store over atomically.
//
// The switch has a single commit point, the rename of snapshot.bin.vac.tmp
// to snapshot.bin.vac (see vacuum.cc for the states). A directory holding
// snapshot.bin.vac is a committed vacuum whose renames may still be
// pending; FinishCommittedVacuum completes them and is run by every open
// and every persist before anything else. .vac data files without
// snapshot.bin.vac belong to an uncommitted vacuum and are ignored.
//
// Thread-safety: Vacuum requires the StoreHandle lock and the WalHandle lock
// held exclusively. FinishCommittedVacuum requires that no other object in
// the process is writing the directory's files.

#ifndef MARROW_STORE_VACUUM_H_
#define MARROW_STORE_VACUUM_H_

#include <string>

#include "store/error.h"
#include "store/state.h"
#include "store/wal.h"

namespace marrow::store {

Status Vacuum(Store& store, WalWriter& wal);

// Completes the renames of a committed vacuum in `dir`; does nothing when
// there is none. Failures are internal-form I/O errors; callers re-form.
Status FinishCommittedVacuum(FileSystem& fs, const std::string& dir);

}  // namespace marrow::store

#endif  // MARROW_STORE_VACUUM_H_
