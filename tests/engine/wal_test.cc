// The write-ahead log: record encoding, the buffered writer with its
// roll-back, and the reader that recovery uses on possibly damaged files.

#include "store/wal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/test_util.h"
#include "store/format.h"

namespace marrow::store {
namespace {

using testing::AddU32;
using testing::AddU64;
using testing::ReadFile;
using testing::TempDir;
using testing::Unhex;
using testing::WriteFile;

WalWriter OpenWriter(const TempDir& dir) {
  auto w = WalWriter::Open(dir.path());
  EXPECT_TRUE(w.ok());
  return std::move(w.value());
}

struct ReadBack {
  std::vector<WalEntry> entries;
  WalReader::Outcome last = WalReader::Outcome::kEnd;
  uint64_t good_end = 0;
};

ReadBack ReadAll(const TempDir& dir) {
  ReadBack out;
  auto reader = WalReader::Open(dir.path());
  EXPECT_TRUE(reader.ok());
  EXPECT_TRUE(reader.value().has_value()) << "no wal.bin";
  if (!reader.ok() || !reader.value()) return out;
  WalReader& r = *reader.value();
  WalEntry e;
  while ((out.last = r.Next(&e)) == WalReader::Outcome::kRecord) {
    out.entries.push_back(e);
  }
  out.good_end = r.good_end();
  return out;
}

WalEntry PutEntry(std::string key, std::string val) {
  return {WalEntry::Kind::kPut, std::move(key), std::move(val)};
}
WalEntry DeleteEntry(std::string key) {
  return {WalEntry::Kind::kDelete, std::move(key), {}};
}

void Encode(const WalEntry& e, std::string* out) {
  if (e.kind == WalEntry::Kind::kPut) {
    EncodeWalPut(e.key, e.val, out);
  } else {
    EncodeWalDelete(e.key, out);
  }
}

void ExpectEntriesEq(const std::vector<WalEntry>& got,
                     const std::vector<WalEntry>& want,
                     const std::string& where) {
  ASSERT_EQ(got.size(), want.size()) << where;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].kind, want[i].kind) << where << ", record " << i;
    EXPECT_EQ(got[i].key, want[i].key) << where << ", record " << i;
    EXPECT_EQ(got[i].val, want[i].val) << where << ", record " << i;
  }
}

TEST(WalEncodingTest, PutThenDeleteIsThirtySixBytes) {
  std::string out;
  EncodeWalPut("a", "xy", &out);
  EncodeWalDelete("a", &out);
  EXPECT_EQ(out, Unhex("00000000 0100000000000000 61 0200000000000000 7879"
                       "01000000 0100000000000000 61"));
  std::string empty;
  EncodeWalPut("", "", &empty);
  EXPECT_EQ(empty, Unhex("00000000 0000000000000000 0000000000000000"));
}

TEST(WalWriterTest, NothingReachesTheFileUntilTheBufferOverflows) {
  TempDir dir;
  const std::string path = dir.File(kWalFile);
  std::string expected;
  {
    WalWriter w = OpenWriter(dir);
    // 21 bytes of header and key, then a value that fills the buffer exactly.
    const std::string fill(kWalBufferSize - 21, 'v');
    MARROW_ASSERT_OK(w.AppendPut("k", fill));
    EncodeWalPut("k", fill, &expected);
    EXPECT_EQ(ReadFile(path), "");
    EXPECT_EQ(w.buffered(), kWalBufferSize);
    EXPECT_EQ(w.Position(), kWalBufferSize);

    // The next piece does not fit: the full buffer goes out first.
    MARROW_ASSERT_OK(w.AppendDelete(""));
    EncodeWalDelete("", &expected);
    EXPECT_EQ(ReadFile(path), expected.substr(0, kWalBufferSize));
    EXPECT_EQ(w.buffered(), 12u);
    EXPECT_EQ(w.Position(), expected.size());

    // Many small records: the file is always a prefix of what was appended.
    for (int i = 0; i < 400; ++i) {
      const std::string key = "key" + std::to_string(i);
      if (i % 5 == 0) {
        MARROW_ASSERT_OK(w.AppendDelete(key));
        EncodeWalDelete(key, &expected);
      } else {
        const std::string val(static_cast<size_t>(i % 97), 'a' + i % 26);
        MARROW_ASSERT_OK(w.AppendPut(key, val));
        EncodeWalPut(key, val, &expected);
      }
      ASSERT_EQ(testing::SizeOf(path) + w.buffered(), expected.size()) << i;
      ASSERT_LE(w.buffered(), kWalBufferSize) << i;
      if (i % 20 == 0) {
        const std::string file = ReadFile(path);
        ASSERT_EQ(file, expected.substr(0, file.size())) << i;
      }
    }
    MARROW_ASSERT_OK(w.WriteOut());
    EXPECT_EQ(w.buffered(), 0u);
    EXPECT_EQ(ReadFile(path), expected);

    MARROW_ASSERT_OK(w.AppendPut("last", "one"));
    EncodeWalPut("last", "one", &expected);
    EXPECT_NE(ReadFile(path), expected);
  }
  // Destruction writes the buffer out.
  EXPECT_EQ(ReadFile(path), expected);
}

