// The snapshot decoder and the portable bitmap reader on arbitrary bytes.
//
// The input is tried twice: as a whole snapshot.bin, and as a bare portable
// bitmap. Whatever decodes must survive a round trip: re-serialized
// bitmaps validate over their whole length and decode to the same members,
// and a decoded snapshot written out again reads back field for field.

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/mem_fs.h"
#include "fuzz/fuzz_util.h"
#include "store/bitmap.h"
#include "store/snapshot.h"

namespace {

using marrow::store::Bitmap;

const uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

// `bitmap` serializes to bytes that validate whole and decode to the same
// set; returns the serialization.
std::string CheckRoundTrip(const Bitmap& bitmap) {
  const std::string bytes = bitmap.SerializePortable();
  auto length = Bitmap::ValidatePortable(Bytes(bytes), bytes.size());
  FUZZ_CHECK(length.has_value() && *length == bytes.size());
  auto again = Bitmap::DeserializePortable(Bytes(bytes), bytes.size());
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(again->Cardinality() == bitmap.Cardinality());
  FUZZ_CHECK(again->SerializePortable() == bytes);
  uint64_t seen = 0;
  bitmap.ForEach([&](uint32_t v) {
    FUZZ_CHECK(again->Contains(v));
    return ++seen < 4096;  // enough to catch a mix-up, cheap on huge sets
  });
  return bytes;
}

void FuzzBitmap(const uint8_t* data, size_t size) {
  auto length = Bitmap::ValidatePortable(data, size);
  auto decoded = Bitmap::DeserializePortable(data, size);
  // The reader accepts exactly what the validator accepts.
  FUZZ_CHECK(length.has_value() == decoded.has_value());
  if (!decoded) return;
  FUZZ_CHECK(*length <= size);
  // Trailing bytes are ignored: the valid prefix alone decodes the same.
  auto prefix = Bitmap::DeserializePortable(data, *length);
  FUZZ_CHECK(prefix.has_value());
  FUZZ_CHECK(prefix->Cardinality() == decoded->Cardinality());
  CheckRoundTrip(*decoded);
}

void FuzzSnapshot(const uint8_t* data, size_t size) {
  using marrow::store::ReadSnapshot;
  using marrow::store::SnapshotData;
  marrow::store::testing::MemFs fs;
  const std::string path = "/snapshot.bin";
  fs.WriteFile(path, std::string(reinterpret_cast<const char*>(data), size));
  auto read = ReadSnapshot(fs, path);
  FUZZ_CHECK(read.ok());  // damage is "no snapshot", never an error
  if (!read.value()) return;
  const SnapshotData& snap = *read.value();
  FUZZ_CHECK(snap.key_index.size() <= size / 12);
  CheckRoundTrip(snap.live);
  CheckRoundTrip(snap.dead);

  // Written out again, it reads back the same.
  const std::string copy = "/snapshot.copy";
  marrow::store::Status written =
      marrow::store::WriteSnapshot(fs,
                                   {snap.key_index, snap.live, snap.dead,
                                    snap.next_id, snap.keys_end, snap.vals_end},
                                   copy);
  FUZZ_CHECK(written.ok());
  auto reread = ReadSnapshot(fs, copy);
  FUZZ_CHECK(reread.ok() && reread.value().has_value());
  const SnapshotData& back = *reread.value();
  FUZZ_CHECK(back.key_index == snap.key_index);
  FUZZ_CHECK(back.live.SerializePortable() == snap.live.SerializePortable());
  FUZZ_CHECK(back.dead.SerializePortable() == snap.dead.SerializePortable());
  FUZZ_CHECK(back.next_id == snap.next_id);
  FUZZ_CHECK(back.keys_end == snap.keys_end);
  FUZZ_CHECK(back.vals_end == snap.vals_end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzBitmap(data, size);
  FuzzSnapshot(data, size);
  return 0;
}
