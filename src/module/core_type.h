// The TarnwickCore class: instance layout and the once-created type object.
#pragma once

#include <Python.h>

#include "queue/queue.h"

namespace tarnwick::py {

// Allocated and zero-filled by the interpreter, so no C++ constructor runs:
// the queue is an owning raw pointer, set once by tp_new and deleted by tp_dealloc.
struct CoreObject {
  PyObject_HEAD
  Queue* queue;
};

// The class, created on first request; null with RuntimeError (the underlying
// error as __cause__) when creation fails.
PyTypeObject* core_type();

// The class if it exists already; never creates it.
PyTypeObject* core_type_if_created();

}  // namespace tarnwick::py
