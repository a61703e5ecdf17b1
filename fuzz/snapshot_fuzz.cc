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

// `bitmap` serializes to bytes that validate whole and decode to the same
// set.
void CheckRoundTrip(const Bitmap& bitmap) {
  const std::string bytes = bitmap.SerializePortable();
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  auto length = Bitmap::ValidatePortable(data, bytes.size());
  FUZZ_CHECK(length.has_value() && *length == bytes.size());
  auto again = Bitmap::DeserializePortable(data, bytes.size());
  FUZZ_CHECK(again.has_value() && again->SerializePortable() == bytes);
  // Equal serializations hold equal sets; the count checks the decoder.
  FUZZ_CHECK(again->Cardinality() == bitmap.Cardinality());
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
  FUZZ_CHECK(prefix && prefix->Cardinality() == decoded->Cardinality());
  CheckRoundTrip(*decoded);
}

void FuzzSnapshot(const uint8_t* data, size_t size) {
  namespace store = marrow::store;
  store::testing::MemFs fs;
  fs.WriteFile("/snapshot.bin",
               std::string(reinterpret_cast<const char*>(data), size));
  auto read = store::ReadSnapshot(fs, "/snapshot.bin");
  FUZZ_CHECK(read.ok());  // damage is "no snapshot", never an error
  if (!read.value()) return;
  const store::SnapshotData& snap = *read.value();
  FUZZ_CHECK(snap.key_index.size() <= size / 12);
  CheckRoundTrip(snap.live);
  CheckRoundTrip(snap.dead);

  // Written out again, it reads back the same.
  const store::SnapshotView view{snap.key_index, snap.live,     snap.dead,
                                 snap.next_id,   snap.keys_end, snap.vals_end};
  FUZZ_CHECK(store::WriteSnapshot(fs, view, "/snapshot.copy").ok());
  auto reread = store::ReadSnapshot(fs, "/snapshot.copy");
  FUZZ_CHECK(reread.ok() && reread.value().has_value());
  const store::SnapshotData& back = *reread.value();
  FUZZ_CHECK(back.key_index == snap.key_index);
  FUZZ_CHECK(back.live.SerializePortable() == snap.live.SerializePortable());
  FUZZ_CHECK(back.dead.SerializePortable() == snap.dead.SerializePortable());
  FUZZ_CHECK(back.next_id == snap.next_id && back.keys_end == snap.keys_end &&
             back.vals_end == snap.vals_end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzBitmap(data, size);
  FuzzSnapshot(data, size);
  return 0;
}
