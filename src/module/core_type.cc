// TarnwickCore: constructor, destructor and the fifteen methods. Each method
// converts its arguments in parameter order, makes one engine call (which
// takes and releases the locks itself) and converts the result.
#include "module/core_type.h"

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "binding/heap_type.h"
#include "module/call_frame.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/results.h"

namespace tarnwick::py {
namespace {

constexpr char kClassDoc[] =
    "TarnwickCore(path, sync_interval_ms=None, default_lease_ms=None, auto_compact_bytes=None)"
    "\n--\n\n";

PyObject* g_core_type = nullptr;

// --- construction and destruction ---

constexpr Signature kNewSignature{
    "TarnwickCore.__new__()",
    {"path", "sync_interval_ms", "default_lease_ms", "auto_compact_bytes"},
    4,
    1};

void apply_setting(const std::optional<uint64_t>& given, uint64_t& setting) {
  if (given) setting = *given;
}

PyObject* core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<raise_panic>([&]() -> PyObject* {
    BoundArgs bound(kNewSignature);
    if (!bind_arguments(args, kwargs, bound)) return nullptr;
    PathArg path;
    std::optional<uint64_t> sync_interval_ms;
    std::optional<uint64_t> default_lease_ms;
    std::optional<uint64_t> auto_compact_bytes;
    if (!convert_param(bound, 0, convert_path, path) ||
        !convert_param(bound, 1, convert_optional_u64, sync_interval_ms) ||
        !convert_param(bound, 2, convert_optional_u64, default_lease_ms) ||
        !convert_param(bound, 3, convert_optional_u64, auto_compact_bytes)) {
      return nullptr;
    }
    Settings settings;
    apply_setting(sync_interval_ms, settings.sync_interval_ms);
    apply_setting(default_lease_ms, settings.default_lease_ms);
    apply_setting(auto_compact_bytes, settings.auto_compact_bytes);

    Result<std::unique_ptr<Queue>> opened = Queue::open(path.text, settings);
    if (!opened.ok()) return raise_engine_error(opened.error());
    std::unique_ptr<Queue> queue = std::move(opened).value();

    PyObject* self = new_instance(type);
    // On failure `queue` is closed here, flushed and synced like any other.
    if (self == nullptr) return nullptr;
    reinterpret_cast<CoreObject*>(self)->queue = queue.release();
    return self;
  });
}

void core_dealloc(PyObject* self) noexcept {
  // The queue's destructor flushes and syncs the log, ignoring failures.
  delete std::exchange(reinterpret_cast<CoreObject*>(self)->queue, nullptr);
  free_instance(self);
}

// --- methods with arguments ---

struct Enqueue {
  static constexpr Signature kSignature{"TarnwickCore.enqueue()", {"body"}, 1, 1};
  static PyObject* run(Queue& queue, const BoundArgs& args) {
    BodyArg body;
    if (!convert_param(args, 0, convert_body, body)) return nullptr;
    return finish(queue.enqueue(body.view()), to_int);
  }
};

struct EnqueueBatch {
  static constexpr Signature kSignature{"TarnwickCore.enqueue_batch()", {"bodies"}, 1, 1};
  static PyObject* run(Queue& queue, const BoundArgs& args) {
    std::vector<BodyArg> bodies;
    if (!convert_param(args, 0, convert_bodies, bodies)) return nullptr;
    if (bodies.empty()) return PyList_New(0);
    std::vector<ByteSpan> views;
    views.reserve(bodies.size());
    for (const BodyArg& body : bodies) views.push_back(body.view());
    return finish(queue.enqueue_batch(views), to_int_list);
  }
};

struct Dequeue {
  static constexpr Signature kSignature{"TarnwickCore.dequeue()", {"lease_ms"}, 1, 0};
  static PyObject* run(Queue& queue, const BoundArgs& args) {
    std::optional<uint64_t> lease_ms;
    if (!convert_param(args, 0, convert_optional_u64, lease_ms)) return nullptr;
    SingleDelivery sink;
    Result<bool> leased = queue.dequeue(lease_ms, sink);
    if (!leased.ok()) return raise_engine_error(leased.error());
    if (!leased.value()) return to_none();
    if (!sink.received()) return raise_panic("dequeue leased a message but delivered none");
    return sink.take_tuple();
  }
};

struct DequeueBatch {
  static constexpr Signature kSignature{
      "TarnwickCore.dequeue_batch()", {"max", "lease_ms"}, 2, 1};
  static PyObject* run(Queue& queue, const BoundArgs& args) {
    uint64_t max_count = 0;
    std::optional<uint64_t> lease_ms;
    if (!convert_param(args, 0, convert_u64, max_count) ||
        !convert_param(args, 1, convert_optional_u64, lease_ms)) {
      return nullptr;
    }
    BatchDelivery sink;
    Status status = queue.dequeue_batch(max_count, lease_ms, sink);
    // On failure the sink drops the bodies gathered so far.
    if (!status.ok()) return raise_engine_error(status.error());
    return sink.take_list();
  }
};

struct Ack {
  static constexpr Signature kSignature{"TarnwickCore.ack()", {"seq"}, 1, 1};
  static PyObject* run(Queue& queue, const BoundArgs& args) {
    uint64_t seq = 0;
    if (!convert_param(args, 0, convert_u64, seq)) return nullptr;
    return finish(queue.ack(seq), to_bool);
  }
};

struct AckBatch {
  static constexpr Signature kSignature{"TarnwickCore.ack_batch()", {"seqs"}, 1, 1};
  static PyObject* run(Queue& queue, const BoundArgs& args) {
    std::vector<uint64_t> seqs;
    if (!convert_param(args, 0, convert_seqs, seqs)) return nullptr;
    if (seqs.empty()) return to_int(0);
    return finish(queue.ack_batch(seqs), to_int);
  }
};

struct Nack {
  static constexpr Signature kSignature{"TarnwickCore.nack()", {"seq", "requeue"}, 2, 1};
  static PyObject* run(Queue& queue, const BoundArgs& args) {
    uint64_t seq = 0;
    bool requeue = true;
    if (!convert_param(args, 0, convert_u64, seq) ||
        !convert_param(args, 1, convert_requeue, requeue)) {
      return nullptr;
    }
    return finish(queue.nack(seq, requeue), to_bool);
  }
};

struct ExtendLease {
  static constexpr Signature kSignature{
      "TarnwickCore.extend_lease()", {"seq", "lease_ms"}, 2, 1};
  static PyObject* run(Queue& queue, const BoundArgs& args) {
    uint64_t seq = 0;
    std::optional<uint64_t> lease_ms;
    if (!convert_param(args, 0, convert_u64, seq) ||
        !convert_param(args, 1, convert_optional_u64, lease_ms)) {
      return nullptr;
    }
    return finish(queue.extend_lease(seq, lease_ms), to_bool);
  }
};

// --- methods without arguments ---

PyObject* available(Queue& queue) { return finish(queue.available(), to_int); }
PyObject* in_flight(Queue& queue) { return finish(queue.in_flight(), to_int); }
PyObject* stats(Queue& queue) { return finish(queue.stats(), to_stats_dict); }
PyObject* flush(Queue& queue) { return finish(queue.flush()); }
PyObject* compact(Queue& queue) { return finish(queue.compact()); }
PyObject* purge(Queue& queue) { return finish(queue.purge()); }
PyObject* verify_integrity(Queue& queue) {
  return finish(queue.verify_integrity(), to_report_dict);
}

// --- the type ---

constexpr int kWithArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"enqueue", as_cfunction(&method_entry<Enqueue>), kWithArgs,
     "enqueue($self, body)\n--\n\n"
     "Append a message; returns its monotonic sequence id (the ack/nack handle)."},
    {"enqueue_batch", as_cfunction(&method_entry<EnqueueBatch>), kWithArgs,
     "enqueue_batch($self, bodies)\n--\n\n"
     "Append many messages under a single lock + single fsync. Returns the\n"
     "assigned sequence ids in order."},
    {"dequeue", as_cfunction(&method_entry<Dequeue>), kWithArgs,
     "dequeue($self, lease_ms=None)\n--\n\n"
     "Lease the next ready message for `lease_ms` (or the queue default).\n"
     "Returns `(seq, body, deliveries, enqueued_ts_ms)` or `None` if empty.\n"
     "Expired in-flight leases are reclaimed first, so a consumer that crashed\n"
     "without acking has its messages redelivered."},
    {"dequeue_batch", as_cfunction(&method_entry<DequeueBatch>), kWithArgs,
     "dequeue_batch($self, max, lease_ms=None)\n--\n\n"
     "Lease up to `max` ready messages at once."},
    {"ack", as_cfunction(&method_entry<Ack>), kWithArgs,
     "ack($self, seq)\n--\n\n"
     "Acknowledge (permanently remove) a message. Returns whether it existed."},
    {"ack_batch", as_cfunction(&method_entry<AckBatch>), kWithArgs,
     "ack_batch($self, seqs)\n--\n\n"},
    {"nack", as_cfunction(&method_entry<Nack>), kWithArgs,
     "nack($self, seq, requeue=True)\n--\n\n"
     "Negative-acknowledge. `requeue=true` returns the message to the ready set\n"
     "for redelivery; `requeue=false` drops it (dead-letters). Returns whether\n"
     "it existed."},
    {"extend_lease", as_cfunction(&method_entry<ExtendLease>), kWithArgs,
     "extend_lease($self, seq, lease_ms=None)\n--\n\n"
     "Renew the lease on an in-flight message without redelivering it."},
    {"available", as_cfunction(&noargs_entry<available>), METH_NOARGS,
     "available($self)\n--\n\n"
     "Number of messages ready for immediate delivery."},
    {"in_flight", as_cfunction(&noargs_entry<in_flight>), METH_NOARGS,
     "in_flight($self)\n--\n\n"
     "Number of leased (in-flight, not-yet-acked) messages."},
    {"stats", as_cfunction(&noargs_entry<stats>), METH_NOARGS, "stats($self)\n--\n\n"},
    {"flush", as_cfunction(&noargs_entry<flush>), METH_NOARGS,
     "flush($self)\n--\n\n"
     "Force a flush + fsync of any buffered records."},
    {"compact", as_cfunction(&noargs_entry<compact>), METH_NOARGS,
     "compact($self)\n--\n\n"
     "Rewrite the log keeping only live messages, reclaiming acked space."},
    {"purge", as_cfunction(&noargs_entry<purge>), METH_NOARGS,
     "purge($self)\n--\n\n"
     "Remove every message and reset the log (a fresh generation so other\n"
     "processes reload)."},
    {"verify_integrity", as_cfunction(&noargs_entry<verify_integrity>), METH_NOARGS,
     "verify_integrity($self)\n--\n\n"
     "Re-read the whole log, CRC-verifying every record. Returns a report dict\n"
     "`{ok, records, bytes, message}`. Does not mutate state."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(&core_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&core_dealloc)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

// Default flags only: no subclassing, no __dict__, no weak references and no
// cycle collection (an instance holds no Python objects).
// Static: the created type keeps pointing at the name string.
PyType_Spec g_type_description = {
    "builtins.TarnwickCore",
    static_cast<int>(sizeof(CoreObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_slots,
};

}  // namespace

PyTypeObject* core_type() {
  if (g_core_type == nullptr) {
    PyObject* created = PyType_FromSpec(&g_type_description);
    if (created == nullptr) {
      raise_chained(PyExc_RuntimeError, "An error occurred while initializing class TarnwickCore");
      return nullptr;
    }
    // Type creation can run Python code; keep the first type if another thread won.
    if (g_core_type == nullptr) {
      g_core_type = created;
    } else {
      Py_DECREF(created);
    }
  }
  return reinterpret_cast<PyTypeObject*>(g_core_type);
}

PyTypeObject* core_type_if_created() { return reinterpret_cast<PyTypeObject*>(g_core_type); }

}  // namespace tarnwick::py
