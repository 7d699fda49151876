// The Engine type. Every method takes positional arguments only (the Python
// side has converted and checked them: seconds to milliseconds, bodies to
// bytes), makes one engine call without the interpreter lock and converts
// the result with it.
#include "face_module/engine_type.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/convert.h"
#include "binding/guarded.h"
#include "binding/heap_type.h"
#include "binding/py_ref.h"
#include "face_module/errors.h"
#include "face_module/rows.h"
#include "face_module/without_gil.h"
#include "log_io/log_format.h"
#include "queue/job_queue.h"
#include "queue/schedule_record.h"

namespace tarnwick::face {
namespace {

using py::guarded;
using py::PyRef;

struct EngineObject {
  PyObject_HEAD
  // Shared with calls in progress, so close() in one thread cannot free the
  // queue under a call that runs in another with the interpreter lock released.
  std::shared_ptr<JobQueue>* queue;
  // The consumer its leases name (UTF-8, empty: unknown), changed and read
  // only with the interpreter lock held.
  char consumer[MAX_CONSUMER_LEN];
  uint8_t consumer_len;
};

std::string consumer_of(PyObject* self) {
  auto* engine = reinterpret_cast<EngineObject*>(self);
  return std::string(engine->consumer, engine->consumer_len);
}

std::shared_ptr<JobQueue> queue_of(PyObject* self) {
  auto* holder = reinterpret_cast<EngineObject*>(self)->queue;
  return holder != nullptr ? *holder : nullptr;
}

// Calls `op(JobQueue&)` without the interpreter lock, then `convert(value)`
// with it; engine errors become exceptions.
template <class Op, class Convert>
PyObject* engine_call(PyObject* self, Op&& op, Convert&& convert) {
  return guarded<raise_internal>([&]() -> PyObject* {
    std::shared_ptr<JobQueue> queue = queue_of(self);
    if (!queue) return raise_closed("queue");
    auto result = without_gil([&] { return op(*queue); });
    if (!result.ok()) return raise_engine_error(result.error(), queue->directory());
    return convert(result.value());
  });
}

template <class Op>
PyObject* status_call(PyObject* self, Op&& op) {
  return guarded<raise_internal>([&]() -> PyObject* {
    std::shared_ptr<JobQueue> queue = queue_of(self);
    if (!queue) return raise_closed("queue");
    Status status = without_gil([&] { return op(*queue); });
    if (!status.ok()) return raise_engine_error(status.error(), queue->directory());
    Py_RETURN_NONE;
  });
}

ByteSpan bytes_view(PyObject* bytes) {
  return ByteSpan(reinterpret_cast<const uint8_t*>(PyBytes_AsString(bytes)),
                  static_cast<size_t>(PyBytes_Size(bytes)));
}

// --- construction and destruction ---

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<raise_internal>([&]() -> PyObject* {
    static const char* names[] = {"path",          "sync_interval_ms", "lease_ms",
                                  "auto_compact_bytes", "read_only",   "keep_acked_ms",
                                  "keep_dead_ms",  "keep_cancelled_ms", nullptr};
    const char* path = nullptr;
    Settings settings;
    int read_only = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sO&O&O&|pO&O&O&", const_cast<char**>(names),
                                     &path, py::u64_arg, &settings.sync_interval_ms, py::u64_arg,
                                     &settings.default_lease_ms, py::u64_arg,
                                     &settings.auto_compact_bytes, &read_only, py::u64_arg,
                                     &settings.keep_acked_ms, py::u64_arg, &settings.keep_dead_ms,
                                     py::u64_arg, &settings.keep_cancelled_ms)) {
      return nullptr;
    }
    const std::string where(path);
    const Access access = read_only != 0 ? Access::kReadOnly : Access::kReadWrite;
    auto opened = without_gil([&] { return JobQueue::open(where, settings, access); });
    if (!opened.ok()) return raise_engine_error(opened.error(), where == ":memory:" ? "" : where);
    PyObject* self = py::new_instance(type);
    if (self == nullptr) return nullptr;
    reinterpret_cast<EngineObject*>(self)->queue =
        new std::shared_ptr<JobQueue>(std::move(opened).value());
    return self;
  });
}

void close_queue(PyObject* self) {
  auto* holder = std::exchange(reinterpret_cast<EngineObject*>(self)->queue, nullptr);
  if (holder == nullptr) return;
  // The last owner syncs and closes the files: release the lock for that.
  without_gil([&] {
    delete holder;
    return 0;
  });
}

void engine_dealloc(PyObject* self) noexcept {
  close_queue(self);
  py::free_instance(self);
}

PyObject* engine_close(PyObject* self, PyObject*) noexcept {
  close_queue(self);
  Py_RETURN_NONE;
}

PyObject* engine_closed(PyObject* self, void*) noexcept {
  return PyBool_FromLong(reinterpret_cast<EngineObject*>(self)->queue == nullptr);
}

PyObject* engine_consumer(PyObject* self, void*) noexcept {
  return guarded<raise_internal>([&]() -> PyObject* { return py::to_str(consumer_of(self)); });
}

// set_consumer(consumer: str) -> None
PyObject* engine_set_consumer(PyObject* self, PyObject* args) noexcept {
  PyObject* value = nullptr;
  if (!PyArg_ParseTuple(args, "U", &value)) return nullptr;
  return guarded<raise_internal>([&]() -> PyObject* {
    PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(value));
    if (!utf8) return nullptr;
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(utf8.get(), &data, &length) != 0) return nullptr;
    if (static_cast<size_t>(length) > MAX_CONSUMER_LEN) {
      PyErr_Format(PyExc_ValueError, "consumer must be at most %d bytes in UTF-8, not %zd",
                   static_cast<int>(MAX_CONSUMER_LEN), length);
      return nullptr;
    }
    auto* engine = reinterpret_cast<EngineObject*>(self);
    std::memcpy(engine->consumer, data, static_cast<size_t>(length));
    engine->consumer_len = static_cast<uint8_t>(length);
    Py_RETURN_NONE;
  });
}

