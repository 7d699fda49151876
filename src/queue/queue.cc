// TarnwickCore's queue: each operation is one call into JobQueue, which owns
// them all (job_queue.h); what is left here is how the plain queue names
// things (seqs, batches that always sync once, a count instead of a list).
#include "queue/queue.h"

#include "queue/job_queue.h"

namespace tarnwick {

Queue::Queue(std::unique_ptr<JobQueue> engine) : engine_(std::move(engine)) {}
Queue::~Queue() = default;

Result<std::unique_ptr<Queue>> Queue::open(std::string_view path, const Settings& settings,
                                           Access access) {
  TW_ASSIGN_OR_RETURN(auto engine,
                      JobQueue::open(path, settings, access, JobQueue::DeadLetters::kNone));
  return std::unique_ptr<Queue>(new Queue(std::move(engine)));
}

bool Queue::persistent() const { return engine_->persistent(); }
QueueImpl& Queue::impl() { return engine_->impl(); }

Result<uint64_t> Queue::enqueue(ByteSpan body) {
  return engine_->put(std::span(&body, 1), 0, SyncRule::kInterval);
}

Result<std::vector<uint64_t>> Queue::enqueue_batch(const std::vector<ByteSpan>& bodies) {
  if (bodies.empty()) return std::vector<uint64_t>{};
  TW_ASSIGN_OR_RETURN(const uint64_t first, engine_->put(bodies, 0, SyncRule::kForceAlways));
  std::vector<uint64_t> seqs(bodies.size());
  for (size_t i = 0; i < seqs.size(); ++i) seqs[i] = first + i;
  return seqs;
}

Result<bool> Queue::dequeue(std::optional<uint64_t> lease_ms, DeliverySink& sink) {
  TW_ASSIGN_OR_RETURN(const Taken taken,
                      engine_->take({1, lease_ms, 0, SyncRule::kInterval, std::nullopt, false}, sink));
  return taken.count > 0;
}

Status Queue::dequeue_batch(uint64_t max, std::optional<uint64_t> lease_ms, DeliverySink& sink) {
  // Smallest id first, as TarnwickCore always delivered (priorities aside).
  auto taken = engine_->take({max, lease_ms, 0, SyncRule::kForceAlways, std::nullopt, false}, sink);
  if (!taken.ok()) return std::move(taken).error();
  return {};
}

Result<bool> Queue::extend_lease(uint64_t seq, std::optional<uint64_t> lease_ms) {
  TW_ASSIGN_OR_RETURN(const std::optional<uint64_t> deadline, engine_->extend(seq, lease_ms));
  return deadline.has_value();
}

Result<bool> Queue::ack(uint64_t seq) { return engine_->ack(seq); }

Result<uint64_t> Queue::ack_batch(const std::vector<uint64_t>& seqs) {
  if (seqs.empty()) return uint64_t{0};
  return engine_->ack_batch(seqs);
}

Result<bool> Queue::nack(uint64_t seq, bool requeue) { return engine_->nack(seq, requeue); }

Result<uint64_t> Queue::available() { return engine_->available(); }
Result<uint64_t> Queue::in_flight() { return engine_->in_flight(); }

Result<QueueStats> Queue::stats() {
  TW_ASSIGN_OR_RETURN(const JobStats stats, engine_->stats());
  return stats.core;
}

Status Queue::flush() { return engine_->flush(); }
Status Queue::compact() { return engine_->compact(); }
Status Queue::purge() { return engine_->purge(); }
Result<IntegrityReport> Queue::verify_integrity() { return engine_->verify_integrity(); }
std::optional<RepairReport> Queue::last_repair() { return engine_->last_repair(); }

}  // namespace tarnwick
