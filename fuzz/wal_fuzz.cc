// The log decoder on arbitrary bytes: every record it returns must be a
// well-formed record whose encoding is exactly the bytes it was read from,
// and it must stop (never crash, never reserve memory for lengths the file
// does not hold) wherever the bytes stop decoding.

#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/mem_fs.h"
#include "fuzz/fuzz_util.h"
#include "store/io.h"
#include "store/utf8.h"
#include "store/wal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace store = marrow::store;
  using Outcome = store::WalReader::Outcome;
  store::testing::MemFs fs;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  fs.WriteFile("/wal.bin", bytes);
  auto opened = store::OpenFile(fs, "/wal.bin", O_RDONLY);
  FUZZ_CHECK(opened.ok());
  store::WalReader reader(opened.value(), 0, size);
  store::WalEntry entry;
  for (uint64_t start = 0;; start = reader.good_end()) {
    const Outcome outcome = reader.Next(&entry);
    if (outcome != Outcome::kRecord) {
      // A clean end lies exactly at the end of the file.
      FUZZ_CHECK(outcome != Outcome::kReadError);
      FUZZ_CHECK(outcome != Outcome::kEnd || start == size);
      FUZZ_CHECK(reader.good_end() == start);
      return 0;
    }
    const uint64_t end = reader.good_end();
    FUZZ_CHECK(end > start && end <= size);
    FUZZ_CHECK(store::IsValidUtf8(entry.key));
    std::string encoded;
    if (entry.kind == store::WalEntry::Kind::kPut) {
      store::EncodeWalPut(entry.key, entry.val, &encoded);
    } else {
      FUZZ_CHECK(entry.val.empty());
      store::EncodeWalDelete(entry.key, &encoded);
    }
    FUZZ_CHECK(encoded == std::string_view(bytes).substr(start, end - start));
  }
}
