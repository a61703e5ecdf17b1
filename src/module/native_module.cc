// The marrow._native extension module: StoreCore, the package's own native
// type, on the same engine as Marrow.
//
// It lives in the same shared object as marrow._marrow (which exports both
// init functions; the package loads this one from that file), so a store
// opened through marrow.open() and through Marrow in one process shares one
// engine and one directory lock. A StoreCore opens its Db and hands out a
// Marrow object over the same Db as `raw`; both keep the Db open.
//
// StoreCore is also the mapping under marrow.Store, which subclasses it: the
// mapping's hot methods (subscript, assignment, deletion, `in`, len, get)
// are slots and methods here, so a call costs what the raw class's does.
// close() drops the Db; every use after it raises ValueError.
//
// Unlike Marrow's methods, the long ones here (sync, persist, vacuum, batch
// commits, get_many) let other threads run while they work on files: the
// arguments are converted and the results built with the interpreter lock
// held, and the engine runs without it. No Python object is touched while
// an engine lock is held (a batch's engine reads the bytes of the str and
// bytes objects it was given, which stay referenced and never change, and
// calls nothing of Python's), so a thread never waits for the interpreter
// lock while it holds one of them.

#include <Python.h>

#include <algorithm>
#include <array>
#include <deque>
#include <memory>
#include <new>
#include <span>
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
// The package's value cache also holds at most this many bytes of values:
// 64 MiB is little on any laptop, and holds the default 10,000 entries in
// full for values up to 6.5 KiB. It admits values up to 64 KiB (a 1,024th);
// a larger one costs its copy whether it comes from the cache or from the
// record files' mapping, and caching it would cost a copy more.
constexpr uint64_t kDefaultCacheBytes = uint64_t{64} << 20;

