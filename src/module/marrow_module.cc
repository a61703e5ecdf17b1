// The _marrow extension module: the Marrow type and its method table.
//
// Each method binds and converts its arguments, borrows the object, runs one
// engine operation (the Db takes the store's locks) and converts the result.
// The interpreter lock is held throughout and never released, so at most one
// call is inside the engine at a time.

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "module/convert.h"
#include "module/errors.h"
#include "module/marrow_object.h"
#include "module/py_ref.h"
#include "store/db.h"
#include "store/error.h"

namespace marrow::module {
namespace {

using store::Db;

constexpr uint64_t kDefaultCacheSize = 10000;
constexpr uint64_t kExclusiveBorrow = ~uint64_t{0};

// The C++ state of a Marrow object, constructed in place after tp_alloc.
struct MarrowState {
  std::string storage_path;
  std::shared_ptr<Db> db;  // shared with the package's StoreCore, if any
  // Method calls currently using the object; all borrows are shared.
  std::atomic<uint64_t> borrows{0};
};

struct MarrowObject {
  PyObject_HEAD MarrowState state;
};

PyObject* g_marrow_type = nullptr;  // strong reference, lives for the process
PyObject* g_module = nullptr;       // the one module this process created

PyObject* AllocMarrow(PyTypeObject* type, std::string path,
                      std::shared_ptr<Db> db) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError,
                      "attempted to fetch exception but none was set");
    }
    return nullptr;  // `db` closes the just-opened store
  }
  auto* obj = reinterpret_cast<MarrowObject*>(self);
  new (&obj->state) MarrowState();
  obj->state.storage_path = std::move(path);
  obj->state.db = std::move(db);
  return self;
}

// A shared borrow of a Marrow object for the length of one call.
class Borrow {
 public:
  explicit Borrow(MarrowState* state) : state_(state) {}
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (held_) state_->borrows.fetch_sub(1, std::memory_order_release);
  }

  bool Acquire() {
    uint64_t current = state_->borrows.load(std::memory_order_relaxed);
    do {
      if (current == kExclusiveBorrow || current + 1 == kExclusiveBorrow) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
      }
    } while (!state_->borrows.compare_exchange_weak(current, current + 1,
                                                    std::memory_order_acquire,
                                                    std::memory_order_relaxed));
    held_ = true;
    return true;
  }

  Db& db() { return *state_->db; }

 private:
  MarrowState* state_;
  bool held_ = false;
};

// The receiver as a Marrow object, or nullptr with TypeError set.
MarrowState* Receiver(PyObject* self) {
  if (self == nullptr || g_marrow_type == nullptr ||
      !PyObject_TypeCheck(self,
                          reinterpret_cast<PyTypeObject*>(g_marrow_type))) {
    return RaiseConversionError(self == nullptr ? Py_None : self, "Marrow");
  }
  return &reinterpret_cast<MarrowObject*>(self)->state;
}

// Runs an entry point; C++ exceptions must not cross into the interpreter.
template <typename Fn>
PyObject* Guard(Fn&& fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return RaisePanic(e.what());
  }
}

PyObject* NoneOr(const store::Status& status) {
  if (!status.ok()) return RaiseFailure(status.failure());
  Py_RETURN_NONE;
}

// ---- Constructor and destructor ----

constexpr std::array<const char*, 2> kNewParams = {"storage_path",
                                                   "cache_size"};
constexpr Signature kNewSig = {"Marrow.__new__()", kNewParams, 1};

PyObject* MarrowNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 2> bound;
    if (!BindArguments(kNewSig, args, kwargs, bound)) return nullptr;
    std::string path;
    uint64_t cache_size = kDefaultCacheSize;
    if (!ConvertArgument("storage_path", ToText, bound[0], &path)) {
      return nullptr;
    }
    if (bound[1] != nullptr &&
        !ConvertArgument("cache_size", ToUint64, bound[1], &cache_size)) {
      return nullptr;
    }

    store::Result<std::unique_ptr<Db>> opened = Db::Open(path, cache_size);
    if (!opened.ok()) return RaiseFailure(opened.failure());
    return AllocMarrow(type, std::move(path), std::move(opened.value()));
  });
}

void MarrowDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  MarrowState& state = reinterpret_cast<MarrowObject*>(self)->state;
  // Store first, then the path, then the log (the Db closes its store
  // before writing out the log buffer).
  state.db.reset();
  state.~MarrowState();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_slot != nullptr) {
    free_slot(self);
  } else if (PyObject* panic = PanicExceptionType()) {
    PyErr_SetString(panic, "PyBaseObject_Type should have tp_free");
    PyErr_WriteUnraisable(self);
  } else {
    PyErr_WriteUnraisable(self);
  }
  Py_DECREF(type);
}

// ---- Methods with arguments ----

constexpr std::array<const char*, 2> kKeyValParams = {"key", "val"};
constexpr std::array<const char*, 1> kKeyParams = {"key"};
constexpr std::array<const char*, 1> kKeysParams = {"keys"};
constexpr Signature kSetBytesSig = {"Marrow.set_bytes()", kKeyValParams, 2};
constexpr Signature kGetBytesSig = {"Marrow.get_bytes()", kKeyParams, 1};
constexpr Signature kDeleteSig = {"Marrow.delete()", kKeyParams, 1};
constexpr Signature kGetManySig = {"Marrow.get_many()", kKeysParams, 1};

PyObject* SetBytes(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 2> bound;
    if (!BindArguments(kSetBytesSig, args, kwargs, bound)) return nullptr;
    MarrowState* state = Receiver(self);
    if (state == nullptr) return nullptr;
    TextView key;  // the str lends its UTF-8 bytes for the call
    std::string val;
    if (!ConvertArgument("key", ToTextView, bound[0], &key) ||
        !ConvertArgument("val", ToByteString, bound[1], &val)) {
      return nullptr;
    }
    Borrow borrow(state);
    if (!borrow.Acquire()) return nullptr;
    WriterHold writer(borrow.db());
    if (!writer.ok()) return nullptr;
    return NoneOr(borrow.db().SetBytes(key.text, std::move(val),
                                       Db::WriterHeld::kByCaller));
  });
}

PyObject* GetBytes(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 1> bound;
    if (!BindArguments(kGetBytesSig, args, kwargs, bound)) return nullptr;
    MarrowState* state = Receiver(self);
    if (state == nullptr) return nullptr;
    TextView key;
    if (!ConvertArgument("key", ToTextView, bound[0], &key)) return nullptr;
    Borrow borrow(state);
    if (!borrow.Acquire()) return nullptr;

    // The bytes object is built under the store lock, from the engine's
    // bytes.
    PyRef value;
    bool api_failed = false;
    store::Result<bool> found =
        borrow.db().GetBytes(key.text, [&](std::string_view bytes) {
          value = PyRef::Steal(PyBytes_FromStringAndSize(
              bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
          api_failed = !value;
        });
    if (!found.ok()) return RaiseFailure(found.failure());
    if (api_failed) return RaiseApiFailure();
    if (!found.value()) Py_RETURN_NONE;
    return value.release();
  });
}

PyObject* Delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 1> bound;
    if (!BindArguments(kDeleteSig, args, kwargs, bound)) return nullptr;
    MarrowState* state = Receiver(self);
    if (state == nullptr) return nullptr;
    TextView key;
    if (!ConvertArgument("key", ToTextView, bound[0], &key)) return nullptr;
    Borrow borrow(state);
    if (!borrow.Acquire()) return nullptr;
    WriterHold writer(borrow.db());
    if (!writer.ok()) return nullptr;
    store::Result<bool> present =
        borrow.db().Delete(key.text, Db::WriterHeld::kByCaller);
    if (!present.ok()) return RaiseFailure(present.failure());
    return PyBool_FromLong(present.value() ? 1 : 0);
  });
}

PyObject* GetMany(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 1> bound;
    if (!BindArguments(kGetManySig, args, kwargs, bound)) return nullptr;
    MarrowState* state = Receiver(self);
    if (state == nullptr) return nullptr;
    TextList keys;
    if (!ConvertArgument("keys", ToTextList, bound[0], &keys)) return nullptr;
    Borrow borrow(state);
    if (!borrow.Acquire()) return nullptr;

    // Values become bytes objects under the store lock; the list of pairs is
    // built after the lock is released.
    const size_t count = keys.texts.size();
    std::vector<PyRef> values(count);
    bool api_failed = false;
    store::Status status = borrow.db().GetMany(
        keys.texts, [&](size_t i, const std::string_view* bytes) {
          if (bytes == nullptr || api_failed) return;
          values[i] = PyRef::Steal(PyBytes_FromStringAndSize(
              bytes->data(), static_cast<Py_ssize_t>(bytes->size())));
          api_failed = !values[i];
        });
    if (!status.ok()) return RaiseFailure(status.failure());
    if (api_failed) return RaiseApiFailure();

    return KeyValuePairs(keys, values);
  });
}

