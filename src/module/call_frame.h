// The frame every TarnwickCore entry point runs in: bind the arguments to the
// parameter list, check the receiver, then let the entry point convert its
// arguments and call the engine (which holds its own locks for the whole
// operation). No C++ exception leaves a frame.
#pragma once

#include <Python.h>

#include "binding/guarded.h"
#include "binding/py_ref.h"
#include "module/errors.h"
#include "queue/queue.h"

namespace tarnwick::py {

inline constexpr int kMaxParams = 4;

// One entry point's parameter list. Every parameter may be passed by position
// or by keyword; the first `required` ones must be given.
struct Signature {
  const char* display;  // "TarnwickCore.ack()": the prefix of every binding message
  const char* names[kMaxParams];
  int count;
  int required;
};

// The arguments matched to a Signature. Each slot holds its own reference, so
// a value stays alive (and a bytes body stays valid) even if conversion code
// mutates a caller-supplied keyword dict. Fixed-size: binding never allocates.
class BoundArgs {
 public:
  explicit BoundArgs(const Signature& signature) : signature_(signature) {}
  const Signature& signature() const { return signature_; }
  // Borrowed; null when the parameter was omitted.
  PyObject* operator[](int index) const { return slots_[index].get(); }

 private:
  friend bool bind_arguments(PyObject* args, PyObject* kwargs, BoundArgs& out);
  const Signature& signature_;
  PyRef slots_[kMaxParams];
};

// Matches positional `args` (a tuple) and `kwargs` (a dict or null) to the
// signature of `out`. Checks run in a fixed order and the first failure is
// raised: surplus positionals, then each keyword in the caller's order, then
// missing required parameters.
bool bind_arguments(PyObject* args, PyObject* kwargs, BoundArgs& out);

// The receiver's queue, or null with TypeError when `self` is not a TarnwickCore.
Queue* receiver(PyObject* self);

// Entry for a method taking arguments. `M` supplies `kSignature` and
// `run(Queue&, const BoundArgs&)`, which converts in parameter order and calls the engine.
template <class M>
PyObject* method_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<raise_panic>([&]() -> PyObject* {
    BoundArgs bound(M::kSignature);
    if (!bind_arguments(args, kwargs, bound)) return nullptr;
    Queue* queue = receiver(self);
    if (queue == nullptr) return nullptr;
    return M::run(*queue, bound);
  });
}

// Entry for a no-arguments method; the interpreter itself refuses arguments.
template <PyObject* (*Run)(Queue&)>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded<raise_panic>([&]() -> PyObject* {
    Queue* queue = receiver(self);
    if (queue == nullptr) return nullptr;
    return Run(*queue);
  });
}

}  // namespace tarnwick::py
