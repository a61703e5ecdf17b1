#include "store/snapshot.h"

#include <fcntl.h>

#include <algorithm>

#include "store/format.h"
#include "store/io.h"

namespace marrow::store {

namespace {

// Encodes the six fields through the 1 MiB buffer. A write-out forced while
// encoding is an internal failure; the final one is an I/O error.
Status Encode(const SnapshotView& view, FileRef fd) {
  BufferedWriter out(fd, kSnapshotWriteBufferSize);
  uint8_t word[kSnapshotIndexEntrySize];
  PutU64(word, view.key_index.size());
  MARROW_RETURN_IF_ERROR(out.Append(word, 8));
  for (const auto& [fp, id] : view.key_index) {
    PutU64(word, fp);
    PutU32(word + 8, id);
    MARROW_RETURN_IF_ERROR(out.Append(word, kSnapshotIndexEntrySize));
  }
  for (const Bitmap* bitmap : {&view.live, &view.dead}) {
    const std::string bytes = bitmap->SerializePortable();
    PutU64(word, bytes.size());
    MARROW_RETURN_IF_ERROR(out.Append(word, 8));
    MARROW_RETURN_IF_ERROR(out.Append(bytes.data(), bytes.size()));
  }
  PutU32(word, view.next_id);
  MARROW_RETURN_IF_ERROR(out.Append(word, 4));
  PutU64(word, view.keys_end);
  MARROW_RETURN_IF_ERROR(out.Append(word, 8));
  PutU64(word, view.vals_end);
  MARROW_RETURN_IF_ERROR(out.Append(word, 8));
  Status flushed = out.Flush();
  if (!flushed.ok()) return flushed.take_failure().As(FailureForm::kIoByKind);
  return {};
}

}  // namespace

Status WriteSnapshot(FileSystem& fs, const SnapshotView& view,
                     const std::string& path) {
  auto fd = CreateTruncated(fs, path);
  if (!fd.ok()) return fd.take_failure().As(FailureForm::kIoByKind);
  MARROW_RETURN_IF_ERROR(Encode(view, fd.value()));
  Status synced = Fsync(fd.value());
  if (!synced.ok()) return synced.take_failure().As(FailureForm::kIoByKind);
  return {};
}

Result<std::optional<SnapshotData>> ReadSnapshot(FileSystem& fs,
                                                 const std::string& path) {
  auto exists = PathExists(fs, path);
  if (!exists.ok()) return exists.take_failure().As(FailureForm::kIoByKind);
  if (!exists.value()) return std::optional<SnapshotData>();
  auto fd = OpenFile(fs, path, O_RDONLY);
  if (!fd.ok()) return fd.take_failure().As(FailureForm::kIoByKind);
  return ReadSnapshotFrom(fd.value());
}

Result<std::optional<SnapshotData>> ReadSnapshotFrom(FileRef fd) {
  using R = BufferedReader::Outcome;
  auto size = FileSize(fd);
  if (!size.ok()) return size.take_failure().As(FailureForm::kIoByKind);
  const uint64_t file_size = size.value();
  BufferedReader in(fd, kSnapshotReadBufferSize);

  // Any outcome but kOk ends the decode: a read error is reported, the end
  // of the file means the snapshot does not decode.
  R outcome = R::kOk;
  auto read = [&](void* out, size_t n) {
    outcome = in.Read(out, n);
    return outcome == R::kOk;
  };
  auto remaining = [&] {
    return file_size - std::min(in.consumed(), file_size);
  };
  auto result = [&]() -> Result<std::optional<SnapshotData>> {
    if (outcome == R::kError) return Failure::Io(in.error());
    return std::optional<SnapshotData>();
  };

  SnapshotData data;
  uint8_t word[kSnapshotIndexEntrySize];
  if (!read(word, 8)) return result();
  const uint64_t count = GetU64(word);
  if (count > remaining() / kSnapshotIndexEntrySize) return result();
  data.key_index.reserve(count);
  // Entries are read a batch at a time and their table slots prefetched
  // before the inserts, which are otherwise one cache miss each.
  constexpr uint64_t kBatch = 128;
  uint8_t batch[kBatch * kSnapshotIndexEntrySize];
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = std::min(kBatch, count - done);
    if (!read(batch, n * kSnapshotIndexEntrySize)) return result();
    for (uint64_t i = 0; i < n; ++i) {
      data.key_index.prefetch(GetU64(batch + i * kSnapshotIndexEntrySize));
    }
    for (uint64_t i = 0; i < n; ++i) {
      const uint8_t* entry = batch + i * kSnapshotIndexEntrySize;
      data.key_index.insert_or_assign(GetU64(entry), GetU32(entry + 8));
    }
    done += n;
  }
  std::string bytes;
  for (Bitmap* bitmap : {&data.live, &data.dead}) {
    if (!read(word, 8)) return result();
    const uint64_t length = GetU64(word);
    if (length > remaining()) return result();
    bytes.resize(length);
    if (!read(bytes.data(), length)) return result();
    auto decoded = Bitmap::DeserializePortable(
        reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    if (!decoded) return result();
    *bitmap = std::move(*decoded);
  }
  if (!read(word, 4)) return result();
  data.next_id = GetU32(word);
  if (!read(word, 8)) return result();
  data.keys_end = GetU64(word);
  if (!read(word, 8)) return result();
  data.vals_end = GetU64(word);
  return std::optional<SnapshotData>(std::move(data));
}

}  // namespace marrow::store
