#include "module/convert.h"

#include <dlfcn.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "module/errors.h"
#include "module/py_ref.h"
#include "store/db.h"

namespace marrow::module {
namespace {

// A size hint beyond this is not trusted for reserving memory up front.
constexpr Py_ssize_t kMaxReserveHint = Py_ssize_t{1} << 20;

bool RaiseTypeError(const std::string& message) {
  PyRef text = PyRef::Steal(TextToPy(message));
  if (text) PyErr_SetObject(PyExc_TypeError, text.get());
  return false;
}

bool RaiseConversion(PyObject* obj, const char* target) {
  RaiseConversionError(obj, target);
  return false;
}

std::string PyToString(PyObject* obj) {
  PyRef text = PyRef::Steal(PyObject_Str(obj));
  std::string out;
  if (text && ToText(text.get(), &out)) return out;
  PyErr_Clear();
  return "<?>";
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string JoinNames(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

// The length of a sequence when it can tell it; errors are discarded.
Py_ssize_t SizeHint(PyObject* obj) {
  Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(size, kMaxReserveHint);
}

// One element of a byte sequence: an int 0..255.
bool ToByte(PyObject* item, char* out) {
  long value;
  if (PyLong_Check(item)) {
    value = PyLong_AsLong(item);
  } else {
    PyRef index = PyRef::Steal(PyNumber_Index(item));
    if (!index) return false;
    value = PyLong_AsLong(index.get());
  }
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError,
                    "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<char>(static_cast<unsigned char>(value));
  return true;
}

void AppendBytes(PyObject* bytes, std::string* out) {
  const char* data = PyBytes_AsString(bytes);
  out->append(data, static_cast<size_t>(PyBytes_Size(bytes)));
}

// Copies a one-dimensional buffer of unsigned bytes in one go. Returns
// false, with no error set, when `obj` is not such a buffer; the caller then
// iterates it, which gives exactly the values and errors of its items.
bool TryCopyByteBuffer(PyObject* obj, std::string* out, bool* failed) {
  *failed = false;
  PyRef view = PyRef::Steal(PyMemoryView_FromObject(obj));
  if (!view) {
    PyErr_Clear();
    return false;
  }
  PyRef format = PyRef::Steal(PyObject_GetAttrString(view.get(), "format"));
  PyRef ndim = PyRef::Steal(PyObject_GetAttrString(view.get(), "ndim"));
  if (!format || !ndim || !PyUnicode_Check(format.get())) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(format.get(), "B") != 0 ||
      PyLong_AsLong(ndim.get()) != 1) {
    PyErr_Clear();
    return false;
  }
  PyRef bytes =
      PyRef::Steal(PyObject_CallMethod(view.get(), "tobytes", nullptr));
  if (!bytes || !PyBytes_Check(bytes.get())) {
    *failed = true;
    return true;
  }
  AppendBytes(bytes.get(), out);
  return true;
}

}  // namespace

bool BindArguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                   std::span<PyObject*> out) {
  const size_t nparams = sig.params.size();
  std::fill(out.begin(), out.end(), nullptr);

  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  if (given < 0) return false;
  const size_t npos = static_cast<size_t>(given);
  if (npos > nparams) {
    const char* verb = npos == 1 ? "was" : "were";
    std::string message = std::string(sig.name) + " takes ";
    if (sig.required != nparams) {
      message += "from " + std::to_string(sig.required) + " to ";
    }
    message += std::to_string(nparams) + " positional arguments but " +
               std::to_string(npos) + " " + verb + " given";
    return RaiseTypeError(message);
  }
  for (size_t i = 0; i < npos; ++i) {
    out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      size_t index = nparams;
      if (PyUnicode_Check(name)) {
        for (size_t i = 0; i < nparams; ++i) {
          if (PyUnicode_CompareWithASCIIString(name, sig.params[i]) == 0) {
            index = i;
            break;
          }
        }
      }
      if (index == nparams) {
        return RaiseTypeError(std::string(sig.name) +
                              " got an unexpected keyword argument '" +
                              PyToString(name) + "'");
      }
      if (out[index] != nullptr) {
        return RaiseTypeError(std::string(sig.name) +
                              " got multiple values for argument '" +
                              sig.params[index] + "'");
      }
      out[index] = value;
    }
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.params[i]);
  }
  if (!missing.empty()) {
    return RaiseTypeError(std::string(sig.name) + " missing " +
                          std::to_string(missing.size()) +
                          " required positional " +
                          (missing.size() == 1 ? "argument" : "arguments") +
                          ": " + JoinNames(missing));
  }
  return true;
}

