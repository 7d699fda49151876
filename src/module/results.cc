#include "module/results.h"

#include <new>
#include <string>
#include <utility>

namespace tarnwick::py {
namespace {

// Shared by every BatchDelivery while it is free. All calls run with the
// interpreter lock held and no Python code runs while a batch is gathered, so
// it is never wanted twice at once; the busy flag is only a safety net.
std::vector<PendingDelivery> g_batch_buffer;
bool g_batch_buffer_busy = false;
// A buffer grown by one huge batch goes back to the allocator instead of staying pinned.
constexpr size_t kBatchBufferKeep = 4096;

PyRef body_bytes(ByteSpan body) { return PyRef::steal(to_bytes(body)); }

PyObject* delivery_tuple(PendingDelivery& item) {
  PyRef seq = PyRef::steal(to_int(item.seq));
  PyRef deliveries = PyRef::steal(to_int(item.deliveries));
  PyRef enqueued = PyRef::steal(to_int(item.enqueued_ts_ms));
  if (!seq || !deliveries || !enqueued || !item.body) return raise_pending();
  PyRef tuple = PyRef::steal(PyTuple_New(4));
  if (!tuple) return nullptr;
  // PyTuple_SetItem steals each reference, also on failure.
  PyTuple_SetItem(tuple.get(), 0, seq.release());
  PyTuple_SetItem(tuple.get(), 1, item.body.release());
  PyTuple_SetItem(tuple.get(), 2, deliveries.release());
  PyTuple_SetItem(tuple.get(), 3, enqueued.release());
  return tuple.release();
}

bool set_item(PyObject* dict, const char* key, PyRef value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

}  // namespace

PyObject* to_stats_dict(const QueueStats& stats) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  // Insertion order is what callers see in keys() and repr().
  const struct {
    const char* key;
    uint64_t value;
  } counts[] = {
      {"ready", stats.ready},
      {"in_flight", stats.in_flight},
      {"total", stats.total},
      {"enqueued_total", stats.enqueued_total},
      {"acked_total", stats.acked_total},
      {"requeued_total", stats.requeued_total},
      {"dead_total", stats.dead_total},
      {"next_seq", stats.next_seq},
      {"live_bytes", stats.live_bytes},
      {"log_bytes", stats.log_bytes},
      {"generation", stats.generation},
  };
  for (const auto& entry : counts) {
    if (!set_item(dict.get(), entry.key, PyRef::steal(to_int(entry.value)))) return raise_pending();
  }
  if (!set_item(dict.get(), "persistent", PyRef::steal(to_bool(stats.persistent)))) {
    return raise_pending();
  }
  return dict.release();
}

PyObject* to_report_dict(const IntegrityReport& report) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), "ok", PyRef::steal(to_bool(report.ok))) ||
      !set_item(dict.get(), "records", PyRef::steal(to_int(report.records))) ||
      !set_item(dict.get(), "bytes", PyRef::steal(to_int(report.bytes))) ||
      !set_item(dict.get(), "message", PyRef::steal(to_str(report.message)))) {
    return raise_pending();
  }
  return dict.release();
}

bool SingleDelivery::deliver(const Delivery& delivery) {
  item_.body = body_bytes(delivery.body);
  if (!item_.body) return false;
  item_.seq = delivery.seq;
  item_.deliveries = delivery.deliveries;
  item_.enqueued_ts_ms = delivery.enqueued_ts_ms;
  return true;
}

PyObject* SingleDelivery::take_tuple() { return delivery_tuple(item_); }

BatchDelivery::BatchDelivery()
    : items_(g_batch_buffer_busy ? &own_ : &g_batch_buffer) {
  if (items_ == &g_batch_buffer) g_batch_buffer_busy = true;
}

BatchDelivery::~BatchDelivery() {
  items_->clear();
  if (items_ == &g_batch_buffer) {
    if (g_batch_buffer.capacity() > kBatchBufferKeep) {
      std::vector<PendingDelivery>().swap(g_batch_buffer);
    }
    g_batch_buffer_busy = false;
  }
}

bool BatchDelivery::deliver(const Delivery& delivery) {
  PyRef body = body_bytes(delivery.body);
  if (!body) return false;
  // Called from inside the engine: report failure as a value, never by throwing.
  try {
    items_->push_back(PendingDelivery{delivery.seq, delivery.enqueued_ts_ms, delivery.deliveries,
                                      std::move(body)});
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

PyObject* BatchDelivery::take_list() {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items_->size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items_->size(); ++i) {
    PyObject* tuple = delivery_tuple((*items_)[i]);
    if (tuple == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple);
  }
  return list.release();
}

}  // namespace tarnwick::py
