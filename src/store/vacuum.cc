// Vacuum and its commit protocol.
//
// Invariants
//   - Until the commit, nothing outside the .vac files changes, on disk or
//     in memory.
//   - The data files of a vacuum and its snapshot are on stable storage
//     before the commit; the log is written out and synced before it, so
//     that the new snapshot plus the old log replays to the same contents.
//   - After the commit, the open store works on the new files (it holds
//     them open under their .vac names) whatever happens to the renames.
//
// Steps (Vacuum) and what an open finds after a crash at each:
//   0. when the log holds placed puts (format.h), persist: their values'
//      offsets are into the vals.bin that the commit replaces, so the old
//      log must be empty by then            -> persist.h's states
//   1. create keys/vals/offsets .vac files, copy the live records through
//      buffered writers, lengthen offsets.bin.vac to its final size, fsync
//      the three                       -> uncommitted: old files, old state
//   2. write out and sync the log      -> uncommitted
//   3. write snapshot.bin.vac.tmp (the compacted state), fsync
//                                      -> uncommitted
//   4. rename it to snapshot.bin.vac, fsync the directory   == COMMIT ==
//                                      -> committed: open finishes 5
//   5. FinishCommittedVacuum: rename keys, vals and offsets .vac over their
//      files, then snapshot.bin.vac over snapshot.bin, fsync the directory
//                                      -> committed, or done
//   6. empty the log (it only repeats changes the snapshot holds)
//
// FinishCommittedVacuum moves each .vac file that still exists; it is
// idempotent, so a crash inside it is finished by the next open.

#include "store/vacuum.h"

#include <fcntl.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "store/format.h"
#include "store/io.h"
#include "store/persist.h"
#include "store/record_files.h"
#include "store/snapshot.h"
#include "store/utf8.h"

