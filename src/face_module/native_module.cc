// tarnwick_queue._native: the few operations of the Python package that must
// run inside one critical section, on the engine's JobQueue. The Python side
// converts and checks arguments (seconds to milliseconds, bodies to bytes);
// this layer takes positional arguments only and releases the interpreter
// lock for every engine call, so that a wait for another process's lock or a
// sync does not stop the process's other threads.
#define PY_SSIZE_T_CLEAN  // the "s#" formats pass Py_ssize_t lengths
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "log_io/dir_watch.h"
#include "log_io/log_format.h"
#include "module/py_ref.h"
#include "process_lock/process_lock.h"
#include "queue/job_queue.h"

namespace tarnwick::face {
namespace {

using py::PyRef;

// --- errors ---

// OSErrors name the queue's path (`path`, empty for ":memory:") at the end of
// their message: the engine's texts name at most a file inside the queue
// directory. (Not in the filename attribute: with it set, str() would be
// Python's "[Errno N] None: 'path'" rather than the message.)
PyObject* raise_os_error(PyObject* type, const std::string& text, const Error& error,
                         const std::string& path) {
  const std::string message = path.empty() ? text : text + ": '" + path + "'";
  PyRef exc = PyRef::steal(PyObject_CallFunction(type, "s", message.c_str()));
  if (!exc) return nullptr;
  if (error.kind() == ErrorKind::kOs) {
    PyRef code = PyRef::steal(PyLong_FromLong(error.os_code()));
    if (!code || PyObject_SetAttrString(exc.get(), "errno", code.get()) < 0) return nullptr;
  }
  PyErr_SetObject(type, exc.get());
  return nullptr;
}

PyObject* raise_error(const Error& error, const std::string& path) {
  // An interrupted lock wait left the signal handler's exception pending.
  if (error.kind() == ErrorKind::kInterrupted && PyErr_Occurred()) return nullptr;
  const std::string text = error.text();
  if (error.is_timeout()) return raise_os_error(PyExc_TimeoutError, text, error, path);
  if (error.kind() == ErrorKind::kIdsExhausted) {
    PyErr_SetString(PyExc_OverflowError, text.c_str());
    return nullptr;
  }
  if (error.kind() == ErrorKind::kInvariant || error.kind() == ErrorKind::kBodyBounds) {
    PyErr_SetString(PyExc_RuntimeError, ("tarnwick: " + text).c_str());
    return nullptr;
  }
  return raise_os_error(PyExc_OSError, "Tarnwick I/O error: " + text, error, path);
}

PyObject* raise_closed() {
  PyErr_SetString(PyExc_ValueError, "operation on a closed queue");
  return nullptr;
}

template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
}

// Asked between the sleeps of a lock wait: runs the signal handlers (Ctrl-C
// among them) with the interpreter lock taken back for a moment, and ends the
// wait when one raised.
bool signal_raised(void* context) {
  auto* state = static_cast<PyThreadState**>(context);
  PyEval_RestoreThread(*state);
  const bool raised = PyErr_CheckSignals() < 0;
  *state = PyEval_SaveThread();
  return raised;
}

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

// --- conversions (the Python side has checked types and ranges) ---

int to_u64(PyObject* obj, void* out) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return 0;
  *static_cast<uint64_t*>(out) = value;
  return 1;
}

int to_optional_u64(PyObject* obj, void* out) {
  auto* target = static_cast<std::optional<uint64_t>*>(out);
  if (obj == Py_None) {
    target->reset();
    return 1;
  }
  uint64_t value = 0;
  if (!to_u64(obj, &value)) return 0;
  *target = value;
  return 1;
}

int to_token(PyObject* obj, void* out) {
  auto* token = static_cast<LeaseToken*>(out);
  unsigned long long seq = 0, ts = 0, deadline = 0;
  unsigned int deliveries = 0;
  return PyArg_ParseTuple(obj, "KKIK", &seq, &ts, &deliveries, &deadline)
             ? (*token = LeaseToken{seq, ts, deliveries, deadline}, 1)
             : 0;
}

ByteSpan bytes_view(PyObject* bytes) {
  return ByteSpan(reinterpret_cast<const uint8_t*>(PyBytes_AsString(bytes)),
                  static_cast<size_t>(PyBytes_Size(bytes)));
}

PyObject* new_bytes(std::span<const uint8_t> data) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                   static_cast<Py_ssize_t>(data.size()));
}

