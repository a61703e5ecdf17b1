// The ways a failure reaches Python.
//
// Engine failures are translated in one place (RaiseFailure). Argument
// errors are built by the conversion helpers with the messages below. Every
// Raise* function leaves a Python exception set and returns nullptr, so a
// method can `return RaiseX(...)`.
//
// Thread-safety: call with the interpreter lock held.

#ifndef MARROW_MODULE_ERRORS_H_
#define MARROW_MODULE_ERRORS_H_

#include <Python.h>

#include <string>
#include <string_view>

#include "store/error.h"

namespace marrow::module {

// The qualified name of the type of `obj` ("int", "PosixPath", ...).
std::string TypeQualName(PyObject* obj);

// TypeError "'{type}' object cannot be converted to '{target}'".
std::nullptr_t RaiseConversionError(PyObject* obj, const char* target);

// If the pending exception is exactly a TypeError, replaces it by a TypeError
// "argument '{name}': {message}" keeping its __cause__. Any other pending
// exception is left as it is.
void PrefixArgumentError(const char* name);

// Raises the Python form of an engine failure.
std::nullptr_t RaiseFailure(const store::Failure& failure);

// Writes a report of an internal failure to standard error, then raises
// PanicException(message).
std::nullptr_t RaisePanic(
    std::string_view message,
    store::SourceLocation where = store::SourceLocation::current());

// A Python API call failed while a result was being built: prints the
// pending error and raises PanicException("Python API call failed").
std::nullptr_t RaiseApiFailure(
    store::SourceLocation where = store::SourceLocation::current());

// The exception class raised for internal failures, created on first use.
// Returns nullptr with an error set if it cannot be created.
PyObject* PanicExceptionType();

// New str from UTF-8 bytes; undecodable bytes are replaced.
PyObject* TextToPy(std::string_view text);

}  // namespace marrow::module

#endif  // MARROW_MODULE_ERRORS_H_
