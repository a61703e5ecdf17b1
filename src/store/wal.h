// The write-ahead log, wal.bin: record encoding, the buffered writer and the
// reader used by recovery. The record layout is in format.h.
//
// WalWriter appends whole records through an 8192-byte buffer and writes it
// out when it overflows, when asked, and on destruction (errors ignored
// there). A record that fails to be written is rolled back, from the buffer
// and if need be from the file, so a failed write never leaves a partial
// record that would hide every later record from the next replay.
//
// WalReader decodes records one at a time through an 8192-byte buffer and
// never reserves more memory for a declared length than the file still
// holds.
//
// Thread-safety: none; the WalHandle's lock guards a writer. A reader is
// used by one open, before the store is shared.

#ifndef MARROW_STORE_WAL_H_
#define MARROW_STORE_WAL_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "store/error.h"
#include "store/io.h"

namespace marrow::store {

struct WalEntry {
  enum class Kind : uint32_t { kPut = 0, kDelete = 1 };
  Kind kind = Kind::kPut;
  std::string key;
  std::string val;  // empty for kDelete
};

// Appends the encoding of one record to `out`.
void EncodeWalPut(std::string_view key, std::string_view val, std::string* out);
void EncodeWalDelete(std::string_view key, std::string* out);

class WalWriter {
 public:
  // Opens or creates wal.bin in `dir` for appending; never truncates it.
  static Result<WalWriter> Open(FileSystem& fs, const std::string& dir);

  WalWriter(WalWriter&&) noexcept = default;
  WalWriter& operator=(WalWriter&&) noexcept = default;
  ~WalWriter();

  Status AppendPut(std::string_view key, std::string_view val);
  Status AppendDelete(std::string_view key);
  // Put records for every item, in order, as one append: the buffer and the
  // batch reach the file in one write when they overflow the buffer. All or
  // nothing, like a single record.
  Status AppendPuts(std::span<const std::pair<std::string, std::string>> items);
  // Writes the whole buffer to the file.
  Status WriteOut();
  // WriteOut, then fdatasync: every record so far is on stable storage.
  Status Sync();
  // Empties the log, file and buffer together, by putting a new empty
  // wal.bin in place of the old one: a reader in another process that
  // opened the old log goes on reading it whole, never a log cut under it.
  // On failure the writer keeps the old log.
  Status Replace();

  size_t buffered() const { return buffer_.size(); }
  // The log's logical end: bytes in the file plus bytes buffered.
  uint64_t Position() const { return file_size_ + buffer_.size(); }
  // Drops every record appended after `position` (a value of Position()),
  // from the buffer and, when they reached it, from the file.
  void RollBack(uint64_t position);

 private:
  WalWriter(UniqueFd fd, std::string dir, uint64_t file_size);

  // Adds `piece` to the record being appended.
  Status Put(const void* piece, size_t n);
  Status AppendRecord(uint32_t tag, std::string_view key,
                      const std::string_view* val);

  // Cuts wal.bin back to cut_to_ when a rollback could not; until that
  // succeeds nothing is appended behind the partial record.
  Status CutTail();

  UniqueFd fd_;
  std::string dir_;
  std::string buffer_;
  uint64_t file_size_ = 0;  // bytes of wal.bin written by this writer's view
  std::optional<uint64_t> cut_to_;  // the length a failed rollback left owed
};

class WalReader {
 public:
  enum class Outcome {
    kRecord,       // *entry holds the next record
    kEnd,          // clean end of the log, at a record boundary
    kUndecodable,  // the rest of the file does not decode
    kReadError,    // a read failed; see error()
  };

  // Decodes the records of `log` (borrowed) from offset `start`, a record
  // boundary, up to `file_size`.
  WalReader(FileRef log, uint64_t start, uint64_t file_size);

  Outcome Next(WalEntry* entry);
  // The offset just past the last whole record returned.
  uint64_t good_end() const { return good_end_; }
  // Where the key and the value of the record Next returned lie in the log.
  uint64_t key_at() const { return key_at_; }
  uint64_t val_at() const { return val_at_; }
  const IoError& error() const { return reader_.error(); }

 private:
  uint64_t start_;
  uint64_t file_size_;
  uint64_t good_end_;
  uint64_t key_at_ = 0;
  uint64_t val_at_ = 0;
  BufferedReader reader_;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_WAL_H_