PyObject* new_u64(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* new_optional_u64(const std::optional<uint64_t>& value) {
  if (!value) Py_RETURN_NONE;
  return new_u64(*value);
}

// Builds a list, stealing each item; null (with the error set) if any failed.
template <class Items, class Make>
PyObject* new_list(const Items& items, Make&& make) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* obj = make(item);
    if (obj == nullptr) return nullptr;
    PyList_SetItem(list.get(), i++, obj);
  }
  return list.release();
}

// --- the Engine type ---

struct EngineObject {
  PyObject_HEAD
  // Shared with calls in progress, so close() in one thread cannot free the
  // queue under a call that runs in another with the interpreter lock released.
  std::shared_ptr<JobQueue>* queue;
};

std::shared_ptr<JobQueue> queue_of(PyObject* self) {
  auto* holder = reinterpret_cast<EngineObject*>(self)->queue;
  return holder != nullptr ? *holder : nullptr;
}

// Calls `op(JobQueue&)` without the interpreter lock, then `convert(value)`
// with it; engine errors become exceptions.
template <class Op, class Convert>
PyObject* engine_call(PyObject* self, Op&& op, Convert&& convert) {
  return guarded([&]() -> PyObject* {
    std::shared_ptr<JobQueue> queue = queue_of(self);
    if (!queue) return raise_closed();
    auto result = without_gil([&] { return op(*queue); });
    if (!result.ok()) return raise_error(result.error(), queue->directory());
    return convert(result.value());
  });
}

template <class Op>
PyObject* status_call(PyObject* self, Op&& op) {
  return guarded([&]() -> PyObject* {
    std::shared_ptr<JobQueue> queue = queue_of(self);
    if (!queue) return raise_closed();
    Status status = without_gil([&] { return op(*queue); });
    if (!status.ok()) return raise_error(status.error(), queue->directory());
    Py_RETURN_NONE;
  });
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"path", "sync_interval_ms", "lease_ms", "auto_compact_bytes",
                                  "read_only", nullptr};
    const char* path = nullptr;
    Settings settings;
    int read_only = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sO&O&O&|p", const_cast<char**>(names), &path,
                                     to_u64, &settings.sync_interval_ms, to_u64,
                                     &settings.default_lease_ms, to_u64,
                                     &settings.auto_compact_bytes, &read_only)) {
      return nullptr;
    }
    const std::string where(path);
    const Access access = read_only != 0 ? Access::kReadOnly : Access::kReadWrite;
    auto opened = without_gil([&] { return JobQueue::open(where, settings, access); });
    if (!opened.ok()) return raise_error(opened.error(), where == ":memory:" ? "" : where);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
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
  PyTypeObject* type = Py_TYPE(self);
  close_queue(self);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

PyObject* engine_close(PyObject* self, PyObject*) noexcept {
  close_queue(self);
  Py_RETURN_NONE;
}

PyObject* engine_closed(PyObject* self, void*) noexcept {
  return PyBool_FromLong(reinterpret_cast<EngineObject*>(self)->queue == nullptr);
}

PyObject* engine_directory(PyObject* self, void*) noexcept {
  std::shared_ptr<JobQueue> queue = queue_of(self);
  if (!queue) return raise_closed();
  if (queue->directory().empty()) Py_RETURN_NONE;
  return PyUnicode_DecodeFSDefault(queue->directory().c_str());
}

// put(bodies: list[bytes], delay_ms) -> list[int]
PyObject* engine_put(PyObject* self, PyObject* args) noexcept {
  PyObject* list = nullptr;
  uint64_t delay_ms = 0;
  if (!PyArg_ParseTuple(args, "O!O&", &PyList_Type, &list, to_u64, &delay_ms)) return nullptr;
  return guarded([&]() -> PyObject* {
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
    return engine_call(
        self, [&](JobQueue& q) { return q.put(bodies, delay_ms); },
        [](const std::vector<uint64_t>& seqs) { return new_list(seqs, new_u64); });
  });
}

// put_one(body: bytes, delay_ms) -> int: put() without the lists.
PyObject* engine_put_one(PyObject* self, PyObject* args) noexcept {
  PyObject* body = nullptr;
  uint64_t delay_ms = 0;
  if (!PyArg_ParseTuple(args, "O!O&", &PyBytes_Type, &body, to_u64, &delay_ms)) return nullptr;
  const ByteSpan one = bytes_view(body);  // `args` keeps the bytes alive
  return engine_call(
      self, [&](JobQueue& q) { return q.put(std::span(&one, 1), delay_ms); },
      [](const std::vector<uint64_t>& seqs) { return new_u64(seqs.at(0)); });
}