// ---- Methods without arguments ----

// Receiver check and borrow for a METH_NOARGS method, then `fn(db)`.
template <typename Fn>
PyObject* WithDb(PyObject* self, Fn&& fn) {
  return Guard([&]() -> PyObject* {
    MarrowState* state = Receiver(self);
    if (state == nullptr) return nullptr;
    Borrow borrow(state);
    if (!borrow.Acquire()) return nullptr;
    return fn(borrow.db());
  });
}

PyObject* Persist(PyObject* self, PyObject*) {
  return WithDb(self, [](Db& db) -> PyObject* {
    WriterHold writer(db);
    return writer.ok() ? NoneOr(db.Persist(Db::WriterHeld::kByCaller))
                       : nullptr;
  });
}

PyObject* Vacuum(PyObject* self, PyObject*) {
  return WithDb(self, [](Db& db) -> PyObject* {
    WriterHold writer(db);
    return writer.ok() ? NoneOr(db.Vacuum(Db::WriterHeld::kByCaller))
                       : nullptr;
  });
}

PyObject* Len(PyObject* self, PyObject*) {
  return WithDb(self, [](Db& db) -> PyObject* {
    store::Result<uint64_t> len = db.Len();
    if (!len.ok()) return RaiseFailure(len.failure());
    PyObject* result = PyLong_FromUnsignedLongLong(len.value());
    return result != nullptr ? result : RaiseApiFailure();
  });
}

PyObject* Keys(PyObject* self, PyObject*) {
  return WithDb(self, [](Db& db) -> PyObject* {
    PyRef list = PyRef::Steal(PyList_New(0));
    if (!list) return RaiseApiFailure();
    bool api_failed = false;
    store::Status status = db.ForEachKey([&](std::string_view text) {
      if (api_failed) return;
      PyRef item = PyRef::Steal(TextToPy(text));
      api_failed = !item || PyList_Append(list.get(), item.get()) != 0;
    });
    if (!status.ok()) return RaiseFailure(status.failure());
    if (api_failed) return RaiseApiFailure();
    return list.release();
  });
}

PyObject* CacheStats(PyObject* self, PyObject*) {
  return WithDb(self, [](Db& db) -> PyObject* {
    store::CacheStats stats = db.GetCacheStats();
    PyObject* result =
        Py_BuildValue("(KK)", static_cast<unsigned long long>(stats.entries),
                      static_cast<unsigned long long>(stats.capacity));
    return result != nullptr ? result : RaiseApiFailure();
  });
}

PyObject* ClearCache(PyObject* self, PyObject*) {
  return WithDb(self, [](Db& db) -> PyObject* {
    db.ClearCache();
    Py_RETURN_NONE;
  });
}

// ---- Type and module ----

