// tarnwick_queue._native: the few operations of the Python package that must
// run inside one critical section, on the engine's JobQueue. One file per
// type (engine_type.cc, watch_type.cc); here the module, its functions on a
// queue directory and its constants.
#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "binding/guarded.h"
#include "face_module/engine_type.h"
#include "face_module/errors.h"
#include "face_module/rows.h"
#include "face_module/watch_type.h"
#include "face_module/without_gil.h"
#include "log_io/log_format.h"
#include "queue/job_queue.h"

namespace tarnwick::face {
namespace {

// verify(directory) -> the integrity dict: reads the directory's queue.log
// without opening a queue, so nothing in the directory changes.
PyObject* module_verify(PyObject*, PyObject* args) noexcept {
  const char* dir = nullptr;
  if (!PyArg_ParseTuple(args, "s", &dir)) return nullptr;
  return py::guarded<raise_internal>([&]() -> PyObject* {
    const std::string where(dir);
    auto report = without_gil([&] { return verify_queue_directory(where); });
    if (!report.ok()) return raise_engine_error(report.error(), where);
    return integrity_dict(report.value());
  });
}

// repair(directory) -> the repair dict, or None when the log needed none:
// opens the plain queue in the directory (which repairs its log) and closes it.
PyObject* module_repair(PyObject*, PyObject* args) noexcept {
  const char* dir = nullptr;
  if (!PyArg_ParseTuple(args, "s", &dir)) return nullptr;
  return py::guarded<raise_internal>([&]() -> PyObject* {
    const std::string where(dir);
    Settings settings;
    settings.auto_compact_bytes = 0;
    auto repaired = without_gil([&]() -> Result<std::optional<RepairReport>> {
      TW_ASSIGN_OR_RETURN(std::unique_ptr<Queue> queue, Queue::open(where, settings));
      return queue->last_repair();
    });
    if (!repaired.ok()) return raise_engine_error(repaired.error(), where);
    return repair_dict(repaired.value());
  });
}

int exec_module(PyObject* module) {
  if (add_engine_type(module) < 0) return -1;
  if (add_watch_type(module) < 0) return -1;
  return PyModule_AddIntConstant(module, "MAX_BODY_LEN", static_cast<long>(MAX_BODY_LEN));
}

PyModuleDef_Slot g_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef g_module_functions[] = {
    {"verify", module_verify, METH_VARARGS,
     "verify(directory, /)\n--\n\n"
     "Checks the log of the queue in `directory` without opening the queue,\n"
     "so nothing in the directory changes. Returns the dict Engine.verify()\n"
     "returns."},
    {"repair", module_repair, METH_VARARGS,
     "repair(directory, /)\n--\n\n"
     "Opens the queue in `directory`, which repairs its log, and closes it.\n"
     "Returns the dict Engine.last_repair() returns, or None when the log\n"
     "needed no repair."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kModuleDoc[] =
    "The native part of tarnwick_queue: the operations on a queue that must\n"
    "run inside one critical section, on the engine. Private to the package;\n"
    "its local driver converts and checks every argument. MAX_BODY_LEN is\n"
    "the largest message body, in bytes.";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "tarnwick_queue._native", kModuleDoc, 0, g_module_functions,
    g_module_slots,        nullptr,                  nullptr,    nullptr,
};

}  // namespace
}  // namespace tarnwick::face

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&tarnwick::face::g_module_def); }