PyObject* new_taken(const TakenMessage& m) {
  return Py_BuildValue("(KNIKK)", static_cast<unsigned long long>(m.lease.seq),
                       new_bytes(m.body), m.lease.deliveries,
                       static_cast<unsigned long long>(m.lease.enqueued_ts_ms),
                       static_cast<unsigned long long>(m.lease.deadline_ms));
}

// take(max, lease_ms | None, max_deliveries) -> list[(seq, body, deliveries, enqueued_ms, deadline_ms)]
PyObject* engine_take(PyObject* self, PyObject* args) noexcept {
  uint64_t max = 0;
  std::optional<uint64_t> lease_ms;
  unsigned int max_deliveries = 0;
  if (!PyArg_ParseTuple(args, "O&O&I", to_u64, &max, to_optional_u64, &lease_ms,
                        &max_deliveries)) {
    return nullptr;
  }
  return engine_call(
      self, [&](JobQueue& q) { return q.take(max, lease_ms, max_deliveries); },
      [](const std::vector<TakenMessage>& taken) { return new_list(taken, new_taken); });
}

PyObject* new_bool(bool value) { return PyBool_FromLong(value); }

// ack(token) -> bool; nack(token, delay_ms) -> bool; bury(token, reason) -> bool;
// extend(token, lease_ms | None) -> deadline_ms | None
PyObject* engine_ack(PyObject* self, PyObject* args) noexcept {
  LeaseToken token;
  if (!PyArg_ParseTuple(args, "O&", to_token, &token)) return nullptr;
  return engine_call(self, [&](JobQueue& q) { return q.ack(token); }, new_bool);
}

// ack_many(tokens: list[token]) -> list[int]: the positions of the tokens
// whose lease was no longer current.
PyObject* engine_ack_many(PyObject* self, PyObject* args) noexcept {
  PyObject* list = nullptr;
  if (!PyArg_ParseTuple(args, "O!", &PyList_Type, &list)) return nullptr;
  return guarded([&]() -> PyObject* {
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
      if (!to_token(item, &tokens[static_cast<size_t>(i)])) return nullptr;
    }
    return engine_call(
        self, [&](JobQueue& q) { return q.ack_many(tokens); },
        [](const std::vector<size_t>& refused) {
          return new_list(refused, [](size_t at) { return PyLong_FromSize_t(at); });
        });
  });
}

PyObject* engine_nack(PyObject* self, PyObject* args) noexcept {
  LeaseToken token;
  uint64_t delay_ms = 0;
  if (!PyArg_ParseTuple(args, "O&O&", to_token, &token, to_u64, &delay_ms)) return nullptr;
  return engine_call(self, [&](JobQueue& q) { return q.nack(token, delay_ms); }, new_bool);
}

PyObject* engine_bury(PyObject* self, PyObject* args) noexcept {
  LeaseToken token;
  const char* reason = nullptr;
  Py_ssize_t reason_len = 0;
  if (!PyArg_ParseTuple(args, "O&s#", to_token, &token, &reason, &reason_len)) return nullptr;
  const std::string_view text(reason, static_cast<size_t>(reason_len));
  return engine_call(self, [&](JobQueue& q) { return q.bury(token, text); }, new_bool);
}

PyObject* engine_extend(PyObject* self, PyObject* args) noexcept {
  LeaseToken token;
  std::optional<uint64_t> lease_ms;
  if (!PyArg_ParseTuple(args, "O&O&", to_token, &token, to_optional_u64, &lease_ms)) {
    return nullptr;
  }
  return engine_call(self, [&](JobQueue& q) { return q.extend(token, lease_ms); },
                     new_optional_u64);
}

const char* state_name(MessageState state) {
  switch (state) {
    case MessageState::kLeased: return "leased";
    case MessageState::kScheduled: return "scheduled";
    case MessageState::kReady: break;
  }
  return "ready";
}

PyObject* new_summary(const MessageSummary& m, bool bodies) {
  PyObject* body = bodies ? new_bytes(m.body) : (Py_INCREF(Py_None), Py_None);
  return Py_BuildValue("(KsIKNIN)", static_cast<unsigned long long>(m.seq), state_name(m.state),
                       m.deliveries, static_cast<unsigned long long>(m.enqueued_ts_ms),
                       new_optional_u64(m.due_ms), m.size, body);
}

