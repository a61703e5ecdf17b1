// The marrow._native extension module: StoreCore, the package's own native
// type, on the same engine as Marrow.
//
// It lives in the same shared object as marrow._marrow (which exports both
// init functions; the package loads this one from that file), so a store
// opened through marrow.open() and through Marrow in one process shares one
// engine and one directory lock. A StoreCore opens its Db and hands out a
// Marrow object over the same Db as `raw`; both keep the Db open.
//
// Unlike Marrow's methods, the long ones here (sync, persist, vacuum, batch
// commits, get_many) let other threads run while they work on files: the
// arguments are converted and the results built with the interpreter lock
// held, and the engine runs without it. No Python object is touched while
// an engine lock is held, so a thread never waits for the interpreter lock
// while it holds one of them.

#include <Python.h>

#include <array>
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

namespace marrow::module {
namespace {

using store::Db;

constexpr uint64_t kDefaultCacheSize = 10000;

struct CoreState {
  std::shared_ptr<Db> db;
  PyRef raw;  // the Marrow object over `db`
};

struct CoreObject {
  PyObject_HEAD CoreState state;
};

PyObject* g_core_type = nullptr;  // strong reference, lives for the process

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

CoreState* Receiver(PyObject* self) {
  if (self == nullptr || g_core_type == nullptr ||
      !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(g_core_type))) {
    return RaiseConversionError(self == nullptr ? Py_None : self, "StoreCore");
  }
  return &reinterpret_cast<CoreObject*>(self)->state;
}

constexpr std::array<const char*, 4> kNewParams = {
    "storage_path", "cache_size", "readonly", "multiprocess"};
constexpr Signature kNewSig = {"StoreCore.__new__()", kNewParams, 1};

PyObject* CoreNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 4> bound;
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
    int readonly = 0;
    if (bound[2] != nullptr && (readonly = PyObject_IsTrue(bound[2])) < 0) {
      return nullptr;
    }
    int multiprocess = 0;
    if (bound[3] != nullptr &&
        (multiprocess = PyObject_IsTrue(bound[3])) < 0) {
      return nullptr;
    }
    store::Result<std::unique_ptr<Db>> opened =
        readonly       ? Db::OpenReader(path, cache_size)
        : multiprocess ? Db::OpenShared(path, cache_size)
                       : Db::Open(path, cache_size);
    if (!opened.ok()) return RaiseFailure(opened.failure());
    std::shared_ptr<Db> db = std::move(opened.value());
    PyRef raw = PyRef::Steal(NewMarrow(path, db));
    if (!raw) return nullptr;

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<CoreObject*>(self);
    new (&obj->state) CoreState{std::move(db), std::move(raw)};
    return self;
  });
}

void CoreDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<CoreObject*>(self)->state.~CoreState();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_slot != nullptr) free_slot(self);
  Py_DECREF(type);
}

// The interpreter lock is given up for the object's lifetime; it is taken
// back when the scope ends, however it ends.
class WithoutGil {
 public:
  WithoutGil() : saved_(PyEval_SaveThread()) {}
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  ~WithoutGil() { PyEval_RestoreThread(saved_); }

 private:
  PyThreadState* saved_;
};

PyObject* NoneOr(const store::Status& status) {
  if (!status.ok()) return RaiseFailure(status.failure());
  Py_RETURN_NONE;
}

// `items` (any iterable of pairs) converted whole, before the engine sees
// any of it: (str, bytes-like) is a put; with `deletes`, (str, None) is a
// delete.
bool ToOps(PyObject* obj, bool deletes, std::vector<store::WriteOp>* out) {
  PyRef iter = PyRef::Steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::Steal(PyIter_Next(iter.get()))) {
    PyRef pair = PyRef::Steal(PySequence_Tuple(item.get()));
    if (!pair || PyTuple_Size(pair.get()) != 2) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "each item must be a (key, value) pair, not '%s'",
                   TypeQualName(item.get()).c_str());
      return false;
    }
    store::WriteOp op;
    PyObject* value = PyTuple_GetItem(pair.get(), 1);
    op.erase = deletes && value == Py_None;
    if (!ConvertArgument("key", ToText, PyTuple_GetItem(pair.get(), 0),
                         &op.key) ||
        (!op.erase &&
         !ConvertArgument("val", ToByteString, value, &op.value))) {
      return false;
    }
    out->push_back(std::move(op));
  }
  return !PyErr_Occurred();
}

