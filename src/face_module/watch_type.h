// tarnwick_queue._native.Watch: a change notification on one file of a
// directory (inotify, kqueue), for the package's waiters (waiting.py).
#pragma once

#include <Python.h>

namespace tarnwick::face {

// Creates the Watch type and adds it to `module`; -1 with an exception set.
int add_watch_type(PyObject* module);

}  // namespace tarnwick::face
