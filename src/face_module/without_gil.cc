#include "face_module/without_gil.h"

namespace tarnwick::face {

bool signal_raised(void* context) {
  auto* state = static_cast<PyThreadState**>(context);
  PyEval_RestoreThread(*state);
  const bool raised = PyErr_CheckSignals() < 0;
  *state = PyEval_SaveThread();
  return raised;
}

}  // namespace tarnwick::face
