#include "store/recovery.h"

#include <fcntl.h>

#include "store/format.h"
#include "store/record_files.h"
#include "store/snapshot.h"
#include "store/wal.h"

namespace marrow::store {

namespace {

Status LoadSnapshot(Store& store) {
  MARROW_ASSIGN(std::optional<SnapshotData> snapshot,
                ReadSnapshot(JoinPath(store.dir, kSnapshotFile)));
  if (!snapshot) return {};
  store.key_index = std::move(snapshot->key_index);
  store.live = std::move(snapshot->live);
  store.dead = std::move(snapshot->dead);
  store.next_id = snapshot->next_id;
  store.keys_end = snapshot->keys_end;
  store.vals_end = snapshot->vals_end;
  return EnsureOffsetsCapacity(store);
}

// Cuts wal.bin back to `length`, the end of its last whole record.
Status CutLog(const Store& store, uint64_t length) {
  auto fd = OpenFile(JoinPath(store.dir, kWalFile), O_WRONLY);
  if (!fd.ok()) return fd.take_failure().As(FailureForm::kIoByKind);
  Status cut = Truncate(fd.value().get(), length);
  if (!cut.ok()) return cut.take_failure().As(FailureForm::kIoByKind);
  return {};
}

Status ReplayLog(Store& store) {
  MARROW_ASSIGN(std::optional<WalReader> reader, WalReader::Open(store.dir));
  if (!reader) return {};
  WalEntry entry;
  while (true) {
    switch (reader->Next(&entry)) {
      case WalReader::Outcome::kRecord:
        if (entry.kind == WalEntry::Kind::kPut) {
          MARROW_RETURN_IF_ERROR(
              AppendRecord(store, std::move(entry.key), std::move(entry.val)));
        } else {
          RemoveRecord(store, entry.key);
        }
        break;
      case WalReader::Outcome::kEnd:
        return {};
      case WalReader::Outcome::kUndecodable:
        return CutLog(store, reader->good_end());
      case WalReader::Outcome::kReadError:
        return Failure::Io(reader->error());
    }
  }
}

}  // namespace

Status Recover(Store& store) {
  MARROW_RETURN_IF_ERROR(LoadSnapshot(store));
  return ReplayLog(store);
}

}  // namespace marrow::store
