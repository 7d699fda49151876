// The package module's exceptions: its table from engine errors to the
// exception classes the tarnwick_queue package catches (OSError and
// TimeoutError naming the queue's path, OverflowError, RuntimeError for a
// broken invariant), and ValueError for a closed object.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "log_io/error.h"

namespace tarnwick::face {

// Raises the exception for `error` and returns nullptr. OSErrors and
// TimeoutErrors name `path` (a queue directory; empty: none, as for
// ":memory:") at the end of their message: the engine's texts name at most a
// file inside the directory. (Not in the filename attribute: with it set,
// str() would be Python's "[Errno N] None: 'path'" rather than the message.)
PyObject* raise_engine_error(const Error& error, const std::string& path);

// RuntimeError for a failure of the module's own code (a C++ exception); the
// RaiseInternal of every guarded call (binding/guarded.h).
PyObject* raise_internal(std::string_view what);

// ValueError for a call on a closed Engine or Watch; `what` is "queue" or "watch".
PyObject* raise_closed(const char* what);

}  // namespace tarnwick::face
