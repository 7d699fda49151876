#include "face_module/watch_type.h"

#include <utility>

#include "binding/guarded.h"
#include "binding/heap_type.h"
#include "face_module/errors.h"
#include "log_io/dir_watch.h"

namespace tarnwick::face {
namespace {

struct WatchObject {
  PyObject_HEAD
  DirectoryWatch* watch;  // owned; null once closed
};

PyObject* watch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return py::guarded<raise_internal>([&]() -> PyObject* {
    static const char* names[] = {"directory", "file_name", nullptr};
    const char* dir = nullptr;
    const char* file_name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ss", const_cast<char**>(names), &dir,
                                     &file_name)) {
      return nullptr;
    }
    auto opened = DirectoryWatch::open(dir, file_name);
    if (!opened.ok()) return raise_engine_error(opened.error(), dir);
    PyObject* self = py::new_instance(type);
    if (self == nullptr) return nullptr;
    reinterpret_cast<WatchObject*>(self)->watch = new DirectoryWatch(std::move(opened).value());
    return self;
  });
}

void watch_dealloc(PyObject* self) noexcept {
  delete std::exchange(reinterpret_cast<WatchObject*>(self)->watch, nullptr);
  py::free_instance(self);
}

DirectoryWatch* watch_of(PyObject* self) {
  DirectoryWatch* watch = reinterpret_cast<WatchObject*>(self)->watch;
  if (watch == nullptr) raise_closed("watch");
  return watch;
}

PyObject* watch_fileno(PyObject* self, PyObject*) noexcept {
  DirectoryWatch* watch = watch_of(self);
  return watch != nullptr ? PyLong_FromLong(watch->fd()) : nullptr;
}

PyObject* watch_drain(PyObject* self, PyObject*) noexcept {
  DirectoryWatch* watch = watch_of(self);
  if (watch == nullptr) return nullptr;
  Status drained = watch->drain();
  if (!drained.ok()) return raise_engine_error(drained.error(), std::string());
  Py_RETURN_NONE;
}

PyObject* watch_close(PyObject* self, PyObject*) noexcept {
  delete std::exchange(reinterpret_cast<WatchObject*>(self)->watch, nullptr);
  Py_RETURN_NONE;
}

PyMethodDef g_watch_methods[] = {
    {"fileno", watch_fileno, METH_NOARGS,
     "fileno($self, /)\n--\n\n"
     "The descriptor to wait on (select, poll, an event loop's reader); it\n"
     "turns readable when the file changes."},
    {"drain", watch_drain, METH_NOARGS,
     "drain($self, /)\n--\n\n"
     "Consumes the pending notifications without waiting, so the descriptor\n"
     "is quiet until the next change. Drain, then look at the queue: a change\n"
     "made after the look is never missed."},
    {"close", watch_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Closes the descriptor; fileno() and drain() then raise ValueError.\n"
     "Closing twice does nothing."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kWatchDoc[] =
    "Watch(directory, file_name)\n--\n\n"
    "A descriptor that turns readable when `file_name` in `directory` may\n"
    "have changed: something was appended to it, or another file took its\n"
    "name (inotify on Linux, kqueue elsewhere). OSError where the platform\n"
    "or the file system offers no notification.";

PyType_Slot g_watch_slots[] = {
    {Py_tp_doc, const_cast<char*>(kWatchDoc)},
    {Py_tp_new, py::as_slot(watch_new)},
    {Py_tp_dealloc, py::as_slot(watch_dealloc)},
    {Py_tp_methods, g_watch_methods},
    {0, nullptr},
};

PyType_Spec g_watch_spec = {"tarnwick_queue._native.Watch", sizeof(WatchObject), 0,
                            Py_TPFLAGS_DEFAULT, g_watch_slots};

}  // namespace

int add_watch_type(PyObject* module) { return py::add_type(module, &g_watch_spec, "Watch"); }

}  // namespace tarnwick::face
