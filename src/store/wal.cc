#include "store/wal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

Status WalWriter::AppendPuts(
    std::span<const std::pair<std::string, std::string>> items) {
  MARROW_RETURN_IF_ERROR(CutTail());
  const uint64_t record_start = file_size_ + buffer_.size();
  size_t total = 0;
  for (const auto& [key, val] : items) total += 20 + key.size() + val.size();
  buffer_.reserve(buffer_.size() + total);
  for (const auto& [key, val] : items) EncodeWalPut(key, val, &buffer_);
  if (buffer_.size() <= kWalBufferSize) return {};
  Status status = WriteOut();
  if (!status.ok()) RollBack(record_start);
  // A batch larger than the buffer leaves its room as it was.
  if (buffer_.capacity() > 2 * kWalBufferSize) {
    std::string(buffer_).swap(buffer_);
    buffer_.reserve(kWalBufferSize);
  }
  return status;
}

Status WalWriter::AppendPut(std::string_view key, std::string_view val) {
  return AppendRecord(kWalTagPut, key, &val);
}

Status WalWriter::AppendDelete(std::string_view key) {
  return AppendRecord(kWalTagDelete, key, nullptr);
}

Status WalWriter::Sync() {
  MARROW_RETURN_IF_ERROR(WriteOut());
  return Fdatasync(fd_);
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
  fd_ = std::move(fresh);
  buffer_.clear();
  file_size_ = 0;
  cut_to_.reset();
  return {};
}

// ---------------------------------------------------------------- reader

WalReader::WalReader(FileRef log, uint64_t start, uint64_t file_size)
    : start_(start),
      file_size_(file_size),
      good_end_(start),
      reader_(log, kWalReadBufferSize, start) {}

// kOk, or why the string could not be read.
static BufferedReader::Outcome ReadLengthPrefixed(BufferedReader& reader,
                                                  uint64_t start,
                                                  uint64_t file_size,
                                                  std::string* out) {
  uint8_t word[8];
  auto got = reader.Read(word, 8);
  if (got != BufferedReader::Outcome::kOk) return got;
  const uint64_t len = GetU64(word);
  // Never reserve more than the file still holds.
  if (len > file_size - std::min(start + reader.consumed(), file_size)) {
    return BufferedReader::Outcome::kEof;
  }
  out->resize(len);
  return reader.Read(out->data(), len);
}

WalReader::Outcome WalReader::Next(WalEntry* entry) {
  using R = BufferedReader::Outcome;
  auto fail = [](R r) {
    return r == R::kError ? Outcome::kReadError : Outcome::kUndecodable;
  };
  uint8_t word[4];
  const uint64_t start = reader_.consumed();
  R r = reader_.Read(word, 4);
  if (r == R::kEof && reader_.consumed() == start) return Outcome::kEnd;
  if (r != R::kOk) return fail(r);
  const uint32_t tag = GetU32(word);
  if (tag != kWalTagPut && tag != kWalTagDelete) return Outcome::kUndecodable;
  key_at_ = start_ + reader_.consumed() + 8;
  r = ReadLengthPrefixed(reader_, start_, file_size_, &entry->key);
  if (r != R::kOk) return fail(r);
  if (!IsValidUtf8(entry->key)) return Outcome::kUndecodable;
  if (tag == kWalTagPut) {
    entry->kind = WalEntry::Kind::kPut;
    val_at_ = start_ + reader_.consumed() + 8;
    r = ReadLengthPrefixed(reader_, start_, file_size_, &entry->val);
    if (r != R::kOk) return fail(r);
  } else {
    entry->kind = WalEntry::Kind::kDelete;
    entry->val.clear();
  }
  good_end_ = start_ + reader_.consumed();
  return Outcome::kRecord;
}

}  // namespace marrow::store
