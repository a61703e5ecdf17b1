#include "store/shared_store.h"

#include <fcntl.h>

#include <utility>
#include <vector>

#include "store/format.h"
#include "store/open.h"
#include "store/persist.h"
#include "store/reader.h"
#include "store/record_files.h"
#include "store/recovery.h"
#include "store/vacuum.h"
#include "store/wal.h"
#include "store/writes.h"

namespace marrow::store {

namespace {

Status AsIo(Status s) {
  if (s.ok()) return s;
  return s.take_failure().As(FailureForm::kIoByKind);
}

// The Put and Delete records' layout (format.h): tag, key length, key, and
// for a put the value's length and the value.
constexpr uint64_t kRecordHead = 4 + 8;

// Applies `ops`, logged at `at`, as a reader's replay of them would.
bool ApplyLogged(Store& store, std::span<WriteOp> ops, bool batch,
                 uint64_t at) {
  bool found = false;
  uint64_t cursor = at + (batch ? kWalBatchHeaderSize : 0);
  for (WriteOp& op : ops) {
    const uint64_t key_at = cursor + kRecordHead;
    if (op.erase) {
      found = RemoveRecord(store, op.key);
      cursor = key_at + op.key.size();
      continue;
    }
    const uint64_t val_at = key_at + op.key.size() + 8;
    const OffsetEntry entry{key_at, static_cast<uint32_t>(op.key.size()),
                            val_at, static_cast<uint32_t>(op.value.size())};
    cursor = val_at + op.value.size();
    (void)AppendLoggedRecord(store, std::move(op.key), std::move(op.value),
                             entry, /*placed=*/false);
  }
  return found;
}

// After a writer died busy: the files as the first open would ready them,
// under a new generation. Needs the sync lock, whose holders rely on the
// generation.
Status Recover(SharedState& shared, FileSystem& fs, const std::string& dir) {
  MARROW_ASSIGN(uint64_t log_end, ReadyFilesForSharing(fs, dir));
  shared.Store(kSharedGenerationAt, shared.Load(kSharedGenerationAt) + 1);
  shared.Store(kSharedLogEndAt, log_end);
  shared.Store(kSharedSyncedEndAt, 0);
  shared.Store(kSharedBusyAt, 0);
  shared.Publish();
  return {};
}

// Follow, once the page was checked.
Status FollowPage(Store& store, SharedState& shared, SharedView& view) {
  const uint64_t version = shared.Load(kSharedVersionAt);
  if (version == view.version) return {};
  const uint64_t generation = shared.Load(kSharedGenerationAt);
  const uint64_t end = shared.Load(kSharedLogEndAt);
  if (generation != view.generation || end < store.log_end) {
    // A new log (persist, vacuum, a mended crash): the files anew.
    MARROW_ASSIGN(store,
                  OpenSharedStore(*store.fs, store.dir, shared, view));
    return {};
  }
  if (end > store.log_end) {
    MARROW_RETURN_IF_ERROR(
        AsIo(ReplayLog(store, store.log, store.log_end, end)));
  }
  view.version = version;
  return {};
}

// Follow, for the writer: first mends what a dead writer left.
Status FollowAsWriter(Store& store, SharedState& shared, SharedView& view) {
  MARROW_RETURN_IF_ERROR(AsIo(shared.CheckPage()));
  if (shared.Load(kSharedBusyAt) != 0) {
    MARROW_RETURN_IF_ERROR(shared.LockSync());
    Status recovered = Recover(shared, *store.fs, store.dir);
    shared.UnlockSync();
    if (!recovered.ok()) return recovered;
  }
  MARROW_RETURN_IF_ERROR(FollowPage(store, shared, view));
  if (!view.log_out.valid() || view.log_out_generation != view.generation) {
    MARROW_ASSIGN(view.log_out, OpenFile(*store.fs,
                                         JoinPath(store.dir, kWalFile),
                                         O_WRONLY));
    view.log_out_generation = view.generation;
  }
  return {};
}

}  // namespace

Result<uint64_t> ReadyFilesForSharing(FileSystem& fs, const std::string& dir) {
  MARROW_RETURN_IF_ERROR(AsIo(FinishCommittedVacuum(fs, dir)));
  // The record files, as the one-process way makes them at its first open.
  UniqueFd vals;
  for (const char* name : {kKeysFile, kValsFile, kOffsetsFile}) {
    MARROW_ASSIGN(UniqueFd made,
                  OpenFile(fs, JoinPath(dir, name), O_RDWR | O_CREAT, 0666));
    if (name == kValsFile) vals = std::move(made);
  }
  const std::string path = JoinPath(dir, kWalFile);
  MARROW_ASSIGN(bool existed, PathExists(fs, path));
  MARROW_ASSIGN(UniqueFd log, OpenFile(fs, path, O_RDWR | O_CREAT, 0666));
  if (!existed) MARROW_RETURN_IF_ERROR(AsIo(SyncDirectory(fs, dir)));
  // A new generation promises that everything before it is durable, the
  // values of the one-process way's placed puts included.
  MARROW_RETURN_IF_ERROR(AsIo(Fdatasync(vals)));
  MARROW_RETURN_IF_ERROR(AsIo(Fdatasync(log)));
  MARROW_ASSIGN(const uint64_t size, FileSize(log));
  WalReader reader(log, 0, size, vals);
  std::vector<WalEntry> entries;
  WalReader::Outcome outcome;
  while ((outcome = reader.Next(&entries)) == WalReader::Outcome::kRecord) {
  }
  if (outcome == WalReader::Outcome::kReadError) {
    return Failure::Io(reader.error());
  }
  if (reader.good_end() < size) {
    MARROW_RETURN_IF_ERROR(AsIo(Truncate(log, reader.good_end())));
  }
  return reader.good_end();
}

Result<Store> OpenSharedStore(FileSystem& fs, const std::string& dir,
                              SharedState& shared, SharedView& view) {
  MARROW_RETURN_IF_ERROR(AsIo(shared.CheckPage()));
  const uint64_t version = shared.Load(kSharedVersionAt);
  const uint64_t generation = shared.Load(kSharedGenerationAt);
  MARROW_ASSIGN(Store store, OpenReaderStore(fs, dir, view.cache_size));
  store.cache.LimitBytes(view.cache_bytes);
  view.version = version;
  view.generation = generation;
  return store;
}

Status Follow(Store& store, SharedState& shared, SharedView& view) {
  MARROW_RETURN_IF_ERROR(AsIo(shared.CheckPage()));
  return FollowPage(store, shared, view);
}

Status AppendShared(Store& store, SharedState& shared, SharedView& view,
                    std::span<WriteOp> ops, bool batch, bool* found) {
  MARROW_RETURN_IF_ERROR(FollowAsWriter(store, shared, view));
  MARROW_RETURN_IF_ERROR(CheckBatch(store, ops).status());
  if (ops.empty()) return {};
  std::string record;
  if (batch) {
    EncodeWalBatch(ops, &record);
  } else if (ops[0].erase) {
    EncodeWalDelete(ops[0].key, &record);
  } else {
    EncodeWalPut(ops[0].key, ops[0].value, &record);
  }
  const uint64_t at = shared.Load(kSharedLogEndAt);
  if (at != store.log_end) {
    return Failure::Internal(IoError::Custom(
        ErrorKind::kInvalidData, "the shared log end does not match the log"));
  }
  shared.Store(kSharedBusyAt, 1);
  Status written = PwriteFull(view.log_out, record.data(), record.size(), at);
  if (!written.ok()) {
    // Nothing of it may stay behind the end; if even the cut fails, the
    // page stays busy and the next writer cuts it.
    if (Truncate(view.log_out, at).ok()) shared.Store(kSharedBusyAt, 0);
    return written;
  }
  const bool was_found = ApplyLogged(store, ops, batch, at);
  if (found != nullptr) *found = was_found;
  store.log_end = at + record.size();
  shared.Store(kSharedLogEndAt, store.log_end);
  shared.Store(kSharedBusyAt, 0);
  shared.Publish();
  view.version = shared.Load(kSharedVersionAt);
  view.written_end = store.log_end;
  view.written_generation = view.generation;
  return {};
}

Status RewriteShared(Store& store, SharedState& shared, SharedView& view,
                     bool vacuum) {
  MARROW_RETURN_IF_ERROR(FollowAsWriter(store, shared, view));
  MARROW_RETURN_IF_ERROR(shared.LockSync());
  shared.Store(kSharedBusyAt, 1);
  Status done = [&]() -> Status {
    // The one-process way on the files: an open's recovery, then persist
    // or vacuum with the log that recovery left.
    MARROW_RETURN_IF_ERROR(AsIo(FinishCommittedVacuum(*store.fs, store.dir)));
    ValueCache cache;
    MARROW_RETURN_IF_ERROR(cache.Init(0));
    MARROW_ASSIGN(Store full, OpenStore(*store.fs, store.dir, std::move(cache)));
    MARROW_ASSIGN(WalWriter wal, WalWriter::Open(*store.fs, store.dir));
    if (vacuum) {
      MARROW_RETURN_IF_ERROR(Vacuum(full, wal));
    } else {
      MARROW_RETURN_IF_ERROR(Persist(full, wal));
    }
    // The new log's entry, so that a sync needs fdatasync alone.
    return AsIo(SyncDirectory(*store.fs, store.dir));
  }();
  // Whether or not it went through, the files are in a state an open
  // reads; the page says so under a new generation.
  Status recovered = Recover(shared, *store.fs, store.dir);
  // A persist that failed may have failed a sync, after which the log's
  // pages may be gone from the disk's view: only a snapshot makes the
  // changes durable then.
  shared.Store(kSharedSyncFailedAt, done.ok() && recovered.ok() ? 0 : 1);
  shared.UnlockSync();
  if (!done.ok()) return done;
  if (!recovered.ok()) return recovered;
  return Follow(store, shared, view);
}

Result<bool> SyncShared(FileSystem& fs, const std::string& dir,
                        SharedState& shared, uint64_t written_end,
                        uint64_t generation) {
  // A persist since covered it; or another process's sync did.
  auto covered = [&] {
    return shared.Load(kSharedGenerationAt) != generation ||
           shared.Load(kSharedSyncedEndAt) >= written_end;
  };
  const auto failed = [&] { return shared.Load(kSharedSyncFailedAt) != 0; };
  if (written_end == 0) return false;
  MARROW_RETURN_IF_ERROR(AsIo(shared.CheckPage()));
  if (failed()) return true;
  if (covered()) return false;
  MARROW_RETURN_IF_ERROR(shared.LockSync());
  Result<bool> outcome = [&]() -> Result<bool> {
    if (failed()) return true;
    if (covered()) return false;
    // Persists take the sync lock, so this is the generation's log, and
    // it holds at least `target` whole bytes.
    const uint64_t target = shared.Load(kSharedLogEndAt);
    MARROW_ASSIGN(UniqueFd log,
                  OpenFile(fs, JoinPath(dir, kWalFile), O_RDONLY));
    Status synced = Fdatasync(log);
    if (!synced.ok()) {
      shared.Store(kSharedSyncFailedAt, 1);
      return synced.take_failure().As(FailureForm::kIoByKind);
    }
    if (shared.Load(kSharedSyncedEndAt) < target) {
      shared.Store(kSharedSyncedEndAt, target);
    }
    return false;
  }();
  shared.UnlockSync();
  return outcome;
}

}  // namespace marrow::store