struct CoreState {
  std::shared_ptr<Db> db;  // null once closed
  PyRef raw;               // the Marrow object over `db`
  PyRef path;              // the str the store was opened with
  bool sync = false;       // sync after every change and batch
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

CoreState* StateOf(PyObject* self) {
  return &reinterpret_cast<CoreObject*>(self)->state;
}

// The open Db, or nullptr with ValueError set once the store is closed. The
// pointer is good while the interpreter lock is held; a method that gives
// the lock up keeps a copy of the shared pointer instead.
Db* Live(CoreState* state) {
  if (state->db) return state->db.get();
  PyErr_Format(PyExc_ValueError, "operation on a closed marrow store: %U",
               state->path.get());
  return nullptr;
}

// The same as a shared pointer, for a method that gives the lock up: a
// close() meanwhile does not destroy the Db under it.
std::shared_ptr<Db> LiveShared(PyObject* self) {
  CoreState* state = Receiver(self);
  if (state == nullptr || Live(state) == nullptr) return nullptr;
  return state->db;
}

constexpr std::array<const char*, 6> kNewParams = {
    "storage_path", "cache_size", "readonly", "sync", "cache_bytes",
    "multiprocess"};
constexpr Signature kNewSig = {"StoreCore.__new__()", kNewParams, 1};

PyObject* CoreNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 6> bound;
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
    int sync = 0;
    if (bound[3] != nullptr && (sync = PyObject_IsTrue(bound[3])) < 0) {
      return nullptr;
    }
    uint64_t cache_bytes = kDefaultCacheBytes;
    if (bound[4] != nullptr &&
        !ConvertArgument("cache_bytes", ToUint64, bound[4], &cache_bytes)) {
      return nullptr;
    }
    int multiprocess = 0;
    if (bound[5] != nullptr &&
        (multiprocess = PyObject_IsTrue(bound[5])) < 0) {
      return nullptr;
    }
    store::FileSystem& fs = store::PosixFileSystem();
    store::Result<std::unique_ptr<Db>> opened =
        readonly ? Db::OpenReader(path, cache_size, fs, cache_bytes)
        : multiprocess ? Db::OpenShared(path, cache_size, fs, cache_bytes)
                       : Db::Open(path, cache_size, fs, cache_bytes);
    if (!opened.ok()) return RaiseFailure(opened.failure());
    std::shared_ptr<Db> db = std::move(opened.value());
    db->PlaceLargeValues();
    PyRef raw = PyRef::Steal(NewMarrow(path, db));
    if (!raw) return nullptr;

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<CoreObject*>(self);
    new (&obj->state) CoreState{std::move(db), std::move(raw),
                                PyRef::Borrow(bound[0]), sync != 0};
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

// A batch's changes as views of the Python objects that hold their bytes.
// The pairs stay referenced, and neither a str's UTF-8 form nor a bytes
// object ever changes, so the views stay valid while the interpreter lock
// is given up; other bytes-like values, which may change meanwhile, are
// copied. Destroy with the interpreter lock held.
struct Ops {
  std::vector<store::WriteView> views;
  std::vector<PyRef> held;         // the pairs, and UTF-8 copies of keys
  std::deque<std::string> copies;  // stable addresses for the views
};

// How much of a value the conversion starts loading.
constexpr size_t kPrefetchedBytes = 1024;

// A value's bytes, as ToByteString takes them.
bool ToValueView(PyObject* obj, Ops* ops, std::string_view* out) {
  if (!PyBytes_Check(obj)) {
    std::string& copy = ops->copies.emplace_back();
    if (!ToByteString(obj, &copy)) return false;
    *out = copy;
    return true;
  }
  const Py_ssize_t size = PyBytes_Size(obj);
  if (store::Status refused =
          Db::CheckValueLength(static_cast<size_t>(size));
      !refused.ok()) {
    RaiseFailure(refused.failure());
    return false;
  }
  *out = std::string_view(PyBytes_AsString(obj), static_cast<size_t>(size));
  // The log's frame copies the bytes once the whole batch is converted;
  // started now, their loads overlap (values of a batch in random order lie
  // all over the heap). The object's first line came with the size.
  const char* start = reinterpret_cast<const char*>(obj);
  const char* end = out->data() + std::min(out->size(), kPrefetchedBytes);
  for (const char* line = start + 64; line < end; line += 64) {
    __builtin_prefetch(line);
  }
  if (end > start + 64) __builtin_prefetch(end - 1);
  return true;
}

// `items` (any iterable of pairs) converted whole, before the engine sees
// any of it: (str, bytes-like) is a put; with `deletes`, (str, None) is a
// delete.
bool ToOps(PyObject* obj, bool deletes, Ops* out) {
  PyRef iter = PyRef::Steal(PyObject_GetIter(obj));
  if (!iter) return false;
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    const auto hint = static_cast<size_t>(PySequence_Size(obj));
    out->views.reserve(hint);
    out->held.reserve(hint);
  }
  // A list's pairs are prefetched a few pairs ahead, and their keys and
  // values when the pairs have come: a batch in random key order finds
  // them scattered over the heap.
  constexpr Py_ssize_t kAhead = 16;
  const bool list = PyList_Check(obj);
  Py_ssize_t index = 0;
  while (PyRef item = PyRef::Steal(PyIter_Next(iter.get()))) {
    if (list && index + 2 * kAhead < PyList_Size(obj)) {
      __builtin_prefetch(PyList_GetItem(obj, index + 2 * kAhead));
    }
    if (list && index + kAhead < PyList_Size(obj)) {
      PyObject* ahead = PyList_GetItem(obj, index + kAhead);
      if (PyTuple_Check(ahead) && PyTuple_Size(ahead) == 2) {
        // A str's text follows its header, mostly in the next line.
        const char* key =
            reinterpret_cast<const char*>(PyTuple_GetItem(ahead, 0));
        __builtin_prefetch(key);
        __builtin_prefetch(key + 64);
        __builtin_prefetch(PyTuple_GetItem(ahead, 1));
      }
    }
    ++index;
    PyRef pair = PyRef::Steal(PySequence_Tuple(item.get()));
    if (!pair || PyTuple_Size(pair.get()) != 2) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "each item must be a (key, value) pair, not '%s'",
                   TypeQualName(item.get()).c_str());
      return false;
    }
    store::WriteView& op = out->views.emplace_back();
    PyObject* value = PyTuple_GetItem(pair.get(), 1);
    op.erase = deletes && value == Py_None;
    TextView key;
    if (!ConvertArgument("key", ToTextView, PyTuple_GetItem(pair.get(), 0),
                         &key)) {
      return false;
    }
    op.key = key.text;
    if (key.owner) out->held.push_back(std::move(key.owner));
    out->held.push_back(std::move(pair));
    if (!op.erase && !ToValueView(value, out, &op.value)) {
      PrefixArgumentError("val");
      return false;
    }
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
store::Status Commit(Db& db, const Ops& ops, bool sync) {
  WithoutGil unlocked;
  store::Status status = db.Commit(std::span(ops.views));
  if (status.ok() && sync) status = db.Sync();
  return status;
}

