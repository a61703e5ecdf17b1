// The log decoder on arbitrary bytes: every record it returns must be a
// well-formed record whose encoding is exactly the bytes it was read from,
// and it must stop (never crash, never reserve memory for lengths the file
// does not hold) wherever the bytes stop decoding.

#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/mem_fs.h"
#include "fuzz/fuzz_util.h"
#include "store/io.h"
#include "store/utf8.h"
#include "store/wal.h"

using marrow::store::WalEntry;
using marrow::store::WalReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  marrow::store::testing::MemFs fs;
  fs.WriteFile("/wal.bin",
               std::string(reinterpret_cast<const char*>(data), size));
  auto opened = marrow::store::OpenFile(fs, "/wal.bin", O_RDONLY);
  FUZZ_CHECK(opened.ok());
  WalReader reader(opened.value(), 0, size);

  WalEntry entry;
  uint64_t start = 0;
  std::string encoded;
  while (true) {
    const WalReader::Outcome outcome = reader.Next(&entry);
    if (outcome != WalReader::Outcome::kRecord) {
      FUZZ_CHECK(outcome != WalReader::Outcome::kReadError);
      // A clean end lies exactly at the end of the file.
      FUZZ_CHECK(outcome != WalReader::Outcome::kEnd || start == size);
      FUZZ_CHECK(reader.good_end() == start);
      break;
    }
    const uint64_t end = reader.good_end();
    FUZZ_CHECK(end > start && end <= size);
    FUZZ_CHECK(marrow::store::IsValidUtf8(entry.key));
    encoded.clear();
    if (entry.kind == WalEntry::Kind::kPut) {
      marrow::store::EncodeWalPut(entry.key, entry.val, &encoded);
    } else {
      FUZZ_CHECK(entry.val.empty());
      marrow::store::EncodeWalDelete(entry.key, &encoded);
    }
    FUZZ_CHECK(encoded.size() == end - start);
    FUZZ_CHECK(std::memcmp(encoded.data(), data + start, encoded.size()) == 0);
    start = end;
  }
  return 0;
}
