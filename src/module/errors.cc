#include "module/errors.h"

#include <cstdio>
#include <string>

#include "module/py_ref.h"

namespace marrow::module {
namespace {

using store::ErrorKind;
using store::Failure;
using store::FailureForm;

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when the native code of the store panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it normally propagates up through the stack and ends the Python\n"
    "interpreter, instead of being caught by `except Exception`.\n";

PyObject* g_panic_type = nullptr;  // strong reference, lives for the process

// The OSError subclass that reports an I/O error of this kind.
PyObject* OsErrorClassFor(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kNotFound:
      return PyExc_FileNotFoundError;
    case ErrorKind::kPermissionDenied:
      return PyExc_PermissionError;
    case ErrorKind::kConnectionRefused:
      return PyExc_ConnectionRefusedError;
    case ErrorKind::kConnectionReset:
      return PyExc_ConnectionResetError;
    case ErrorKind::kConnectionAborted:
      return PyExc_ConnectionAbortedError;
    case ErrorKind::kBrokenPipe:
      return PyExc_BrokenPipeError;
    case ErrorKind::kAlreadyExists:
      return PyExc_FileExistsError;
    case ErrorKind::kWouldBlock:
      return PyExc_BlockingIOError;
    case ErrorKind::kTimedOut:
      return PyExc_TimeoutError;
    case ErrorKind::kInterrupted:
      return PyExc_InterruptedError;
    default:
      return PyExc_OSError;
  }
}

// Sets `cls` with the single argument `text`.
std::nullptr_t RaiseWithText(PyObject* cls, std::string_view text) {
  PyRef message = PyRef::Steal(TextToPy(text));
  if (message) PyErr_SetObject(cls, message.get());
  return nullptr;
}

// "src/store/x.cc" rather than the absolute path the compiler saw.
std::string_view ShortFileName(const char* file) {
  std::string_view name(file);
  size_t pos = name.rfind("/src/");
  return pos == std::string_view::npos ? name : name.substr(pos + 1);
}

}  // namespace

PyObject* TextToPy(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                              "replace");
}

std::string TypeQualName(PyObject* obj) {
  PyRef qualname = PyRef::Steal(PyObject_GetAttrString(
      reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (qualname && PyUnicode_Check(qualname.get())) {
    PyRef utf8 = PyRef::Steal(PyUnicode_AsUTF8String(qualname.get()));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (utf8 && PyBytes_AsStringAndSize(utf8.get(), &data, &size) == 0) {
      return std::string(data, static_cast<size_t>(size));
    }
  }
  PyErr_Clear();
  return "<unknown>";
}

std::nullptr_t RaiseConversionError(PyObject* obj, const char* target) {
  // Built by appending: GCC 12 warns falsely on operator+ chains here.
  std::string message = "'";
  message.append(TypeQualName(obj));
  message.append("' object cannot be converted to '");
  message.append(target);
  message.append("'");
  return RaiseWithText(PyExc_TypeError, message);
}

void PrefixArgumentError(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type = PyRef::Steal(type);
  PyRef old_value = PyRef::Steal(value);
  PyRef old_traceback = PyRef::Steal(traceback);

  PyRef old_text = PyRef::Steal(PyObject_Str(old_value.get()));
  if (!old_text) return;
  PyRef text = PyRef::Steal(
      PyUnicode_FromFormat("argument '%s': %U", name, old_text.get()));
  if (!text) return;
  PyRef replacement = PyRef::Steal(
      PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!replacement) return;
  // PyException_SetCause steals the cause; GetCause returns a new reference.
  if (PyObject* cause = PyException_GetCause(old_value.get())) {
    PyException_SetCause(replacement.get(), cause);
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

PyObject* PanicExceptionType() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

std::nullptr_t RaisePanic(std::string_view message,
                          store::SourceLocation where) {
  std::string_view file = ShortFileName(where.file_name());
  std::fprintf(stderr, "marrow: internal failure at %.*s:%u:\n%.*s\n",
               static_cast<int>(file.size()), file.data(),
               static_cast<unsigned>(where.line()),
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  PyObject* panic = PanicExceptionType();
  if (panic == nullptr) return nullptr;
  return RaiseWithText(panic, message);
}

std::nullptr_t RaiseApiFailure(store::SourceLocation where) {
  if (PyErr_Occurred()) PyErr_Print();
  return RaisePanic("Python API call failed", where);
}

std::nullptr_t RaiseFailure(const Failure& failure) {
  switch (failure.form) {
    case FailureForm::kIoByKind:
      return RaiseWithText(OsErrorClassFor(failure.error.kind), failure.Text());
    case FailureForm::kPlainOs:
      return RaiseWithText(PyExc_OSError, failure.Text());
    case FailureForm::kValueError:
      return RaiseWithText(PyExc_ValueError, failure.message);
    case FailureForm::kOverflow:
      return RaiseWithText(PyExc_OverflowError, failure.message);
    case FailureForm::kOutOfMemory:
      return RaiseWithText(PyExc_MemoryError, failure.message);
    case FailureForm::kRuntime:
      return RaiseWithText(PyExc_RuntimeError, failure.message);
    case FailureForm::kReadOnly: {
      // What writing to a file opened for reading raises.
      PyRef io = PyRef::Steal(PyImport_ImportModule("io"));
      PyRef cls = PyRef::Steal(
          io ? PyObject_GetAttrString(io.get(), "UnsupportedOperation")
             : nullptr);
      if (!cls) return nullptr;
      return RaiseWithText(cls.get(), failure.message);
    }
    case FailureForm::kInternal:
    case FailureForm::kInternalMessage:
      break;
  }
  return RaisePanic(failure.Text(), failure.where);
}

}  // namespace marrow::module