namespace {

using AsUtf8AndSizeFn = const char* (*)(PyObject*, Py_ssize_t*);

// PyUnicode_AsUTF8AndSize reads the UTF-8 form that a str caches, without a
// temporary object. It joined the stable ABI in 3.10, so the 3.9 baseline
// of this module may not import it; every CPython 3 exports it, so it is
// looked up in the running interpreter instead.
AsUtf8AndSizeFn AsUtf8AndSize() {
  static const AsUtf8AndSizeFn fn = reinterpret_cast<AsUtf8AndSizeFn>(
      dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
  return fn;
}

}  // namespace

bool ToTextView(PyObject* obj, TextView* out) {
  if (!PyUnicode_Check(obj)) return RaiseConversion(obj, "PyString");
  // Lone surrogates fail here with the UTF-8 encoder's UnicodeEncodeError.
  if (AsUtf8AndSizeFn fn = AsUtf8AndSize()) {
    Py_ssize_t size = 0;
    const char* data = fn(obj, &size);
    if (data == nullptr) return false;
    out->text = std::string_view(data, static_cast<size_t>(size));
    return true;
  }
  out->owner = PyRef::Steal(PyUnicode_AsUTF8String(obj));
  if (!out->owner) return false;
  out->text =
      std::string_view(PyBytes_AsString(out->owner.get()),
                       static_cast<size_t>(PyBytes_Size(out->owner.get())));
  return true;
}

bool ToText(PyObject* obj, std::string* out) {
  TextView view;
  if (!ToTextView(obj, &view)) return false;
  out->assign(view.text);
  return true;
}

bool ToUint64(PyObject* obj, uint64_t* out) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyRef index = PyRef::Steal(PyNumber_Index(obj));
    if (!index) return false;
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == ULLONG_MAX && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

// Room reserved up front for a sequence that states its length.
constexpr size_t kMaxHint = 1 << 16;

bool ToByteString(PyObject* obj, std::string* out) {
  out->clear();
  if (PyUnicode_Check(obj)) {
    return RaiseTypeError("Can't extract `str` to `Vec`");
  }
  // A value no record can describe is refused before it is copied.
  const bool is_bytes = PyBytes_Check(obj),
             is_bytearray = PyByteArray_Check(obj);
  if (is_bytes || is_bytearray) {
    const Py_ssize_t size =
        is_bytes ? PyBytes_Size(obj) : PyByteArray_Size(obj);
    if (store::Status refused =
            store::Db::CheckValueLength(static_cast<size_t>(size));
        !refused.ok()) {
      RaiseFailure(refused.failure());
      return false;
    }
  }
  if (is_bytes) {
    AppendBytes(obj, out);
    return true;
  }
  if (is_bytearray) {
    out->assign(PyByteArray_AsString(obj),
                static_cast<size_t>(PyByteArray_Size(obj)));
    return true;
  }
  if (!PySequence_Check(obj)) return RaiseConversion(obj, "Sequence");
  if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
    bool failed = false;
    if (TryCopyByteBuffer(obj, out, &failed)) return !failed;
  }

  // The length is only a hint: a sequence may claim any length.
  out->reserve(std::min<size_t>(static_cast<size_t>(SizeHint(obj)), kMaxHint));
  PyRef iter = PyRef::Steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::Steal(PyIter_Next(iter.get()))) {
    char byte;
    if (!ToByte(item.get(), &byte)) return false;
    out->push_back(byte);
  }
  return !PyErr_Occurred();
}

bool ToTextList(PyObject* obj, TextList* out) {
  *out = TextList();
  if (PyUnicode_Check(obj)) {
    return RaiseTypeError("Can't extract `str` to `Vec`");
  }
  if (!PySequence_Check(obj)) return RaiseConversion(obj, "Sequence");
  const size_t hint =
      std::min<size_t>(static_cast<size_t>(SizeHint(obj)), kMaxHint);
  out->items.reserve(hint);
  out->texts.reserve(hint);
  PyRef iter = PyRef::Steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::Steal(PyIter_Next(iter.get()))) {
    TextView view;
    if (!ToTextView(item.get(), &view)) return false;
    out->texts.push_back(view.text);
    if (view.owner) out->owners.push_back(std::move(view.owner));
    out->items.push_back(std::move(item));
  }
  return !PyErr_Occurred();
}

}  // namespace marrow::module
