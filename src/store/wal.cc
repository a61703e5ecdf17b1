#include "store/wal.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "store/checksum.h"
#include "store/fingerprint.h"
#include "store/format.h"
#include "store/utf8.h"

namespace marrow::store {

namespace {

void AppendU32(std::string* out, uint32_t v) {
  uint8_t b[4];
  PutU32(b, v);
  out->append(reinterpret_cast<const char*>(b), 4);
}

void AppendU64(std::string* out, uint64_t v) {
  uint8_t b[8];
  PutU64(b, v);
  out->append(reinterpret_cast<const char*>(b), 8);
}

}  // namespace

void EncodeWalPut(std::string_view key, std::string_view val,
                  std::string* out) {
  AppendU32(out, kWalTagPut);
  AppendU64(out, key.size());
  out->append(key);
  AppendU64(out, val.size());
  out->append(val);
}

void EncodeWalDelete(std::string_view key, std::string* out) {
  AppendU32(out, kWalTagDelete);
  AppendU64(out, key.size());
  out->append(key);
}

namespace {

template <typename Op>
void EncodeBatch(std::span<const Op> ops, std::string* out) {
  const size_t header_at = out->size();
  out->append(kWalBatchHeaderSize, '\0');
  for (const Op& op : ops) {
    if (op.erase) {
      EncodeWalDelete(op.key, out);
    } else {
      EncodeWalPut(op.key, op.value, out);
    }
  }
  auto* header = reinterpret_cast<uint8_t*>(out->data() + header_at);
  const uint64_t len = out->size() - header_at - kWalBatchHeaderSize;
  PutU32(header, kWalTagBatch);
  PutU64(header + 4, len);
  PutU64(header + 12, SipHash13(0, 0, header + kWalBatchHeaderSize, len));
}

}  // namespace

void EncodeWalBatch(std::span<const WriteOp> ops, std::string* out) {
  EncodeBatch(ops, out);
}

void EncodeWalBatch(std::span<const WriteView> ops, std::string* out) {
  EncodeBatch(ops, out);
}

void EncodeWalPlaced(std::string_view key, uint64_t val_len, uint64_t val_at,
                     uint64_t checksum, std::string* out) {
  AppendU32(out, kWalTagPlaced);
  AppendU64(out, key.size());
  out->append(key);
  AppendU64(out, val_len);
  AppendU64(out, val_at);
  AppendU64(out, checksum);
}

// ---------------------------------------------------------------- writer

WalWriter::WalWriter(UniqueFd fd, std::string dir, uint64_t file_size)
    : fd_(std::move(fd)), dir_(std::move(dir)), file_size_(file_size) {
  buffer_.reserve(kWalBufferSize);
}

Result<WalWriter> WalWriter::Open(FileSystem& fs, const std::string& dir) {
  auto fd =
      OpenFile(fs, JoinPath(dir, kWalFile), O_WRONLY | O_APPEND | O_CREAT);
  if (!fd.ok()) return fd.take_failure().As(FailureForm::kIoByKind);
  auto size = FileSize(fd.value());
  if (!size.ok()) return size.take_failure().As(FailureForm::kIoByKind);
  return WalWriter(std::move(fd.value()), dir, size.value());
}

WalWriter::~WalWriter() {
  if (fd_.valid()) (void)WriteOut();
}

Status WalWriter::WriteOut() {
  MARROW_RETURN_IF_ERROR(CutTail());
  size_t done = 0;
  Status status = WriteFull(fd_, buffer_.data(), buffer_.size(), &done);
  // What reached the file leaves the buffer; the rest waits for the next
  // write-out.
  buffer_.erase(0, done);
  file_size_ += done;
  return status;
}

Status WalWriter::Put(const void* piece, size_t n) {
  if (buffer_.size() + n <= kWalBufferSize) {
    buffer_.append(static_cast<const char*>(piece), n);
    return {};
  }
  MARROW_RETURN_IF_ERROR(WriteOut());
  if (n < kWalBufferSize) {
    buffer_.append(static_cast<const char*>(piece), n);
    return {};
  }
  // A piece as large as the buffer goes straight to the file.
  size_t done = 0;
  Status status = WriteFull(fd_, piece, n, &done);
  file_size_ += done;
  return status;
}

void WalWriter::RollBack(uint64_t record_start) {
  if (file_size_ > record_start) {
    // Part of the record reached the file; everything buffered belongs to
    // it. Cut the file back using its real size, in case another writer of
    // this process appended too.
    // If the cut fails, the next append or write-out retries it first.
    const uint64_t written = file_size_ - record_start;
    auto size = FileSize(fd_);
    if (!size.ok()) {
      cut_to_ = record_start;
    } else if (size.value() >= written) {
      const uint64_t length = size.value() - written;
      if (!store::Truncate(fd_, length).ok()) cut_to_ = length;
    }
    buffer_.clear();
    file_size_ = record_start;
    return;
  }
  buffer_.resize(record_start - file_size_);
}

Status WalWriter::CutTail() {
  if (!cut_to_) return {};
  MARROW_RETURN_IF_ERROR(store::Truncate(fd_, *cut_to_));
  cut_to_.reset();
  return {};
}

Status WalWriter::AppendRecord(uint32_t tag, std::string_view key,
                               const std::string_view* val) {
  // A record behind a partial one would never be replayed.
  MARROW_RETURN_IF_ERROR(CutTail());
  const uint64_t record_start = file_size_ + buffer_.size();
  uint8_t word[8];
  const size_t total = 12 + key.size() + (val != nullptr ? 8 + val->size() : 0);
  if (buffer_.size() + total <= kWalBufferSize) {
    // The common case: the whole record fits, no write-out can intervene.
    PutU32(word, tag);
    buffer_.append(reinterpret_cast<const char*>(word), 4);
    PutU64(word, key.size());
    buffer_.append(reinterpret_cast<const char*>(word), 8);
    buffer_.append(key);
    if (val != nullptr) {
      PutU64(word, val->size());
      buffer_.append(reinterpret_cast<const char*>(word), 8);
      buffer_.append(*val);
    }
    return {};
  }
  if (total >= kWalBufferSize) {
    // A record as large as the buffer goes out after the buffered bytes in
    // one write, without a copy into the buffer.
    uint8_t head[12];
    uint8_t val_len[8];
    PutU32(head, tag);
    PutU64(head + 4, key.size());
    std::array<std::string_view, 5> pieces = {
        buffer_, std::string_view(reinterpret_cast<const char*>(head), 12),
        key};
    size_t count = 3;
    if (val != nullptr) {
      PutU64(val_len, val->size());
      pieces[count++] =
          std::string_view(reinterpret_cast<const char*>(val_len), 8);
      pieces[count++] = *val;
    }
    const size_t buffered = buffer_.size();
    size_t done = 0;
    Status status =
        WriteGatherFull(fd_, std::span(pieces).first(count), &done);
    file_size_ += done;
    buffer_.erase(0, std::min(done, buffered));
    if (!status.ok()) RollBack(record_start);
    return status;
  }
  Status status = [&]() -> Status {
    PutU32(word, tag);
    MARROW_RETURN_IF_ERROR(Put(word, 4));
    PutU64(word, key.size());
    MARROW_RETURN_IF_ERROR(Put(word, 8));
    MARROW_RETURN_IF_ERROR(Put(key.data(), key.size()));
    if (val != nullptr) {
      PutU64(word, val->size());
      MARROW_RETURN_IF_ERROR(Put(word, 8));
      MARROW_RETURN_IF_ERROR(Put(val->data(), val->size()));
    }
    return {};
  }();
  if (!status.ok()) RollBack(record_start);
  return status;
}

Status WalWriter::WriteOutLarge(uint64_t record_start) {
  Status status = WriteOut();
  if (!status.ok()) RollBack(record_start);
  // A batch larger than the buffer leaves its room as it was.
  if (buffer_.capacity() > 2 * kWalBufferSize) {
    std::string(buffer_).swap(buffer_);
    buffer_.reserve(kWalBufferSize);
  }
  return status;
}

Status WalWriter::AppendBatch(std::span<const WriteView> ops) {
  MARROW_RETURN_IF_ERROR(CutTail());
  const uint64_t record_start = file_size_ + buffer_.size();
  size_t total = kWalBatchHeaderSize;
  for (const WriteView& op : ops) {
    total += 12 + op.key.size() + (op.erase ? 0 : 8 + op.value.size());
  }
  buffer_.reserve(buffer_.size() + total);
  EncodeWalBatch(ops, &buffer_);
  if (buffer_.size() <= kWalBufferSize) return {};
  return WriteOutLarge(record_start);
}

Status WalWriter::AppendPut(std::string_view key, std::string_view val) {
  return AppendRecord(kWalTagPut, key, &val);
}

Status WalWriter::AppendDelete(std::string_view key) {
  return AppendRecord(kWalTagDelete, key, nullptr);
}

Status WalWriter::AppendPlaced(std::string_view key, uint64_t val_len,
                               uint64_t val_at, uint64_t checksum) {
  MARROW_RETURN_IF_ERROR(CutTail());
  const uint64_t record_start = Position();
  std::string record;
  record.reserve(12 + key.size() + kWalPlacedTrailerSize);
  EncodeWalPlaced(key, val_len, val_at, checksum, &record);
  Status status = Put(record.data(), record.size());
  if (!status.ok()) {
    RollBack(record_start);
    return status;
  }
  placed_unsynced_ = true;
  return {};
}

Status WalWriter::Sync() {
  MARROW_RETURN_IF_ERROR(WriteOut());
  Status synced = Fdatasync(fd_);
  if (!synced.ok()) sync_failed_ = true;
  return synced;
}

Result<WalWriter::SyncPoint> WalWriter::PrepareSync() {
  MARROW_RETURN_IF_ERROR(WriteOut());
  SyncPoint point{fd_, End(), !directory_synced_, placed_unsynced_};
  // A placed put from here on needs a later sync point of its own; if this
  // one fails, sync_failed makes the next sync a persist.
  placed_unsynced_ = false;
  return point;
}

void WalWriter::SyncDone(const SyncPoint& point, bool ok) {
  if (!ok) {
    sync_failed_ = true;
    return;
  }
  durable_ = std::max(durable_, point.end);
  if (point.directory) directory_synced_ = true;
}

Status WalWriter::Replace() {
  FileSystem& fs = fd_.fs();
  const std::string temp = JoinPath(dir_, kWalTempFile);
  MARROW_RETURN_IF_ERROR(Unlink(fs, temp));
  MARROW_ASSIGN(
      UniqueFd fresh,
      OpenFile(fs, temp, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW));
  Status renamed = Rename(fs, temp, JoinPath(dir_, kWalFile));
  if (!renamed.ok()) {
    (void)Unlink(fs, temp);
    return renamed;
  }
  // Everything appended so far is in the snapshot the caller made durable;
  // the new log's directory entry is not durable yet.
  base_ += file_size_ + buffer_.size();
  durable_ = base_;
  directory_synced_ = false;
  sync_failed_ = false;
  placed_unsynced_ = false;
  fd_ = std::move(fresh);
  buffer_.clear();
  file_size_ = 0;
  cut_to_.reset();
  return {};
}

// ---------------------------------------------------------------- reader

WalReader::WalReader(FileRef log, uint64_t start, uint64_t file_size,
                     FileRef vals)
    : start_(start),
      file_size_(file_size),
      good_end_(start),
      reader_(log, kWalReadBufferSize, start),
      vals_(vals) {}

namespace {

using Got = BufferedReader::Outcome;

// A batch frame's bytes, read as BufferedReader reads a file.
class FrameSource {
 public:
  explicit FrameSource(std::string_view bytes) : bytes_(bytes) {}
  Got Read(void* out, size_t n) {
    if (n > bytes_.size() - pos_) {
      pos_ = bytes_.size();
      return Got::kEof;
    }
    std::memcpy(out, bytes_.data() + pos_, n);
    pos_ += n;
    return Got::kOk;
  }
  uint64_t consumed() const { return pos_; }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

// A u64 length, then that many bytes. A length past the `limit` bytes the
// source holds is the end of the source, found before anything is reserved.
template <typename Source>
Got ReadLengthPrefixed(Source& source, uint64_t limit, std::string* out) {
  uint8_t word[8];
  const Got got = source.Read(word, 8);
  if (got != Got::kOk) return got;
  const uint64_t len = GetU64(word);
  if (len > limit - std::min(source.consumed(), limit)) return Got::kEof;
  out->resize(len);
  return source.Read(out->data(), len);
}

// The rest of a Put or Delete record after its tag. `at` is the log offset
// of the source's first byte.
template <typename Source>
Got DecodeRecord(Source& source, uint32_t tag, uint64_t at, uint64_t limit,
                 WalEntry* entry) {
  entry->key_at = at + source.consumed() + 8;
  Got got = ReadLengthPrefixed(source, limit, &entry->key);
  if (got != Got::kOk) return got;
  // Not UTF-8: as undecodable as a record cut short.
  if (!IsValidUtf8(entry->key)) return Got::kEof;
  entry->placed = false;
  if (tag == kWalTagDelete) {
    entry->kind = WalEntry::Kind::kDelete;
    entry->val.clear();
    entry->val_at = 0;
    return Got::kOk;
  }
  entry->kind = WalEntry::Kind::kPut;
  entry->val_at = at + source.consumed() + 8;
  return ReadLengthPrefixed(source, limit, &entry->val);
}

bool IsRecordTag(uint32_t tag) {
  return tag == kWalTagPut || tag == kWalTagDelete;
}

}  // namespace

WalReader::Outcome WalReader::DecodePlaced(WalEntry* entry, uint64_t limit) {
  auto fail = [](Got r) {
    return r == Got::kError ? Outcome::kReadError : Outcome::kUndecodable;
  };
  entry->key_at = start_ + reader_.consumed() + 8;
  Got got = ReadLengthPrefixed(reader_, limit, &entry->key);
  if (got != Got::kOk) return fail(got);
  if (!IsValidUtf8(entry->key)) return Outcome::kUndecodable;
  uint8_t trailer[kWalPlacedTrailerSize];
  got = reader_.Read(trailer, kWalPlacedTrailerSize);
  if (got != Got::kOk) return fail(got);
  const uint64_t len = GetU64(trailer);
  const uint64_t at = GetU64(trailer + 8);
  entry->kind = WalEntry::Kind::kPut;
  entry->placed = true;
  entry->val_at = at;
  if (vals_.fd < 0 || len > kMaxFieldLength) return Outcome::kUndecodable;
  auto size = FileSize(vals_);
  if (!size.ok()) {
    vals_error_ = size.failure().error;
    vals_failed_ = true;
    return Outcome::kReadError;
  }
  // Value bytes that the file does not hold whole (a power loss took them,
  // or the file was cut) end the replay like a torn record.
  if (at > size.value() || len > size.value() - at) {
    return Outcome::kUndecodable;
  }
  entry->val.resize(len);
  Status read = PreadFull(vals_, entry->val.data(), len, at);
  if (!read.ok()) {
    vals_error_ = read.failure().error;
    vals_failed_ = true;
    return Outcome::kReadError;
  }
  if (ValueChecksum(entry->val) != GetU64(trailer + 16)) {
    return Outcome::kUndecodable;
  }
  return Outcome::kRecord;
}

WalReader::Outcome WalReader::Next(std::vector<WalEntry>* entries) {
  auto fail = [](Got r) {
    return r == Got::kError ? Outcome::kReadError : Outcome::kUndecodable;
  };
  const uint64_t limit = file_size_ - std::min(start_, file_size_);
  const uint64_t start = reader_.consumed();
  uint8_t word[8];
  Got got = reader_.Read(word, 4);
  if (got == Got::kEof && reader_.consumed() == start) return Outcome::kEnd;
  if (got != Got::kOk) return fail(got);
  const uint32_t tag = GetU32(word);
  if (IsRecordTag(tag)) {
    entries->resize(1);
    got = DecodeRecord(reader_, tag, start_, limit, &entries->front());
    if (got != Got::kOk) return fail(got);
  } else if (tag == kWalTagPlaced) {
    entries->resize(1);
    const Outcome placed = DecodePlaced(&entries->front(), limit);
    if (placed != Outcome::kRecord) return placed;
  } else if (tag == kWalTagBatch) {
    uint8_t header[16];  // L, C
    got = reader_.Read(header, 16);
    if (got != Got::kOk) return fail(got);
    const uint64_t len = GetU64(header);
    if (len > limit - std::min(reader_.consumed(), limit)) {
      return Outcome::kUndecodable;
    }
    frame_.resize(len);
    got = reader_.Read(frame_.data(), len);
    if (got != Got::kOk) return fail(got);
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame_.data());
    if (SipHash13(0, 0, bytes, len) != GetU64(header + 8)) {
      return Outcome::kUndecodable;
    }
    // Every record of the frame must decode and together fill it exactly.
    const uint64_t frame_at = start_ + reader_.consumed() - len;
    FrameSource source(frame_);
    entries->clear();
    while (source.consumed() < len) {
      if (source.Read(word, 4) != Got::kOk) return Outcome::kUndecodable;
      const uint32_t inner = GetU32(word);
      if (!IsRecordTag(inner)) return Outcome::kUndecodable;
      entries->emplace_back();
      if (DecodeRecord(source, inner, frame_at, len, &entries->back()) !=
          Got::kOk) {
        return Outcome::kUndecodable;
      }
    }
  } else {
    return Outcome::kUndecodable;
  }
  good_end_ = start_ + reader_.consumed();
  return Outcome::kRecord;
}

}  // namespace marrow::store