PyObject* engine_directory(PyObject* self, void*) noexcept {
  std::shared_ptr<JobQueue> queue = queue_of(self);
  if (!queue) return raise_closed("queue");
  if (queue->directory().empty()) Py_RETURN_NONE;
  return PyUnicode_DecodeFSDefault(queue->directory().c_str());
}

// --- producing ---

// A put's options as the engine takes them, borrowing from Python objects
// that the call's arguments keep alive (the UTF-8 copies are held here).
struct OptionArgs {
  int priority = 0;
  PyObject* key = Py_None;
  uint64_t unique_for_ms = 0;
  PyObject* group = Py_None;
  PyObject* headers = Py_None;
  PyRef key_utf8;
  PyRef group_utf8;

  // False with an exception set when an option has the wrong type.
  bool convert(PutOptions& out) {
    if (priority < -100 || priority > 100) {
      PyErr_SetString(PyExc_ValueError, "priority must be from -100 to 100");
      return false;
    }
    out.priority = static_cast<int8_t>(priority);
    out.unique_for_ms = unique_for_ms;
    if (!text(key, key_utf8, "key", out.key) || !text(group, group_utf8, "group", out.group)) {
      return false;
    }
    if (headers != Py_None) {
      if (!PyBytes_Check(headers)) {
        PyErr_SetString(PyExc_TypeError, "headers must be bytes or None");
        return false;
      }
      out.headers = bytes_view(headers);
    }
    return true;
  }

 private:
  static bool text(PyObject* value, PyRef& utf8, const char* name, std::string_view& out) {
    if (value == Py_None) return true;
    if (!PyUnicode_Check(value)) {
      PyErr_Format(PyExc_TypeError, "%s must be a str or None", name);
      return false;
    }
    utf8 = PyRef::steal(PyUnicode_AsUTF8String(value));
    if (!utf8) return false;
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(utf8.get(), &data, &length) != 0) return false;
    if (length > 255) {
      PyErr_Format(PyExc_ValueError, "%s must be at most 255 bytes in UTF-8", name);
      return false;
    }
    out = std::string_view(data, static_cast<size_t>(length));
    return true;
  }
};

// put(bodies: list[bytes], delay_ms, priority=0, group=None, headers=None) -> list[int]
PyObject* engine_put(PyObject* self, PyObject* args) noexcept {
  PyObject* list = nullptr;
  uint64_t delay_ms = 0;
  OptionArgs given;
  if (!PyArg_ParseTuple(args, "O!O&|iOO", &PyList_Type, &list, py::u64_arg, &delay_ms,
                        &given.priority, &given.group, &given.headers)) {
    return nullptr;
  }
  return guarded<raise_internal>([&]() -> PyObject* {
    PutOptions options;
    if (!given.convert(options)) return nullptr;
    // A tuple of the (immutable) bodies keeps them alive and unchanged while
    // the engine reads them without the interpreter lock.
    PyRef frozen = PyRef::steal(PyList_AsTuple(list));
    if (!frozen) return nullptr;
    const Py_ssize_t n = PyTuple_Size(frozen.get());
    std::vector<ByteSpan> bodies;
    bodies.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyTuple_GetItem(frozen.get(), i);
      if (!PyBytes_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "bodies must be bytes");
        return nullptr;
      }
      bodies.push_back(bytes_view(item));
    }
    if (options.plain()) {
      return engine_call(
          self, [&](JobQueue& q) { return q.put(bodies, delay_ms); }, py::to_int_list);
    }
    const SyncRule sync = bodies.size() > 1 ? SyncRule::kForce : SyncRule::kInterval;
    const size_t count = bodies.size();
    return engine_call(
        self, [&](JobQueue& q) { return q.put(bodies, delay_ms, sync, options); },
        [count](uint64_t first) {
          std::vector<uint64_t> seqs(count);
          for (size_t i = 0; i < count; ++i) seqs[i] = first + i;
          return py::to_int_list(seqs);
        });
  });
}

// put_one(body: bytes, delay_ms, priority=0, key=None, unique_for_ms=0,
//         group=None, headers=None) -> int: put() of one body. With a key
// that a message holds, the holder's id, and nothing is written.
PyObject* engine_put_one(PyObject* self, PyObject* args) noexcept {
  PyObject* body = nullptr;
  uint64_t delay_ms = 0;
  if (PyTuple_Size(args) == 2) {  // no options: the plain put, as it always was
    if (!PyArg_ParseTuple(args, "O!O&", &PyBytes_Type, &body, py::u64_arg, &delay_ms)) {
      return nullptr;
    }
    const ByteSpan one = bytes_view(body);  // `args` keeps the bytes alive
    return engine_call(
        self,
        [&](JobQueue& q) { return q.put(std::span(&one, 1), delay_ms, SyncRule::kInterval); },
        py::to_int);
  }
  OptionArgs given;
  if (!PyArg_ParseTuple(args, "O!O&|iOO&OO", &PyBytes_Type, &body, py::u64_arg, &delay_ms,
                        &given.priority, &given.key, py::u64_arg, &given.unique_for_ms,
                        &given.group, &given.headers)) {
    return nullptr;
  }
  return guarded<raise_internal>([&]() -> PyObject* {
    PutOptions options;
    if (!given.convert(options)) return nullptr;
    const ByteSpan one = bytes_view(body);  // `args` keeps the bytes alive
    return engine_call(
        self,
        [&](JobQueue& q) {
          return q.put(std::span(&one, 1), delay_ms, SyncRule::kInterval, options);
        },
        py::to_int);
  });
}

