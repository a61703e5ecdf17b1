#include "store/recovery.h"

#include <fcntl.h>

#include <algorithm>

#include "store/format.h"
#include "store/record_files.h"
#include "store/snapshot.h"
#include "store/wal.h"

namespace marrow::store {

namespace {

// A snapshot whose ends lie past the end of keys.bin or vals.bin describes
// bytes that the file no longer holds (it was cut short or replaced, or the
// end itself is damaged; persist() and vacuum() sync the files before their
// snapshot, so it never happens otherwise). Its records that reach past a
// file's end are dropped as dead, and appends go on from the file's end:
// appending after the snapshot's end would leave a gap that reads back as
// zeros, as the value (or, after a vacuum, the key) of those records.
void DropRecordsPastFileEnds(Store& store, uint64_t keys_size,
                             uint64_t vals_size) {
  auto fits = [&](RecordId id) {
    auto entry = ReadEntry(store, id);
    if (!entry.ok()) return true;  // reads report a slot outside the map
    const OffsetEntry& e = entry.value();
    return e.key_offset <= keys_size && e.key_len <= keys_size - e.key_offset &&
           e.val_offset <= vals_size && e.val_len <= vals_size - e.val_offset;
  };
  store.records.DropRecords([&](RecordId id) { return !fits(id); });
}

}  // namespace

void InstallSnapshot(Store& store, SnapshotData snapshot, uint64_t keys_size,
                     uint64_t vals_size) {
  store.records.Install(std::move(snapshot.key_index), std::move(snapshot.live),
                        std::move(snapshot.dead), RecordKeys(),
                        snapshot.next_id);
  store.keys_end = snapshot.keys_end;
  store.vals_end = snapshot.vals_end;
  if (store.keys_end > keys_size || store.vals_end > vals_size) {
    DropRecordsPastFileEnds(store, keys_size, vals_size);
    store.keys_end = std::min(store.keys_end, keys_size);
    store.vals_end = std::min(store.vals_end, vals_size);
  }
  store.keys_synced = store.keys_end;  // a persist synced them
  store.vals_synced = store.vals_end;
}

namespace {

Status LoadSnapshot(Store& store) {
  MARROW_ASSIGN(std::optional<SnapshotData> snapshot,
                ReadSnapshot(*store.fs, JoinPath(store.dir, kSnapshotFile)));
  if (!snapshot) return {};
  MARROW_ASSIGN(const uint64_t keys_size, FileSize(store.keys_file));
  MARROW_ASSIGN(const uint64_t vals_size, FileSize(store.vals_file));
  InstallSnapshot(store, std::move(*snapshot), keys_size, vals_size);
  return EnsureOffsetsCapacity(store);
}

// Cuts wal.bin back to `length`, the end of its last whole record.
Status CutLog(const Store& store, uint64_t length) {
  auto fd = OpenFile(*store.fs, JoinPath(store.dir, kWalFile), O_WRONLY);
  if (!fd.ok()) return fd.take_failure().As(FailureForm::kIoByKind);
  Status cut = Truncate(fd.value(), length);
  if (!cut.ok()) return cut.take_failure().As(FailureForm::kIoByKind);
  return {};
}

Status Apply(Store& store, WalEntry& entry) {
  if (entry.kind == WalEntry::Kind::kDelete) {
    RemoveRecord(store, entry.key);
    return {};
  }
  MARROW_RETURN_IF_ERROR(
      CheckAppendLimits(store, entry.key.size(), entry.val.size()));
  if (!store.read_only) {
    // A placed value lies where this replay appends next, unless damage cut
    // vals.bin short of the snapshot's end: it is then written there again.
    const bool in_place = entry.placed && entry.val_at == store.vals_end;
    store.log_holds_placed |= entry.placed;
    return AppendRecord(store, entry.key, std::move(entry.val), in_place);
  }
  const OffsetEntry at{entry.key_at, static_cast<uint32_t>(entry.key.size()),
                       entry.val_at, static_cast<uint32_t>(entry.val.size())};
  return AppendLoggedRecord(store, std::move(entry.key), std::move(entry.val),
                            at, entry.placed);
}

Status ApplyLog(Store& store, WalReader& reader) {
  std::vector<WalEntry> entries;
  while (true) {
    switch (reader.Next(&entries)) {
      case WalReader::Outcome::kRecord:
        // A batch frame decoded whole before any of it is applied.
        for (WalEntry& entry : entries) {
          MARROW_RETURN_IF_ERROR(Apply(store, entry));
        }
        store.log_end = reader.good_end();
        break;
      case WalReader::Outcome::kEnd:
        return {};
      case WalReader::Outcome::kUndecodable:
        // A reader may be looking at a record still being written.
        if (store.read_only) return {};
        return CutLog(store, reader.good_end());
      case WalReader::Outcome::kReadError:
        // A placed value's read fails as every read of a record file does.
        if (reader.vals_failed()) return Failure::Internal(reader.error());
        return Failure::Io(reader.error());
    }
  }
}

}  // namespace

// Replayed records are appended in large writes: nothing reads the record
// files before the replay ends, and a failure fails the open, after which
// the next open replays the same log again.
Status ReplayLog(Store& store, FileRef log, uint64_t start, uint64_t log_size) {
  WalReader reader(log, start, log_size, store.vals_file);
  if (store.read_only) return ApplyLog(store, reader);
  BeginBatch(store);
  Status applied = ApplyLog(store, reader);
  Status flushed = FlushBatch(store);
  if (!applied.ok()) return applied;
  return flushed;
}

Status Recover(Store& store) {
  MARROW_RETURN_IF_ERROR(LoadSnapshot(store));
  const std::string path = JoinPath(store.dir, kWalFile);
  auto exists = PathExists(*store.fs, path);
  if (!exists.ok()) return exists.take_failure().As(FailureForm::kIoByKind);
  if (!exists.value()) return {};
  auto log = OpenFile(*store.fs, path, O_RDONLY);
  if (!log.ok()) return log.take_failure().As(FailureForm::kIoByKind);
  auto size = FileSize(log.value());
  if (!size.ok()) return size.take_failure().As(FailureForm::kIoByKind);
  return ReplayLog(store, log.value(), 0, size.value());
}

}  // namespace marrow::store