// peek(limit, bodies) -> list[(seq, state, deliveries, enqueued_ms, due_ms, size, body)]
PyObject* engine_peek(PyObject* self, PyObject* args) noexcept {
  uint64_t limit = 0;
  int bodies = 0;
  if (!PyArg_ParseTuple(args, "O&p", to_u64, &limit, &bodies)) return nullptr;
  return engine_call(
      self, [&](JobQueue& q) { return q.peek(limit, bodies != 0); },
      [&](const std::vector<MessageSummary>& found) {
        return new_list(found, [&](const MessageSummary& m) { return new_summary(m, bodies); });
      });
}

PyObject* engine_next_due(PyObject* self, PyObject*) noexcept {
  return engine_call(self, [](JobQueue& q) { return q.next_due_ms(); }, new_optional_u64);
}

PyObject* new_stats(const JobStats& s) {
  const QueueStats& c = s.core;
  using ull = unsigned long long;
  return Py_BuildValue(
      "{sKsKsKsKsKsKsKsKsKsKsKsOsKsK}", "ready", ull{c.ready}, "in_flight", ull{c.in_flight},
      "total", ull{c.total}, "enqueued_total", ull{c.enqueued_total}, "acked_total",
      ull{c.acked_total}, "requeued_total", ull{c.requeued_total}, "dead_total", ull{c.dead_total},
      "next_seq", ull{c.next_seq}, "live_bytes", ull{c.live_bytes}, "log_bytes", ull{c.log_bytes},
      "generation", ull{c.generation}, "persistent", c.persistent ? Py_True : Py_False,
      "scheduled", ull{s.scheduled}, "dead_letters", ull{s.dead_letters});
}

PyObject* engine_stats(PyObject* self, PyObject*) noexcept {
  return engine_call(self, [](JobQueue& q) { return q.stats(); }, new_stats);
}

PyObject* engine_dead_count(PyObject* self, PyObject*) noexcept {
  return engine_call(self, [](JobQueue& q) { return q.dead_letter_count(); }, new_u64);
}

PyObject* new_dead_letter(const DeadLetter& d) {
  return Py_BuildValue("(KKNIKKN)", static_cast<unsigned long long>(d.id),
                       static_cast<unsigned long long>(d.original_seq), new_bytes(d.body),
                       d.deliveries, static_cast<unsigned long long>(d.enqueued_ts_ms),
                       static_cast<unsigned long long>(d.died_ts_ms),
                       PyUnicode_DecodeUTF8(d.reason.data(),
                                            static_cast<Py_ssize_t>(d.reason.size()), "replace"));
}

// dead_list(limit) -> list[(id, original_id, body, deliveries, enqueued_ms, died_ms, reason)]
PyObject* engine_dead_list(PyObject* self, PyObject* args) noexcept {
  uint64_t limit = 0;
  if (!PyArg_ParseTuple(args, "O&", to_u64, &limit)) return nullptr;
  return engine_call(
      self, [&](JobQueue& q) { return q.dead_letters(limit); },
      [](const std::vector<DeadLetter>& letters) { return new_list(letters, new_dead_letter); });
}

// dead_requeue(ids: list[int] | None) -> int
PyObject* engine_dead_requeue(PyObject* self, PyObject* args) noexcept {
  PyObject* given = nullptr;
  if (!PyArg_ParseTuple(args, "O", &given)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::optional<std::vector<uint64_t>> ids;
    if (given != Py_None) {
      if (!PyList_Check(given)) {
        PyErr_SetString(PyExc_TypeError, "ids must be a list of ints");
        return nullptr;
      }
      ids.emplace();
      for (Py_ssize_t i = 0; i < PyList_Size(given); ++i) {
        uint64_t id = 0;
        if (!to_u64(PyList_GetItem(given, i), &id)) return nullptr;
        ids->push_back(id);
      }
    }
    return engine_call(
        self, [&](JobQueue& q) { return q.requeue_dead(std::move(ids)); }, new_u64);
  });
}

PyObject* engine_dead_purge(PyObject* self, PyObject*) noexcept {
  return engine_call(self, [](JobQueue& q) { return q.purge_dead(); }, new_u64);
}

PyObject* engine_compact(PyObject* self, PyObject*) noexcept {
  return status_call(self, [](JobQueue& q) { return q.core().compact(); });
}

PyObject* engine_purge(PyObject* self, PyObject*) noexcept {
  return status_call(self, [](JobQueue& q) { return q.core().purge(); });
}

