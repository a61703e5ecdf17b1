// Binding Python call arguments to parameters and converting them to
// engine values.
//
// Every function returns false (or nullptr) with a Python exception set on
// failure. Conversions run before any engine call, so a call that fails on
// its arguments leaves the store untouched.
//
// Thread-safety: call with the interpreter lock held.

#ifndef MARROW_MODULE_CONVERT_H_
#define MARROW_MODULE_CONVERT_H_

#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "module/errors.h"
#include "module/py_ref.h"

namespace marrow::module {

// The parameters of one callable, all positional-or-keyword; the first
// `required` of them have no default.
struct Signature {
  const char* name;  // as shown in errors: "Marrow.set_bytes()"
  std::span<const char* const> params;
  size_t required;
};

// Binds `args` (a tuple) and `kwargs` (a dict or nullptr) to the parameters
// of `sig`. `out` has one slot per parameter and receives borrowed
// references, nullptr for an optional parameter not given.
bool BindArguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                   std::span<PyObject*> out);

// The conversions below report their own errors without the argument
// prefix; ConvertArgument adds it.

// A str (or subclass) to its UTF-8 text.
bool ToText(PyObject* obj, std::string* out);
// The same text without a copy: valid while `obj` and the view live.
struct TextView {
  std::string_view text;
  PyRef owner;  // holds the UTF-8 bytes when the str could not lend them
};
bool ToTextView(PyObject* obj, TextView* out);
// An int, or an object with __index__, to an unsigned 64-bit integer.
bool ToUint64(PyObject* obj, uint64_t* out);
// A sequence of integers 0..255 (not a str) to a byte string.
bool ToByteString(PyObject* obj, std::string* out);
// A sequence of str (not a str itself) to a list of UTF-8 texts.
// A sequence of str (not a str itself): the items, held, and their UTF-8
// texts, valid while `out` lives.
struct TextList {
  std::vector<PyRef> items;
  std::vector<std::string_view> texts;
  std::vector<PyRef> owners;  // UTF-8 copies the items could not lend
};
bool ToTextList(PyObject* obj, TextList* out);

// Runs `convert(obj, out)`; on a TypeError adds the prefix for `name`.
template <typename T>
bool ConvertArgument(const char* name, bool (*convert)(PyObject*, T*),
                     PyObject* obj, T* out) {
  if (convert(obj, out)) return true;
  PrefixArgumentError(name);
  return false;
}

}  // namespace marrow::module

#endif  // MARROW_MODULE_CONVERT_H_
