#include "module/convert.h"

#include <algorithm>

#include "log_io/log_format.h"

namespace tarnwick::py {
namespace {

// Pre-sizing trusts a sequence's reported length; cap it so that a __len__
// that lies cannot make us reserve absurd amounts up front. Beyond the cap
// the vector simply grows.
constexpr Py_ssize_t kMaxPresize = Py_ssize_t{1} << 20;

bool raise_oversize(uint64_t length) {
  PyErr_Format(PyExc_OverflowError, "message body of %llu bytes exceeds the maximum of %llu bytes",
               static_cast<unsigned long long>(length),
               static_cast<unsigned long long>(MAX_BODY_LEN));
  return false;
}

// Refusals shared by every sequence-valued parameter.
bool check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) return raise_cannot_convert(obj, "Sequence");
  return true;
}

// Only a sizing hint: a sequence without a usable length is still iterated.
Py_ssize_t reported_length(PyObject* obj) {
  const Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) {
    PyErr_Clear();
    return 0;
  }
  return length;
}

// Range errors of body items come from us only after the interpreter's own
// signed 64-bit conversion succeeded, so huge ints keep the interpreter's message.
bool convert_byte(PyObject* obj, uint8_t& out) {
  long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsLongLong(obj);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    value = PyLong_AsLongLong(index.get());
  }
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint8_t>(value);
  return true;
}

// 1 when `obj` is a numpy boolean scalar, 0 when not, -1 with an exception set.
int is_numpy_bool(PyObject* obj) {
  PyRef name = type_name(obj);
  if (!name) return -1;
  if (!PyUnicode_Check(name.get()) || (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
                                       PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0)) {
    return 0;
  }
  PyRef module = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
  if (!module) return -1;
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

bool convert_numpy_bool(PyObject* obj, bool& out) {
  PyRef method =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__bool__"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    PyRef name = type_name(obj);
    if (name) {
      PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                   name.get());
    }
    return false;
  }
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
  if (!result) return false;
  if (result.get() == Py_True || result.get() == Py_False) {
    out = result.get() == Py_True;
    return true;
  }
  return raise_cannot_convert(result.get(), "PyBool");
}

}  // namespace

bool BodyArg::take(PyObject* obj) {
  if (PyBytes_Check(obj) || PyByteArray_Check(obj)) {
    source_ = PyRef::borrow(obj);
    return true;
  }
  if (!check_sequence(obj)) return false;
  const Py_ssize_t hint = reported_length(obj);
  if (static_cast<uint64_t>(hint) > MAX_BODY_LEN) return raise_oversize(hint);
  owned_.reserve(static_cast<size_t>(hint));

  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    if (owned_.size() == MAX_BODY_LEN) {
      // Count the rest (without converting it) so the message gives the real size.
      uint64_t total = owned_.size() + 1;
      while (PyRef more = PyRef::steal(PyIter_Next(iter.get()))) ++total;
      if (PyErr_Occurred()) return false;
      return raise_oversize(total);
    }
    uint8_t byte;
    if (!convert_byte(item.get(), byte)) return false;
    owned_.push_back(byte);
  }
  return !PyErr_Occurred();
}

bool BodyArg::seal() {
  PyObject* obj = source_.get();
  if (obj == nullptr) {
    view_ = ByteSpan(owned_.data(), owned_.size());
    return true;
  }
  const char* data;
  Py_ssize_t size;
  if (PyBytes_Check(obj)) {
    data = PyBytes_AsString(obj);
    size = PyBytes_Size(obj);
  } else {
    data = PyByteArray_AsString(obj);
    size = PyByteArray_Size(obj);
  }
  if (data == nullptr || size < 0) {
    raise_pending();
    return false;
  }
  if (static_cast<uint64_t>(size) > MAX_BODY_LEN) return raise_oversize(size);
  view_ = ByteSpan(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size));
  return true;
}

bool convert_path(PyObject* obj, PathArg& out) {
  // A path object (os.PathLike) stands for the str its __fspath__ gives;
  // bytes paths are refused, given directly or by __fspath__.
  PyRef fspath;
  if (!PyUnicode_Check(obj) && !PyBytes_Check(obj) && PyObject_HasAttrString(obj, "__fspath__")) {
    fspath = PyRef::steal(PyOS_FSPath(obj));
    if (!fspath) return false;
    if (!PyUnicode_Check(fspath.get())) return raise_cannot_convert(obj, "PyString");
    obj = fspath.get();
  }
  if (!PyUnicode_Check(obj)) return raise_cannot_convert(obj, "PyString");
  out.utf8 = PyRef::steal(PyUnicode_AsUTF8String(obj));
  if (!out.utf8) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(out.utf8.get(), &data, &size) < 0) return false;
  out.text = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool convert_requeue(PyObject* obj, bool& out) {
  if (obj == Py_True || obj == Py_False) {
    out = obj == Py_True;
    return true;
  }
  const int numpy = is_numpy_bool(obj);
  if (numpy < 0) return false;
  if (numpy > 0) return convert_numpy_bool(obj, out);
  return raise_cannot_convert(obj, "PyBool");
}

bool convert_body(PyObject* obj, BodyArg& out) { return out.take(obj) && out.seal(); }

bool convert_bodies(PyObject* obj, std::vector<BodyArg>& out) {
  if (!check_sequence(obj)) return false;
  out.reserve(static_cast<size_t>(std::min(reported_length(obj), kMaxPresize)));
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    if (!out.emplace_back().take(item.get())) return false;
  }
  if (PyErr_Occurred()) return false;
  // Converting later items may run Python code that resizes an earlier
  // bytearray; the views are fixed only now that no more Python code runs.
  for (BodyArg& body : out) {
    if (!body.seal()) return false;
  }
  return true;
}

bool convert_seqs(PyObject* obj, std::vector<uint64_t>& out) {
  if (!check_sequence(obj)) return false;
  out.reserve(static_cast<size_t>(std::min(reported_length(obj), kMaxPresize)));
  PyRef iter = PyRef::steal(PyObject_GetIter(obj));
  if (!iter) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    uint64_t seq;
    if (!convert_u64(item.get(), seq)) return false;
    out.push_back(seq);
  }
  return !PyErr_Occurred();
}

}  // namespace tarnwick::py
