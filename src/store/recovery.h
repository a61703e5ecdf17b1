// Recovery at open: load snapshot.bin, then replay wal.bin on top of it.
//
// A snapshot or log that does not decode is damage and is dealt with
// silently: an undecodable snapshot counts as absent, and the replay stops
// at the first undecodable record, whose tail is then cut off wal.bin so
// that records appended later are not hidden behind it. An error while
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

}  // namespace marrow::store

#endif  // MARROW_STORE_RECOVERY_H_
