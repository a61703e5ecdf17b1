// Error values of the storage engine.
//
// The engine never throws across its public interface and never aborts on
// bad input or damaged files: every fallible operation returns a Status or a
// Result<T>. A Failure carries the I/O error (kind, errno, description) and
// the form in which the caller must report it; the form is decided by the
// step that failed, not by the error, because the same errno is reported
// differently by, say, opening and vacuum.
//
// Thread-safety: plain values, no shared state.

#ifndef MARROW_STORE_ERROR_H_
#define MARROW_STORE_ERROR_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace marrow::store {

// What went wrong, independent of the platform's numbering.
enum class ErrorKind : uint8_t {
  kNotFound,
  kPermissionDenied,
  kConnectionRefused,
  kConnectionReset,
  kConnectionAborted,
  kBrokenPipe,
  kAlreadyExists,
  kWouldBlock,
  kTimedOut,
  kInterrupted,
  kUnexpectedEof,  // a file ended before the bytes a record needs
  kWriteZero,      // a write accepted no bytes
  kInvalidInput,
  kInvalidData,
  kOutOfMemory,
  kStorageFull,
  kOther,
};

const char* ErrorKindName(ErrorKind kind);

// An I/O error: kind, the operating-system code (0 when the error did not
// come from the system) and a description.
struct IoError {
  ErrorKind kind = ErrorKind::kOther;
  int os_code = 0;
  std::string description;

  // From errno: kind by code, the system's description.
  static IoError FromErrno(int code);
  static IoError Custom(ErrorKind kind, std::string description);

  // "No space left on device (os error 28)", or the bare description for
  // errors that did not come from the system.
  std::string Display() const;
  // IoError { kind: StorageFull, code: 28, description: "..." }
  std::string Debug() const;
};

// How a failure reaches the caller.
enum class FailureForm : uint8_t {
  kIoByKind,  // an OSError subclass chosen by the error's kind
  kPlainOs,   // OSError whatever the kind
  kInternal,  // the internal-failure exception, message built from the error
  kInternalMessage,  // the internal-failure exception, message stands alone
  kValueError,       // a request the store refuses (too large, ...)
  kOverflow,         // a limit of the store was reached (record ids)
  kOutOfMemory,      // room could not be reserved
  kReadOnly,         // a change asked of a store opened read-only
  kRuntime,          // a call the store's state refuses (after a fork)
};

// Where a failure was made: the step's file and line. Built from the
// compiler's builtins, which GCC and Clang both evaluate at the call site
// when used as default arguments.
struct SourceLocation {
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          unsigned line = __builtin_LINE()) {
    return SourceLocation{file, line};
  }
  const char* file_name() const { return file_; }
  unsigned line() const { return line_; }

  const char* file_ = "";
  unsigned line_ = 0;
};

struct Failure {
  using Where = SourceLocation;

  FailureForm form = FailureForm::kInternal;
  IoError error;
  std::string message;  // kInternalMessage, kValueError, kOverflow, ...
  Where where;          // the step that failed, for the internal report

  static Failure Io(IoError e, Where w = Where::current()) {
    return {FailureForm::kIoByKind, std::move(e), {}, w};
  }
  static Failure PlainOs(IoError e, Where w = Where::current()) {
    return {FailureForm::kPlainOs, std::move(e), {}, w};
  }
  static Failure Internal(IoError e, Where w = Where::current()) {
    return {FailureForm::kInternal, std::move(e), {}, w};
  }
  static Failure InternalMessage(std::string m, Where w = Where::current()) {
    return {FailureForm::kInternalMessage, {}, std::move(m), w};
  }
  static Failure Value(std::string m, Where w = Where::current()) {
    return {FailureForm::kValueError, {}, std::move(m), w};
  }
  static Failure Overflow(std::string m, Where w = Where::current()) {
    return {FailureForm::kOverflow, {}, std::move(m), w};
  }
  static Failure OutOfMemory(std::string m, Where w = Where::current()) {
    return {FailureForm::kOutOfMemory, {}, std::move(m), w};
  }
  static Failure ReadOnly(std::string m, Where w = Where::current()) {
    return {FailureForm::kReadOnly, {}, std::move(m), w};
  }
  static Failure Runtime(std::string m, Where w = Where::current()) {
    return {FailureForm::kRuntime, {}, std::move(m), w};
  }
  // The same error reported in another form (a step's form wins over the
  // form of the helper that produced it).
  Failure As(FailureForm f) && {
    form = f;
    return std::move(*this);
  }

  // The text the caller shows: for kInternal "called `Result::unwrap()` on an
  // `Err` value: " plus the debug rendering, for I/O forms the display text.
  std::string Text() const;
};

// Success or a Failure. The Failure lives on the heap, so a success, the
// outcome of nearly every call, is one null pointer to make and drop.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Failure f)  // NOLINT
      : failure_(std::make_unique<Failure>(std::move(f))) {}
  bool ok() const { return failure_ == nullptr; }
  const Failure& failure() const { return *failure_; }
  Failure&& take_failure() { return std::move(*failure_); }

 private:
  std::unique_ptr<Failure> failure_;
};

// A value or a Failure.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}   // NOLINT
  Result(Failure f) : v_(std::move(f)) {}     // NOLINT
  Result(Status s) : v_(s.take_failure()) {}  // NOLINT: only failed ones
  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  const Failure& failure() const { return std::get<1>(v_); }
  Failure&& take_failure() { return std::move(std::get<1>(v_)); }
  Status status() && { return ok() ? Status() : Status(take_failure()); }

 private:
  std::variant<T, Failure> v_;
};

// Early return on failure. MARROW_ASSIGN keeps the value of a Result.
#define MARROW_RETURN_IF_ERROR(expr)          \
  do {                                        \
    ::marrow::store::Status _st = (expr);     \
    if (!_st.ok()) return _st.take_failure(); \
  } while (0)

#define MARROW_CONCAT_INNER(a, b) a##b
#define MARROW_CONCAT(a, b) MARROW_CONCAT_INNER(a, b)
#define MARROW_ASSIGN_IMPL(tmp, lhs, expr)  \
  auto tmp = (expr);                        \
  if (!tmp.ok()) return tmp.take_failure(); \
  lhs = std::move(tmp.value())
#define MARROW_ASSIGN(lhs, expr) \
  MARROW_ASSIGN_IMPL(MARROW_CONCAT(_res_, __LINE__), lhs, expr)

}  // namespace marrow::store

#endif  // MARROW_STORE_ERROR_H_
