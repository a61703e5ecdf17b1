// What the package's native type (native_module.cc) shares with the Marrow
// type: Marrow objects made around a Db that is already open.
//
// Thread-safety: call with the interpreter lock held.

#ifndef MARROW_MODULE_MARROW_OBJECT_H_
#define MARROW_MODULE_MARROW_OBJECT_H_

#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "module/convert.h"
#include "module/py_ref.h"
#include "store/db.h"

namespace marrow::module {

// The Marrow type (a borrowed reference), created on first use.
PyObject* MarrowType();
// A new Marrow object over `db`; the object and any other owner share it.
PyObject* NewMarrow(std::string path, std::shared_ptr<store::Db> db);
// Holds the Db's writer lock for one change made with the interpreter lock
// held. Taken at once when it is free; otherwise waited for with the
// interpreter lock given up, since its holder (a transaction in another
// thread) may need that lock to finish. ok() false: a Python error is set.
class WriterHold {
 public:
  explicit WriterHold(store::Db& db);
  WriterHold(const WriterHold&) = delete;
  WriterHold& operator=(const WriterHold&) = delete;
  ~WriterHold();
  bool ok() const { return held_; }

 private:
  store::Db& db_;
  bool held_ = false;
  bool entered_ = false;
};

// get_many's result: a list of (key, value or None) pairs, one per key, the
// values moved out of `values`.
PyObject* KeyValuePairs(const TextList& keys, std::vector<PyRef>& values);

}  // namespace marrow::module

#endif  // MARROW_MODULE_MARROW_OBJECT_H_
