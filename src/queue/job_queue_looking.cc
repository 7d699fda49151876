// JobQueue's looks at the queue: counts, the next due time and a peek that
// writes nothing.
#include <algorithm>
#include <set>

#include "log_io/clock.h"
#include "queue/job_queue_parts.h"

namespace tarnwick {

namespace jobs {

std::vector<uint64_t> smallest_seqs(const QueueState& state, uint64_t limit) {
  std::vector<uint64_t> seqs;
  auto smallest_of = [&](const std::set<uint64_t>& ready) {
    uint64_t taken = 0;
    for (auto it = ready.begin(); it != ready.end() && taken < limit; ++it, ++taken) {
      seqs.push_back(*it);
    }
  };
  // Every ready message is in one of these: a level, or its group (whose
  // head may stand in a level too).
  smallest_of(state.ready);
  for (const auto& [priority, ready] : state.levels) smallest_of(ready);
  for (const auto& [id, group] : state.groups) smallest_of(group.ready);
  for (const auto& [seq, deadline] : state.in_flight) seqs.push_back(seq);
  std::sort(seqs.begin(), seqs.end());
  seqs.erase(std::unique(seqs.begin(), seqs.end()), seqs.end());
  seqs.resize(std::min<uint64_t>(limit, seqs.size()));
  return seqs;
}

std::optional<uint64_t> next_due(QueueState& state) {
  // Entries whose lease was since renewed, returned or settled are stale.
  while (!state.lease_heap.empty()) {
    const auto [deadline, seq] = state.lease_heap.top();
    auto leased = state.in_flight.find(seq);
    if (leased != state.in_flight.end() && leased->second == deadline) return deadline;
    state.lease_heap.pop();
  }
  return std::nullopt;
}

}  // namespace jobs

using jobs::Prep;

Result<std::vector<MessageSummary>> JobQueue::peek(uint64_t limit, bool bodies) {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<std::vector<MessageSummary>> {
    const uint64_t now = now_ms();
    const QueueState& state = q.state();
    std::vector<MessageSummary> out;
    for (uint64_t seq : jobs::smallest_seqs(state, limit)) {
      auto entry = state.messages.find(seq);
      if (entry == state.messages.end()) return missing_entry(seq);
      MessageSummary summary;
      summary.seq = seq;
      summary.deliveries = entry->second.deliveries;
      summary.enqueued_ts_ms = entry->second.enqueued_ts_ms;
      summary.size = entry->second.body_len;
      auto leased = state.in_flight.find(seq);
      if (leased != state.in_flight.end() && leased->second > now) {
        summary.state = state.is_scheduled(seq) ? MessageState::kScheduled : MessageState::kLeased;
        summary.due_ms = leased->second;
        if (auto facts = state.lease_facts.find(seq); facts != state.lease_facts.end()) {
          if (facts->second.started_ms != 0) summary.started_ms = facts->second.started_ms;
          summary.extensions = facts->second.extensions;
          summary.consumer = state.consumers.name(facts->second.consumer);
        }
      }
      if (bodies) {
        TW_ASSIGN_OR_RETURN(ByteSpan body, q.body_of(entry->second));
        summary.body.assign(body.begin(), body.end());
      }
      if (const MessageOptions* o = state.options_of(seq)) {
        summary.priority = o->priority;
        summary.key = o->key;
        summary.group = state.group_name(o->group);
        TW_ASSIGN_OR_RETURN(ByteSpan headers, jobs::headers_of(q, *o));
        summary.headers.assign(headers.begin(), headers.end());
      }
      out.push_back(std::move(summary));
    }
    return out;
  });
}

Result<std::optional<uint64_t>> JobQueue::next_due_ms() {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp,
                  [&]() -> Result<std::optional<uint64_t>> { return jobs::next_due(q.state()); });
}

Result<JobStats> JobQueue::stats() {
  QueueImpl& q = *main_;
  return with_dead_letters([&]() -> Result<JobStats> {
    const uint64_t now = now_ms();
    TW_TRY(q.reclaim_expired(now));
    const QueueState& s = q.state();
    JobStats out;
    QueueStats& core = out.core;
    core.ready = s.ready_count();
    core.in_flight = s.in_flight.size();
    core.total = s.messages.size();
    core.enqueued_total = s.enqueued_total;
    core.acked_total = s.acked_total;
    core.requeued_total = s.requeued_total;
    core.dead_total = s.dead_total;
    core.expired_total = s.expired_total;
    core.nacked_total = s.nacked_total;
    core.next_seq = s.next_seq;
    core.live_bytes = s.live_bytes;
    core.log_bytes = q.log_bytes();
    core.generation = q.generation();
    core.persistent = q.persistent;
    out.oldest_ready_ms = s.oldest_ready_ms();
    // Delays and dead letters are the job queue's; the plain queue has none
    // to count (and is spared the walk over its leases).
    if (!dead_) return out;
    out.paused = s.paused;
    for (uint64_t seq : s.scheduled) {
      auto delayed = s.in_flight.find(seq);
      if (delayed != s.in_flight.end() && delayed->second > now) ++out.scheduled;
    }
    for (const auto& [seq, facts] : s.lease_facts) {
      auto leased = s.in_flight.find(seq);
      if (facts.started_ms == 0 || leased == s.in_flight.end() || leased->second <= now) continue;
      if (!out.oldest_started_ms || facts.started_ms < *out.oldest_started_ms ||
          (facts.started_ms == *out.oldest_started_ms && seq < out.oldest_started_seq)) {
        out.oldest_started_ms = facts.started_ms;
        out.oldest_started_seq = seq;
      }
    }
    out.dead_letters = dead_->state().messages.size();
    return out;
  });
}

Result<uint64_t> JobQueue::available() {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<uint64_t> {
    TW_TRY(q.reclaim_expired(now_ms()));
    return q.state().ready_count();
  });
}

Result<uint64_t> JobQueue::in_flight() {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp,
                  [&]() -> Result<uint64_t> { return uint64_t{q.state().in_flight.size()}; });
}

}  // namespace tarnwick
