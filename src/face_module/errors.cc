#include "face_module/errors.h"

#include "binding/errors.h"

namespace tarnwick::face {
namespace {

constexpr std::string_view kPrefix = "tarnwick: ";

std::string with_path(std::string text, const std::string& path) {
  if (!path.empty()) text += ": '" + path + "'";
  return text;
}

}  // namespace

PyObject* raise_engine_error(const Error& error, const std::string& path) {
  // An interrupted lock wait left the signal handler's exception pending.
  if (error.kind() == ErrorKind::kInterrupted && PyErr_Occurred()) return nullptr;
  // A sink that could not build its objects left its exception (MemoryError).
  if (error.kind() == ErrorKind::kCallback && PyErr_Occurred()) return nullptr;
  const std::string text = error.text();
  const int os_errno = py::os_errno_of(error);
  if (error.is_timeout()) {
    return py::raise_with_message(PyExc_TimeoutError, with_path(text, path), os_errno);
  }
  switch (error.kind()) {
    case ErrorKind::kIdsExhausted:
      return py::raise_with_message(PyExc_OverflowError, text);
    case ErrorKind::kInvariant:
    case ErrorKind::kBodyBounds:
      return raise_internal(text);
    default:
      return py::raise_with_message(PyExc_OSError, with_path("Tarnwick I/O error: " + text, path),
                                    os_errno);
  }
}

PyObject* raise_internal(std::string_view what) {
  std::string message(kPrefix);
  message += what.empty() ? std::string_view("internal failure (no details were given)") : what;
  return py::raise_with_message(PyExc_RuntimeError, message);
}

PyObject* raise_closed(const char* what) {
  PyErr_Format(PyExc_ValueError, "operation on a closed %s", what);
  return nullptr;
}

}  // namespace tarnwick::face
