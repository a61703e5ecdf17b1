// PyRef: owns one strong reference to a Python object.
//
// Every PyObject* a function creates goes into a PyRef at once, so the
// reference is released on every path; release() hands it to the caller
// (a return value or a reference-stealing call such as PyList_SetItem).

#ifndef MARROW_MODULE_PY_REF_H_
#define MARROW_MODULE_PY_REF_H_

#include <Python.h>

#include <utility>

namespace marrow::module {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be nullptr after a failed call).
  static PyRef Steal(PyObject* obj) { return PyRef(obj); }
  // Adds a reference to a borrowed object.
  static PyRef Borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = other.release();
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Gives the reference away.
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace marrow::module

#endif  // MARROW_MODULE_PY_REF_H_
