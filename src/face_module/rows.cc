#include "face_module/rows.h"

#include "binding/convert.h"

namespace tarnwick::face {
namespace {

using py::to_bytes;
using py::to_list;
using py::to_optional_int;
using py::to_str;
using ull = unsigned long long;

const char* state_name(MessageState state) {
  switch (state) {
    case MessageState::kLeased: return "leased";
    case MessageState::kScheduled: return "scheduled";
    case MessageState::kReady: break;
  }
  return "ready";
}

// {offset, bytes, reason}
PyObject* range_dict(const DamagedRange& r) {
  return Py_BuildValue("{sKsKsN}", "offset", ull{r.offset}, "bytes", ull{r.bytes}, "reason",
                       to_str(r.reason));
}

PyObject* optional_range_dict(const std::optional<DamagedRange>& r) {
  if (!r) Py_RETURN_NONE;
  return range_dict(*r);
}

// None for an empty text (no key, no group).
PyObject* optional_str(std::string_view text) { return text.empty() ? py::to_none() : to_str(text); }

}  // namespace

int lease_token_arg(PyObject* obj, void* out) {
  auto* token = static_cast<LeaseToken*>(out);
  unsigned long long seq = 0, ts = 0, deadline = 0;
  unsigned int deliveries = 0;
  return PyArg_ParseTuple(obj, "KKIK", &seq, &ts, &deliveries, &deadline)
             ? (*token = LeaseToken{seq, ts, deliveries, deadline}, 1)
             : 0;
}

bool TakenRows::deliver_all(std::span<const Delivery> leased) {
  const PyGILState_STATE gil = PyGILState_Ensure();
  list_ = py::PyRef::steal(PyList_New(static_cast<Py_ssize_t>(leased.size())));
  bool ok = static_cast<bool>(list_);
  for (size_t i = 0; ok && i < leased.size(); ++i) ok = deliver(leased[i]);
  // A failure leaves its exception set for the caller, who raises it.
  PyGILState_Release(gil);
  return ok;
}

bool TakenRows::deliver(const Delivery& d) {
  PyObject* row = Py_BuildValue("(KNIKK)", ull{d.seq}, to_bytes(d.body), d.deliveries,
                                ull{d.enqueued_ts_ms}, ull{d.deadline_ms});
  if (row == nullptr) return false;
  PyList_SetItem(list_.get(), filled_, row);
  // A message put with options has them in the parallel list, made at the
  // first such message (None before it): plain takes build no more than before.
  const bool plain = d.priority == 0 && d.key.empty() && d.group.empty() && d.headers.empty();
  if (!plain) {
    if (!options_) {
      options_ = py::PyRef::steal(PyList_New(PyList_Size(list_.get())));
      if (!options_) return false;
      for (Py_ssize_t i = 0; i < PyList_Size(list_.get()); ++i) {
        PyList_SetItem(options_.get(), i, py::to_none());
      }
    }
    PyObject* extra = Py_BuildValue("(iNNN)", int{d.priority}, optional_str(d.key),
                                    optional_str(d.group),
                                    d.headers.empty() ? py::to_none() : to_bytes(d.headers));
    if (extra == nullptr) return false;
    PyList_SetItem(options_.get(), filled_, extra);
  }
  ++filled_;
  return true;
}

PyObject* TakenRows::take_options() {
  if (!options_) return py::to_none();
  return options_.release();
}

PyObject* TakenRows::take_list() {
  if (!list_) return PyList_New(0);
  return list_.release();
}

PyObject* summary_row(const MessageSummary& m, bool bodies) {
  PyObject* body = bodies ? to_bytes(m.body) : py::to_none();
  PyObject* consumer = m.consumer.empty() ? py::to_none() : to_str(m.consumer);
  return Py_BuildValue("(KsIKNINNINiNNN)", ull{m.seq}, state_name(m.state), m.deliveries,
                       ull{m.enqueued_ts_ms}, to_optional_int(m.due_ms), m.size, body,
                       to_optional_int(m.started_ms), m.extensions, consumer, int{m.priority},
                       optional_str(m.key), optional_str(m.group),
                       m.headers.empty() ? py::to_none() : to_bytes(m.headers));
}

PyObject* outcome_row(const OutcomeStatus& o) {
  auto strs = [](const std::vector<std::string>& items) {
    return py::to_list(items, [](const std::string& text) { return to_str(text); });
  };
  return Py_BuildValue("(KsIKNNNNNiNNNN)", ull{o.seq}, o.state, o.deliveries, ull{o.enqueued_ms},
                       to_optional_int(o.started_ms), to_optional_int(o.finished_ms),
                       o.result ? to_bytes(*o.result) : py::to_none(), strs(o.errors),
                       strs(o.consumers), int{o.priority}, optional_str(o.key),
                       optional_str(o.group),
                       o.headers.empty() ? py::to_none() : to_bytes(o.headers),
                       to_optional_int(o.dead_letter_id));
}

PyObject* dead_letter_row(const DeadLetter& d) {
  return Py_BuildValue("(KKNIKKN)", ull{d.id}, ull{d.original_seq}, to_bytes(d.body), d.deliveries,
                       ull{d.enqueued_ts_ms}, ull{d.died_ts_ms}, to_str(d.reason));
}

PyObject* stats_dict(const JobStats& s) {
  const QueueStats& c = s.core;
  PyObject* oldest = s.oldest_started_ms
                         ? Py_BuildValue("(KK)", ull{s.oldest_started_seq}, ull{*s.oldest_started_ms})
                         : py::to_none();
  // in_flight counts the leased only: delays are `scheduled`.
  const uint64_t leased = c.in_flight > s.scheduled ? c.in_flight - s.scheduled : 0;
  return Py_BuildValue(
      "{sKsKsKsKsKsKsKsKsKsKsKsKsKsOsKsKsNsNsO}", "ready", ull{c.ready}, "in_flight",
      ull{leased}, "total", ull{c.total}, "enqueued_total", ull{c.enqueued_total}, "acked_total",
      ull{c.acked_total}, "requeued_total", ull{c.requeued_total}, "dead_total", ull{c.dead_total},
      "expired_total", ull{c.expired_total}, "nacked_total", ull{c.nacked_total}, "next_seq",
      ull{c.next_seq}, "live_bytes", ull{c.live_bytes}, "log_bytes", ull{c.log_bytes}, "generation", ull{c.generation},
      "persistent", c.persistent ? Py_True : Py_False, "scheduled", ull{s.scheduled},
      "dead_letters", ull{s.dead_letters}, "oldest_running", oldest, "oldest_ready_ms",
      py::to_optional_int(s.oldest_ready_ms), "paused", s.paused ? Py_True : Py_False);
}

PyObject* integrity_dict(const IntegrityReport& r) {
  return Py_BuildValue("{sOsKsKsNsNsNsK}", "ok", r.ok ? Py_True : Py_False, "records",
                       ull{r.records}, "bytes", ull{r.bytes}, "message", to_str(r.message),
                       "damaged", to_list(r.damaged, range_dict), "tail",
                       optional_range_dict(r.tail), "intact_records", ull{r.intact_records});
}

PyObject* repair_dict(const std::optional<RepairReport>& report) {
  if (!report) Py_RETURN_NONE;
  const RepairReport& r = *report;
  PyObject* copy = r.damaged_copy.empty()
                       ? py::to_none()
                       : PyUnicode_DecodeFSDefaultAndSize(
                             r.damaged_copy.data(), static_cast<Py_ssize_t>(r.damaged_copy.size()));
  return Py_BuildValue("{sNsNsKsKsNsK}", "skipped", to_list(r.skipped, range_dict), "cut_tail",
                       optional_range_dict(r.cut_tail), "records_kept", ull{r.records_kept},
                       "orphan_records", ull{r.orphan_records}, "damaged_copy", copy,
                       "generation", ull{r.generation});
}

}  // namespace tarnwick::face
