// Opening a store directory: the directory and its files, the mapping of
// offsets.bin, an empty Store, recovery, and last the log writer.
//
// Thread-safety: the Store is reachable by nothing else until Open returns.

#ifndef MARROW_STORE_OPEN_H_
#define MARROW_STORE_OPEN_H_

#include <cstdint>
#include <string>

#include "store/error.h"
#include "store/state.h"

namespace marrow::store {

// Steps up to and including recovery: an open, recovered Store. Directory
// creation fails with an I/O error by kind, the record files and the mapping
// as internal failures, recovery as recovery.h says.
Result<Store> OpenStore(FileSystem& fs, const std::string& dir,
                        ValueCache cache);

}  // namespace marrow::store

#endif  // MARROW_STORE_OPEN_H_
