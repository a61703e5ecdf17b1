#include "store/persist.h"

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

}  // namespace

Status SyncRecordFiles(const Store& store) {
  MARROW_RETURN_IF_ERROR(Fdatasync(store.keys_file));
  MARROW_RETURN_IF_ERROR(Fdatasync(store.vals_file));
  return store.offsets_map.Sync();
}

Status Persist(const Store& store, WalWriter& wal) {
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
  return AsIo(wal.Replace());
}

}  // namespace marrow::store
