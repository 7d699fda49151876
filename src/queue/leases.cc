// Leases that ran out: their messages are returned to the ready set.
#include "queue/queue_impl.h"

namespace tarnwick {

Status QueueImpl::reclaim_expired(uint64_t now) {
  if (read_only) return {};  // reclaiming writes a record; a writer does it
  QueueState& state = inner.state;
  while (!state.lease_heap.empty() && state.lease_heap.top().first <= now) {
    const auto [deadline, seq] = state.lease_heap.top();
    state.lease_heap.pop();
    auto leased = state.in_flight.find(seq);
    if (leased == state.in_flight.end() || leased->second != deadline) continue;  // stale
    auto entry = state.messages.find(seq);
    if (entry == state.messages.end()) {
      return Error::invariant("leased message " + std::to_string(seq) + " has no entry");
    }
    Status committed =
        commit(RecordView::requeue(seq, entry->second.deliveries, now), Sync::kInterval);
    if (!committed.ok()) {
      // Not written: a later call tries again (a failed sync did apply it).
      auto still = state.in_flight.find(seq);
      if (still != state.in_flight.end() && still->second == deadline) {
        state.lease_heap.emplace(deadline, seq);
      }
      return committed;
    }
  }
  return {};
}

}  // namespace tarnwick