constexpr std::array<const char*, 1> kItemsParams = {"items"};
constexpr Signature kSetManySig = {"StoreCore.set_many()", kItemsParams, 1};
constexpr std::array<const char*, 2> kCommitParams = {"ops", "sync"};
constexpr Signature kCommitSig = {"StoreCore.commit()", kCommitParams, 1};
constexpr std::array<const char*, 1> kKeysParams = {"keys"};
constexpr Signature kGetManySig = {"StoreCore.get_many()", kKeysParams, 1};

// A batch of `ops`, then a sync when asked.
store::Status Commit(Db& db, std::vector<store::WriteOp> ops, bool sync) {
  WithoutGil unlocked;
  store::Status status = db.Commit(std::move(ops));
  if (status.ok() && sync) status = db.Sync();
  return status;
}

PyObject* SetMany(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 1> bound;
    if (!BindArguments(kSetManySig, args, kwargs, bound)) return nullptr;
    CoreState* state = Receiver(self);
    if (state == nullptr) return nullptr;
    std::vector<store::WriteOp> ops;
    if (!ToOps(bound[0], false, &ops)) return nullptr;
    return NoneOr(Commit(*state->db, std::move(ops), false));
  });
}

PyObject* CommitOps(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 2> bound;
    if (!BindArguments(kCommitSig, args, kwargs, bound)) return nullptr;
    CoreState* state = Receiver(self);
    if (state == nullptr) return nullptr;
    int sync = 0;
    if (bound[1] != nullptr && (sync = PyObject_IsTrue(bound[1])) < 0) {
      return nullptr;
    }
    std::vector<store::WriteOp> ops;
    if (!ToOps(bound[0], true, &ops)) return nullptr;
    return NoneOr(Commit(*state->db, std::move(ops), sync != 0));
  });
}

PyObject* GetMany(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 1> bound;
    if (!BindArguments(kGetManySig, args, kwargs, bound)) return nullptr;
    CoreState* state = Receiver(self);
    if (state == nullptr) return nullptr;
    TextList keys;  // holds the key objects while the lock is given up
    if (!ConvertArgument("keys", ToTextList, bound[0], &keys)) return nullptr;
    // The values are gathered into one buffer without the interpreter lock,
    // then become bytes objects with it.
    const size_t count = keys.texts.size();
    std::string gathered;
    std::vector<std::pair<size_t, size_t>> at(count, {SIZE_MAX, 0});
    store::Status status;
    {
      WithoutGil unlocked;
      status = state->db->GetMany(keys.texts,
                                  [&](size_t i, const std::string_view* value) {
                                    if (value == nullptr) return;
                                    at[i] = {gathered.size(), value->size()};
                                    gathered.append(*value);
                                  });
    }
    if (!status.ok()) return RaiseFailure(status.failure());
    std::vector<PyRef> values(count);
    for (size_t i = 0; i < count; ++i) {
      if (at[i].first == SIZE_MAX) continue;
      values[i] = PyRef::Steal(
          PyBytes_FromStringAndSize(gathered.data() + at[i].first,
                                    static_cast<Py_ssize_t>(at[i].second)));
      if (!values[i]) return RaiseApiFailure();
    }
    return KeyValuePairs(keys, values);
  });
}

// A METH_NOARGS method that runs `fn(db)` without the interpreter lock.
template <store::Status (Db::*kFn)()>
PyObject* Unlocked(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    CoreState* state = Receiver(self);
    if (state == nullptr) return nullptr;
    store::Status status;
    {
      WithoutGil unlocked;
      status = ((*state->db).*kFn)();
    }
    return NoneOr(status);
  });
}

// The writer lock for a transaction: waited for without the interpreter
// lock, released by the same thread.
PyObject* LockWriter(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    CoreState* state = Receiver(self);
    if (state == nullptr) return nullptr;
    if (state->db->read_only()) {
      return RaiseFailure(store::Failure::ReadOnly(
          "not writable: a transaction on a store opened read-only"));
    }
    // Counted while this thread still holds the interpreter lock
    // (WriterHold relies on it).
    state->db->CountTransaction(1);
    store::Status status;
    {
      WithoutGil unlocked;
      status = state->db->EnterWriter();
    }
    if (!status.ok()) state->db->CountTransaction(-1);
    return NoneOr(status);
  });
}

PyObject* UnlockWriter(PyObject* self, PyObject*) {
  CoreState* state = Receiver(self);
  if (state == nullptr) return nullptr;
  if (state->db->writer_held()) {
    state->db->ExitWriter();
    state->db->CountTransaction(-1);
  }
  Py_RETURN_NONE;
}