PyObject* SetMany(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 1> bound;
    if (!BindArguments(kSetManySig, args, kwargs, bound)) return nullptr;
    std::shared_ptr<Db> db = LiveShared(self);
    if (!db) return nullptr;
    Ops ops;
    if (!ToOps(bound[0], false, &ops)) return nullptr;
    return NoneOr(Commit(*db, ops, false));
  });
}

PyObject* CommitOps(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 2> bound;
    if (!BindArguments(kCommitSig, args, kwargs, bound)) return nullptr;
    std::shared_ptr<Db> db = LiveShared(self);
    if (!db) return nullptr;
    int sync = 0;
    if (bound[1] != nullptr && (sync = PyObject_IsTrue(bound[1])) < 0) {
      return nullptr;
    }
    Ops ops;
    if (!ToOps(bound[0], true, &ops)) return nullptr;
    return NoneOr(Commit(*db, ops, sync != 0));
  });
}

PyObject* GetMany(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 1> bound;
    if (!BindArguments(kGetManySig, args, kwargs, bound)) return nullptr;
    std::shared_ptr<Db> db = LiveShared(self);
    if (!db) return nullptr;
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
      status = db->GetMany(keys.texts,
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
template <store::Status (*kFn)(Db&)>
PyObject* Unlocked(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    std::shared_ptr<Db> db = LiveShared(self);
    if (!db) return nullptr;
    store::Status status;
    {
      WithoutGil unlocked;
      status = kFn(*db);
    }
    return NoneOr(status);
  });
}

store::Status SyncDb(Db& db) { return db.Sync(); }
store::Status PersistDb(Db& db) { return db.Persist(); }
store::Status VacuumDb(Db& db) { return db.Vacuum(); }
store::Status RefreshDb(Db& db) { return db.Refresh(); }

// The writer lock for a transaction: waited for without the interpreter
// lock, released by the same thread.
PyObject* LockWriter(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    std::shared_ptr<Db> db = LiveShared(self);
    if (db == nullptr) return nullptr;
    if (db->read_only()) {
      return RaiseFailure(store::Failure::ReadOnly(
          "not writable: a transaction on a store opened read-only"));
    }
    // Counted while this thread still holds the interpreter lock
    // (WriterHold relies on it).
    db->CountTransaction(1);
    store::Status status;
    {
      WithoutGil unlocked;
      status = db->EnterWriter();
    }
    if (!status.ok()) db->CountTransaction(-1);
    return NoneOr(status);
  });
}

// After close() there is nothing left to release (close released it).
PyObject* UnlockWriter(PyObject* self, PyObject*) {
  CoreState* state = Receiver(self);
  if (state == nullptr) return nullptr;
  Db* db = state->db.get();
  if (db != nullptr && db->writer_held()) {
    db->ExitWriter();
    db->CountTransaction(-1);
  }
  Py_RETURN_NONE;
}

PyObject* GetMultiprocess(PyObject* self, void*) {
  CoreState* state = Receiver(self);
  if (state == nullptr || Live(state) == nullptr) return nullptr;
  return PyBool_FromLong(state->db->shared() ? 1 : 0);
}

PyObject* GetRaw(PyObject* self, void*) {
  CoreState* state = Receiver(self);
  if (state == nullptr || Live(state) == nullptr) return nullptr;
  return PyRef::Borrow(state->raw.get()).release();
}

PyObject* GetReadonly(PyObject* self, void*) {
  CoreState* state = Receiver(self);
  if (state == nullptr) return nullptr;
  Db* db = Live(state);
  if (db == nullptr) return nullptr;
  return PyBool_FromLong(db->read_only() ? 1 : 0);
}

PyObject* GetPath(PyObject* self, void*) {
  CoreState* state = Receiver(self);
  if (state == nullptr) return nullptr;
  return PyRef::Borrow(state->path.get()).release();
}

PyObject* GetClosed(PyObject* self, void*) {
  CoreState* state = Receiver(self);
  if (state == nullptr) return nullptr;
  return PyBool_FromLong(state->db ? 0 : 1);
}

PyObject* GetSyncWrites(PyObject* self, void*) {
  CoreState* state = Receiver(self);
  if (state == nullptr) return nullptr;
  return PyBool_FromLong(state->sync ? 1 : 0);
}

