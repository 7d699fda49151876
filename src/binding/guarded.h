// Guarded calls: no C++ exception leaves a function the interpreter calls.
// Each binding says what a failure of its own code raises (the fixed module
// its PanicException, the package's module RuntimeError).
#pragma once

#include <Python.h>

#include <string_view>

namespace tarnwick::py {

// Raises a binding's exception for a failure of its own code and returns
// nullptr; `what` is the C++ exception's text, empty when it has none.
using RaiseInternal = PyObject* (*)(std::string_view what);

// To be called inside a catch block: raises the Python counterpart of the C++
// exception in flight (MemoryError for std::bad_alloc, `raise_internal` for
// anything else) and returns nullptr.
PyObject* raise_from_cpp_exception(RaiseInternal raise_internal) noexcept;

// Runs `body`, which returns a new reference or nullptr with an exception
// set, turning a C++ exception it throws into `Raise`'s exception. The engine
// reports failures as values, so anything thrown is a bug or a lack of memory.
template <RaiseInternal Raise, class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return raise_from_cpp_exception(Raise);
  }
}

}  // namespace tarnwick::py
