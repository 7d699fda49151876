// Python ints to the engine's integers (ids, counts, milliseconds) and back,
// and the other plain values both bindings hand to Python. Converters return
// false (0 for the "O&" forms) with a Python exception set; builders return a
// new reference, or nullptr with an exception set.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "binding/py_ref.h"

namespace tarnwick::py {

// An int, or an object with __index__, in 0..2**64-1 (OverflowError outside).
bool convert_u64(PyObject* obj, uint64_t& out);
// As convert_u64; None leaves `out` empty.
bool convert_optional_u64(PyObject* obj, std::optional<uint64_t>& out);

// The same two as PyArg_ParseTuple "O&" converters: `out` points at a
// uint64_t, or at a std::optional<uint64_t>.
int u64_arg(PyObject* obj, void* out);
int optional_u64_arg(PyObject* obj, void* out);

PyObject* to_int(uint64_t value);
PyObject* to_optional_int(const std::optional<uint64_t>& value);  // None when empty
PyObject* to_bool(bool value);
PyObject* to_none();
PyObject* to_bytes(std::span<const uint8_t> data);
// UTF-8 text as a str, stray bytes replaced by U+FFFD: engine texts are
// UTF-8, but an operating-system description or a reason read back from a
// damaged log may not be, and it must still reach the caller.
PyObject* to_str(std::string_view text);

// A list of `make(item)` for each item (each a new reference, stolen by the
// list); nullptr with the error set if any failed.
template <class Items, class Make>
PyObject* to_list(const Items& items, Make&& make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* obj = make(item);
    if (obj == nullptr) return nullptr;
    PyList_SetItem(list.get(), i++, obj);
  }
  return list.release();
}

inline PyObject* to_int_list(const std::vector<uint64_t>& values) {
  return to_list(values, to_int);
}

}  // namespace tarnwick::py
