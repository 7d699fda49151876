// The fixed module's exceptions: its table from engine errors to exception
// classes, PanicException, and the TypeErrors of argument conversion. Every
// function named raise_* sets the Python error indicator and returns nullptr
// (or false), so call sites can `return raise_...(...)`.
#pragma once

#include <Python.h>

#include <string_view>

#include "log_io/error.h"
#include "binding/errors.h"
#include "binding/py_ref.h"

namespace tarnwick::py {

// Maps an engine error to its exception: TimeoutError, RuntimeError,
// PanicException, the sink's pending exception, or OSError.
PyObject* raise_engine_error(const Error& error);

// Raises PanicException with `message`, or a fixed text when it is empty.
PyObject* raise_panic(std::string_view message);

// Creates PanicException once per process; false with an exception set on failure.
bool ensure_panic_exception();

// TypeError "'<type name of obj>' object cannot be converted to '<target>'".
bool raise_cannot_convert(PyObject* obj, const char* target);

// Replaces a pending TypeError (exactly TypeError, so a subclass a caller may
// catch keeps its identity) by one whose message starts "argument '<param>': ";
// the original's __cause__ is kept. Other exceptions stay as they are.
void prefix_type_error(const char* param);

// Replaces the pending exception by `type(message)` with the old one as __cause__.
void raise_chained(PyObject* type, const char* message);

// `type(obj).__name__`, or null with an exception set.
PyRef type_name(PyObject* obj);

}  // namespace tarnwick::py
