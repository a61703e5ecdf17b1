// Readers: a store opened read-only, possibly while a writer in another
// process (or this one) changes it.
//
// A reader takes no lock and writes nothing in the directory. It sees the
// writer's last snapshot plus every log record that had reached wal.bin when
// it opened or last refreshed: always a state the writer really had.
//
// Why that holds, given the writer's protocols (persist.h, vacuum.h):
//   - The files are opened in the order log, snapshot, record files. A
//     committed vacuum that is not finished yet (snapshot.bin.vac exists,
//     perhaps because its writer died) is read as finished: each file from
//     its .vac name while that is still there. The open is retried when the
//     snapshot that is current afterwards, or wal.bin, no longer is the file
//     that was opened: then the files belong together.
//   - A log is whole on disk before the snapshot covering it is renamed in,
//     and is replaced, never cut, afterwards; so a reader holding an older
//     log than its snapshot replays changes the snapshot already holds,
//     which is harmless.
//   - Records past the snapshot are read where the log holds them: the
//     record files past the snapshot's ends may be rewritten by a later
//     writer's recovery, an opened log never is.
//   - Descriptors of the snapshot and the log stay open, so their inode
//     numbers cannot be handed to new files while they are compared.
//
// Thread-safety: like any Store, under its StoreHandle's lock.

#ifndef MARROW_STORE_READER_H_
#define MARROW_STORE_READER_H_

#include <cstdint>
#include <string>

#include "store/error.h"
#include "store/fs.h"
#include "store/state.h"

namespace marrow::store {

Result<Store> OpenReaderStore(FileSystem& fs, const std::string& dir,
                              uint64_t cache_size);

// Catches up with the writer: replays what was appended to the same log, or
// opens anew when the snapshot or the log was replaced.
Status RefreshReader(Store& store);

}  // namespace marrow::store

#endif  // MARROW_STORE_READER_H_