PyObject* engine_flush(PyObject* self, PyObject*) noexcept {
  return status_call(self, [](JobQueue& q) { return q.core().flush(); });
}

// {offset, bytes, reason}
PyObject* new_range(const DamagedRange& r) {
  return Py_BuildValue("{sKsKsN}", "offset", static_cast<unsigned long long>(r.offset), "bytes",
                       static_cast<unsigned long long>(r.bytes), "reason",
                       PyUnicode_DecodeUTF8(r.reason.data(),
                                            static_cast<Py_ssize_t>(r.reason.size()), "replace"));
}

PyObject* new_optional_range(const std::optional<DamagedRange>& r) {
  if (!r) Py_RETURN_NONE;
  return new_range(*r);
}

// {ok, records, bytes, message, damaged: [range], tail: range | None, intact_records}
PyObject* new_integrity(const IntegrityReport& r) {
  return Py_BuildValue("{sOsKsKsssNsNsK}", "ok", r.ok ? Py_True : Py_False, "records",
                       static_cast<unsigned long long>(r.records), "bytes",
                       static_cast<unsigned long long>(r.bytes), "message", r.message.c_str(),
                       "damaged", new_list(r.damaged, new_range), "tail",
                       new_optional_range(r.tail), "intact_records",
                       static_cast<unsigned long long>(r.intact_records));
}

// {skipped: [range], cut_tail: range | None, records_kept, orphan_records,
//  damaged_copy: str | None, generation}, or None when nothing was repaired
PyObject* new_repair(const std::optional<RepairReport>& report) {
  if (!report) Py_RETURN_NONE;
  const RepairReport& r = *report;
  PyObject* copy = r.damaged_copy.empty()
                       ? (Py_INCREF(Py_None), Py_None)
                       : PyUnicode_DecodeFSDefaultAndSize(
                             r.damaged_copy.data(), static_cast<Py_ssize_t>(r.damaged_copy.size()));
  return Py_BuildValue("{sNsNsKsKsNsK}", "skipped", new_list(r.skipped, new_range), "cut_tail",
                       new_optional_range(r.cut_tail), "records_kept",
                       static_cast<unsigned long long>(r.records_kept), "orphan_records",
                       static_cast<unsigned long long>(r.orphan_records), "damaged_copy", copy,
                       "generation", static_cast<unsigned long long>(r.generation));
}

PyObject* engine_verify(PyObject* self, PyObject*) noexcept {
  return engine_call(
      self, [](JobQueue& q) { return q.core().verify_integrity(); }, new_integrity);
}

PyObject* engine_last_repair(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    std::shared_ptr<JobQueue> queue = queue_of(self);
    if (!queue) return raise_closed();
    return new_repair(without_gil([&] { return queue->core().last_repair(); }));
  });
}

PyMethodDef g_engine_methods[] = {
    {"put", engine_put, METH_VARARGS, nullptr},
    {"put_one", engine_put_one, METH_VARARGS, nullptr},
    {"take", engine_take, METH_VARARGS, nullptr},
    {"ack", engine_ack, METH_VARARGS, nullptr},
    {"ack_many", engine_ack_many, METH_VARARGS, nullptr},
    {"nack", engine_nack, METH_VARARGS, nullptr},
    {"bury", engine_bury, METH_VARARGS, nullptr},
    {"extend", engine_extend, METH_VARARGS, nullptr},
    {"peek", engine_peek, METH_VARARGS, nullptr},
    {"next_due", engine_next_due, METH_NOARGS, nullptr},
    {"stats", engine_stats, METH_NOARGS, nullptr},
    {"dead_count", engine_dead_count, METH_NOARGS, nullptr},
    {"dead_list", engine_dead_list, METH_VARARGS, nullptr},
    {"dead_requeue", engine_dead_requeue, METH_VARARGS, nullptr},
    {"dead_purge", engine_dead_purge, METH_NOARGS, nullptr},
    {"compact", engine_compact, METH_NOARGS, nullptr},
    {"purge", engine_purge, METH_NOARGS, nullptr},
    {"flush", engine_flush, METH_NOARGS, nullptr},
    {"verify", engine_verify, METH_NOARGS, nullptr},
    {"last_repair", engine_last_repair, METH_NOARGS, nullptr},
    {"close", engine_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_engine_getset[] = {
    {"closed", engine_closed, nullptr, nullptr, nullptr},
    {"directory", engine_directory, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, g_engine_methods},
    {Py_tp_getset, g_engine_getset},
    {0, nullptr},
};

PyType_Spec g_engine_spec = {"tarnwick_queue._native.Engine", sizeof(EngineObject), 0,
                             Py_TPFLAGS_DEFAULT, g_engine_slots};

// --- the Watch type ---

struct WatchObject {
  PyObject_HEAD
  DirectoryWatch* watch;
};

PyObject* watch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"directory", "file_name", nullptr};
    const char* dir = nullptr;
    const char* file_name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ss", const_cast<char**>(names), &dir,
                                     &file_name)) {
      return nullptr;
    }
    auto opened = DirectoryWatch::open(dir, file_name);
    if (!opened.ok()) return raise_error(opened.error(), dir);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<WatchObject*>(self)->watch = new DirectoryWatch(std::move(opened).value());
    return self;
  });
}

