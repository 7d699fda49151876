// JobQueue's outcomes: assembling the OUTCOME and HISTORY records that the
// settles write, and reading them back for status() and outcomes().
#include <algorithm>
#include <numeric>

#include "log_io/clock.h"
#include "log_io/log_format.h"
#include "queue/job_queue_parts.h"

namespace tarnwick {

namespace jobs {

namespace {

// The lists an outcome or history starts from: those of the deliveries that
// ended, then the current delivery's consumer (when it is not noted yet).
void lists_of(const QueueState& state, uint64_t seq, const MessageEntry& entry,
              DeliveryLists& lists, uint64_t& started_ms) {
  uint32_t recorded = 0;
  if (auto h = state.histories.find(seq); h != state.histories.end()) {
    for (const std::string& e : h->second.errors) lists.errors.emplace_back(e);
    for (const std::string& c : h->second.consumers) lists.consumers.emplace_back(c);
    started_ms = h->second.started_ms;
    recorded = h->second.recorded;
  }
  if (auto facts = state.lease_facts.find(seq); facts != state.lease_facts.end()) {
    started_ms = facts->second.started_ms;
    const std::string_view name = state.consumers.name(facts->second.consumer);
    if (recorded < entry.deliveries && !name.empty()) lists.consumers.push_back(name);
  }
}

}  // namespace

RecordView outcome_view(const OutcomeFields& fields, std::span<const uint8_t> payload) {
  RecordView view = RecordView::encoded(OUTCOME, fields.seq, payload);
  view.time_ms = fields.finished_ms;
  view.keep_until_ms = fields.keep_until_ms;
  view.outcome_state = static_cast<uint8_t>(fields.state);
  return view;
}

Result<RecordView> outcome_of(QueueImpl& q, uint64_t seq, OutcomeState state, uint64_t now,
                              uint64_t keep_ms, std::optional<ByteSpan> result,
                              std::string_view error, uint64_t dead_letter_id,
                              std::vector<uint8_t>& out) {
  const QueueState& st = q.state();
  auto entry = st.messages.find(seq);
  if (entry == st.messages.end()) return missing_entry(seq);
  OutcomeFields f;
  f.seq = seq;
  f.state = state;
  f.finished_ms = now;
  f.keep_until_ms = saturating_add(now, keep_ms);
  f.enqueued_ms = entry->second.enqueued_ts_ms;
  f.deliveries = entry->second.deliveries;
  f.dead_letter_id = dead_letter_id;
  f.result = result;
  lists_of(st, seq, entry->second, f.lists, f.started_ms);
  if (!error.empty()) f.lists.errors.push_back(error);
  if (const MessageOptions* o = st.options_of(seq)) {
    f.priority = o->priority;
    f.key = o->key;
    f.group = st.group_name(o->group);
    TW_ASSIGN_OR_RETURN(f.headers, headers_of(q, *o));
  }
  out.clear();
  encode_outcome(f, out);
  return outcome_view(f, out);
}

Result<RecordView> history_with_error(QueueImpl& q, uint64_t seq, std::string_view error,
                                      std::vector<uint8_t>& out) {
  const QueueState& st = q.state();
  auto entry = st.messages.find(seq);
  if (entry == st.messages.end()) return missing_entry(seq);
  HistoryFields h;
  h.seq = seq;
  h.recorded = entry->second.deliveries;
  lists_of(st, seq, entry->second, h.lists, h.started_ms);
  h.lists.errors.push_back(error);
  out.clear();
  encode_history(h, out);
  return RecordView::encoded(HISTORY, seq, out);
}

Result<RecordView> removal_of(QueueImpl& q, uint64_t seq, bool dead, uint64_t now,
                              std::optional<ByteSpan> result, std::string_view error,
                              uint64_t dead_letter_id, std::vector<uint8_t>& out) {
  const uint64_t keep = dead ? q.settings.keep_dead_ms : q.settings.keep_acked_ms;
  if (keep == 0) return dead ? RecordView::dead(seq) : RecordView::ack(seq);
  return outcome_of(q, seq, dead ? OutcomeState::kDead : OutcomeState::kAcked, now, keep, result,
                    error, dead_letter_id, out);
}

Status commit_settle(QueueImpl& q, std::span<const RecordView> records, Sync sync) {
  Status done = q.commit_batch(records, sync);
  if (done.ok() || !out_of_space(done.error())) return done;
  if (std::none_of(records.begin(), records.end(),
                   [](const RecordView& r) { return needs_format_3(r.tag); })) {
    return done;
  }
  std::vector<RecordView> plain;
  plain.reserve(records.size());
  for (const RecordView& r : records) {
    if (r.tag == HISTORY) continue;
    if (r.tag != OUTCOME) {
      plain.push_back(r);
      continue;
    }
    switch (static_cast<OutcomeState>(r.outcome_state)) {
      case OutcomeState::kAcked: plain.push_back(RecordView::ack(r.seq)); break;
      case OutcomeState::kDead: plain.push_back(RecordView::dead(r.seq)); break;
      case OutcomeState::kCancelled: plain.push_back(RecordView::cancel(r.seq)); break;
    }
  }
  return q.commit_batch(plain, sync);
}

}  // namespace jobs

namespace {

const char* state_name(OutcomeState state) {
  switch (state) {
    case OutcomeState::kAcked: return "acked";
    case OutcomeState::kDead: return "dead";
    case OutcomeState::kCancelled: break;
  }
  return "cancelled";
}

std::vector<std::string> strings(const std::vector<std::string_view>& views) {
  return {views.begin(), views.end()};
}

// A kept outcome read back from its record; nothing when the record cannot
// be read as one (never written so by this code).
Result<std::optional<OutcomeStatus>> read_outcome(QueueImpl& q, const OutcomeEntry& entry) {
  ByteSpan payload;
  if (q.persistent) {
    TW_ASSIGN_OR_RETURN(payload, q.read_body(entry.frame_offset + FRAME_HEADER_LEN,
                                             entry.frame_len - static_cast<uint32_t>(FRAME_HEADER_LEN)));
  } else {
    auto kept = q.state().outcome_payloads.find(entry.seq);
    if (kept == q.state().outcome_payloads.end()) return std::optional<OutcomeStatus>();
    payload = kept->second;
  }
  auto fields = decode_outcome(payload);
  if (!fields) return std::optional<OutcomeStatus>();
  OutcomeStatus out;
  out.seq = fields->seq;
  out.state = state_name(fields->state);
  out.deliveries = fields->deliveries;
  out.enqueued_ms = fields->enqueued_ms;
  if (fields->started_ms != 0) out.started_ms = fields->started_ms;
  out.finished_ms = fields->finished_ms;
  if (fields->result) out.result.emplace(fields->result->begin(), fields->result->end());
  out.errors = strings(fields->lists.errors);
  out.consumers = strings(fields->lists.consumers);
  out.priority = fields->priority;
  out.key = fields->key;
  out.group = fields->group;
  out.headers.assign(fields->headers.begin(), fields->headers.end());
  if (fields->dead_letter_id != NO_DEAD_LETTER) out.dead_letter_id = fields->dead_letter_id;
  return std::optional<OutcomeStatus>(std::move(out));
}

// A live message as status() tells it; an expired lease shows as ready
// (nothing is reclaimed by looking).
Result<OutcomeStatus> live_status(QueueImpl& q, uint64_t seq, const MessageEntry& entry,
                                  uint64_t now) {
  const QueueState& st = q.state();
  OutcomeStatus out;
  out.seq = seq;
  out.deliveries = entry.deliveries;
  out.enqueued_ms = entry.enqueued_ts_ms;
  if (auto leased = st.in_flight.find(seq); leased != st.in_flight.end() && leased->second > now) {
    out.state = st.is_scheduled(seq) ? "scheduled" : "leased";
  }
  DeliveryLists lists;
  uint64_t started = 0;
  jobs::lists_of(st, seq, entry, lists, started);
  out.errors = strings(lists.errors);
  out.consumers = strings(lists.consumers);
  if (started != 0) out.started_ms = started;
  if (const MessageOptions* o = st.options_of(seq)) {
    out.priority = o->priority;
    out.key = o->key;
    out.group = st.group_name(o->group);
    TW_ASSIGN_OR_RETURN(ByteSpan headers, jobs::headers_of(q, *o));
    out.headers.assign(headers.begin(), headers.end());
  }
  return out;
}

}  // namespace

// Both look once interrupted moves to the dead letters are finished (see
// finish_moves), so that a message whose letter was written reads "dead".
Result<std::optional<OutcomeStatus>> JobQueue::status(uint64_t seq) {
  QueueImpl& q = *main_;
  return with_dead_letters([&]() -> Result<std::optional<OutcomeStatus>> {
    const uint64_t now = now_ms();
    if (auto live = q.state().messages.find(seq); live != q.state().messages.end()) {
      TW_ASSIGN_OR_RETURN(OutcomeStatus found, live_status(q, seq, live->second, now));
      return std::optional<OutcomeStatus>(std::move(found));
    }
    const OutcomeEntry* kept = q.state().outcome_of(seq);
    if (kept == nullptr || kept->state == 0 || kept->keep_until_ms <= now) {
      return std::optional<OutcomeStatus>();
    }
    return read_outcome(q, *kept);
  });
}

Result<std::vector<OutcomeStatus>> JobQueue::outcomes(std::optional<OutcomeState> state,
                                                      uint64_t limit,
                                                      std::optional<uint64_t> since_ms) {
  QueueImpl& q = *main_;
  return with_dead_letters([&]() -> Result<std::vector<OutcomeStatus>> {
    const uint64_t now = now_ms();
    std::vector<OutcomeStatus> out;
    // Records are applied in the order they were written, under the lock
    // every writer holds, so the newest are at the end: walking back finds
    // the latest finished first without sorting the whole list (only the
    // few found are ordered, for clocks that stepped back meanwhile).
    const std::vector<OutcomeEntry>& kept = q.state().outcomes;
    for (size_t i = kept.size(); i > 0 && out.size() < limit; --i) {
      const OutcomeEntry& entry = kept[i - 1];
      if (entry.state == 0 || entry.keep_until_ms <= now) continue;
      if (state && entry.state != static_cast<uint8_t>(*state)) continue;
      if (since_ms && entry.finished_ms < *since_ms) continue;
      TW_ASSIGN_OR_RETURN(std::optional<OutcomeStatus> found, read_outcome(q, entry));
      if (found) out.push_back(std::move(*found));
    }
    // Latest first, and in write order among equals. (Through an index, not
    // std::stable_sort, whose temporary buffer AddressSanitizer takes for
    // a mismatched free with this standard library.)
    std::vector<size_t> order(out.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      const uint64_t fa = out[a].finished_ms.value_or(0);
      const uint64_t fb = out[b].finished_ms.value_or(0);
      return fa != fb ? fa > fb : a < b;
    });
    std::vector<OutcomeStatus> sorted;
    sorted.reserve(out.size());
    for (size_t i : order) sorted.push_back(std::move(out[i]));
    return sorted;
  });
}

}  // namespace tarnwick