template <typename Fn>
PyCFunction AsCFunction(Fn fn) {
  // The interpreter calls through the signature the flags announce.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kArgsAndKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"set_bytes", AsCFunction(SetBytes), kArgsAndKeywords,
     "set_bytes($self, key, val)\n--\n\n"},
    {"get_bytes", AsCFunction(GetBytes), kArgsAndKeywords,
     "get_bytes($self, key)\n--\n\n"},
    {"delete", AsCFunction(Delete), kArgsAndKeywords,
     "delete($self, key)\n--\n\n"},
    {"persist", Persist, METH_NOARGS, "persist($self)\n--\n\n"},
    {"vacuum", Vacuum, METH_NOARGS, "vacuum($self)\n--\n\n"},
    {"len", Len, METH_NOARGS, "len($self)\n--\n\n"},
    {"keys", Keys, METH_NOARGS, "keys($self)\n--\n\n"},
    {"cache_stats", CacheStats, METH_NOARGS, "cache_stats($self)\n--\n\n"},
    {"clear_cache", ClearCache, METH_NOARGS, "clear_cache($self)\n--\n\n"},
    {"get_many", AsCFunction(GetMany), kArgsAndKeywords,
     "get_many($self, keys)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_marrow_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(MarrowNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(MarrowDealloc)},
    {Py_tp_doc,
     const_cast<char*>("Marrow(storage_path, cache_size=...)\n--\n\n")},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_marrow_spec = {
    "builtins.Marrow",
    static_cast<int>(sizeof(MarrowObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_marrow_slots,
};

}  // namespace

PyObject* MarrowType() {
  if (g_marrow_type == nullptr) g_marrow_type = PyType_FromSpec(&g_marrow_spec);
  return g_marrow_type;
}

PyObject* KeyValuePairs(const TextList& keys, std::vector<PyRef>& values) {
  const size_t count = keys.texts.size();
  PyRef list = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return RaiseApiFailure();
  for (size_t i = 0; i < count; ++i) {
    // An exact str is handed back as it came; a subclass becomes a str.
    PyObject* item = keys.items[i].get();
    PyRef key = PyUnicode_CheckExact(item)
                    ? PyRef::Borrow(item)
                    : PyRef::Steal(TextToPy(keys.texts[i]));
    if (!key) return RaiseApiFailure();
    PyRef value = values[i] ? std::move(values[i]) : PyRef::Borrow(Py_None);
    PyObject* pair = PyTuple_Pack(2, key.get(), value.get());
    if (pair == nullptr) return RaiseApiFailure();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals
  }
  return list.release();
}

PyObject* NewMarrow(std::string path, std::shared_ptr<Db> db) {
  PyObject* type = MarrowType();
  if (type == nullptr) return nullptr;
  return AllocMarrow(reinterpret_cast<PyTypeObject*>(type), std::move(path),
                     std::move(db));
}

namespace {

// "PyErr { type: <class 'X'>, value: X('...'), traceback: None }" for the
// pending error, which is cleared.
std::string DescribePendingError() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::Steal(type);
  PyRef owned_value = PyRef::Steal(value);
  PyRef owned_traceback = PyRef::Steal(traceback);
  auto repr = [](PyObject* obj) -> std::string {
    if (obj == nullptr) return "None";
    PyRef text = PyRef::Steal(PyObject_Repr(obj));
    std::string out;
    if (text && ToText(text.get(), &out)) return out;
    PyErr_Clear();
    return "<unprintable>";
  };
  return "PyErr { type: " + repr(type) + ", value: " + repr(value) +
         ", traceback: " + repr(traceback) + " }";
}

// Adds the type to the module and its name to __all__.
bool AddMarrow(PyObject* module, PyObject* type) {
  PyRef all = PyRef::Steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::Steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
      return false;
    }
  } else if (!PyList_Check(all.get())) {
    RaiseConversionError(all.get(), "PyList");
    return false;
  }
  PyRef name = PyRef::Steal(PyUnicode_FromString("Marrow"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) {
    RaisePanic("could not append __name__ to __all__: " +
               DescribePendingError());
    return false;
  }
  return PyObject_SetAttrString(module, "Marrow", type) == 0;
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_marrow",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* InitModule() {
  if (g_module != nullptr) {
    PyErr_SetString(
        PyExc_ImportError,
        "marrow._marrow may only be initialized once per interpreter process");
    return nullptr;
  }
  PyRef module = PyRef::Steal(PyModule_Create2(&g_module_def, 3));
  if (!module) return nullptr;
  PyObject* type = MarrowType();
  if (type == nullptr || !AddMarrow(module.get(), type)) return nullptr;
  g_module = module.get();
  Py_INCREF(g_module);  // kept for the life of the process
  return module.release();
}

}  // namespace
WriterHold::WriterHold(store::Db& db) : db_(db) {
  // Without a transaction, whoever holds the lock finishes without the
  // interpreter lock: the call may simply wait inside. A transaction is
  // counted before its thread gives the interpreter lock up, so one cannot
  // begin between this test and the call.
  if (db.read_only() || (!db.shared() && !db.transactions())) {
    held_ = true;
    return;
  }
  if (!db.TryEnterWriter()) {
    store::Status waited;
    Py_BEGIN_ALLOW_THREADS waited = db.EnterWriter();
    Py_END_ALLOW_THREADS
    if (!waited.ok()) {
      RaiseFailure(waited.failure());
      return;
    }
  }
  held_ = true;
  entered_ = true;
}

WriterHold::~WriterHold() {
  if (entered_) db_.ExitWriter();
}

}  // namespace marrow::module

PyMODINIT_FUNC PyInit__marrow(void) {
  return marrow::module::Guard(marrow::module::InitModule);
}
