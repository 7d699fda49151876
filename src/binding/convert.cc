#include "binding/convert.h"

namespace tarnwick::py {

bool convert_u64(PyObject* obj, uint64_t& out) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    obj = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_optional_u64(PyObject* obj, std::optional<uint64_t>& out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  uint64_t value;
  if (!convert_u64(obj, value)) return false;
  out = value;
  return true;
}

int u64_arg(PyObject* obj, void* out) {
  return convert_u64(obj, *static_cast<uint64_t*>(out)) ? 1 : 0;
}

int optional_u64_arg(PyObject* obj, void* out) {
  return convert_optional_u64(obj, *static_cast<std::optional<uint64_t>*>(out)) ? 1 : 0;
}

PyObject* to_int(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* to_optional_int(const std::optional<uint64_t>& value) {
  return value ? to_int(*value) : to_none();
}

PyObject* to_bool(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* to_none() {
  Py_INCREF(Py_None);
  return Py_None;
}

PyObject* to_bytes(std::span<const uint8_t> data) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                   static_cast<Py_ssize_t>(data.size()));
}

PyObject* to_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace tarnwick::py