void watch_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete std::exchange(reinterpret_cast<WatchObject*>(self)->watch, nullptr);
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

DirectoryWatch* watch_of(PyObject* self) {
  DirectoryWatch* watch = reinterpret_cast<WatchObject*>(self)->watch;
  if (watch == nullptr) PyErr_SetString(PyExc_ValueError, "operation on a closed watch");
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
  if (!drained.ok()) return raise_error(drained.error(), std::string());
  Py_RETURN_NONE;
}

PyObject* watch_close(PyObject* self, PyObject*) noexcept {
  delete std::exchange(reinterpret_cast<WatchObject*>(self)->watch, nullptr);
  Py_RETURN_NONE;
}

PyMethodDef g_watch_methods[] = {
    {"fileno", watch_fileno, METH_NOARGS, nullptr},
    {"drain", watch_drain, METH_NOARGS, nullptr},
    {"close", watch_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_watch_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(watch_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(watch_dealloc)},
    {Py_tp_methods, g_watch_methods},
    {0, nullptr},
};

PyType_Spec g_watch_spec = {"tarnwick_queue._native.Watch", sizeof(WatchObject), 0,
                            Py_TPFLAGS_DEFAULT, g_watch_slots};

// --- the module ---

int add_type(PyObject* module, PyType_Spec* type_spec, const char* name) {
  PyRef type = PyRef::steal(PyType_FromSpec(type_spec));
  if (!type) return -1;
  if (PyModule_AddObject(module, name, type.get()) < 0) return -1;
  (void)type.release();  // the module owns it now
  return 0;
}

int exec_module(PyObject* module) {
  if (add_type(module, &g_engine_spec, "Engine") < 0) return -1;
  if (add_type(module, &g_watch_spec, "Watch") < 0) return -1;
  return PyModule_AddIntConstant(module, "MAX_BODY_LEN", static_cast<long>(MAX_BODY_LEN));
}

PyModuleDef_Slot g_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

// verify(directory) -> the integrity dict: reads the directory's queue.log
// without opening a queue, so nothing in the directory changes.
PyObject* module_verify(PyObject*, PyObject* args) noexcept {
  const char* dir = nullptr;
  if (!PyArg_ParseTuple(args, "s", &dir)) return nullptr;
  return guarded([&]() -> PyObject* {
    const std::string where(dir);
    auto report = without_gil([&] { return verify_queue_directory(where); });
    if (!report.ok()) return raise_error(report.error(), where);
    return new_integrity(report.value());
  });
}

// repair(directory) -> the repair dict, or None when the log needed none:
// opens the plain queue in the directory (which repairs its log) and closes it.
PyObject* module_repair(PyObject*, PyObject* args) noexcept {
  const char* dir = nullptr;
  if (!PyArg_ParseTuple(args, "s", &dir)) return nullptr;
  return guarded([&]() -> PyObject* {
    const std::string where(dir);
    Settings settings;
    settings.auto_compact_bytes = 0;
    auto repaired = without_gil([&]() -> Result<std::optional<RepairReport>> {
      TW_ASSIGN_OR_RETURN(std::unique_ptr<Queue> queue, Queue::open(where, settings));
      return queue->last_repair();
    });
    if (!repaired.ok()) return raise_error(repaired.error(), where);
    return new_repair(repaired.value());
  });
}

PyMethodDef g_module_functions[] = {
    {"verify", module_verify, METH_VARARGS, nullptr},
    {"repair", module_repair, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "tarnwick_queue._native", nullptr, 0, g_module_functions,
    g_module_slots,        nullptr,                  nullptr, nullptr,
};

}  // namespace
}  // namespace tarnwick::face

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&tarnwick::face::g_module_def); }
