#include "queue/queue_state.h"

#include <algorithm>
#include <cstring>

#include "log_io/clock.h"
#include "log_io/log_format.h"
#include "queue/schedule_record.h"

namespace tarnwick {

uint32_t ConsumerNames::add(std::string_view name) {
  if (name.empty()) return 0;
  if (last_ != 0 && names_[last_ - 1].uses > 0 && names_[last_ - 1].text == name) {
    ++names_[last_ - 1].uses;
    return last_;
  }
  std::string key(name);
  auto found = ids_.find(key);
  if (found != ids_.end()) {
    ++names_[found->second - 1].uses;
    return last_ = found->second;
  }
  uint32_t id = 0;
  if (!free_.empty()) {
    id = free_.back();
    free_.pop_back();
  } else {
    names_.emplace_back();
    id = static_cast<uint32_t>(names_.size());
  }
  names_[id - 1] = Name{key, 1};
  ids_.emplace(std::move(key), id);
  return last_ = id;
}

void ConsumerNames::drop(uint32_t id) {
  if (id == 0 || id > names_.size() || names_[id - 1].uses == 0) return;
  Name& entry = names_[id - 1];
  if (--entry.uses > 0) return;
  ids_.erase(entry.text);
  std::string().swap(entry.text);
  free_.push_back(id);
}

std::string_view ConsumerNames::name(uint32_t id) const {
  if (id == 0 || id > names_.size()) return {};
  return names_[id - 1].text;
}

void QueueState::forget_lease(uint64_t seq) {
  auto facts = lease_facts.find(seq);
  if (facts == lease_facts.end()) return;
  consumers.drop(facts->second.consumer);
  lease_facts.erase(facts);
}

std::optional<uint64_t> QueueState::key_holder(const std::string& key, uint64_t now) const {
  if (auto live = live_keys.find(key); live != live_keys.end()) return live->second;
  if (auto kept = kept_keys.find(key); kept != kept_keys.end() && kept->second.expires_ms > now) {
    return kept->second.seq;
  }
  return std::nullopt;
}

QueueState::Place QueueState::place_of(uint64_t seq) const {
  if (!messages.contains(seq)) return Place::kNone;
  if (!in_flight.contains(seq)) return Place::kReady;
  return is_scheduled(seq) ? Place::kScheduled : Place::kLeased;
}

void QueueState::level_erase(int priority, uint64_t seq) {
  if (priority == 0) {
    ready.erase(seq);
    return;
  }
  auto found = levels.find(priority);
  if (found == levels.end()) return;
  found->second.erase(seq);
  if (found->second.empty()) levels.erase(found);
}

void QueueState::restand(uint32_t id) {
  auto found = groups.find(id);
  if (found == groups.end()) return;
  GroupEntry& g = found->second;
  const bool stands = !g.ready.empty() && g.leased < group_limit;
  if (stands && g.stands && g.standing == *g.ready.begin()) return;  // the same head
  if (g.stands) level_erase(g.standing_priority, g.standing);
  g.stands = stands;
  if (!g.stands) return;
  g.standing = *g.ready.begin();
  const MessageOptions* head = options_of(g.standing);
  g.standing_priority = head != nullptr ? head->priority : 0;
  level(g.standing_priority).insert(g.standing);
}

void QueueState::move_optioned(uint64_t seq, const MessageOptions& o, Place from, Place to) {
  if (o.group == 0) {
    if (from == Place::kReady) level_erase(o.priority, seq);
    // A new message is nearly always the largest: the hint skips the descent.
    if (to == Place::kReady) {
      std::set<uint64_t>& ready_set = level(o.priority);
      ready_set.emplace_hint(ready_set.end(), seq);
    }
    return;
  }
  GroupEntry& g = groups[o.group];
  if (from == Place::kReady) g.ready.erase(seq);
  if (from == Place::kLeased && g.leased > 0) --g.leased;
  if (to == Place::kReady) g.ready.emplace_hint(g.ready.end(), seq);
  if (to == Place::kLeased) ++g.leased;
  restand(o.group);
}

void QueueState::start_message(uint64_t seq, uint64_t ts_ms, std::span<const uint8_t> body,
                               uint64_t body_offset, uint64_t overhead, bool keep_body) {
  if (seq >= next_seq && !seq_exhausted) {
    // The largest id taken leaves none to hand out; next_seq stays there.
    seq_exhausted = seq == UINT64_MAX;
    next_seq = seq_exhausted ? seq : seq + 1;
  }
  auto [it, inserted] = messages.try_emplace(seq);
  if (!inserted) {
    // A second ENQUEUE of a live seq (never written by this system) replaces
    // the message: the old one is gone, uncounted.
    remove_message(seq, nullptr);
    it = messages.try_emplace(seq).first;
  }
  live_bytes += body.size() + overhead;
  MessageEntry& entry = it->second;
  if (keep_body && !body.empty()) {
    entry.body.reset(new uint8_t[body.size()]);
    std::memcpy(entry.body.get(), body.data(), body.size());
  }
  entry.body_len = static_cast<uint32_t>(body.size());
  entry.enqueued_ts_ms = ts_ms;
  entry.body_offset = body_offset;
  entry.deliveries = 0;
  now_ready(seq, entry, ts_ms);
  ++enqueued_total;
}

void QueueState::apply_enqueue(uint64_t seq, uint64_t ts_ms, std::span<const uint8_t> body,
                               uint64_t frame_offset, bool keep_body) {
  start_message(seq, ts_ms, body, frame_offset + ENQUEUE_FRAME_OVERHEAD, ENQUEUE_FRAME_OVERHEAD,
                keep_body);
  // New seqs are nearly always the largest: hinting the end skips the descent.
  ready.emplace_hint(ready.end(), seq);
}

void QueueState::apply_enqueue_with_options(const RecordView& view, uint64_t frame_offset,
                                            bool keep_body) {
  const uint64_t body_at = view.body_at();
  add_optioned(Optioned{view.seq, view.time_ms, view.body, frame_offset + body_at, view.headers,
                        frame_offset + view.headers_at(), body_at, view.priority,
                        view.unique_for_ms, view.key, view.group},
               keep_body);
}

void QueueState::add_optioned(const Optioned& m, bool keep_body) {
  start_message(m.seq, m.ts_ms, m.body, m.body_offset, m.overhead, keep_body);
  MessageOptions& o = options[m.seq];
  o.priority = m.priority;
  o.unique_for_ms = m.unique_for_ms;
  o.key.assign(m.key);
  o.headers_len = static_cast<uint32_t>(m.headers.size());
  o.headers_offset = m.headers_offset;
  o.frame_overhead = static_cast<uint32_t>(m.overhead);
  if (keep_body) o.headers_kept.assign(m.headers.begin(), m.headers.end());
  if (!m.group.empty()) {
    auto [id, added] = group_ids.try_emplace(std::string(m.group), next_group_id);
    GroupEntry& g = groups[id->second];
    if (added) {
      ++next_group_id;
      g.name.assign(m.group);
    }
    o.group = id->second;
    ++g.members;
  }
  if (!o.key.empty()) live_keys[o.key] = m.seq;
  move_optioned(m.seq, o, Place::kNone, Place::kReady);
}

void QueueState::apply_schedule(const RecordView& view, uint64_t frame_offset, bool keep_body) {
  auto fields = decode_schedule(view.body);
  if (!fields) return;
  auto found = schedules.find(fields->name);
  if (found != schedules.end()) {
    schedule_bytes -= std::min(schedule_bytes, schedule_frame_len(found->first, found->second.size()));
  }
  if (fields->state) {
    if (found == schedules.end()) found = schedules.try_emplace(std::string(fields->name)).first;
    found->second.assign(fields->state->begin(), fields->state->end());
    schedule_bytes += schedule_frame_len(found->first, found->second.size());
  } else if (found != schedules.end()) {
    schedules.erase(found);
  }
  const uint64_t payload_at = frame_offset + FRAME_HEADER_LEN;
  for (const SchedulePutFields& p : fields->puts) {
    // Counted as the ENQUEUE_WITH_OPTIONS that compaction writes for it.
    const uint64_t overhead =
        FRAME_HEADER_LEN + ENQUEUE2_FIXED_LEN + p.key.size() + p.group.size() + p.headers.size();
    add_optioned(Optioned{p.seq, p.enqueued_ms, p.body, payload_at + p.body_at, p.headers,
                          payload_at + p.headers_at, overhead, p.priority, p.unique_for_ms,
                          p.key, p.group},
                 keep_body);
  }
}

void QueueState::remove_message(uint64_t seq, uint64_t* counter) {
  auto it = messages.find(seq);
  if (it == messages.end()) return;
  uint64_t bytes = uint64_t{it->second.body_len} + ENQUEUE_FRAME_OVERHEAD;
  if (auto o = options.empty() ? options.end() : options.find(seq); o != options.end()) {
    bytes = uint64_t{it->second.body_len} + o->second.frame_overhead;
    move_optioned(seq, o->second, place_of(seq), Place::kNone);
    if (!o->second.key.empty()) {
      auto live = live_keys.find(o->second.key);
      if (live != live_keys.end() && live->second == seq) live_keys.erase(live);
    }
    if (o->second.group != 0) {
      auto g = groups.find(o->second.group);
      if (g != groups.end() && --g->second.members == 0) {
        group_ids.erase(g->second.name);
        groups.erase(g);
      }
    }
    options.erase(o);
  } else {
    ready.erase(seq);
  }
  live_bytes = live_bytes > bytes ? live_bytes - bytes : 0;
  in_flight.erase(seq);
  messages.erase(it);
  if (!scheduled.empty()) scheduled.erase(seq);
  forget_lease(seq);
  if (!histories.empty()) histories.erase(seq);
  if (counter != nullptr) ++*counter;
}

void QueueState::now_ready(uint64_t seq, MessageEntry& entry, uint64_t ms) {
  entry.ready_since_ms = ms;
  // Rebuilt from the messages once most entries are stale: what the
  // operations since the last rebuild pay for, a few each.
  if (ready_since.size() > 2 * ready_count() + 1024) {
    std::vector<std::pair<uint64_t, uint64_t>> current;
    current.reserve(ready_count() + 1);
    for (const auto& [id, message] : messages) {
      if (!in_flight.contains(id)) current.emplace_back(message.ready_since_ms, id);
    }
    std::make_heap(current.begin(), current.end(), std::greater<>());
    ready_since.swap(current);
    if (!in_flight.contains(seq)) return;  // its entry is in already
  }
  // Messages mostly become ready in the order of time: such an entry stays at the bottom.
  ready_since.emplace_back(ms, seq);
  std::push_heap(ready_since.begin(), ready_since.end(), std::greater<>());
}

bool QueueState::ready_since_current(const std::pair<uint64_t, uint64_t>& entry) const {
  const auto found = messages.find(entry.second);
  return found != messages.end() && found->second.ready_since_ms == entry.first &&
         !in_flight.contains(entry.second);
}

std::optional<uint64_t> QueueState::oldest_ready_ms() const {
  while (!ready_since.empty() && !ready_since_current(ready_since.front())) {
    std::pop_heap(ready_since.begin(), ready_since.end(), std::greater<>());
    ready_since.pop_back();
  }
  if (ready_since.empty()) return std::nullopt;
  return ready_since.front().first;
}

std::set<std::pair<uint64_t, uint64_t>> QueueState::ready_since_entries() const {
  std::set<std::pair<uint64_t, uint64_t>> out;
  for (const auto& entry : ready_since) {
    if (ready_since_current(entry)) out.insert(entry);
  }
  return out;
}

void QueueState::take_id(uint64_t seq) {
  if (seq >= next_seq && !seq_exhausted) {
    seq_exhausted = seq == UINT64_MAX;
    next_seq = seq_exhausted ? seq : seq + 1;
  }
}

void QueueState::end_delivery(uint64_t seq, const MessageEntry& entry) {
  if (lease_facts.empty()) return;
  auto facts = lease_facts.find(seq);
  if (facts == lease_facts.end()) return;
  auto known = histories.find(seq);
  if (known != histories.end() && known->second.recorded >= entry.deliveries) return;
  DeliveryHistory& history = known != histories.end() ? known->second : histories[seq];
  history.recorded = entry.deliveries;
  history.started_ms = facts->second.started_ms;
  const std::string_view consumer = consumers.name(facts->second.consumer);
  if (consumer.empty()) return;
  if (history.consumers.size() == MAX_HISTORY) history.consumers.erase(history.consumers.begin());
  history.consumers.emplace_back(consumer);
}

void QueueState::keep_outcome(const OutcomeEntry& entry) {
  take_id(entry.seq);
  auto [at, added] = outcome_index.try_emplace(entry.seq, static_cast<uint32_t>(outcomes.size()));
  if (!added) {
    OutcomeEntry& old = outcomes[at->second];
    outcome_bytes -= std::min<uint64_t>(outcome_bytes, old.frame_len);
    old.state = 0;
    at->second = static_cast<uint32_t>(outcomes.size());
  }
  outcomes.push_back(entry);
  outcome_bytes += entry.frame_len;
}

void QueueState::apply_outcome(const RecordView& view, uint64_t frame_offset, bool keep_payload) {
  const auto state = static_cast<OutcomeState>(view.outcome_state);
  remove_message(view.seq, state == OutcomeState::kAcked  ? &acked_total
                           : state == OutcomeState::kDead ? &dead_total
                                                          : nullptr);
  keep_outcome(OutcomeEntry{view.seq, view.time_ms, view.keep_until_ms, frame_offset,
                            static_cast<uint32_t>(frame_length(view)), view.outcome_state});
  if (keep_payload) outcome_payloads[view.seq].assign(view.body.begin(), view.body.end());
}

void QueueState::apply_history(const RecordView& view) {
  if (!messages.contains(view.seq)) return;
  auto fields = decode_history(view.body);
  if (!fields) return;
  DeliveryHistory& history = histories[view.seq];
  history.errors.assign(fields->lists.errors.begin(), fields->lists.errors.end());
  history.consumers.assign(fields->lists.consumers.begin(), fields->lists.consumers.end());
  history.recorded = fields->recorded;
  history.started_ms = fields->started_ms;
}

uint64_t QueueState::unexpired_outcome_bytes(uint64_t now) {
  for (uint8_t state = 1; state <= 3; ++state) {
    size_t& at = expiry_cursors[state - 1];
    for (; at < outcomes.size(); ++at) {
      const OutcomeEntry& entry = outcomes[at];
      if (entry.state != state) continue;
      if (entry.keep_until_ms > now) break;
      expired_outcome_bytes += entry.frame_len;
    }
  }
  return outcome_bytes > expired_outcome_bytes ? outcome_bytes - expired_outcome_bytes : 0;
}

void QueueState::drop_expired_outcomes(uint64_t now) {
  expired_outcome_bytes = 0;
  for (size_t& at : expiry_cursors) at = 0;
  std::vector<OutcomeEntry> kept;
  kept.reserve(outcomes.size());
  outcome_index.clear();
  outcome_bytes = 0;
  for (const OutcomeEntry& entry : outcomes) {
    if (entry.state == 0) continue;
    if (entry.keep_until_ms <= now) {
      if (!outcome_payloads.empty()) outcome_payloads.erase(entry.seq);
      continue;
    }
    outcome_index[entry.seq] = static_cast<uint32_t>(kept.size());
    outcome_bytes += entry.frame_len;
    kept.push_back(entry);
  }
  outcomes = std::move(kept);
}

void QueueState::apply_remove(uint64_t seq, bool dead) {
  remove_message(seq, dead ? &dead_total : &acked_total);
}

void QueueState::apply_cancel(uint64_t seq) { remove_message(seq, nullptr); }

void QueueState::apply_settings(bool paused_now, uint32_t limit) {
  paused = paused_now;
  if (limit == 0 || limit == group_limit) return;
  group_limit = limit;
  for (auto& [id, group] : groups) restand(id);
}

void QueueState::apply_kept_key(uint64_t seq, uint64_t expires_ms, std::string_view key) {
  if (key.empty()) return;
  // The id stays taken while its key may be answered with it, also in a
  // compacted log that holds no message of that id any more.
  if (seq >= next_seq && !seq_exhausted) {
    seq_exhausted = seq == UINT64_MAX;
    next_seq = seq_exhausted ? seq : seq + 1;
  }
  kept_keys[std::string(key)] = KeptKey{seq, expires_ms};
}

void QueueState::apply_lease(uint64_t seq, uint64_t deadline_ms, uint32_t deliveries,
                             const RecordView* details) {
  auto it = messages.find(seq);
  if (it == messages.end()) return;
  const MessageOptions* o = options_of(seq);
  const Place from = o != nullptr ? place_of(seq) : Place::kNone;
  const bool has_details = details != nullptr && details->details;
  // A delivery that ends in a delay (a delayed nack) ends here.
  if (!has_details) end_delivery(seq, it->second);
  it->second.deliveries = deliveries;
  if (has_details) {
    // The new name is counted before the old one is let go, so that a
    // renewal by the same consumer keeps its name where it is.
    const uint32_t consumer = consumers.add(details->consumer);
    LeaseFacts& facts = lease_facts[seq];
    consumers.drop(facts.consumer);
    facts = LeaseFacts{details->started_ms, details->extensions, consumer};
  } else {
    forget_lease(seq);
  }
  // A delay: flagged, or (as older releases wrote it) a put's lease that
  // counts no delivery.
  const bool delay = !has_details && ((details != nullptr && details->scheduled) || deliveries == 0);
  if (delay) {
    scheduled.insert(seq);
  } else if (!scheduled.empty()) {
    scheduled.erase(seq);
  }
  in_flight.insert_or_assign(seq, deadline_ms);
  lease_heap.emplace(deadline_ms, seq);
  if (o != nullptr) {
    move_optioned(seq, *o, from, delay ? Place::kScheduled : Place::kLeased);
  } else {
    ready.erase(seq);
  }
}

void QueueState::apply_requeue(uint64_t seq, uint32_t deliveries, uint64_t returned_ms) {
  auto it = messages.find(seq);
  if (it == messages.end()) return;
  const MessageOptions* o = options_of(seq);
  const Place from = o != nullptr ? place_of(seq) : Place::kNone;
  it->second.deliveries = deliveries;
  // Whether this delivery already ended with an error noted (a nack's
  // HISTORY comes first): then no lease ran out.
  auto history = histories.empty() ? histories.end() : histories.find(seq);
  const bool error_noted =
      history != histories.end() && history->second.recorded >= deliveries;
  end_delivery(seq, it->second);
  // Besides nacks, a REQUEUE ends a lease that ran out and a delayed put's
  // wait (which no delivery preceded); one of a message not in flight
  // returns nothing.
  bool nacked = false;
  if (auto leased = in_flight.find(seq); leased != in_flight.end()) {
    // The log does not tell when a REQUEUE was written: its writer does, a
    // reader takes the time it reads it. Returned at or past its deadline,
    // a delivery's lease ran out; either way it is ready from the earlier.
    const uint64_t deadline = leased->second;
    const uint64_t returned = returned_ms != 0 ? returned_ms : now_ms();
    const bool expired = returned >= deadline && !error_noted && !is_scheduled(seq);
    if (expired) ++expired_total;
    nacked = deliveries > 0 && !expired;
    in_flight.erase(leased);
    now_ready(seq, it->second, std::min(returned, deadline));
  }
  if (!scheduled.empty()) scheduled.erase(seq);
  forget_lease(seq);
  if (o != nullptr) {
    move_optioned(seq, *o, from, Place::kReady);
  } else {
    ready.insert(seq);
  }
  ++requeued_total;
  if (nacked) ++nacked_total;
}

void QueueState::apply(const Record& record, uint64_t frame_offset, bool keep_body) {
  std::visit(
      [&](const auto& r) {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, EnqueueRecord>) {
          apply_enqueue(r.seq, r.enqueued_ts_ms, r.body, frame_offset, keep_body);
        } else if constexpr (std::is_same_v<T, AckRecord>) {
          apply_remove(r.seq, false);
        } else if constexpr (std::is_same_v<T, LeaseRecord>) {
          if (r.details) {
            RecordView view = RecordView::lease(r.seq, r.deadline_ms, r.deliveries,
                                                r.details->started_ms, r.details->extensions,
                                                r.details->consumer);
            apply_lease(r.seq, r.deadline_ms, r.deliveries, &view);
          } else {
            RecordView view = RecordView::lease(r.seq, r.deadline_ms, r.deliveries);
            view.scheduled = r.scheduled;
            apply_lease(r.seq, r.deadline_ms, r.deliveries, &view);
          }
        } else if constexpr (std::is_same_v<T, RequeueRecord>) {
          apply_requeue(r.seq, r.deliveries);
        } else {
          apply_remove(r.seq, true);
        }
      },
      record);
}

void QueueState::apply(const RecordView& view, uint64_t frame_offset, bool keep_body) {
  switch (view.tag) {
    case ENQUEUE: return apply_enqueue(view.seq, view.time_ms, view.body, frame_offset, keep_body);
    case ACK: return apply_remove(view.seq, false);
    case LEASE: return apply_lease(view.seq, view.time_ms, view.deliveries, &view);
    case REQUEUE: return apply_requeue(view.seq, view.deliveries, view.time_ms);
    case DEAD: return apply_remove(view.seq, true);
    case ENQUEUE_WITH_OPTIONS: return apply_enqueue_with_options(view, frame_offset, keep_body);
    case CANCEL: return apply_cancel(view.seq);
    case SETTINGS: return apply_settings(view.paused, view.group_limit);
    case KEPT_KEY: return apply_kept_key(view.seq, view.time_ms, view.key);
    case OUTCOME: return apply_outcome(view, frame_offset, keep_body);
    case HISTORY: return apply_history(view);
    case SCHEDULE: return apply_schedule(view, frame_offset, keep_body);
  }
}

}  // namespace tarnwick
