// The engine's results as the tuples and dicts the package's local driver
// reads (python/tarnwick_queue/local.py, cli.py), and the lease token it hands
// back. Builders return a new reference, or nullptr with an exception set.
#pragma once

#include <Python.h>

#include <optional>

#include "queue/job_queue.h"

namespace tarnwick::face {

// "O&" converter: a (seq, enqueued_ms, deliveries, deadline_ms) tuple to the
// LeaseToken `out` points at.
int lease_token_arg(PyObject* obj, void* out);

// (seq, body, deliveries, enqueued_ms, deadline_ms)
PyObject* taken_row(const TakenMessage& m);
// (seq, state, deliveries, enqueued_ms, due_ms | None, size, body | None)
PyObject* summary_row(const MessageSummary& m, bool bodies);
// (id, original_id, body, deliveries, enqueued_ms, died_ms, reason)
PyObject* dead_letter_row(const DeadLetter& d);
// The queue's counts, keyed as LocalQueueStats (python/tarnwick_queue/_types.py).
PyObject* stats_dict(const JobStats& s);
// {ok, records, bytes, message, damaged: [range], tail: range | None, intact_records}
PyObject* integrity_dict(const IntegrityReport& r);
// {skipped: [range], cut_tail: range | None, records_kept, orphan_records,
//  damaged_copy: str | None, generation}, or None when nothing was repaired
PyObject* repair_dict(const std::optional<RepairReport>& report);

}  // namespace tarnwick::face