TEST(WalWriterTest, RecordsLargerThanTheBufferGoStraightThrough) {
  TempDir dir;
  const std::string path = dir.File(kWalFile);
  WalWriter w = OpenWriter(dir);
  std::string expected;
  MARROW_ASSERT_OK(w.AppendPut("a", "1"));
  EncodeWalPut("a", "1", &expected);
  const std::string big_val(3 * kWalBufferSize + 5, 'x');
  MARROW_ASSERT_OK(w.AppendPut("big", big_val));
  EncodeWalPut("big", big_val, &expected);
  EXPECT_EQ(ReadFile(path), expected);
  EXPECT_EQ(w.buffered(), 0u);
  const std::string big_key(kWalBufferSize, 'k');
  MARROW_ASSERT_OK(w.AppendDelete(big_key));
  EncodeWalDelete(big_key, &expected);
  MARROW_ASSERT_OK(w.AppendPut("b", "2"));
  EncodeWalPut("b", "2", &expected);
  MARROW_ASSERT_OK(w.WriteOut());
  EXPECT_EQ(ReadFile(path), expected);

  ReadBack back = ReadAll(dir);
  EXPECT_EQ(back.last, WalReader::Outcome::kEnd);
  ExpectEntriesEq(back.entries,
                  {PutEntry("a", "1"), PutEntry("big", big_val),
                   DeleteEntry(big_key), PutEntry("b", "2")},
                  "read back");
}

TEST(WalWriterTest, RollBackWhileTheRecordsAreBuffered) {
  TempDir dir;
  WalWriter w = OpenWriter(dir);
  std::string expected;
  MARROW_ASSERT_OK(w.AppendPut("a", "1"));
  EncodeWalPut("a", "1", &expected);
  const uint64_t mark = w.Position();
  MARROW_ASSERT_OK(w.AppendPut("b", "2"));
  MARROW_ASSERT_OK(w.AppendDelete("a"));
  w.RollBack(mark);
  EXPECT_EQ(w.Position(), mark);
  EXPECT_EQ(w.buffered(), mark);
  MARROW_ASSERT_OK(w.AppendDelete("c"));
  EncodeWalDelete("c", &expected);
  MARROW_ASSERT_OK(w.WriteOut());
  EXPECT_EQ(ReadFile(dir.File(kWalFile)), expected);
  // Rolling back to the current position changes nothing.
  w.RollBack(w.Position());
  EXPECT_EQ(ReadFile(dir.File(kWalFile)), expected);
  EXPECT_EQ(w.Position(), expected.size());
}

TEST(WalWriterTest, RollBackCutsRecordsThatReachedTheFile) {
  TempDir dir;
  const std::string path = dir.File(kWalFile);
  WalWriter w = OpenWriter(dir);
  std::string expected;
  // Fill most of the buffer, so the next record is split by a write-out:
  // its first pieces reach the file, the rest stays buffered.
  const std::string fill(8000, 'f');
  MARROW_ASSERT_OK(w.AppendPut("fill", fill));
  EncodeWalPut("fill", fill, &expected);
  const uint64_t mark = w.Position();
  ASSERT_EQ(mark, expected.size());
  MARROW_ASSERT_OK(w.AppendPut("split", std::string(500, 's')));
  ASSERT_GT(ReadFile(path).size(), mark) << "the record was not split";
  ASSERT_GT(w.buffered(), 0u);
  w.RollBack(mark);
  EXPECT_EQ(w.Position(), mark);
  EXPECT_EQ(ReadFile(path), expected);

  // And a record that went to the file whole.
  const std::string big(20000, 'b');
  MARROW_ASSERT_OK(w.AppendPut("big", big));
  w.RollBack(mark);
  EXPECT_EQ(ReadFile(path), expected);
  EXPECT_EQ(w.buffered(), 0u);

  MARROW_ASSERT_OK(w.AppendDelete("after"));
  EncodeWalDelete("after", &expected);
  MARROW_ASSERT_OK(w.WriteOut());
  EXPECT_EQ(ReadFile(path), expected);
  ReadBack back = ReadAll(dir);
  EXPECT_EQ(back.last, WalReader::Outcome::kEnd);
  ExpectEntriesEq(back.entries, {PutEntry("fill", fill), DeleteEntry("after")},
                  "after roll-back");
}

