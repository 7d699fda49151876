#include "binding/guarded.h"

#include <exception>
#include <new>

namespace tarnwick::py {

PyObject* raise_from_cpp_exception(RaiseInternal raise_internal) noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    } catch (const std::exception& e) {
      return raise_internal(e.what());
    } catch (...) {
      return raise_internal({});
    }
  } catch (...) {
    // Building the exception itself failed (it may allocate).
    return PyErr_NoMemory();
  }
}

}  // namespace tarnwick::py
