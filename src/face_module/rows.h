// The engine's results as the tuples and dicts the package's local driver
// reads (python/tarnwick_queue/local.py, cli.py), and the lease token it hands
// back. Builders return a new reference, or nullptr with an exception set.
#pragma once

#include <Python.h>

#include <optional>
#include <span>

#include "binding/py_ref.h"
#include "queue/job_queue.h"

namespace tarnwick::face {

// "O&" converter: a (seq, enqueued_ms, deliveries, deadline_ms) tuple to the
// LeaseToken `out` points at.
int lease_token_arg(PyObject* obj, void* out);

// The rows (seq, body, deliveries, enqueued_ms, deadline_ms) of the messages
// a take leased, each body copied once, from the engine's view straight into
// its bytes object. The engine hands them over without the interpreter lock
// (with the queue's mutex held, its process lock released): the sink takes
// the interpreter lock back once for the whole run. Made and dropped with
// the interpreter lock held.
class TakenRows final : public DeliverySink {
 public:
  bool deliver_all(std::span<const Delivery> leased) override;
  bool deliver(const Delivery& d) override;  // with the interpreter lock held
  // The list of rows (empty when nothing was taken), a new reference.
  PyObject* take_list();
  // None when no message had options, else a list beside the rows: None for
  // a message without them, (priority, key | None, group | None,
  // headers | None) for one with them. A new reference.
  PyObject* take_options();

 private:
  py::PyRef list_;
  py::PyRef options_;
  Py_ssize_t filled_ = 0;
};
// (seq, state, deliveries, enqueued_ms, due_ms | None, size, body | None,
//  started_ms | None, extensions, consumer | None, priority, key | None,
//  group | None, headers | None)
PyObject* summary_row(const MessageSummary& m, bool bodies);
// (id, original_id, body, deliveries, enqueued_ms, died_ms, reason)
PyObject* dead_letter_row(const DeadLetter& d);
// The queue's counts, keyed as LocalQueueStats (python/tarnwick_queue/_types.py).
PyObject* stats_dict(const JobStats& s);
// (seq, state, deliveries, enqueued_ms, started_ms | None, finished_ms | None,
//  result | None, errors, consumers, priority, key | None, group | None,
//  headers | None, dead_letter_id | None); errors and consumers are lists of str.
PyObject* outcome_row(const OutcomeStatus& o);
// {ok, records, bytes, message, damaged: [range], tail: range | None, intact_records}
PyObject* integrity_dict(const IntegrityReport& r);
// {skipped: [range], cut_tail: range | None, records_kept, orphan_records,
//  damaged_copy: str | None, generation}, or None when nothing was repaired
PyObject* repair_dict(const std::optional<RepairReport>& report);

}  // namespace tarnwick::face