TEST(WalWriterTest, TruncateEmptiesFileAndBuffer) {
  TempDir dir;
  const std::string path = dir.File(kWalFile);
  WalWriter w = OpenWriter(dir);
  // A record split between the file and the buffer: its tail must not
  // survive the truncation at the head of the emptied log.
  MARROW_ASSERT_OK(w.AppendPut("fill", std::string(8000, 'f')));
  MARROW_ASSERT_OK(w.AppendPut("split", std::string(500, 's')));
  ASSERT_GT(w.buffered(), 0u);
  MARROW_ASSERT_OK(w.Truncate());
  EXPECT_EQ(w.Position(), 0u);
  EXPECT_EQ(ReadFile(path), "");
  MARROW_ASSERT_OK(w.AppendPut("x", "y"));
  MARROW_ASSERT_OK(w.Sync());
  std::string expected;
  EncodeWalPut("x", "y", &expected);
  EXPECT_EQ(ReadFile(path), expected);
}

TEST(WalWriterTest, OpenAppendsToWhatIsThere) {
  TempDir dir;
  WriteFile(dir.File(kWalFile), "old");
  WalWriter w = OpenWriter(dir);
  EXPECT_EQ(w.Position(), 3u);
  MARROW_ASSERT_OK(w.AppendDelete("k"));
  MARROW_ASSERT_OK(w.WriteOut());
  std::string expected = "old";
  EncodeWalDelete("k", &expected);
  EXPECT_EQ(ReadFile(dir.File(kWalFile)), expected);
}

TEST(WalReaderTest, TruncatedLogYieldsItsWholeRecordPrefix) {
  // Records of varied sizes, past the end of the 8192-byte read buffer.
  std::vector<WalEntry> records;
  for (int i = 0; records.size() < 64; ++i) {
    const std::string key = i % 7 == 0 ? "" : "k\xc3\xa9" + std::to_string(i);
    if (i % 4 == 3) {
      records.push_back(DeleteEntry(key));
    } else {
      records.push_back(PutEntry(
          key, std::string(static_cast<size_t>(i * 37 % 400), '\xff')));
    }
  }
  std::string log;
  std::vector<uint64_t> ends;
  for (const WalEntry& e : records) {
    Encode(e, &log);
    ends.push_back(log.size());
  }
  ASSERT_GT(log.size(), kWalReadBufferSize + 1000);

  TempDir dir;
  const std::string path = dir.File(kWalFile);
  WriteFile(path, log);
  // Cut the file shorter one byte at a time.
  for (uint64_t len = log.size() + 1; len-- > 0;) {
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(len)), 0);
    size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= len) ++whole;
    const uint64_t boundary = whole == 0 ? 0 : ends[whole - 1];
    ReadBack back = ReadAll(dir);
    const std::string where = "length " + std::to_string(len);
    ASSERT_EQ(back.entries.size(), whole) << where;
    ASSERT_EQ(back.good_end, boundary) << where;
    ASSERT_EQ(back.last, boundary == len ? WalReader::Outcome::kEnd
                                         : WalReader::Outcome::kUndecodable)
        << where;
    if (len == log.size() || len % 997 == 0) {
      ExpectEntriesEq(
          back.entries,
          std::vector<WalEntry>(records.begin(), records.begin() + whole),
          where);
    }
  }
}

TEST(WalReaderTest, HugeDeclaredLengthsStopWithoutAllocating) {
  // Under the sanitizer an attempt to reserve these lengths would abort.
  for (uint64_t declared : {uint64_t{1} << 62, UINT64_MAX, uint64_t{1} << 40}) {
    for (int field = 0; field < 2; ++field) {
      TempDir dir;
      std::string log;
      EncodeWalDelete("first", &log);
      const uint64_t good = log.size();
      AddU32(&log, kWalTagPut);
      if (field == 0) {
        AddU64(&log, declared);
        log += "key";
      } else {
        AddU64(&log, 3);
        log += "key";
        AddU64(&log, declared);
        log += "value";
      }
      WriteFile(dir.File(kWalFile), log);
      ReadBack back = ReadAll(dir);
      EXPECT_EQ(back.last, WalReader::Outcome::kUndecodable);
      EXPECT_EQ(back.good_end, good);
      EXPECT_EQ(back.entries.size(), 1u);
    }
  }
  // A length one byte longer than what is left is just as undecodable.
  TempDir dir;
  std::string log;
  AddU32(&log, kWalTagDelete);
  AddU64(&log, 4);
  log += "abc";
  WriteFile(dir.File(kWalFile), log);
  EXPECT_EQ(ReadAll(dir).last, WalReader::Outcome::kUndecodable);
}

TEST(WalReaderTest, AReadErrorIsNotDamage) {
  TempDir dir;
  // A directory in place of wal.bin opens, but every read fails.
  ASSERT_EQ(::mkdir(dir.File(kWalFile).c_str(), 0777), 0);
  auto reader = WalReader::Open(dir.path());
  ASSERT_TRUE(reader.ok());
  ASSERT_TRUE(reader.value().has_value());
  WalEntry e;
  EXPECT_EQ(reader.value()->Next(&e), WalReader::Outcome::kReadError);
  EXPECT_EQ(reader.value()->error().os_code, EISDIR);
}

}  // namespace
}  // namespace marrow::store
