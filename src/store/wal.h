// The write-ahead log, wal.bin: record encoding, the buffered writer and the
// reader used by recovery. The record layout is in format.h.
//
// WalWriter appends whole records and batch frames through an 8192-byte
// buffer and writes it out when it overflows, when asked, and on
// destruction (errors ignored there). A record that fails to be written is
// rolled back, from the buffer and if need be from the file, so a failed
// write never leaves a partial record that would hide every later record
// from the next replay; bytes of earlier records stay, and reach the file
// with the next write-out.
//
// Durability: the writer counts the bytes ever appended (End(), across
// replacements of the log) and how many of them are known to be on stable
// storage (durable()). A wait on the disk (PrepareSync, then fdatasync and
// perhaps a directory sync outside the lock, then SyncDone) covers every
// byte appended before it began, so writers that sync at once share it.
// After a failed fdatasync the kernel may have dropped the pages it could
// not write, so a later fdatasync proves nothing: the writer stays marked
// (sync_failed) until Replace puts a new log in place behind a snapshot.
// A placed put's value lies in vals.bin, so a wait on the disk that covers
// one syncs vals.bin too (SyncPoint::vals): a log that names value bytes
// the disk lost would end the replay there, before later synced records.
//
// WalReader decodes records one at a time, and batch frames whole, through
// an 8192-byte buffer and never reserves more memory for a declared length
// than the file still holds. A placed put's value is read from vals.bin and
// checked against its hash before the record counts as decoded.
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
#include <vector>

#include "store/error.h"
#include "store/io.h"
#include "store/write_op.h"

namespace marrow::store {

struct WalEntry {
  enum class Kind : uint32_t { kPut = 0, kDelete = 1 };
  Kind kind = Kind::kPut;
  std::string key;
  std::string val;  // empty for kDelete
  // Where the key and the value lie in the log; a placed put's value lies
  // in vals.bin at val_at.
  uint64_t key_at = 0;
  uint64_t val_at = 0;
  bool placed = false;
};

// Appends the encoding of one record, or of a batch frame, to `out`.
void EncodeWalPut(std::string_view key, std::string_view val, std::string* out);
void EncodeWalDelete(std::string_view key, std::string* out);
void EncodeWalBatch(std::span<const WriteOp> ops, std::string* out);
void EncodeWalBatch(std::span<const WriteView> ops, std::string* out);
void EncodeWalPlaced(std::string_view key, uint64_t val_len, uint64_t val_at,
                     uint64_t checksum, std::string* out);

class WalWriter {
 public:
  // Opens or creates wal.bin in `dir` for appending; never truncates it.
  static Result<WalWriter> Open(FileSystem& fs, const std::string& dir);

  WalWriter(WalWriter&&) noexcept = default;
  WalWriter& operator=(WalWriter&&) noexcept = default;
  ~WalWriter();

  Status AppendPut(std::string_view key, std::string_view val);
  Status AppendDelete(std::string_view key);
  // A placed put: the caller wrote the value's `val_len` bytes, hashing to
  // `checksum`, to vals.bin at `val_at`.
  Status AppendPlaced(std::string_view key, uint64_t val_len, uint64_t val_at,
                      uint64_t checksum);
  // The current log names value bytes of vals.bin that no sync covered yet
  // (a replay at open adopted placed puts).
  void MarkPlacedUnsynced() { placed_unsynced_ = true; }
  // One batch frame holding the ops in order: the buffer and the frame
  // reach the file in one write when they overflow the buffer. All or
  // nothing, like a single record.
  Status AppendBatch(std::span<const WriteView> ops);
  // Writes the whole buffer to the file.
  Status WriteOut();
  // WriteOut, then fdatasync: every record so far is on stable storage
  // (the log's directory entry aside; persist and vacuum sync it).
  Status Sync();
  // Empties the log, file and buffer together, by putting a new empty
  // wal.bin in place of the old one: a reader in another process that
  // opened the old log goes on reading it whole, never a log cut under it.
  // The caller has made every record so far durable some other way (a
  // snapshot). On failure the writer keeps the old log.
  Status Replace();

  // Bytes appended since the writer was opened, across replacements.
  uint64_t End() const { return base_ + Position(); }
  uint64_t durable() const { return durable_; }
  bool sync_failed() const { return sync_failed_; }
  // What a wait on the disk must cover, with the buffer written out.
  struct SyncPoint {
    FileRef log;
    uint64_t end = 0;
    bool directory = false;  // the log's directory entry is not durable yet
    bool vals = false;       // vals.bin holds placed values to sync first
  };
  Result<SyncPoint> PrepareSync();
  void SyncDone(const SyncPoint& point, bool ok);

  size_t buffered() const { return buffer_.size(); }
  // The log's logical end: bytes in the file plus bytes buffered.
  uint64_t Position() const { return file_size_ + buffer_.size(); }
  // Forgets what is buffered, so that destruction writes nothing: the
  // buffer of a writer copied by fork() is the parent's to write.
  void Abandon() { buffer_.clear(); }
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

  // Writes out a buffer that has grown past its capacity; on failure rolls
  // back to `record_start`.
  Status WriteOutLarge(uint64_t record_start);

  UniqueFd fd_;
  std::string dir_;
  std::string buffer_;
  uint64_t file_size_ = 0;  // bytes of wal.bin written by this writer's view
  std::optional<uint64_t> cut_to_;  // the length a failed rollback left owed
  uint64_t base_ = 0;     // End() when the current log was put in place
  uint64_t durable_ = 0;  // End() covered by a completed sync or snapshot
  bool directory_synced_ = false;  // the log's entry in its directory
  bool sync_failed_ = false;
  bool placed_unsynced_ = false;  // placed puts since the last sync point
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
  // boundary, up to `file_size`; placed values are read from `vals` (none:
  // a placed put does not decode).
  WalReader(FileRef log, uint64_t start, uint64_t file_size,
            FileRef vals = FileRef());

  // kRecord with *entries holding one record, or every record of a batch.
  Outcome Next(std::vector<WalEntry>* entries);
  // The offset just past the last whole record or frame returned.
  uint64_t good_end() const { return good_end_; }
  const IoError& error() const {
    return vals_failed_ ? vals_error_ : reader_.error();
  }
  bool vals_failed() const { return vals_failed_; }

 private:
  Outcome DecodePlaced(WalEntry* entry, uint64_t limit);

  uint64_t start_;
  uint64_t file_size_;
  uint64_t good_end_;
  BufferedReader reader_;
  std::string frame_;
  FileRef vals_;
  IoError vals_error_;
  bool vals_failed_ = false;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_WAL_H_
