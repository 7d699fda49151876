#include "binding/errors.h"

#include "binding/convert.h"

namespace tarnwick::py {
namespace {

constexpr const char kNoExceptionSet[] = "attempted to fetch exception but none was set";

}  // namespace

PyObject* raise_with_message(PyObject* type, std::string_view text, int os_errno) {
  PyRef message = PyRef::steal(to_str(text));
  if (!message) return nullptr;
  PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
  if (!exc) return raise_pending();
  if (os_errno != 0) {
    PyRef code = PyRef::steal(PyLong_FromLong(os_errno));
    if (!code || PyObject_SetAttrString(exc.get(), "errno", code.get()) != 0) return raise_pending();
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

PyObject* raise_pending() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, kNoExceptionSet);
  return nullptr;
}

}  // namespace tarnwick::py