// cancel(seq) -> bool
PyObject* engine_cancel(PyObject* self, PyObject* args) noexcept {
  uint64_t seq = 0;
  if (!PyArg_ParseTuple(args, "O&", py::u64_arg, &seq)) return nullptr;
  return engine_call(self, [&](JobQueue& q) { return q.cancel(seq); }, py::to_bool);
}

// --- the queue's settings ---

// set_paused(paused: bool) -> None
PyObject* engine_set_paused(PyObject* self, PyObject* args) noexcept {
  int paused = 0;
  if (!PyArg_ParseTuple(args, "p", &paused)) return nullptr;
  return status_call(self, [&](JobQueue& q) { return q.set_paused(paused != 0); });
}

PyObject* engine_is_paused(PyObject* self, PyObject*) noexcept {
  return engine_call(self, [](JobQueue& q) { return q.paused(); }, py::to_bool);
}

PyObject* engine_group_limit(PyObject* self, PyObject*) noexcept {
  return engine_call(self, [](JobQueue& q) { return q.group_limit(); },
                     [](uint32_t limit) { return PyLong_FromUnsignedLong(limit); });
}

// set_group_limit(limit: int >= 1) -> None
PyObject* engine_set_group_limit(PyObject* self, PyObject* args) noexcept {
  unsigned int limit = 0;
  if (!PyArg_ParseTuple(args, "I", &limit)) return nullptr;
  if (limit == 0) {
    PyErr_SetString(PyExc_ValueError, "the group limit must be at least 1");
    return nullptr;
  }
  return status_call(self, [&](JobQueue& q) { return q.set_group_limit(limit); });
}

// --- schedules ---

// schedules() -> dict[str, bytes]
PyObject* engine_schedules(PyObject* self, PyObject*) noexcept {
  return engine_call(
      self, [](JobQueue& q) { return q.schedules(); },
      [](const ScheduleStates& states) -> PyObject* {
        PyRef out = PyRef::steal(PyDict_New());
        if (!out) return nullptr;
        for (const auto& [name, state] : states) {
          PyRef key = PyRef::steal(py::to_str(name));
          PyRef value = PyRef::steal(py::to_bytes(state));
          if (!key || !value || PyDict_SetItem(out.get(), key.get(), value.get()) != 0) {
            return nullptr;
          }
        }
        return out.release();
      });
}

// False with TypeError set unless `value` is bytes or None (left empty).
bool optional_bytes(PyObject* value, const char* name, std::optional<ByteSpan>& out) {
  if (value == Py_None) return true;
  if (!PyBytes_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be bytes or None", name);
    return false;
  }
  out = bytes_view(value);
  return true;
}

// schedule_change(name, expected, new, puts) -> list[int] | None: `puts` a
// list of (body, priority, key, unique_for_ms, headers) tuples.
PyObject* engine_schedule_change(PyObject* self, PyObject* args) noexcept {
  PyObject* name = nullptr;
  PyObject* expected_arg = nullptr;
  PyObject* next_arg = nullptr;
  PyObject* list = nullptr;
  if (!PyArg_ParseTuple(args, "UOOO!", &name, &expected_arg, &next_arg, &PyList_Type, &list)) {
    return nullptr;
  }
  return guarded<raise_internal>([&]() -> PyObject* {
    PyRef name_bytes = PyRef::steal(PyUnicode_AsUTF8String(name));
    if (!name_bytes) return nullptr;
    char* name_utf8 = nullptr;
    Py_ssize_t name_len = 0;
    if (PyBytes_AsStringAndSize(name_bytes.get(), &name_utf8, &name_len) != 0) return nullptr;
    const std::string_view name_text(name_utf8, static_cast<size_t>(name_len));
    if (name_text.empty() || name_text.size() > MAX_SCHEDULE_NAME_LEN) {
      PyErr_Format(PyExc_ValueError, "name must be 1 to %d bytes in UTF-8, not %zd",
                   static_cast<int>(MAX_SCHEDULE_NAME_LEN), name_len);
      return nullptr;
    }
    if (name_text.find('\0') != std::string_view::npos) {
      PyErr_SetString(PyExc_ValueError, "name must not contain NUL");
      return nullptr;
    }
    std::optional<ByteSpan> expected;
    std::optional<ByteSpan> next;
    if (!optional_bytes(expected_arg, "expected", expected) ||
        !optional_bytes(next_arg, "new", next)) {
      return nullptr;
    }
    if (next && next->size() > MAX_SCHEDULE_STATE_LEN) {
      PyErr_Format(PyExc_ValueError, "new must be at most %d bytes, not %zu",
                   static_cast<int>(MAX_SCHEDULE_STATE_LEN), next->size());
      return nullptr;
    }
    // A tuple of the (immutable) puts keeps them and their bytes alive while
    // the engine reads them without the interpreter lock.
    PyRef frozen = PyRef::steal(PyList_AsTuple(list));
    if (!frozen) return nullptr;
    const Py_ssize_t n = PyTuple_Size(frozen.get());
    std::vector<OptionArgs> given(static_cast<size_t>(n));
    std::vector<SchedulePut> puts(static_cast<size_t>(n));
    uint64_t total = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyTuple_GetItem(frozen.get(), i);
      OptionArgs& options = given[static_cast<size_t>(i)];
      SchedulePut& put = puts[static_cast<size_t>(i)];
      PyObject* body = nullptr;
      PyObject* unique_for = nullptr;
      if (!PyTuple_Check(item) || PyTuple_Size(item) != 5) {
        PyErr_SetString(PyExc_TypeError,
                        "puts must be (body, priority, key, unique_for_ms, headers) tuples");
        return nullptr;
      }
      if (!PyArg_ParseTuple(item, "OiOOO", &body, &options.priority, &options.key, &unique_for,
                            &options.headers)) {
        return nullptr;
      }
      if (!PyBytes_Check(body)) {
        PyErr_SetString(PyExc_TypeError, "the body of each put must be bytes");
        return nullptr;
      }
      if (!py::convert_u64(unique_for, options.unique_for_ms) || !options.convert(put.options)) {
        return nullptr;
      }
      put.body = bytes_view(body);
      const uint64_t size = put.body.size() + put.options.headers.size();
      if (put.body.size() > MAX_BODY_LEN || size + 600 > MAX_RECORD_LEN) {
        PyErr_Format(PyExc_ValueError, "the body of put %zd is too large (%llu bytes)", i,
                     static_cast<unsigned long long>(size));
        return nullptr;
      }
      total += size + 600;
      if (total > MAX_RECORD_LEN) {
        PyErr_SetString(PyExc_ValueError,
                        "the puts of one schedule change are at most 512 MiB together");
        return nullptr;
      }
    }
    return engine_call(
        self, [&](JobQueue& q) { return q.change_schedule(name_text, expected, next, puts); },
        [](const std::optional<std::vector<uint64_t>>& ids) {
          return ids ? py::to_int_list(*ids) : py::to_none();
        });
  });
}

