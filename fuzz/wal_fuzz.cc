// The log decoder on arbitrary bytes: every record or batch frame it
// returns must be well-formed, its encoding exactly the bytes it was read
// from, and it must stop (never crash, never reserve memory for lengths the
// file does not hold) wherever the bytes stop decoding. The input is decoded
// as given and with the checksums of its leading frames made to match, so
// that the records inside frames are decoded too.

#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/mem_fs.h"
#include "fuzz/fuzz_util.h"
#include "store/fingerprint.h"
#include "store/format.h"
#include "store/io.h"
#include "store/utf8.h"
#include "store/wal.h"

namespace store = marrow::store;

namespace {

// The frames at the start of `bytes`, each given the checksum of the bytes
// its length declares.
std::string Sealed(std::string bytes) {
  auto* p = reinterpret_cast<uint8_t*>(bytes.data());
  for (size_t at = 0; bytes.size() - at >= 20 &&
                      store::GetU32(p + at) == store::kWalTagBatch;) {
    const uint64_t len = store::GetU64(p + at + 4);
    if (len > bytes.size() - at - 20) break;
    store::PutU64(p + at + 12, store::SipHash13(0, 0, p + at + 20, len));
    at += 20 + len;
  }
  return bytes;
}

void Decode(const std::string& bytes) {
  using Outcome = store::WalReader::Outcome;
  const size_t size = bytes.size();
  store::testing::MemFs fs;
  fs.WriteFile("/wal.bin", bytes);
  auto opened = store::OpenFile(fs, "/wal.bin", O_RDONLY);
  FUZZ_CHECK(opened.ok());
  store::WalReader reader(opened.value(), 0, size);
  std::vector<store::WalEntry> entries;
  for (uint64_t start = 0;; start = reader.good_end()) {
    const Outcome outcome = reader.Next(&entries);
    if (outcome != Outcome::kRecord) {
      // A clean end lies exactly at the end of the file.
      FUZZ_CHECK(outcome != Outcome::kReadError);
      FUZZ_CHECK(outcome != Outcome::kEnd || start == size);
      FUZZ_CHECK(reader.good_end() == start);
      return;
    }
    const uint64_t end = reader.good_end();
    FUZZ_CHECK(end > start && end <= size);
    std::vector<store::WriteOp> ops;
    for (const store::WalEntry& entry : entries) {
      FUZZ_CHECK(store::IsValidUtf8(entry.key));
      const bool put = entry.kind == store::WalEntry::Kind::kPut;
      FUZZ_CHECK(put || entry.val.empty());
      FUZZ_CHECK(bytes.substr(entry.key_at, entry.key.size()) == entry.key);
      FUZZ_CHECK(!put ||
                 bytes.substr(entry.val_at, entry.val.size()) == entry.val);
      ops.push_back({entry.key, entry.val, !put});
    }
    // One record, or a frame (which may hold one record, or none).
    std::string encoded;
    if (bytes[start] == store::kWalTagBatch) {
      store::EncodeWalBatch(ops, &encoded);
    } else if (!ops[0].erase) {
      store::EncodeWalPut(ops[0].key, ops[0].value, &encoded);
    } else {
      store::EncodeWalDelete(ops[0].key, &encoded);
    }
    FUZZ_CHECK(encoded == std::string_view(bytes).substr(start, end - start));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  Decode(bytes);
  Decode(Sealed(bytes));
  return 0;
}
