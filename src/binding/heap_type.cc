#include "binding/heap_type.h"

#include "binding/errors.h"
#include "binding/py_ref.h"

namespace tarnwick::py {

PyObject* new_instance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc != nullptr ? alloc(type, 0) : nullptr;
  if (self == nullptr) return raise_pending();
  return self;
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

int add_type(PyObject* module, PyType_Spec* slots_and_flags, const char* name) {
  PyRef type = PyRef::steal(PyType_FromSpec(slots_and_flags));
  if (!type) return -1;
  if (PyModule_AddObject(module, name, type.get()) < 0) return -1;
  (void)type.release();  // the module owns it now
  return 0;
}

}  // namespace tarnwick::py