// --- consuming and settling ---

// A take's request from its arguments. More than one message is a batch:
// synced once, whatever the interval says.
TakeRequest take_request(uint64_t max, std::optional<uint64_t> lease_ms,
                         unsigned int max_deliveries, const std::string& consumer) {
  return {max, lease_ms, max_deliveries, max > 1 ? SyncRule::kForce : SyncRule::kInterval,
          consumer};
}

// (rows, next_due_ms | None, options) of a take, as take() returns it, after
// `acked` (a borrowed bool) when given.
PyObject* taken_tuple(TakenRows& rows, const Taken& taken, PyObject* acked = nullptr) {
  PyRef list = PyRef::steal(rows.take_list());
  PyRef due = PyRef::steal(py::to_optional_int(taken.next_due_ms));
  PyRef options = PyRef::steal(rows.take_options());
  if (!list || !due || !options) return nullptr;
  if (acked != nullptr) return PyTuple_Pack(4, acked, list.get(), due.get(), options.get());
  return PyTuple_Pack(3, list.get(), due.get(), options.get());
}

// take(max, lease_ms | None, max_deliveries) -> (rows, next_due_ms | None, options):
// the rows (seq, body, deliveries, enqueued_ms, deadline_ms) of the messages
// it leased and, when it leased none, when the earliest leased or delayed
// message comes due, both from one critical section.
PyObject* engine_take(PyObject* self, PyObject* args) noexcept {
  uint64_t max = 0;
  std::optional<uint64_t> lease_ms;
  unsigned int max_deliveries = 0;
  if (!PyArg_ParseTuple(args, "O&O&I", py::u64_arg, &max, py::optional_u64_arg, &lease_ms,
                        &max_deliveries)) {
    return nullptr;
  }
  const std::string consumer = consumer_of(self);
  const TakeRequest request = take_request(max, lease_ms, max_deliveries, consumer);
  TakenRows rows;
  return engine_call(
      self, [&](JobQueue& q) { return q.take(request, rows); },
      [&](const Taken& taken) { return taken_tuple(rows, taken); });
}

// ack_then_take(token, max, lease_ms | None, max_deliveries)
//     -> (acked, rows, next_due_ms | None, options)
PyObject* engine_ack_then_take(PyObject* self, PyObject* args) noexcept {
  LeaseToken token;
  uint64_t max = 0;
  std::optional<uint64_t> lease_ms;
  unsigned int max_deliveries = 0;
  if (!PyArg_ParseTuple(args, "O&O&O&I", lease_token_arg, &token, py::u64_arg, &max,
                        py::optional_u64_arg, &lease_ms, &max_deliveries)) {
    return nullptr;
  }
  const std::string consumer = consumer_of(self);
  const TakeRequest request = take_request(max, lease_ms, max_deliveries, consumer);
  TakenRows rows;
  return engine_call(
      self, [&](JobQueue& q) { return q.ack_then_take(token, request, rows); },
      [&](const AckedAndTaken& done) {
        return taken_tuple(rows, done.taken, done.acked ? Py_True : Py_False);
      });
}

// ack(token) -> bool; nack(token, delay_ms) -> bool; bury(token, reason) -> bool;
// extend(token, lease_ms | None) -> deadline_ms | None
PyObject* engine_ack(PyObject* self, PyObject* args) noexcept {
  LeaseToken token;
  PyObject* result = Py_None;
  if (!PyArg_ParseTuple(args, "O&|O", lease_token_arg, &token, &result)) return nullptr;
  if (result == Py_None) {
    return engine_call(self, [&](JobQueue& q) { return q.ack(token); }, py::to_bool);
  }
  if (!PyBytes_Check(result)) {
    PyErr_SetString(PyExc_TypeError, "result must be bytes or None");
    return nullptr;
  }
  if (static_cast<size_t>(PyBytes_Size(result)) > MAX_RESULT_LEN) {
    PyErr_SetString(PyExc_ValueError, "result must be at most 1 MiB");
    return nullptr;
  }
  const ByteSpan kept = bytes_view(result);  // `args` keeps the bytes alive
  return engine_call(self, [&](JobQueue& q) { return q.ack(token, kept); }, py::to_bool);
}

