// The on-disk formats of a store directory, and every constant they use.
//
// A store directory holds six files; every integer is little-endian and no
// file has a header, magic number or version; only the log's batch frames
// carry a checksum.
//
// keys.bin, vals.bin
//   The key bytes (UTF-8) and value bytes of every record appended since the
//   file was created or last replaced by vacuum, concatenated. Only
//   offsets.bin says where a record's bytes are.
//
// offsets.bin
//   An array of 24-byte OffsetEntry slots; slot i belongs to RecordId i:
//     0  u64 key_offset    8  u32 key_len    12 u64 val_offset   20 u32 val_len
//   (val_offset is not 8-byte aligned: read and write field by field).
//   At least kMinOffsetSlots slots; never-written slots are zero bytes.
//
// wal.bin
//   Records back to back, no file header:
//     Put:    u32 tag=0, u64 K, K key bytes, u64 V, V value bytes
//     Delete: u32 tag=1, u64 K, K key bytes
//     Batch:  u32 tag=3, u64 L, u64 C, then L bytes of Put and Delete
//             records back to back (no nested batch); C is SipHash-1-3
//             under the all-zero key of those L bytes
//     Placed: u32 tag=4, u64 K, K key bytes, u64 V, u64 P, u64 H
//             a put whose V value bytes were written to vals.bin at
//             offset P before the record; H is XXH3-64 (seed 0) of them.
//             Written for single puts of at least kWalPlacedMinValue bytes
//             by the package's type in the one-process way, so a large
//             value is written once; never inside a batch.
//   A batch is applied whole or not at all: a frame whose length runs past
//   the file, whose checksum does not match, or whose records do not fill
//   it exactly does not decode. A placed put decodes only while vals.bin
//   holds its V bytes at P and they hash to H. Replay stops silently at the
//   first record or frame that does not decode; any other tag (2 among
//   them) ends it.
//
// snapshot.bin (written as snapshot.bin.tmp, then renamed)
//     u64 N, N x (u64 fingerprint, u32 RecordId)   the KeyIndex
//     u64 L1, L1 bytes                            LiveSet, portable roaring
//     u64 L2, L2 bytes                            DeadSet, portable roaring
//     u32 next_id, u64 keys_end, u64 vals_end
//   Bitmaps are written with array and bitmap containers only; any valid
//   portable bitmap is read. Bytes after the last field are ignored.
//
// *.vac
//   keys.bin.vac, vals.bin.vac, offsets.bin.vac and snapshot.bin.vac are the
//   files of a vacuum in progress; see vacuum.cc for the commit protocol.
//
// shared.bin (only while processes hold the store with multiprocess=True)
//   One page that those processes map, in the host's byte order (every
//   supported host is little-endian), each field a naturally aligned u64:
//     0  version      bumped after every change of the fields below
//     8  generation   bumped when persist or vacuum put a new log in place
//     16 log_end      the end of the last whole record of wal.bin
//     24 synced_end   the part of wal.bin known to be on stable storage
//     32 busy         1 while a writer changes the files; found set by the
//                     next writer, it means the last one died meanwhile
//     40 sync_failed  1 after a failed fdatasync of wal.bin
//   and three byte-range locks past the page (shared_state.h). It holds
//   nothing the store's files do not: the first process to open the store
//   this way builds it anew.

#ifndef MARROW_STORE_FORMAT_H_
#define MARROW_STORE_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace marrow::store {

inline constexpr char kKeysFile[] = "keys.bin";
inline constexpr char kValsFile[] = "vals.bin";
inline constexpr char kOffsetsFile[] = "offsets.bin";
inline constexpr char kWalFile[] = "wal.bin";
inline constexpr char kWalTempFile[] = "wal.bin.tmp";
inline constexpr char kSnapshotFile[] = "snapshot.bin";
inline constexpr char kSnapshotTempFile[] = "snapshot.bin.tmp";
inline constexpr char kKeysVacFile[] = "keys.bin.vac";
inline constexpr char kValsVacFile[] = "vals.bin.vac";
inline constexpr char kOffsetsVacFile[] = "offsets.bin.vac";
inline constexpr char kSnapshotVacFile[] = "snapshot.bin.vac";
inline constexpr char kSnapshotVacTempFile[] = "snapshot.bin.vac.tmp";
inline constexpr char kSharedFile[] = "shared.bin";

// offsets.bin
inline constexpr uint64_t kOffsetEntrySize = 24;
inline constexpr uint64_t kKeyOffsetAt = 0;
inline constexpr uint64_t kKeyLenAt = 8;
inline constexpr uint64_t kValOffsetAt = 12;
inline constexpr uint64_t kValLenAt = 20;
// The fuzzing build of the engine lowers it, so that a store costs its
// fuzz input kilobytes instead of megabytes; the product never does.
#ifndef MARROW_MIN_OFFSET_SLOTS
#define MARROW_MIN_OFFSET_SLOTS 100000
#endif
inline constexpr uint64_t kMinOffsetSlots = MARROW_MIN_OFFSET_SLOTS;

// Largest key or value an OffsetEntry can describe.
inline constexpr uint64_t kMaxFieldLength = UINT32_MAX;
// Largest RecordId; next_id never passes it.
inline constexpr uint64_t kMaxRecordId = UINT32_MAX;

// wal.bin
inline constexpr uint32_t kWalTagPut = 0;
inline constexpr uint32_t kWalTagDelete = 1;
inline constexpr uint32_t kWalTagBatch = 3;
inline constexpr uint32_t kWalTagPlaced = 4;
inline constexpr size_t kWalBatchHeaderSize = 20;  // tag, L, C
inline constexpr size_t kWalPlacedTrailerSize = 24;  // V, P, H
inline constexpr size_t kWalPlacedMinValue = 32768;
inline constexpr size_t kWalBufferSize = 8192;
inline constexpr size_t kWalReadBufferSize = 8192;

// shared.bin
inline constexpr uint64_t kSharedPageSize = 4096;
inline constexpr uint64_t kSharedVersionAt = 0;
inline constexpr uint64_t kSharedGenerationAt = 8;
inline constexpr uint64_t kSharedLogEndAt = 16;
inline constexpr uint64_t kSharedSyncedEndAt = 24;
inline constexpr uint64_t kSharedBusyAt = 32;
inline constexpr uint64_t kSharedSyncFailedAt = 40;
// The byte-range locks, one byte each, past the page.
inline constexpr uint64_t kSharedMemberLock = kSharedPageSize;
inline constexpr uint64_t kSharedWriterLock = kSharedPageSize + 1;
inline constexpr uint64_t kSharedSyncLock = kSharedPageSize + 2;

// snapshot.bin
inline constexpr size_t kSnapshotWriteBufferSize = 1 << 20;
inline constexpr size_t kSnapshotReadBufferSize = 8192;
inline constexpr uint64_t kSnapshotIndexEntrySize = 12;

// The portable roaring format.
inline constexpr uint32_t kRoaringCookieNoRuns = 12346;
inline constexpr uint16_t kRoaringCookieRuns = 12347;
inline constexpr uint32_t kRoaringMaxContainers = 65536;
inline constexpr uint32_t kRoaringMaxArrayCardinality = 4096;
inline constexpr uint32_t kRoaringNoOffsetThreshold = 4;
inline constexpr size_t kRoaringBitsetBytes = 8192;

// Defaults of a new store.
inline constexpr uint64_t kDefaultCacheSize = 10000;

// Little-endian field access, independent of alignment.
inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetU32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline uint64_t GetU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace marrow::store

#endif  // MARROW_STORE_FORMAT_H_