namespace marrow::store {

namespace {

constexpr size_t kCopyBufferSize = 1 << 20;
constexpr size_t kInsertGroup = 32;

Status AsPlainOs(Status s) {
  if (s.ok()) return s;
  return s.take_failure().As(FailureForm::kPlainOs);
}

// The compacted files and state, before they are installed.
struct Compacted {
  UniqueFd keys_file;
  UniqueFd vals_file;
  UniqueFd offsets_file;
  KeyIndex key_index;
  Bitmap live;
  RecordKeys record_keys;
  RecordId count = 0;
  uint64_t keys_end = 0;
  uint64_t vals_end = 0;
};

Result<UniqueFd> CreateVac(const Store& store, const char* name) {
  auto fd = CreateTruncated(*store.fs, JoinPath(store.dir, name));
  if (!fd.ok()) return fd.take_failure().As(FailureForm::kPlainOs);
  return std::move(fd.value());
}

// Step 1: copy every live record below next_id, in ascending id order.
Result<Compacted> Copy(const Store& store) {
  Compacted out;
  MARROW_ASSIGN(out.keys_file, CreateVac(store, kKeysVacFile));
  MARROW_ASSIGN(out.vals_file, CreateVac(store, kValsVacFile));
  MARROW_ASSIGN(out.offsets_file, CreateVac(store, kOffsetsVacFile));
  out.key_index.reserve(store.records.key_index().size());
  // Room for the texts of the live keys, at the average stored key length,
  // so that the arena is not copied over and over as it grows.
  const uint64_t live = store.records.LiveCount();
  const uint64_t records = std::max<uint64_t>(store.records.next_id(), 1);
  out.record_keys.Reserve(live, store.keys_end / records * live);

  BufferedWriter keys(out.keys_file, kCopyBufferSize);
  BufferedWriter vals(out.vals_file, kCopyBufferSize);
  BufferedWriter offsets(out.offsets_file, kCopyBufferSize);
  WindowReader key_reader(store.keys_file, kCopyBufferSize);
  WindowReader val_reader(store.vals_file, kCopyBufferSize);
  std::string key_scratch, value_scratch;
  // Index inserts land at random places of a table larger than the caches,
  // so they are made in groups whose slots are prefetched first; the order
  // stays that of the ids.
  std::vector<std::pair<KeyFingerprint, RecordId>> pending;
  pending.reserve(kInsertGroup);
  auto insert_pending = [&] {
    for (const auto& [fp, id] : pending) out.key_index.prefetch(fp);
    for (const auto& [fp, id] : pending) out.key_index.insert_or_assign(fp, id);
    pending.clear();
  };
  Status status;
  store.records.live().ForEach([&](RecordId id) {
    if (id >= store.records.next_id()) return false;
    auto entry = ReadEntry(store, id);
    if (!entry.ok()) {
      status = entry.take_failure();  // reported as read_entry reports it
      return false;
    }
    const OffsetEntry& e = entry.value();
    std::string_view key;
    status = [&]() -> Status {
      MARROW_ASSIGN(key,
                    key_reader.View(e.key_offset, e.key_len, &key_scratch));
      MARROW_ASSIGN(std::string_view value,
                    val_reader.View(e.val_offset, e.val_len, &value_scratch));
      uint8_t slot[kOffsetEntrySize];
      EncodeOffsetEntry({out.keys_end, e.key_len, out.vals_end, e.val_len},
                        slot);
      MARROW_RETURN_IF_ERROR(keys.Append(key.data(), key.size()));
      MARROW_RETURN_IF_ERROR(vals.Append(value.data(), value.size()));
      return offsets.Append(slot, sizeof slot);
    }();
    if (!status.ok()) {
      status = AsPlainOs(std::move(status));
      return false;
    }
    // Reads compare a remembered text with the key asked for instead of
    // reading keys.bin, so only texts equal to the stored bytes are kept.
    const bool exact = IsValidUtf8(key);
    pending.emplace_back(
        Fingerprint(exact ? key : std::string_view(Utf8Lossy(key))), out.count);
    if (pending.size() == kInsertGroup) insert_pending();
    out.live.Add(out.count);
    if (exact) out.record_keys.Set(out.count, key);
    out.keys_end += e.key_len;
    out.vals_end += e.val_len;
    ++out.count;
    return true;
  });
  if (!status.ok()) return status.take_failure();
  insert_pending();
  MARROW_RETURN_IF_ERROR(AsPlainOs(keys.Flush()));
  MARROW_RETURN_IF_ERROR(AsPlainOs(vals.Flush()));
  MARROW_RETURN_IF_ERROR(AsPlainOs(offsets.Flush()));
  const uint64_t slots = std::max<uint64_t>(out.count, kMinOffsetSlots);
  MARROW_RETURN_IF_ERROR(
      AsPlainOs(Truncate(out.offsets_file, slots * kOffsetEntrySize)));
  MARROW_RETURN_IF_ERROR(AsPlainOs(Fsync(out.keys_file)));
  MARROW_RETURN_IF_ERROR(AsPlainOs(Fsync(out.vals_file)));
  MARROW_RETURN_IF_ERROR(AsPlainOs(Fsync(out.offsets_file)));
  return out;
}

Status RenameIfPresent(FileSystem& fs, const std::string& dir, const char* from,
                       const char* to) {
  const std::string source = JoinPath(dir, from);
  MARROW_ASSIGN(bool exists, PathExists(fs, source));
  if (!exists) return {};
  return Rename(fs, source, JoinPath(dir, to));
}

}  // namespace

Status FinishCommittedVacuum(FileSystem& fs, const std::string& dir) {
  MARROW_ASSIGN(bool committed,
                PathExists(fs, JoinPath(dir, kSnapshotVacFile)));
  if (!committed) return {};
  MARROW_RETURN_IF_ERROR(RenameIfPresent(fs, dir, kKeysVacFile, kKeysFile));
  MARROW_RETURN_IF_ERROR(RenameIfPresent(fs, dir, kValsVacFile, kValsFile));
  MARROW_RETURN_IF_ERROR(
      RenameIfPresent(fs, dir, kOffsetsVacFile, kOffsetsFile));
  MARROW_RETURN_IF_ERROR(
      RenameIfPresent(fs, dir, kSnapshotVacFile, kSnapshotFile));
  return SyncDirectory(fs, dir);
}

Status Vacuum(Store& store, WalWriter& wal) {
  MARROW_RETURN_IF_ERROR(
      AsPlainOs(FinishCommittedVacuum(*store.fs, store.dir)));
  // Placed puts name bytes of the vals.bin that the commit replaces: the
  // old log would no longer replay behind the new snapshot. A persist
  // empties it first.
  if (store.log_holds_placed) {
    MARROW_RETURN_IF_ERROR(AsPlainOs(Persist(store, wal)));
  }
  MARROW_ASSIGN(Compacted next, Copy(store));
  // The new mapping is made before the commit: a failure here changes
  // nothing.
  MARROW_ASSIGN(Mapping map, MapOffsets(next.offsets_file));

  MARROW_RETURN_IF_ERROR(AsPlainOs(wal.Sync()));
  const Bitmap no_dead;
  const std::string temp = JoinPath(store.dir, kSnapshotVacTempFile);
  Status written = WriteSnapshot(*store.fs,
                                 {next.key_index, next.live, no_dead,
                                  next.count, next.keys_end, next.vals_end},
                                 temp);
  MARROW_RETURN_IF_ERROR(AsPlainOs(std::move(written)));
  MARROW_RETURN_IF_ERROR(AsPlainOs(
      Rename(*store.fs, temp, JoinPath(store.dir, kSnapshotVacFile))));

  // Committed: the store follows the new files from here on, whatever the
  // remaining steps report.
  store.keys_file = std::move(next.keys_file);
  store.vals_file = std::move(next.vals_file);
  store.keys_view.Reset();
  store.vals_view.Reset();
  store.offsets_file = std::move(next.offsets_file);
  store.offsets_map = std::move(map);
  store.records.Install(std::move(next.key_index), std::move(next.live),
                        Bitmap(), std::move(next.record_keys), next.count);
  store.keys_end = store.keys_synced = next.keys_end;
  store.vals_end = store.vals_synced = next.vals_end;
  store.records_unsynced = false;
  store.cache.Clear();
  store.offsets_capacity = std::max<uint64_t>(next.count, kMinOffsetSlots);

  MARROW_RETURN_IF_ERROR(AsPlainOs(SyncDirectory(*store.fs, store.dir)));
  MARROW_RETURN_IF_ERROR(
      AsPlainOs(FinishCommittedVacuum(*store.fs, store.dir)));
  MARROW_RETURN_IF_ERROR(AsPlainOs(wal.Replace()));
  store.log_holds_placed = false;
  return {};
}

}  // namespace marrow::store