// ack_many(tokens: list[token]) -> list[int]: the positions of the tokens
// whose lease was no longer current.
PyObject* engine_ack_many(PyObject* self, PyObject* args) noexcept {
  PyObject* list = nullptr;
  if (!PyArg_ParseTuple(args, "O!", &PyList_Type, &list)) return nullptr;
  return guarded<raise_internal>([&]() -> PyObject* {
    // Converted from a snapshot, so that a list changed meanwhile by another
    // thread cannot move items under the loop.
    PyRef frozen = PyRef::steal(PyList_AsTuple(list));
    if (!frozen) return nullptr;
    const Py_ssize_t n = PyTuple_Size(frozen.get());
    std::vector<LeaseToken> tokens(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyTuple_GetItem(frozen.get(), i);
      if (!PyTuple_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "lease tokens must be tuples");
        return nullptr;
      }
      if (!lease_token_arg(item, &tokens[static_cast<size_t>(i)])) return nullptr;
    }
    return engine_call(
        self, [&](JobQueue& q) { return q.ack_many(tokens); },
        [](const std::vector<size_t>& refused) {
          return py::to_list(refused, [](size_t at) { return PyLong_FromSize_t(at); });
        });
  });
}

PyObject* engine_nack(PyObject* self, PyObject* args) noexcept {
  LeaseToken token;
  uint64_t delay_ms = 0;
  const char* error = nullptr;
  Py_ssize_t error_len = 0;
  if (!PyArg_ParseTuple(args, "O&O&|z#", lease_token_arg, &token, py::u64_arg, &delay_ms, &error,
                        &error_len)) {
    return nullptr;
  }
  if (static_cast<size_t>(error_len) > MAX_ERROR_LEN) {
    PyErr_SetString(PyExc_ValueError, "error must be at most 16 KiB in UTF-8");
    return nullptr;
  }
  std::optional<std::string_view> kept;
  if (error != nullptr) kept = std::string_view(error, static_cast<size_t>(error_len));
  return engine_call(self, [&](JobQueue& q) { return q.nack(token, delay_ms, kept); },
                     py::to_bool);
}

PyObject* engine_bury(PyObject* self, PyObject* args) noexcept {
  LeaseToken token;
  const char* reason = nullptr;
  Py_ssize_t reason_len = 0;
  if (!PyArg_ParseTuple(args, "O&s#", lease_token_arg, &token, &reason, &reason_len)) {
    return nullptr;
  }
  const std::string_view text(reason, static_cast<size_t>(reason_len));
  return engine_call(self, [&](JobQueue& q) { return q.bury(token, text); }, py::to_bool);
}

PyObject* engine_extend(PyObject* self, PyObject* args) noexcept {
  LeaseToken token;
  std::optional<uint64_t> lease_ms;
  if (!PyArg_ParseTuple(args, "O&O&", lease_token_arg, &token, py::optional_u64_arg, &lease_ms)) {
    return nullptr;
  }
  const std::string consumer = consumer_of(self);
  return engine_call(self, [&](JobQueue& q) { return q.extend(token, lease_ms, consumer); },
                     py::to_optional_int);
}

// --- looking ---

// peek(limit, bodies) -> list[(seq, state, deliveries, enqueued_ms, due_ms, size, body,
//                               started_ms, extensions, consumer)]
PyObject* engine_peek(PyObject* self, PyObject* args) noexcept {
  uint64_t limit = 0;
  int bodies = 0;
  if (!PyArg_ParseTuple(args, "O&p", py::u64_arg, &limit, &bodies)) return nullptr;
  return engine_call(
      self, [&](JobQueue& q) { return q.peek(limit, bodies != 0); },
      [&](const std::vector<MessageSummary>& found) {
        return py::to_list(found, [&](const MessageSummary& m) { return summary_row(m, bodies); });
      });
}

// status(seq) -> row | None (see outcome_row)
PyObject* engine_status(PyObject* self, PyObject* args) noexcept {
  uint64_t seq = 0;
  if (!PyArg_ParseTuple(args, "O&", py::u64_arg, &seq)) return nullptr;
  return engine_call(
      self, [&](JobQueue& q) { return q.status(seq); },
      [](const std::optional<OutcomeStatus>& found) {
        return found ? outcome_row(*found) : py::to_none();
      });
}

// outcomes(state | None, limit, since_ms | None) -> list[row]
PyObject* engine_outcomes(PyObject* self, PyObject* args) noexcept {
  const char* state = nullptr;
  uint64_t limit = 0;
  std::optional<uint64_t> since_ms;
  if (!PyArg_ParseTuple(args, "zO&O&", &state, py::u64_arg, &limit, py::optional_u64_arg,
                        &since_ms)) {
    return nullptr;
  }
  std::optional<OutcomeState> only;
  if (state != nullptr) {
    const std::string_view name(state);
    if (name == "acked") {
      only = OutcomeState::kAcked;
    } else if (name == "dead") {
      only = OutcomeState::kDead;
    } else if (name == "cancelled") {
      only = OutcomeState::kCancelled;
    } else {
      PyErr_SetString(PyExc_ValueError, "state must be 'acked', 'dead', 'cancelled' or None");
      return nullptr;
    }
  }
  return engine_call(
      self, [&](JobQueue& q) { return q.outcomes(only, limit, since_ms); },
      [](const std::vector<OutcomeStatus>& found) { return py::to_list(found, outcome_row); });
}

