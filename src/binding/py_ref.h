// An owned Python reference: the one way both bindings hold objects, so that
// every early return and every C++ exception drops what it took.
#pragma once

#include <Python.h>

#include <utility>

namespace tarnwick::py {

class PyRef {
 public:
  PyRef() = default;
  ~PyRef() { Py_XDECREF(obj_); }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = obj_;
      obj_ = other.obj_;
      other.obj_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }

  // Takes over a new reference (as returned by most C-API calls); null stays null.
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }

  // Hands the reference to the caller, e.g. as a return value or to a
  // reference-stealing call such as PyTuple_SetItem.
  [[nodiscard]] PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace tarnwick::py
