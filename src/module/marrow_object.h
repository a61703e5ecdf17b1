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
// get_many's result: a list of (key, value or None) pairs, one per key, the
// values moved out of `values`.
PyObject* KeyValuePairs(const TextList& keys, std::vector<PyRef>& values);

}  // namespace marrow::module

#endif  // MARROW_MODULE_MARROW_OBJECT_H_