PyObject* engine_next_due(PyObject* self, PyObject*) noexcept {
  return engine_call(self, [](JobQueue& q) { return q.next_due_ms(); }, py::to_optional_int);
}

PyObject* engine_stats(PyObject* self, PyObject*) noexcept {
  return engine_call(self, [](JobQueue& q) { return q.stats(); }, stats_dict);
}

// --- dead letters ---

PyObject* engine_dead_count(PyObject* self, PyObject*) noexcept {
  return engine_call(self, [](JobQueue& q) { return q.dead_letter_count(); }, py::to_int);
}

// dead_list(limit) -> list[(id, original_id, body, deliveries, enqueued_ms, died_ms, reason)]
PyObject* engine_dead_list(PyObject* self, PyObject* args) noexcept {
  uint64_t limit = 0;
  if (!PyArg_ParseTuple(args, "O&", py::u64_arg, &limit)) return nullptr;
  return engine_call(
      self, [&](JobQueue& q) { return q.dead_letters(limit); },
      [](const std::vector<DeadLetter>& letters) { return py::to_list(letters, dead_letter_row); });
}

// dead_requeue(ids: list[int] | None) -> int
PyObject* engine_dead_requeue(PyObject* self, PyObject* args) noexcept {
  PyObject* given = nullptr;
  if (!PyArg_ParseTuple(args, "O", &given)) return nullptr;
  return guarded<raise_internal>([&]() -> PyObject* {
    std::optional<std::vector<uint64_t>> ids;
    if (given != Py_None) {
      if (!PyList_Check(given)) {
        PyErr_SetString(PyExc_TypeError, "ids must be a list of ints");
        return nullptr;
      }
      ids.emplace();
      for (Py_ssize_t i = 0; i < PyList_Size(given); ++i) {
        uint64_t id = 0;
        if (!py::convert_u64(PyList_GetItem(given, i), id)) return nullptr;
        ids->push_back(id);
      }
    }
    return engine_call(
        self, [&](JobQueue& q) { return q.requeue_dead(std::move(ids)); }, py::to_int);
  });
}

PyObject* engine_dead_purge(PyObject* self, PyObject*) noexcept {
  return engine_call(self, [](JobQueue& q) { return q.purge_dead(); }, py::to_int);
}

// --- the log ---

PyObject* engine_compact(PyObject* self, PyObject*) noexcept {
  return status_call(self, [](JobQueue& q) { return q.compact(); });
}

PyObject* engine_preallocate_log(PyObject* self, PyObject*) noexcept {
  return status_call(self, [](JobQueue& q) { return q.preallocate_log(); });
}

PyObject* engine_purge(PyObject* self, PyObject*) noexcept {
  return status_call(self, [](JobQueue& q) { return q.purge(); });
}

PyObject* engine_flush(PyObject* self, PyObject*) noexcept {
  return status_call(self, [](JobQueue& q) { return q.flush(); });
}

PyObject* engine_verify(PyObject* self, PyObject*) noexcept {
  return engine_call(
      self, [](JobQueue& q) { return q.verify_integrity(); }, integrity_dict);
}

PyObject* engine_last_repair(PyObject* self, PyObject*) noexcept {
  return guarded<raise_internal>([&]() -> PyObject* {
    std::shared_ptr<JobQueue> queue = queue_of(self);
    if (!queue) return raise_closed("queue");
    return repair_dict(without_gil([&] { return queue->last_repair(); }));
  });
}

// --- the type ---

