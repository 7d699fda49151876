// The queue's operations, each one critical section (see QueueImpl::locked).
#include "queue/queue.h"

#include <cerrno>

#include "log_io/clock.h"
#include "log_io/log_format.h"
#include "queue/queue_impl.h"

namespace tarnwick {

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

Error missing_entry(uint64_t seq) {
  return Error::invariant("ready message " + std::to_string(seq) + " has no entry");
}

Error read_only_error() { return Error::os(EBADF, "the queue was opened read-only"); }

Error oversized_body(size_t length) {
  return Error::invalid_data("message body of " + std::to_string(length) +
                             " bytes exceeds the maximum of " + std::to_string(MAX_BODY_LEN) +
                             " bytes");
}

// Ids are never reused while a message may hold one: past the largest there
// is none to give.
Status check_ids_left(const QueueState& state, size_t count) {
  if (!state.seq_exhausted && count - 1 <= UINT64_MAX - state.next_seq) return {};
  return Error::make(ErrorKind::kIdsExhausted,
                     "Tarnwick: message ids are exhausted (the largest is 18446744073709551615)");
}

uint32_t next_delivery_count(uint32_t deliveries) {
  return deliveries == UINT32_MAX ? deliveries : deliveries + 1;
}

namespace {

using Prep = QueueImpl::Prep;
using Sync = QueueImpl::Sync;

}  // namespace

Queue::Queue(std::unique_ptr<QueueImpl> impl) : impl_(std::move(impl)) {}
Queue::~Queue() = default;

Result<std::unique_ptr<Queue>> Queue::open(std::string_view path, const Settings& settings,
                                           Access access) {
  TW_ASSIGN_OR_RETURN(auto impl, QueueImpl::open(path, settings, access));
  return std::unique_ptr<Queue>(new Queue(std::move(impl)));
}

bool Queue::persistent() const { return impl_->persistent; }

// --- producing ---

Result<uint64_t> Queue::enqueue(ByteSpan body) {
  if (body.size() > MAX_BODY_LEN) return oversized_body(body.size());
  QueueImpl& q = *impl_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<uint64_t> {
    QueueState& state = q.state();
    TW_TRY(check_ids_left(state, 1));
    const uint64_t seq = state.next_seq;
    TW_TRY(q.commit(RecordView::enqueue(seq, now_ms(), body), Sync::kInterval));
    return seq;
  });
}

Result<std::vector<uint64_t>> Queue::enqueue_batch(const std::vector<ByteSpan>& bodies) {
  if (bodies.empty()) return std::vector<uint64_t>{};
  for (ByteSpan body : bodies) {
    if (body.size() > MAX_BODY_LEN) return oversized_body(body.size());
  }
  QueueImpl& q = *impl_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<std::vector<uint64_t>> {
    QueueState& state = q.state();
    TW_TRY(check_ids_left(state, bodies.size()));
    const uint64_t ts = now_ms();
    std::vector<RecordView>& records = q.run_buffer();
    records.clear();
    std::vector<uint64_t> seqs;
    seqs.reserve(bodies.size());
    for (ByteSpan body : bodies) {
      seqs.push_back(state.next_seq + seqs.size());
      records.push_back(RecordView::enqueue(seqs.back(), ts, body));
    }
    Status committed = q.commit_batch(records, Sync::kNow);
    q.trim_run_buffers();
    if (!committed.ok()) return std::move(committed).error();
    return seqs;
  });
}

// --- consuming ---

namespace {

// Hands a message whose lease was applied to the sink.
Status deliver(QueueImpl& q, const RecordView& lease, DeliverySink& sink) {
  auto entry = q.state().messages.find(lease.seq);
  if (entry == q.state().messages.end()) return missing_entry(lease.seq);
  TW_ASSIGN_OR_RETURN(ByteSpan body, q.body_of(entry->second));
  if (!sink.deliver(Delivery{lease.seq, lease.deliveries, entry->second.enqueued_ts_ms, body})) {
    return Error::make(ErrorKind::kCallback, "");
  }
  return {};
}

// The lease the ready message `seq` gets next.
Result<RecordView> next_lease(const QueueState& state, uint64_t seq, uint64_t deadline) {
  auto entry = state.messages.find(seq);
  if (entry == state.messages.end()) return missing_entry(seq);
  return RecordView::lease(seq, deadline, next_delivery_count(entry->second.deliveries));
}

}  // namespace

Result<bool> Queue::dequeue(std::optional<uint64_t> lease_ms, DeliverySink& sink) {
  QueueImpl& q = *impl_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<bool> {
    const uint64_t now = now_ms();
    TW_TRY(q.reclaim_expired(now));
    QueueState& state = q.state();
    if (state.ready.empty()) return false;
    TW_ASSIGN_OR_RETURN(const RecordView lease,
                        next_lease(state, *state.ready.begin(),
                                   saturating_add(now, q.lease_length(lease_ms))));
    TW_TRY(q.commit(lease, Sync::kInterval));
    TW_TRY(deliver(q, lease, sink));
    return true;
  });
}

