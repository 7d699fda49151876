#include "module/call_frame.h"

#include <string>

#include "module/core_type.h"
#include "module/errors.h"

namespace tarnwick::py {
namespace {

bool raise_surplus_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given", sig.display,
                 sig.count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                 sig.display, sig.required, sig.count, given, verb);
  }
  return false;
}

// Only reached on the failure path, so building the text may allocate.
bool raise_missing(const Signature& sig, const BoundArgs& bound) {
  int missing[kMaxParams];
  int n = 0;
  for (int i = 0; i < sig.required; ++i) {
    if (bound[i] == nullptr) missing[n++] = i;
  }
  std::string names;
  for (int k = 0; k < n; ++k) {
    if (k > 0) names += n == 2 ? " and " : (k == n - 1 ? ", and " : ", ");
    names += '\'';
    names += sig.names[missing[k]];
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %d required positional %s: %s", sig.display, n,
               n == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

// Index of the parameter called `key`, -1 when none is.
int find_parameter(const Signature& sig, PyObject* key) {
  for (int i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return i;
  }
  return -1;
}

}  // namespace

bool bind_arguments(PyObject* args, PyObject* kwargs, BoundArgs& out) {
  const Signature& sig = out.signature();
  const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
  if (given < 0) {
    raise_pending();
    return false;
  }
  if (given > sig.count) return raise_surplus_positional(sig, given);
  for (Py_ssize_t i = 0; i < given; ++i) {
    out.slots_[i] = PyRef::borrow(PyTuple_GetItem(args, i));
  }

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Dicts keep insertion order, which is the order the caller wrote the keywords.
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.display);
        return false;
      }
      const int index = find_parameter(sig, key);
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display,
                     key);
        return false;
      }
      if (out.slots_[index]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display,
                     sig.names[index]);
        return false;
      }
      out.slots_[index] = PyRef::borrow(value);
    }
  }

  for (int i = 0; i < sig.required; ++i) {
    if (!out.slots_[i]) return raise_missing(sig, out);
  }
  return true;
}

Queue* receiver(PyObject* self) {
  PyTypeObject* type = core_type_if_created();
  if (type != nullptr && self != nullptr &&
      (Py_TYPE(self) == type || PyType_IsSubtype(Py_TYPE(self), type))) {
    Queue* queue = reinterpret_cast<CoreObject*>(self)->queue;
    if (queue == nullptr) raise_panic("TarnwickCore object has no open queue");
    return queue;
  }
  if (self == nullptr) {
    raise_pending();
    return nullptr;
  }
  raise_cannot_convert(self, "TarnwickCore");
  return nullptr;
}

}  // namespace tarnwick::py
