// Python arguments to native values. Each converter returns false with a
// Python exception set; convert_param adds the parameter name to TypeErrors.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "binding/convert.h"
#include "binding/py_ref.h"
#include "module/call_frame.h"
#include "module/errors.h"
#include "queue/queue.h"

namespace tarnwick::py {

// A str argument as UTF-8; `text` points into `utf8`.
struct PathArg {
  PyRef utf8;
  std::string_view text;
};

// One message body. bytes and bytearray are used in place (the object is held
// here, so its buffer lives as long as this); any other sequence is copied.
class BodyArg {
 public:
  // Accepts the object; refuses str, non-sequences, bad items and oversize lengths.
  bool take(PyObject* obj);
  // Fixes the view and checks the final size. Call it only once no further
  // Python code can run before the engine reads the bytes: a bytearray may be
  // resized by any Python code.
  bool seal();
  ByteSpan view() const { return view_; }

 private:
  PyRef source_;
  std::vector<uint8_t> owned_;
  ByteSpan view_;
};

bool convert_path(PyObject* obj, PathArg& out);
bool convert_requeue(PyObject* obj, bool& out);
bool convert_body(PyObject* obj, BodyArg& out);
bool convert_bodies(PyObject* obj, std::vector<BodyArg>& out);
bool convert_seqs(PyObject* obj, std::vector<uint64_t>& out);

// Converts bound parameter `index` into `out`; an omitted parameter leaves
// `out` at the default the caller put there.
template <class T>
bool convert_param(const BoundArgs& args, int index, bool (*convert)(PyObject*, T&), T& out) {
  PyObject* obj = args[index];
  if (obj == nullptr || convert(obj, out)) return true;
  prefix_type_error(args.signature().names[index]);
  return false;
}

}  // namespace tarnwick::py
