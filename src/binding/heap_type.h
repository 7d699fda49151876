// Setting up and tearing down instances of heap types (types made by
// PyType_FromSpec, as the limited API requires), and adding them to a module.
#pragma once

#include <Python.h>

namespace tarnwick::py {

// A new, zero-filled instance of `type` from its own tp_alloc, so that no C++
// constructor runs: the object's fields are set by the caller. Null with an
// exception set on failure.
PyObject* new_instance(PyTypeObject* type);

// Frees `self` through its type's tp_free and drops the reference every
// instance of a heap type holds on its type: the last step of a tp_dealloc.
void free_instance(PyObject* self);

// Creates the type described by `slots_and_flags` and adds it to `module` as `name`;
// -1 with an exception set on failure.
int add_type(PyObject* module, PyType_Spec* slots_and_flags, const char* name);

// A function of any of the interpreter's method signatures, in the type
// PyMethodDef stores (ml_flags tells the interpreter how to call it).
template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A slot function in the form PyType_Slot stores.
template <class F>
void* as_slot(F* function) {
  return reinterpret_cast<void*>(function);
}

}  // namespace tarnwick::py
