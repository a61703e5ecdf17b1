// snapshot.bin: the encoding of KeyIndex, LiveSet, DeadSet, next_id and the
// logical ends of the record files (layout in format.h), written through a
// 1 MiB buffer and read back through an 8192-byte one.
//
// Reading distinguishes damage from failure: bytes that do not decode (a
// short file, a count larger than the file, an invalid bitmap) mean "no
// snapshot"; an error while opening or reading the file is reported, since
// carrying on without an intact snapshot would reuse its record ids.
//
// Thread-safety: WriteSnapshot reads the state it is given; the caller holds
// the lock that guards it.

#ifndef MARROW_STORE_SNAPSHOT_H_
#define MARROW_STORE_SNAPSHOT_H_

#include <cstdint>
#include <optional>
#include <string>

#include "store/bitmap.h"
#include "store/error.h"
#include "store/state.h"

namespace marrow::store {

struct SnapshotData {
  KeyIndex key_index;
  Bitmap live;
  Bitmap dead;
  RecordId next_id = 0;
  uint64_t keys_end = 0;
  uint64_t vals_end = 0;
};

// The six fields of a snapshot, borrowed from wherever they live.
struct SnapshotView {
  const KeyIndex& key_index;
  const Bitmap& live;
  const Bitmap& dead;
  RecordId next_id;
  uint64_t keys_end;
  uint64_t vals_end;

  // `dead` is the store's dead set, taken with RecordIndex::DeadSnapshot().
  static SnapshotView Of(const Store& s, const Bitmap& dead) {
    return {s.records.key_index(), s.records.live(), dead,
            s.records.next_id(),   s.keys_end,       s.vals_end};
  }
};

// Writes `view` to a new file at `path` (whatever stood there is replaced,
// never written through) and fsyncs it. Creating the file, the final
// write-out and the sync fail with an I/O error by kind; a write-out while
// encoding fails as an internal failure.
Status WriteSnapshot(FileSystem& fs, const SnapshotView& view,
                     const std::string& path);

// Decodes a snapshot from `path`: nullopt when the file does not exist or
// does not decode; an I/O error by kind when it cannot be opened or read.
Result<std::optional<SnapshotData>> ReadSnapshot(FileSystem& fs,
                                                 const std::string& path);
// The same from an open snapshot file.
Result<std::optional<SnapshotData>> ReadSnapshotFrom(FileRef fd);

}  // namespace marrow::store

#endif  // MARROW_STORE_SNAPSHOT_H_
