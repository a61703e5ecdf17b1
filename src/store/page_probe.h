// One load from a shared file mapping that survives the file being cut.
//
// A mapped page that lies wholly past its file's end cannot be read: the
// load raises SIGBUS, which would kill the process. ProbePage makes one load
// at an instruction that the engine's SIGBUS handler knows by its address; a
// fault there resumes after the load with `false` instead. Every other
// SIGBUS goes on to the handler installed before the engine's (the default
// one kills the process, as it would have).
//
// A handler installed after the engine's takes the probe's faults first:
// Python's faulthandler, enabled after a store mapped its files, reports a
// cut file as a fatal error.
//
// Thread-safety: thread-safe; the handler keeps no state but the previous
// handler, set once.

#ifndef MARROW_STORE_PAGE_PROBE_H_
#define MARROW_STORE_PAGE_PROBE_H_

#include <cstdint>

namespace marrow::store {

// Installs the handler once per process and tells whether probes can be
// made: false on a machine without one (then every probe fails).
bool PageProbeReady();

// The system's page size.
uint64_t PageSize();

// Loads the byte at `p`, inside a shared read-only mapping: false when its
// page lies past the file's end (or PageProbeReady() is false).
bool ProbePage(const void* p);

}  // namespace marrow::store

#endif  // MARROW_STORE_PAGE_PROBE_H_
