// tarnwick_queue._native.Engine: one open queue (JobQueue) and the
// operations the package's local driver makes on it.
#pragma once

#include <Python.h>

namespace tarnwick::face {

// Creates the Engine type and adds it to `module`; -1 with an exception set.
int add_engine_type(PyObject* module);

}  // namespace tarnwick::face
