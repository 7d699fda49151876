// Engine calls made without the interpreter lock, so that a wait for another
// process's lock or a sync does not stop the process's other threads; a
// signal (Ctrl-C) still ends a lock wait.
#pragma once

#include <Python.h>

#include "process_lock/process_lock.h"

namespace tarnwick::face {

// Asked between the sleeps of a lock wait: runs the signal handlers with the
// interpreter lock taken back for a moment, and ends the wait when one raised.
// `context` points at the PyThreadState* that PyEval_SaveThread returned.
bool signal_raised(void* context);

// Runs `call` with the interpreter lock released; the lock is taken back on
// every path, a C++ exception included.
template <class Call>
auto without_gil(Call&& call) -> decltype(call()) {
  struct Restore {
    PyThreadState* state;
    ~Restore() { PyEval_RestoreThread(state); }
  } restore{PyEval_SaveThread()};
  ScopedLockWaitInterrupt interrupt({signal_raised, &restore.state});
  return call();
}

}  // namespace tarnwick::face