PyObject* GetMultiprocess(PyObject* self, void*) {
  CoreState* state = Receiver(self);
  if (state == nullptr) return nullptr;
  return PyBool_FromLong(state->db->shared() ? 1 : 0);
}

PyObject* GetRaw(PyObject* self, void*) {
  CoreState* state = Receiver(self);
  if (state == nullptr) return nullptr;
  return PyRef::Borrow(state->raw.get()).release();
}

PyObject* GetReadonly(PyObject* self, void*) {
  CoreState* state = Receiver(self);
  if (state == nullptr) return nullptr;
  return PyBool_FromLong(state->db->read_only() ? 1 : 0);
}

template <typename Fn>
PyCFunction AsCFunction(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef g_methods[] = {
    {"set_many", AsCFunction(SetMany), METH_VARARGS | METH_KEYWORDS,
     "set_many($self, items)\n--\n\n"
     "Stores every (key, value) pair of `items` in order as one batch (see\n"
     "commit())."},
    {"commit", AsCFunction(CommitOps), METH_VARARGS | METH_KEYWORDS,
     "commit($self, ops, sync=False)\n--\n\n"
     "Applies every (key, value) pair of `ops` in order as one batch: a\n"
     "value stores it, None deletes the key. The batch is one frame in the\n"
     "log, so a crash keeps all of it or none; the record files end up as\n"
     "the single calls would leave them. Every pair is checked first; on\n"
     "failure none of them is stored. With `sync`, the batch survives a\n"
     "power loss when the call returns."},
    {"get_many", AsCFunction(GetMany), METH_VARARGS | METH_KEYWORDS,
     "get_many($self, keys)\n--\n\n"
     "[(key, value or None)] for every key of `keys`, in order, as\n"
     "Marrow.get_many() gives them."},
    {"sync", Unlocked<&Db::Sync>, METH_NOARGS,
     "sync($self)\n--\n\n"
     "Every change made before the call survives a power loss when it\n"
     "returns. Costs what changed since the last sync; threads that sync at\n"
     "once share the wait on the disk. Nothing to do on a read-only store."},
    {"persist", Unlocked<&Db::Persist>, METH_NOARGS,
     "persist($self)\n--\n\nMarrow.persist(), letting other threads run."},
    {"vacuum", Unlocked<&Db::Vacuum>, METH_NOARGS,
     "vacuum($self)\n--\n\nMarrow.vacuum(), letting other threads run."},
    {"refresh", Unlocked<&Db::Refresh>, METH_NOARGS,
     "refresh($self)\n--\n\n"
     "A read-only store catches up with its writer; one opened with\n"
     "multiprocess=True with the other processes; otherwise nothing."},
    {"lock_writer", LockWriter, METH_NOARGS,
     "lock_writer($self)\n--\n\n"
     "Waits until no other thread or process can change the store, and\n"
     "keeps it so until unlock_writer() from the same thread; changes of\n"
     "this thread go through meanwhile. Calls nest."},
    {"unlock_writer", UnlockWriter, METH_NOARGS,
     "unlock_writer($self)\n--\n\nEnds one lock_writer()."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"raw", GetRaw, nullptr, "The Marrow object over the same open store.",
     nullptr},
    {"readonly", GetReadonly, nullptr, "True when opened read-only.", nullptr},
    {"multiprocess", GetMultiprocess, nullptr,
     "True when opened with multiprocess=True.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_core_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(CoreNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(CoreDealloc)},
    {Py_tp_doc,
     const_cast<char*>(
         "StoreCore(storage_path, cache_size=10000, readonly=False,\n"
         "          multiprocess=False)\n--\n\n"
         "An open store for the package: Marrow's engine plus batch writes,\n"
         "read-only opening and writers in several processes.")},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_core_spec = {
    "marrow._native.StoreCore",
    static_cast<int>(sizeof(CoreObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_core_slots,
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "marrow._native",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* InitModule() {
  if (MarrowType() == nullptr) return nullptr;
  PyRef module = PyRef::Steal(PyModule_Create2(&g_module_def, 3));
  if (!module) return nullptr;
  if (g_core_type == nullptr) g_core_type = PyType_FromSpec(&g_core_spec);
  if (g_core_type == nullptr) return nullptr;
  Py_INCREF(g_core_type);
  if (PyModule_AddObject(module.get(), "StoreCore", g_core_type) < 0) {
    Py_DECREF(g_core_type);
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace marrow::module

PyMODINIT_FUNC PyInit__native(void) {
  return marrow::module::Guard(marrow::module::InitModule);
}
