#include "store/persist.h"

#include <algorithm>
#include <string>

#include "store/format.h"
#include "store/io.h"
#include "store/snapshot.h"
#include "store/vacuum.h"

namespace marrow::store {

namespace {

Status AsIo(Status s) {
  if (s.ok()) return s;
  return s.take_failure().As(FailureForm::kIoByKind);
}

// Writes [from, to) of `fd` again, a window at a time, so that pages a
// failed sync dropped are dirty once more.
Status Rewrite(FileRef fd, uint64_t from, uint64_t to) {
  constexpr uint64_t kWindow = 1 << 20;
  std::string bytes;
  for (uint64_t at = from; at < to; at += bytes.size()) {
    MARROW_RETURN_IF_ERROR(
        ReadRange(fd, at, std::min(kWindow, to - at), &bytes));
    MARROW_RETURN_IF_ERROR(PwriteFull(fd, bytes.data(), bytes.size(), at));
  }
  return {};
}

}  // namespace

Status SyncRecordFiles(Store& store) {
  if (store.records_unsynced) {
    MARROW_RETURN_IF_ERROR(
        Rewrite(store.keys_file, store.keys_synced, store.keys_end));
    MARROW_RETURN_IF_ERROR(
        Rewrite(store.vals_file, store.vals_synced, store.vals_end));
  }
  store.records_unsynced = true;  // until every sync below succeeds
  MARROW_RETURN_IF_ERROR(Fdatasync(store.keys_file));
  MARROW_RETURN_IF_ERROR(Fdatasync(store.vals_file));
  MARROW_RETURN_IF_ERROR(store.offsets_map.Sync());
  store.records_unsynced = false;
  store.keys_synced = store.keys_end;
  store.vals_synced = store.vals_end;
  return {};
}

Status Persist(Store& store, WalWriter& wal) {
  MARROW_RETURN_IF_ERROR(AsIo(FinishCommittedVacuum(*store.fs, store.dir)));
  MARROW_RETURN_IF_ERROR(AsIo(wal.Sync()));
  MARROW_RETURN_IF_ERROR(AsIo(SyncRecordFiles(store)));
  const std::string temp = JoinPath(store.dir, kSnapshotTempFile);
  const Bitmap dead = store.records.DeadSnapshot();
  MARROW_RETURN_IF_ERROR(
      WriteSnapshot(*store.fs, SnapshotView::Of(store, dead), temp));
  MARROW_RETURN_IF_ERROR(
      AsIo(Rename(*store.fs, temp, JoinPath(store.dir, kSnapshotFile))));
  MARROW_RETURN_IF_ERROR(AsIo(SyncDirectory(*store.fs, store.dir)));
  MARROW_RETURN_IF_ERROR(AsIo(wal.Replace()));
  store.log_holds_placed = false;
  return {};
}

}  // namespace marrow::store
