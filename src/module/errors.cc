#include "module/errors.h"

#include <string>

namespace tarnwick::py {
namespace {

constexpr const char kNoExceptionSet[] = "attempted to fetch exception but none was set";
constexpr const char kGenericPanic[] = "tarnwick: internal failure (no details were given)";
constexpr const char kPanicDoc[] =
    "Raised when a failure inside the tarnwick module ends a call.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so a plain\n"
    "`except Exception` does not catch it and it normally propagates to the top of the stack.";

// Process-wide, like the class: never freed, so it outlives every call that can raise it.
PyObject* g_panic_exception = nullptr;

// Takes the pending exception as a normalised instance carrying its traceback.
PyRef take_pending() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    return PyRef::steal(PyObject_CallFunction(PyExc_SystemError, "s", kNoExceptionSet));
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
}

}  // namespace

bool ensure_panic_exception() {
  if (g_panic_exception != nullptr) return true;
  PyObject* created =
      PyErr_NewExceptionWithDoc("tarnwick.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  if (created == nullptr) {
    raise_pending();
    return false;
  }
  // Creating a class can run arbitrary code; keep the first one if another thread won.
  if (g_panic_exception == nullptr) {
    g_panic_exception = created;
  } else {
    Py_DECREF(created);
  }
  return true;
}

PyObject* raise_panic(std::string_view message) {
  if (!ensure_panic_exception()) return nullptr;
  return raise_with_message(g_panic_exception, message.empty() ? kGenericPanic : message);
}

PyObject* raise_engine_error(const Error& error) {
  if (error.kind() == ErrorKind::kCallback) return raise_pending();
  const int os_errno = os_errno_of(error);
  if (error.is_timeout()) return raise_with_message(PyExc_TimeoutError, error.text(), os_errno);
  switch (error.kind()) {
    case ErrorKind::kBodyBounds:
      return raise_with_message(PyExc_RuntimeError, error.text());
    case ErrorKind::kInvariant:
      return raise_panic(error.text());
    case ErrorKind::kIdsExhausted:
      return raise_with_message(PyExc_OverflowError, error.text());
    default:
      return raise_with_message(PyExc_OSError, "Tarnwick I/O error: " + error.text(), os_errno);
  }
}

PyRef type_name(PyObject* obj) {
  return PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
}

bool raise_cannot_convert(PyObject* obj, const char* target) {
  PyRef name = type_name(obj);
  if (name) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  }
  return false;
}

void prefix_type_error(const char* param) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef original = PyRef::steal(value);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  if (!original) {
    raise_pending();
    return;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", param, original.get()));
  if (!message) return;
  PyRef replacement =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) {
    raise_pending();
    return;
  }
  if (PyObject* cause = PyException_GetCause(original.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals the new reference
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

void raise_chained(PyObject* type, const char* message) {
  PyRef cause = take_pending();
  PyRef exc = PyRef::steal(PyObject_CallFunction(type, "s", message));
  if (!exc) {
    raise_pending();
    return;
  }
  if (cause) PyException_SetCause(exc.get(), cause.release());
  PyErr_SetObject(type, exc.get());
}

}  // namespace tarnwick::py