Status Queue::dequeue_batch(uint64_t max, std::optional<uint64_t> lease_ms, DeliverySink& sink) {
  QueueImpl& q = *impl_;
  return q.locked(Prep::kCatchUp, [&]() -> Status {
    const uint64_t now = now_ms();
    TW_TRY(q.reclaim_expired(now));
    const uint64_t deadline = saturating_add(now, q.lease_length(lease_ms));
    QueueState& state = q.state();
    std::vector<RecordView>& leases = q.run_buffer();
    leases.clear();
    // The smallest ready messages are leased; the messages are delivered
    // only once the leases are written, so that a failed write leases nothing.
    for (auto it = state.ready.begin(); leases.size() < max && it != state.ready.end(); ++it) {
      TW_ASSIGN_OR_RETURN(const RecordView lease, next_lease(state, *it, deadline));
      leases.push_back(lease);
    }
    TW_TRY(q.commit_batch(leases, Sync::kNone));
    for (const RecordView& lease : leases) TW_TRY(deliver(q, lease, sink));
    q.trim_run_buffers();
    return q.maybe_sync(true);
  });
}

Result<bool> Queue::extend_lease(uint64_t seq, std::optional<uint64_t> lease_ms) {
  QueueImpl& q = *impl_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<bool> {
    QueueState& state = q.state();
    auto entry = state.messages.find(seq);
    if (entry == state.messages.end() || !state.in_flight.contains(seq)) return false;
    const uint64_t deadline = saturating_add(now_ms(), q.lease_length(lease_ms));
    TW_TRY(q.commit(RecordView::lease(seq, deadline, entry->second.deliveries), Sync::kInterval));
    return true;
  });
}

// --- acknowledging ---

namespace {

// ACKs the live ones among `seqs`, each once, in one run of records and
// syncs; returns how many were removed.
Result<uint64_t> commit_acks(QueueImpl& q, const std::vector<uint64_t>& seqs) {
  const QueueState& state = q.state();
  std::vector<RecordView>& acks = q.run_buffer();
  std::unordered_set<uint64_t>& named = q.seen_seqs();
  acks.clear();
  named.clear();
  for (uint64_t seq : seqs) {
    if (state.messages.contains(seq) && named.insert(seq).second) {
      acks.push_back(RecordView::ack(seq));
    }
  }
  const uint64_t removed = acks.size();
  Status committed = q.commit_batch(acks, Sync::kNow);
  q.trim_run_buffers();
  if (!committed.ok()) return std::move(committed).error();
  return removed;
}

}  // namespace

Result<bool> Queue::ack(uint64_t seq) {
  QueueImpl& q = *impl_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<bool> {
    if (!q.state().messages.contains(seq)) return false;
    TW_TRY(q.commit(RecordView::ack(seq), Sync::kInterval));
    TW_TRY(q.maybe_compact());
    return true;
  });
}

Result<uint64_t> Queue::ack_batch(const std::vector<uint64_t>& seqs) {
  if (seqs.empty()) return uint64_t{0};
  QueueImpl& q = *impl_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<uint64_t> {
    TW_ASSIGN_OR_RETURN(const uint64_t removed, commit_acks(q, seqs));
    TW_TRY(q.maybe_compact());
    return removed;
  });
}

Result<bool> Queue::nack(uint64_t seq, bool requeue) {
  QueueImpl& q = *impl_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<bool> {
    auto entry = q.state().messages.find(seq);
    if (entry == q.state().messages.end()) return false;
    if (requeue) {
      TW_TRY(q.commit(RecordView::requeue(seq, entry->second.deliveries), Sync::kInterval));
    } else {
      TW_TRY(q.commit(RecordView::dead(seq), Sync::kInterval));
      TW_TRY(q.maybe_compact());
    }
    return true;
  });
}

// --- introspection ---

Result<uint64_t> Queue::available() {
  QueueImpl& q = *impl_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<uint64_t> {
    TW_TRY(q.reclaim_expired(now_ms()));
    return uint64_t{q.state().ready.size()};
  });
}

Result<uint64_t> Queue::in_flight() {
  QueueImpl& q = *impl_;
  return q.locked(Prep::kCatchUp,
                  [&]() -> Result<uint64_t> { return uint64_t{q.state().in_flight.size()}; });
}

Result<QueueStats> Queue::stats() {
  QueueImpl& q = *impl_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<QueueStats> {
    TW_TRY(q.reclaim_expired(now_ms()));
    const QueueState& s = q.state();
    QueueStats out;
    out.ready = s.ready.size();
    out.in_flight = s.in_flight.size();
    out.total = s.messages.size();
    out.enqueued_total = s.enqueued_total;
    out.acked_total = s.acked_total;
    out.requeued_total = s.requeued_total;
    out.dead_total = s.dead_total;
    out.next_seq = s.next_seq;
    out.live_bytes = s.live_bytes;
    out.log_bytes = q.log_bytes();
    out.generation = q.generation();
    out.persistent = q.persistent;
    return out;
  });
}

// --- log management ---

Status Queue::flush() {
  QueueImpl& q = *impl_;
  return q.locked(Prep::kNone, [&]() -> Status { return q.maybe_sync(true); });
}

Status Queue::compact() {
  QueueImpl& q = *impl_;
  return q.locked(Prep::kCatchUp, [&]() -> Status { return q.do_compact(); });
}

Status Queue::purge() {
  QueueImpl& q = *impl_;
  return q.locked(Prep::kCatchUp, [&]() -> Status { return q.purge_log(); });
}

Result<IntegrityReport> Queue::verify_integrity() {
  QueueImpl& q = *impl_;
  if (!q.persistent) return q.scan_log();
  return q.locked(Prep::kNone, [&]() -> Result<IntegrityReport> { return q.scan_log(); });
}

std::optional<RepairReport> Queue::last_repair() {
  QueueImpl& q = *impl_;
  std::lock_guard<std::mutex> hold(q.mutex);
  return q.inner.last_repair;
}

}  // namespace tarnwick
