// The module entry point. The module is built once per process: the class
// and PanicException are process-wide, so a second module (re-import after
// removal from sys.modules, or a sub-interpreter) is refused.
#include <Python.h>

#include "module/call_frame.h"
#include "module/core_type.h"
#include "module/errors.h"
#include "binding/py_ref.h"

namespace tarnwick::py {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwick",  // m_name
    "",          // m_doc
    0,           // m_size: no per-module state
    nullptr,     // m_methods
    nullptr,     // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

PyObject* g_module = nullptr;

// Appends `name` to __all__ (created on first use), then sets the attribute.
bool add_attribute(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return false;
  }
  PyRef key = PyRef::steal(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyObject_SetAttr(module, key.get(), value) == 0;
}

PyObject* init_module() {
  if (g_module != nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "the tarnwick extension module may only be initialized once per interpreter "
                    "process");
    return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, 3));
  if (!module) return raise_pending();

  // Created up front so that raising it later never depends on memory then.
  if (!ensure_panic_exception()) return nullptr;
  PyTypeObject* type = core_type();
  if (type == nullptr) return nullptr;
  if (!add_attribute(module.get(), "TarnwickCore", reinterpret_cast<PyObject*>(type))) {
    return raise_pending();
  }
  PyRef version = PyRef::steal(PyUnicode_FromString(TARNWICK_VERSION));
  if (!version || !add_attribute(module.get(), "__version__", version.get())) {
    return raise_pending();
  }

  // The once-cell keeps its own reference for the life of the process.
  g_module = module.release();
  Py_INCREF(g_module);
  return g_module;
}

}  // namespace
}  // namespace tarnwick::py

PyMODINIT_FUNC PyInit_tarnwick(void) {
  return tarnwick::py::guarded<tarnwick::py::raise_panic>(tarnwick::py::init_module);
}