PyObject* Close(PyObject* self, PyObject*) {
  CoreState* state = Receiver(self);
  if (state == nullptr) return nullptr;
  // The Db goes with its last owner (a `raw` kept elsewhere keeps it), which
  // writes out the log and closes the files and the directory lock.
  PyRef raw = std::move(state->raw);
  std::shared_ptr<Db> db = std::move(state->db);
  // Closed inside a transaction of this thread: the transaction ends.
  while (db != nullptr && db->writer_held()) {
    db->ExitWriter();
    db->CountTransaction(-1);
  }
  raw = PyRef();
  db.reset();
  Py_RETURN_NONE;
}

// ---- The mapping's hot methods ----
//
// They keep the interpreter lock, as Marrow's methods do, and convert keys
// and values with the same messages as set_bytes, get_bytes and delete.

// A key's text, or nullptr with the error set (closed store first).
Db* LiveKey(PyObject* self, PyObject* key, TextView* text) {
  Db* db = Live(StateOf(self));
  if (db == nullptr || !ConvertArgument("key", ToTextView, key, text)) {
    return nullptr;
  }
  return db;
}

// The value of `key` as a new bytes object, nullptr with no error set when
// it is absent, or nullptr with the error set.
PyObject* Lookup(Db* db, const TextView& key) {
  PyRef value;
  bool api_failed = false;
  store::Result<bool> found =
      db->GetBytes(key.text, [&](std::string_view bytes) {
        value = PyRef::Steal(PyBytes_FromStringAndSize(
            bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
        api_failed = !value;
      });
  if (!found.ok()) return RaiseFailure(found.failure());
  if (api_failed) return RaiseApiFailure();
  return value.release();
}

PyObject* Subscript(PyObject* self, PyObject* key) {
  return Guard([&]() -> PyObject* {
    TextView text;
    Db* db = LiveKey(self, key, &text);
    if (db == nullptr) return nullptr;
    PyObject* value = Lookup(db, text);
    if (value == nullptr && !PyErr_Occurred()) {
      PyErr_SetObject(PyExc_KeyError, key);
    }
    return value;
  });
}

constexpr std::array<const char*, 2> kGetParams = {"key", "default"};
constexpr Signature kGetSig = {"Store.get()", kGetParams, 1};

PyObject* Get(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Guard([&]() -> PyObject* {
    std::array<PyObject*, 2> bound = {nullptr, nullptr};
    // The common call, get(key), skips the general binding.
    if (kwargs != nullptr || PyTuple_Size(args) != 1) {
      if (!BindArguments(kGetSig, args, kwargs, bound)) return nullptr;
    } else {
      bound[0] = PyTuple_GetItem(args, 0);
    }
    TextView text;
    Db* db = LiveKey(self, bound[0], &text);
    if (db == nullptr) return nullptr;
    PyObject* value = Lookup(db, text);
    if (value != nullptr || PyErr_Occurred()) return value;
    return PyRef::Borrow(bound[1] != nullptr ? bound[1] : Py_None).release();
  });
}

int Contains(PyObject* self, PyObject* key) {
  PyObject* result = Guard([&]() -> PyObject* {
    TextView text;
    Db* db = LiveKey(self, key, &text);
    if (db == nullptr) return nullptr;
    // Read as a lookup would, so the cache sees the same uses.
    store::Result<bool> found =
        db->GetBytes(text.text, [](std::string_view) {});
    if (!found.ok()) return RaiseFailure(found.failure());
    return PyBool_FromLong(found.value() ? 1 : 0);
  });
  if (result == nullptr) return -1;
  const int present = result == Py_True ? 1 : 0;
  Py_DECREF(result);
  return present;
}

// After a change of a store opened with sync=True: the sync, without the
// interpreter lock.
bool SyncIfAsked(CoreState* state) {
  if (!state->sync) return true;
  std::shared_ptr<Db> db = state->db;
  store::Status status;
  {
    WithoutGil unlocked;
    status = db->Sync();
  }
  if (status.ok()) return true;
  RaiseFailure(status.failure());
  return false;
}

int AssignSubscript(PyObject* self, PyObject* key, PyObject* value) {
  PyObject* result = Guard([&]() -> PyObject* {
    CoreState* state = StateOf(self);
    TextView text;
    Db* db = LiveKey(self, key, &text);
    if (db == nullptr) return nullptr;
    if (value == nullptr) {
      WriterHold writer(*db);
      if (!writer.ok()) return nullptr;
      store::Result<bool> present =
          db->Delete(text.text, Db::WriterHeld::kByCaller);
      if (!present.ok()) return RaiseFailure(present.failure());
      if (!SyncIfAsked(state)) return nullptr;
      if (!present.value()) {
        PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
      }
      Py_RETURN_NONE;
    }
    store::Status status;
    if (PyBytes_Check(value) &&
        db->PlacesValue(static_cast<size_t>(PyBytes_Size(value)))) {
      // A large bytes object, which nothing can change, is written from
      // its own buffer: no copy at all.
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(value, &data, &size) < 0) return nullptr;
      WriterHold writer(*db);
      if (!writer.ok()) return nullptr;
      status = db->SetPlacedBytes(
          text.text, std::string_view(data, static_cast<size_t>(size)),
          Db::WriterHeld::kByCaller);
    } else {
      std::string bytes;
      if (!ConvertArgument("val", ToByteString, value, &bytes)) {
        return nullptr;
      }
      WriterHold writer(*db);
      if (!writer.ok()) return nullptr;
      status = db->SetBytes(text.text, std::move(bytes),
                            Db::WriterHeld::kByCaller);
    }
    if (!status.ok()) return RaiseFailure(status.failure());
    if (!SyncIfAsked(state)) return nullptr;
    Py_RETURN_NONE;
  });
  if (result == nullptr) return -1;
  Py_DECREF(result);
  return 0;
}

Py_ssize_t Length(PyObject* self) {
  Db* db = Live(StateOf(self));
  if (db == nullptr) return -1;
  store::Result<uint64_t> len = db->Len();
  if (!len.ok()) {
    RaiseFailure(len.failure());
    return -1;
  }
  return static_cast<Py_ssize_t>(len.value());
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
    {"sync", Unlocked<SyncDb>, METH_NOARGS,
     "sync($self)\n--\n\n"
     "Every change made before the call survives a power loss when it\n"
     "returns. Costs what changed since the last sync; threads that sync at\n"
     "once share the wait on the disk. Nothing to do on a read-only store."},
    {"persist", Unlocked<PersistDb>, METH_NOARGS,
     "persist($self)\n--\n\nMarrow.persist(), letting other threads run."},
    {"vacuum", Unlocked<VacuumDb>, METH_NOARGS,
     "vacuum($self)\n--\n\nMarrow.vacuum(), letting other threads run."},
    {"refresh", Unlocked<RefreshDb>, METH_NOARGS,
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
    {"close", Close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Drops the store; every later use raises ValueError. The files close\n"
     "with the last owner of the engine (`raw` kept elsewhere is one)."},
    {"get", AsCFunction(Get), METH_VARARGS | METH_KEYWORDS,
     "get($self, key, default=None)\n--\n\n"
     "The value of `key`, or `default` when it is absent."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"raw", GetRaw, nullptr, "The Marrow object over the same open store.",
     nullptr},
    {"readonly", GetReadonly, nullptr, "True when opened read-only.", nullptr},
    {"multiprocess", GetMultiprocess, nullptr,
     "True when opened with multiprocess=True.", nullptr},
    {"path", GetPath, nullptr, "The path the store was opened with.", nullptr},
    {"closed", GetClosed, nullptr, "True once close() has been called.",
     nullptr},
    {"sync_writes", GetSyncWrites, nullptr,
     "True when every change and batch syncs (the `sync` option).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_core_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(CoreNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(CoreDealloc)},
    {Py_tp_doc,
     const_cast<char*>(
         "StoreCore(storage_path, cache_size=10000, readonly=False, "
         "sync=False, cache_bytes=67108864, multiprocess=False)\n--\n\n"
         "An open store for the package: Marrow's engine plus batch writes,\n"
         "read-only opening, writers in several processes and the mapping's\n"
         "hot methods; the base of marrow.Store.")},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_mp_subscript, reinterpret_cast<void*>(Subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(AssignSubscript)},
    {Py_mp_length, reinterpret_cast<void*>(Length)},
    {Py_sq_length, reinterpret_cast<void*>(Length)},
    {Py_sq_contains, reinterpret_cast<void*>(Contains)},
    {0, nullptr},
};

PyType_Spec g_core_spec = {
    "marrow._native.StoreCore",
    static_cast<int>(sizeof(CoreObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
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
