// Raising Python exceptions, shared by both bindings. Each binding keeps its
// own table from engine errors to exception classes (module/errors.cc,
// face_module/errors.cc); both build the exception objects here, so that an
// engine or operating-system text always reaches Python the same way.
#pragma once

#include <Python.h>

#include <string_view>

#include "binding/py_ref.h"
#include "log_io/error.h"

namespace tarnwick::py {

// Raises `type(text)` and returns nullptr: the errno-to-OSError builder, and
// the one way both bindings make an exception from engine text. The text is
// decoded as to_str() does (convert.h), so a stray byte never turns the
// failure into a UnicodeDecodeError. The message is the only argument, so
// that str() and args are the message alone. With `os_errno` non-zero the
// exception (an OSError) gets that errno attribute; strerror and filename
// stay unset, since with them set Python would format the message differently.
PyObject* raise_with_message(PyObject* type, std::string_view text, int os_errno = 0);

// The errno an engine error carries: its code for an operating-system
// failure, 0 for the engine's own conditions.
inline int os_errno_of(const Error& error) {
  return error.kind() == ErrorKind::kOs ? error.os_code() : 0;
}

// For a C-API call that reported failure: keeps the pending exception, or
// raises SystemError when the interpreter set none. Returns nullptr.
PyObject* raise_pending();

}  // namespace tarnwick::py