// Each docstring starts with the signature the interpreter shows
// (__text_signature__); python/tarnwick_queue/_native.pyi states the types.
PyMethodDef g_engine_methods[] = {
    {"put", engine_put, METH_VARARGS,
     "put($self, bodies, delay_ms, priority=0, group=None, headers=None, /)\n--\n\n"
     "Appends the bodies (a list of bytes) as new messages in one locked,\n"
     "synced step, all or none; each is due `delay_ms` milliseconds from now\n"
     "(0: at once). Returns their ids, in order."},
    {"put_one", engine_put_one, METH_VARARGS,
     "put_one($self, body, delay_ms, priority=0, key=None, unique_for_ms=0, group=None,\n"
     "        headers=None, /)\n--\n\n"
     "put() of one bytes body, without the lists: returns its id. `priority`\n"
     "-100..100 (higher first), `key` and `group` a str of at most 255 bytes\n"
     "or None, `headers` opaque bytes or None. While a message holds `key`\n"
     "(live, or left less than its `unique_for_ms` ago) nothing is written\n"
     "and its id is returned."},
    {"cancel", engine_cancel, METH_VARARGS,
     "cancel($self, seq, /)\n--\n\n"
     "Removes the message if it is ready or scheduled; False (nothing\n"
     "written) when it is leased, settled or unknown."},
    {"set_paused", engine_set_paused, METH_VARARGS,
     "set_paused($self, paused, /)\n--\n\n"
     "Stores whether the queue is paused (a paused queue leases nothing)."},
    {"is_paused", engine_is_paused, METH_NOARGS,
     "is_paused($self, /)\n--\n\n"
     "Whether the queue is paused, as stored now."},
    {"group_limit", engine_group_limit, METH_NOARGS,
     "group_limit($self, /)\n--\n\n"
     "How many messages of one group may be leased at once (1 by default)."},
    {"set_group_limit", engine_set_group_limit, METH_VARARGS,
     "set_group_limit($self, limit, /)\n--\n\n"
     "Stores the group limit (an int >= 1) with the queue."},
    {"schedules", engine_schedules, METH_NOARGS,
     "schedules($self, /)\n--\n\n"
     "Every schedule stored in the queue: a dict of its name to its state\n"
     "(bytes)."},
    {"schedule_change", engine_schedule_change, METH_VARARGS,
     "schedule_change($self, name, expected, new, puts, /)\n--\n\n"
     "In one locked step and one record: when the schedule `name` (a str of\n"
     "1 to 200 bytes in UTF-8, no NUL) holds exactly `expected` (bytes; None:\n"
     "there is no such schedule), stores `new` (bytes of at most 256 KiB;\n"
     "None: removes it) and puts the messages `puts`, a list of\n"
     "(body, priority, key, unique_for_ms, headers) as put_one() takes them,\n"
     "ready now. Returns their ids in order (a put whose key is held writes\n"
     "nothing and gets the holder's id); None, and nothing written, when the\n"
     "schedule holds something else. A crash leaves all of the change or\n"
     "none of it."},
    {"take", engine_take, METH_VARARGS,
     "take($self, max, lease_ms, max_deliveries, /)\n--\n\n"
     "Leases up to `max` ready messages, highest priority then smallest id\n"
     "first (a paused queue none; a group at its limit waits), for `lease_ms`\n"
     "milliseconds (None: the queue's lease). With `max_deliveries` > 0, a\n"
     "message that would be delivered more often than that goes to the dead\n"
     "letters instead. Returns (rows, next_due_ms, options): the rows\n"
     "(seq, body, deliveries, enqueued_ms, deadline_ms) of the messages leased;\n"
     "options None when none of them was put with options, else a list beside\n"
     "the rows of None or (priority, key, group, headers);\n"
     "and, when it leased none, when the earliest leased or delayed message\n"
     "comes due (epoch ms, None when none is), read under the same lock. The\n"
     "lease token the settling methods take is\n"
     "(seq, enqueued_ms, deliveries, deadline_ms)."},
    {"ack_then_take", engine_ack_then_take, METH_VARARGS,
     "ack_then_take($self, token, max, lease_ms, max_deliveries, /)\n--\n\n"
     "ack(token), then take(max, lease_ms, max_deliveries), in one locked\n"
     "step whose records share one sync. Returns (acked, rows, next_due_ms,\n"
     "options): whether the ack was made (False: the lease was no longer\n"
     "current), then what take() returns; the take happens either way."},
    {"ack", engine_ack, METH_VARARGS,
     "ack($self, token, result=None, /)\n--\n\n"
     "Removes the leased message, keeping its outcome (with `result`, bytes\n"
     "of at most 1 MiB or None) for keep_acked_ms in the same record. False\n"
     "(and nothing written) when `token` is no longer its current lease: it\n"
     "expired, or the message was settled."},
    {"ack_many", engine_ack_many, METH_VARARGS,
     "ack_many($self, tokens, /)\n--\n\n"
     "Acks every message whose lease in `tokens` (a list) is still current,\n"
     "in one locked step and one commit (all or none reach the log). Returns\n"
     "the positions in `tokens` of the leases that were not current; a lease\n"
     "given twice is acked once."},
    {"nack", engine_nack, METH_VARARGS,
     "nack($self, token, delay_ms, error=None, /)\n--\n\n"
     "Gives the leased message back, due again `delay_ms` milliseconds from\n"
     "now, keeping `error` (a str of at most 16 KiB in UTF-8, or None) as the\n"
     "error of the delivery that ended. False when `token` is no longer its\n"
     "current lease."},
    {"bury", engine_bury, METH_VARARGS,
     "bury($self, token, reason, /)\n--\n\n"
     "Moves the leased message to the dead letters, with the str `reason`.\n"
     "False when `token` is no longer its current lease."},
    {"extend", engine_extend, METH_VARARGS,
     "extend($self, token, lease_ms, /)\n--\n\n"
     "Renews the lease to end `lease_ms` milliseconds from now (None: the\n"
     "queue's lease). Returns the new deadline in epoch milliseconds, or None\n"
     "when `token` is no longer the current lease."},
    {"peek", engine_peek, METH_VARARGS,
     "peek($self, limit, bodies, /)\n--\n\n"
     "Up to `limit` live messages, smallest id first, without leasing them or\n"
     "writing anything: a list of\n"
     "(seq, state, deliveries, enqueued_ms, due_ms, size, body, started_ms,\n"
     "extensions, consumer, priority, key, group, headers), where state is\n"
     "'ready', 'leased' or 'scheduled',\n"
     "due_ms the end of a lease or delay (None when ready), body None unless\n"
     "`bodies` is true; for a leased message, when its delivery began (None\n"
     "when unknown), how often its lease was extended and who holds it (None\n"
     "when unknown)."},
    {"status", engine_status, METH_VARARGS,
     "status($self, seq, /)\n--\n\n"
     "The message `seq`, live or with its outcome kept: (seq, state,\n"
     "deliveries, enqueued_ms, started_ms, finished_ms, result, errors,\n"
     "consumers, priority, key, group, headers, dead_letter_id), state one of\n"
     "'ready', 'scheduled', 'leased', 'acked', 'dead', 'cancelled'; None when\n"
     "the queue has no such message and keeps no outcome of it."},
    {"outcomes", engine_outcomes, METH_VARARGS,
     "outcomes($self, state, limit, since_ms, /)\n--\n\n"
     "Up to `limit` kept outcomes as status() rows, the latest finished\n"
     "first, of `state` ('acked', 'dead', 'cancelled'; None: any), finished\n"
     "at or after `since_ms` (None: any time)."},
    {"next_due", engine_next_due, METH_NOARGS,
     "next_due($self, /)\n--\n\n"
     "The earliest time (epoch milliseconds) a lease or a delay ends, or None."},
    {"stats", engine_stats, METH_NOARGS,
     "stats($self, /)\n--\n\n"
     "The queue's counts as a dict: ready, in_flight, total, the running\n"
     "totals, next_seq, live_bytes, log_bytes, generation, persistent,\n"
     "scheduled, dead_letters, paused, oldest_running: (seq, started_ms)\n"
     "of the delivery in flight that began first, or None, and\n"
     "oldest_ready_ms: when the ready message that waited longest became\n"
     "ready, or None. in_flight counts leases only; delays are scheduled."},
    {"dead_count", engine_dead_count, METH_NOARGS,
     "dead_count($self, /)\n--\n\n"
     "How many dead letters there are."},
    {"dead_list", engine_dead_list, METH_VARARGS,
     "dead_list($self, limit, /)\n--\n\n"
     "Up to `limit` dead letters, oldest first: a list of\n"
     "(id, original_id, body, deliveries, enqueued_ms, died_ms, reason)."},
    {"dead_requeue", engine_dead_requeue, METH_VARARGS,
     "dead_requeue($self, ids, /)\n--\n\n"
     "Puts the dead letters named in `ids` (a list; None: all of them) back\n"
     "as new messages. Returns how many."},
    {"dead_purge", engine_dead_purge, METH_NOARGS,
     "dead_purge($self, /)\n--\n\n"
     "Deletes every dead letter. Returns how many."},
    {"compact", engine_compact, METH_NOARGS,
     "compact($self, /)\n--\n\n"
     "Rewrites the log with only the live messages."},
    {"preallocate_log", engine_preallocate_log, METH_NOARGS,
     "preallocate_log($self, /)\n--\n\n"
     "Rewrites the log as a preallocated one (format 5: written ahead with\n"
     "zeros, overwritten, synced by fdatasync), unless it is one already.\n"
     "Releases before format 5 refuse such a log."},
    {"purge", engine_purge, METH_NOARGS,
     "purge($self, /)\n--\n\n"
     "Removes every message (the dead letters stay)."},
    {"flush", engine_flush, METH_NOARGS,
     "flush($self, /)\n--\n\n"
     "Writes and syncs everything appended so far."},
    {"verify", engine_verify, METH_NOARGS,
     "verify($self, /)\n--\n\n"
     "Re-reads the whole log, checking every record, and changes nothing.\n"
     "Returns {ok, records, bytes, message, damaged, tail, intact_records};\n"
     "damaged lists the ranges {offset, bytes, reason} between intact\n"
     "records, tail is a torn tail's range or None."},
    {"last_repair", engine_last_repair, METH_NOARGS,
     "last_repair($self, /)\n--\n\n"
     "What opening the queue repaired in its log: {skipped, cut_tail,\n"
     "records_kept, orphan_records, damaged_copy, generation}, or None when\n"
     "the log needed no repair."},
    {"set_consumer", engine_set_consumer, METH_VARARGS,
     "set_consumer($self, consumer, /)\n--\n\n"
     "Names who takes through this object: a str of at most 64 bytes in\n"
     "UTF-8 (empty: unknown). Its leases name it, with when each delivery\n"
     "began and how often its lease was extended (see peek())."},
    {"close", engine_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Syncs and closes the queue; later calls raise ValueError. Closing\n"
     "twice does nothing."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_engine_getset[] = {
    {"closed", engine_closed, nullptr, "True once close() was called.", nullptr},
    {"consumer", engine_consumer, nullptr,
     "Who takes through this object (set_consumer()); empty: unknown.", nullptr},
    {"directory", engine_directory, nullptr,
     "The queue's directory, or None for a queue in memory (\":memory:\").", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kEngineDoc[] =
    "Engine(path, sync_interval_ms, lease_ms, auto_compact_bytes, read_only=False,\n"
    "       keep_acked_ms=0, keep_dead_ms=0, keep_cancelled_ms=0)\n--\n\n"
    "One open queue: the directory `path` (created when missing, unless\n"
    "`read_only`) or \":memory:\". Single operations sync at most\n"
    "`sync_interval_ms` apart (0: each one syncs); `lease_ms` is the default\n"
    "lease; the log is compacted once it passes `auto_compact_bytes` (0:\n"
    "never). Read-only, every call that would write raises OSError. The\n"
    "keep_*_ms are how long the outcomes of the messages it acks, moves to\n"
    "the dead letters or cancels are kept (0: none).\n\n"
    "Engine errors raise OSError (TimeoutError for a lock that stayed busy),\n"
    "naming the directory; OverflowError when no id is left; RuntimeError for\n"
    "a broken invariant; ValueError once closed. Each call runs without the\n"
    "interpreter lock.";

PyType_Slot g_engine_slots[] = {
    {Py_tp_doc, const_cast<char*>(kEngineDoc)},
    {Py_tp_new, py::as_slot(engine_new)},
    {Py_tp_dealloc, py::as_slot(engine_dealloc)},
    {Py_tp_methods, g_engine_methods},
    {Py_tp_getset, g_engine_getset},
    {0, nullptr},
};

PyType_Spec g_engine_spec = {"tarnwick_queue._native.Engine", sizeof(EngineObject), 0,
                             Py_TPFLAGS_DEFAULT, g_engine_slots};

}  // namespace

int add_engine_type(PyObject* module) { return py::add_type(module, &g_engine_spec, "Engine"); }

}  // namespace tarnwick::face
