// Native results to Python objects, and the sinks that copy message bodies
// out of the log while the engine holds its locks.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "module/errors.h"
#include "binding/convert.h"
#include "binding/py_ref.h"
#include "queue/queue.h"

namespace tarnwick::py {

PyObject* to_stats_dict(const QueueStats& stats);
PyObject* to_report_dict(const IntegrityReport& report);

// A leased message whose body is already a bytes object; the tuple around it
// is built after the locks are released.
struct PendingDelivery {
  uint64_t seq = 0;
  uint64_t enqueued_ts_ms = 0;
  uint32_t deliveries = 0;
  PyRef body;
};

// The one message of dequeue(); lives on the caller's stack.
class SingleDelivery final : public DeliverySink {
 public:
  bool deliver(const Delivery& delivery) override;
  bool received() const { return static_cast<bool>(item_.body); }
  // The (seq, body, deliveries, enqueued_ts_ms) tuple; consumes the body.
  PyObject* take_tuple();

 private:
  PendingDelivery item_;
};

// The messages of dequeue_batch(). Borrows a process-wide buffer so that a
// steady stream of batches does not allocate; whatever is left in it (the
// bodies of a failed call) is dropped when the sink goes away.
class BatchDelivery final : public DeliverySink {
 public:
  BatchDelivery();
  ~BatchDelivery() override;
  BatchDelivery(const BatchDelivery&) = delete;
  BatchDelivery& operator=(const BatchDelivery&) = delete;

  bool deliver(const Delivery& delivery) override;
  // The list of tuples, in delivery order; consumes the bodies.
  PyObject* take_list();

 private:
  std::vector<PendingDelivery> own_;
  std::vector<PendingDelivery>* items_;
};

// Calls `to_python` on the value of a successful engine result, or raises the mapped error.
template <class T, class F>
PyObject* finish(Result<T>&& result, F&& to_python) {
  if (!result.ok()) return raise_engine_error(result.error());
  return to_python(result.value());
}

inline PyObject* finish(Status&& status) {
  if (!status.ok()) return raise_engine_error(status.error());
  return to_none();
}

}  // namespace tarnwick::py
