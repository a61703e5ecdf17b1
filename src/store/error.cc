#include "store/error.h"

#include <cerrno>
#include <cstring>

namespace marrow::store {

const char* ErrorKindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNotFound:
      return "NotFound";
    case ErrorKind::kPermissionDenied:
      return "PermissionDenied";
    case ErrorKind::kConnectionRefused:
      return "ConnectionRefused";
    case ErrorKind::kConnectionReset:
      return "ConnectionReset";
    case ErrorKind::kConnectionAborted:
      return "ConnectionAborted";
    case ErrorKind::kBrokenPipe:
      return "BrokenPipe";
    case ErrorKind::kAlreadyExists:
      return "AlreadyExists";
    case ErrorKind::kWouldBlock:
      return "WouldBlock";
    case ErrorKind::kTimedOut:
      return "TimedOut";
    case ErrorKind::kInterrupted:
      return "Interrupted";
    case ErrorKind::kUnexpectedEof:
      return "UnexpectedEof";
    case ErrorKind::kWriteZero:
      return "WriteZero";
    case ErrorKind::kInvalidInput:
      return "InvalidInput";
    case ErrorKind::kInvalidData:
      return "InvalidData";
    case ErrorKind::kOutOfMemory:
      return "OutOfMemory";
    case ErrorKind::kStorageFull:
      return "StorageFull";
    case ErrorKind::kOther:
      return "Other";
  }
  return "Other";
}

namespace {

ErrorKind KindOfErrno(int code) {
  switch (code) {
    case ENOENT:
      return ErrorKind::kNotFound;
    case EACCES:
    case EPERM:
      return ErrorKind::kPermissionDenied;
    case ECONNREFUSED:
      return ErrorKind::kConnectionRefused;
    case ECONNRESET:
      return ErrorKind::kConnectionReset;
    case ECONNABORTED:
      return ErrorKind::kConnectionAborted;
    case EPIPE:
      return ErrorKind::kBrokenPipe;
    case EEXIST:
      return ErrorKind::kAlreadyExists;
    case EAGAIN:
      return ErrorKind::kWouldBlock;
    case ETIMEDOUT:
      return ErrorKind::kTimedOut;
    case EINTR:
      return ErrorKind::kInterrupted;
    case EINVAL:
      return ErrorKind::kInvalidInput;
    case ENOMEM:
      return ErrorKind::kOutOfMemory;
    case ENOSPC:
    case EDQUOT:
      return ErrorKind::kStorageFull;
    default:
      return ErrorKind::kOther;
  }
}

// strerror_r is GNU's (returns the text, which may or may not live in
// buf) or POSIX's (returns 0 and fills buf, as on macOS and FreeBSD): these
// take either result.
[[maybe_unused]] const char* ErrorText(const char* text, const char*) {
  return text;
}
[[maybe_unused]] const char* ErrorText(int, const char* buf) { return buf; }

}  // namespace

IoError IoError::FromErrno(int code) {
  char buf[256] = "";
  const char* text = ErrorText(strerror_r(code, buf, sizeof buf), buf);
  return IoError{KindOfErrno(code), code, text};
}

IoError IoError::Custom(ErrorKind kind, std::string description) {
  return IoError{kind, 0, std::move(description)};
}

std::string IoError::Display() const {
  if (os_code == 0) return description;
  return description + " (os error " + std::to_string(os_code) + ")";
}

std::string IoError::Debug() const {
  std::string out = "IoError { kind: ";
  out += ErrorKindName(kind);
  if (os_code != 0) out += ", code: " + std::to_string(os_code);
  out += ", description: \"" + description + "\" }";
  return out;
}

std::string Failure::Text() const {
  switch (form) {
    case FailureForm::kIoByKind:
    case FailureForm::kPlainOs:
      return error.Display();
    case FailureForm::kInternal:
      return "called `Result::unwrap()` on an `Err` value: " + error.Debug();
    default:
      return message;
  }
}

}  // namespace marrow::store
