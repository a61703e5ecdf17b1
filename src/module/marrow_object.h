// What the package's native type (native_module.cc) shares with the Marrow
// type: Marrow objects made around a Db that is already open.
//
// Thread-safety: call with the interpreter lock held.

#ifndef MARROW_MODULE_MARROW_OBJECT_H_
#define MARROW_MODULE_MARROW_OBJECT_H_

#include <Python.h>

#include <memory>
#include <string>

#include "store/db.h"

namespace marrow::module {

// The Marrow type (a borrowed reference), created on first use.
PyObject* MarrowType();
// A new Marrow object over `db`; the object and any other owner share it.
PyObject* NewMarrow(std::string path, std::shared_ptr<store::Db> db);

}  // namespace marrow::module

#endif  // MARROW_MODULE_MARROW_OBJECT_H_
