// JobQueue: opening, producing, consuming, settling and the log's upkeep.
// Looking at the queue is job_queue_looking.cc; the dead letters are
// dead_letters.cc.
#include "queue/job_queue.h"

#include <algorithm>
#include <unordered_set>

#include "log_io/clock.h"
#include "log_io/file_access.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"
#include "queue/job_queue_parts.h"

namespace tarnwick {

namespace jobs {

Result<ByteSpan> headers_of(QueueImpl& q, const MessageOptions& o) {
  if (!q.persistent) {
    return ByteSpan(reinterpret_cast<const uint8_t*>(o.headers_kept.data()), o.headers_kept.size());
  }
  return q.read_body(o.headers_offset, o.headers_len);
}

Result<uint64_t> write_messages(QueueImpl& q, std::span<const ByteSpan> bodies, uint64_t ts_ms,
                                uint64_t due_ms, Sync sync) {
  TW_TRY(check_ids_left(q.state(), bodies.size()));
  TrimRunBuffers trim(q);
  const uint64_t first = q.state().next_seq;
  std::vector<RecordView>& records = q.run_buffer();
  records.clear();
  for (size_t i = 0; i < bodies.size(); ++i) {
    records.push_back(RecordView::enqueue(first + i, ts_ms, bodies[i]));
    if (due_ms != 0) records.push_back(RecordView::lease(first + i, due_ms, 0));
  }
  TW_TRY(q.commit_batch(records, sync));
  return first;
}

MessageEntry* held(QueueState& state, const LeaseToken& lease) {
  auto entry = state.messages.find(lease.seq);
  if (entry == state.messages.end() || entry->second.enqueued_ts_ms != lease.enqueued_ts_ms ||
      entry->second.deliveries != lease.deliveries) {
    return nullptr;
  }
  auto leased = state.in_flight.find(lease.seq);
  if (leased == state.in_flight.end() || leased->second != lease.deadline_ms) return nullptr;
  return &entry->second;
}

}  // namespace jobs

namespace {

using jobs::Prep;
using jobs::Sync;

// The entry a settle acts on. Named by its lease, only while that lease is
// current, once expired leases were reclaimed (an expired lease is not
// current); named by seq, any live message.
Result<MessageEntry*> settled_entry(QueueImpl& q, uint64_t seq, const LeaseToken* lease,
                                    uint64_t now) {
  if (lease != nullptr) {
    TW_TRY(q.reclaim_expired(now));
    return jobs::held(q.state(), *lease);
  }
  auto entry = q.state().messages.find(seq);
  return entry == q.state().messages.end() ? nullptr : &entry->second;
}

// Views of the bodies of the messages whose leases were just written, all
// valid together, in the object's delivery buffer for the sink.
Status prepare_deliveries(QueueImpl& q, std::span<const RecordView> leases) {
  QueueState& state = q.state();
  if (leases.size() > 1) {
    uint64_t end = 0;
    for (const RecordView& lease : leases) {
      auto entry = state.messages.find(lease.seq);
      if (entry == state.messages.end()) return missing_entry(lease.seq);
      end = std::max(end, entry->second.body_offset + entry->second.body_len);
    }
    TW_TRY(q.map_through(end));
  }
  std::vector<Delivery>& out = q.delivery_buffer();
  out.clear();
  for (const RecordView& lease : leases) {
    auto entry = state.messages.find(lease.seq);
    if (entry == state.messages.end()) return missing_entry(lease.seq);
    TW_ASSIGN_OR_RETURN(ByteSpan body, q.body_of(entry->second));
    Delivery delivery{lease.seq, lease.deliveries, entry->second.enqueued_ts_ms, body,
                      lease.time_ms};
    if (const MessageOptions* o = state.options_of(lease.seq)) {
      // Read after the body, which ends past them: no new map is made.
      TW_ASSIGN_OR_RETURN(delivery.headers, jobs::headers_of(q, *o));
      delivery.priority = o->priority;
      delivery.key = o->key;
      delivery.group = state.group_name(o->group);
    }
    out.push_back(delivery);
  }
  return {};
}

// The next message a take may lease: the first of the highest priority
// level, or (TarnwickCore's order) the smallest id of every level.
std::optional<uint64_t> next_to_take(const QueueState& state, bool by_priority) {
  if (by_priority) {
    auto top = state.levels.begin();
    if (top != state.levels.end() && top->first > 0) return *top->second.begin();
    if (!state.ready.empty()) return *state.ready.begin();
    if (top != state.levels.end()) return *top->second.begin();
    return std::nullopt;
  }
  std::optional<uint64_t> smallest;
  if (!state.ready.empty()) smallest = *state.ready.begin();
  for (const auto& [priority, seqs] : state.levels) {
    if (!smallest || *seqs.begin() < *smallest) smallest = *seqs.begin();
  }
  return smallest;
}

}  // namespace

JobQueue::JobQueue(std::unique_ptr<QueueImpl> main, std::unique_ptr<QueueImpl> dead,
                   std::string directory)
    : main_(std::move(main)), dead_(std::move(dead)), directory_(std::move(directory)) {}

JobQueue::~JobQueue() = default;

Result<std::unique_ptr<JobQueue>> JobQueue::open(std::string_view path, const Settings& settings,
                                                 Access access, DeadLetters dead_letters) {
  TW_ASSIGN_OR_RETURN(std::unique_ptr<QueueImpl> main, QueueImpl::open(path, settings, access));
  std::string directory = main->persistent ? std::string(path) : std::string();
  if (dead_letters == DeadLetters::kNone) {
    return std::unique_ptr<JobQueue>(new JobQueue(std::move(main), nullptr, std::move(directory)));
  }
  std::string dead_path = ":memory:";
  if (main->persistent) {
    const std::string subdirectory =
        directory + (directory.ends_with('/') ? "" : "/") + kDeadLetterDir;
    if (access == Access::kReadWrite) {
      // Shared like the queue directory, whoever makes it (file_access.h).
      TW_TRY(make_directory_like_parent(subdirectory));
      dead_path = subdirectory;
    } else if (sys::stat(subdirectory + "/queue.log").ok()) {
      dead_path = subdirectory;
    }  // else no dead letter was ever written: an empty queue in memory stands for them
  }
  // The dead letters keep no reserve of their own: every write to them
  // drains the main queue, so they spend its reserve (under its lock,
  // which every operation on them holds first).
  Settings dead_settings = settings;
  dead_settings.reserve_bytes = 0;
  TW_ASSIGN_OR_RETURN(std::unique_ptr<QueueImpl> dead,
                      QueueImpl::open(dead_path, dead_settings, access));
  dead->reserve = main->reserve;
  dead->writes_drain = true;
  return std::unique_ptr<JobQueue>(
      new JobQueue(std::move(main), std::move(dead), std::move(directory)));
}

bool JobQueue::persistent() const { return main_->persistent; }

// --- producing ---

Result<uint64_t> JobQueue::put(std::span<const ByteSpan> bodies, uint64_t delay_ms,
                               SyncRule sync) {
  if (bodies.empty()) return uint64_t{0};
  for (ByteSpan body : bodies) {
    if (body.size() > MAX_BODY_LEN) return oversized_body(body.size());
  }
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<uint64_t> {
    const uint64_t now = now_ms();
    const uint64_t due = delay_ms == 0 ? 0 : saturating_add(now, delay_ms);
    return jobs::write_messages(q, bodies, now, due, jobs::sync_of(sync));
  });
}

Result<uint64_t> JobQueue::put(std::span<const ByteSpan> bodies, uint64_t delay_ms, SyncRule sync,
                               const PutOptions& options) {
  if (options.plain()) return put(bodies, delay_ms, sync);
  if (bodies.empty()) return uint64_t{0};
  if (options.priority < -100 || options.priority > 100) {
    return Error::invalid_data("priority must be from -100 to 100");
  }
  if (options.key.size() > MAX_KEY_LEN || options.group.size() > MAX_GROUP_LEN) {
    return Error::invalid_data("a key or group is at most 255 bytes");
  }
  if (!options.key.empty() && bodies.size() != 1) {
    return Error::invalid_data("a key is for one message");
  }
  for (ByteSpan body : bodies) {
    // Room for the options in the same frame.
    if (body.size() + options.headers.size() + 600 > MAX_RECORD_LEN) {
      return oversized_body(body.size() + options.headers.size());
    }
  }
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<uint64_t> {
    const uint64_t now = now_ms();
    if (!options.key.empty()) {
      if (auto holder = q.state().key_holder(std::string(options.key), now)) return *holder;
    }
    TW_TRY(check_ids_left(q.state(), bodies.size()));
    jobs::TrimRunBuffers trim(q);
    const uint64_t due = delay_ms == 0 ? 0 : saturating_add(now, delay_ms);
    const uint64_t first = q.state().next_seq;
    std::vector<RecordView>& records = q.run_buffer();
    records.clear();
    for (size_t i = 0; i < bodies.size(); ++i) {
      records.push_back(RecordView::enqueue_with_options(first + i, now, bodies[i],
                                                         options.priority, options.key,
                                                         options.unique_for_ms, options.group,
                                                         options.headers));
      if (due != 0) records.push_back(RecordView::lease(first + i, due, 0));
    }
    TW_TRY(q.commit_batch(records, jobs::sync_of(sync)));
    return first;
  });
}

Result<bool> JobQueue::cancel(uint64_t seq) {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<bool> {
    TW_TRY(q.reclaim_expired(now_ms()));
    const QueueState& state = q.state();
    if (!state.messages.contains(seq)) return false;
    if (state.in_flight.contains(seq) && !state.is_scheduled(seq)) return false;
    std::vector<uint8_t> payload;
    RecordView record = RecordView::cancel(seq);
    if (q.settings.keep_cancelled_ms != 0) {
      TW_ASSIGN_OR_RETURN(record, jobs::outcome_of(q, seq, OutcomeState::kCancelled, now_ms(),
                                                   q.settings.keep_cancelled_ms, std::nullopt,
                                                   {}, NO_DEAD_LETTER, payload));
    }
    TW_TRY(jobs::commit_settle(q, record, Sync::kInterval));
    TW_TRY(q.maybe_compact());
    return true;
  });
}

Status JobQueue::set_paused(bool paused) {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Status {
    if (q.state().paused == paused) return {};
    return q.commit(RecordView::settings(paused, q.state().group_limit), Sync::kNow);
  });
}

Result<bool> JobQueue::paused() {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<bool> { return q.state().paused; });
}

Result<uint32_t> JobQueue::group_limit() {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<uint32_t> { return q.state().group_limit; });
}

Status JobQueue::set_group_limit(uint32_t limit) {
  if (limit == 0) return Error::invalid_data("the group limit is at least 1");
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Status {
    if (q.state().group_limit == limit) return {};
    return q.commit(RecordView::settings(q.state().paused, limit), Sync::kNow);
  });
}

Result<std::vector<uint64_t>> JobQueue::put(std::span<const ByteSpan> bodies, uint64_t delay_ms) {
  const SyncRule sync = bodies.size() > 1 ? SyncRule::kForce : SyncRule::kInterval;
  TW_ASSIGN_OR_RETURN(const uint64_t first, put(bodies, delay_ms, sync));
  std::vector<uint64_t> seqs(bodies.size());
  for (size_t i = 0; i < seqs.size(); ++i) seqs[i] = first + i;
  return seqs;
}

// --- consuming ---

// The sink gets the messages after the process lock was released, with the
// object's mutex still held (QueueImpl::locked_then): a binding that must
// take back an interpreter lock to copy the bodies never holds up another
// process, and no thread of this one can move the map or the entries meanwhile.
namespace {

// What hands a take's leased messages (`Taken` in R) to `sink`.
template <class R>
auto handing_over(QueueImpl& q, DeliverySink& sink, const Taken& (*taken_of)(const R&)) {
  return [&q, &sink, taken_of](Result<R> done) -> Result<R> {
    jobs::TrimRunBuffers trim(q);
    if (done.ok() && taken_of(*done).count > 0 && !sink.deliver_all(q.delivery_buffer())) {
      return Error::make(ErrorKind::kCallback, "");
    }
    return done;
  };
}

const Taken& itself(const Taken& taken) { return taken; }
const Taken& taken_part(const AckedAndTaken& done) { return done.taken; }

}  // namespace

Result<Taken> JobQueue::take(const TakeRequest& request, DeliverySink& sink) {
  QueueImpl& q = *main_;
  return q.locked_then(Prep::kCatchUp, [&]() { return take_holding_locks(request); },
                       handing_over<Taken>(q, sink, itself));
}

Result<AckedAndTaken> JobQueue::ack_then_take(const LeaseToken& lease, const TakeRequest& request,
                                              DeliverySink& sink) {
  QueueImpl& q = *main_;
  return q.locked_then(Prep::kCatchUp, [&]() -> Result<AckedAndTaken> {
    // Both records are owed one sync, waited for once the locks are let go.
    TW_ASSIGN_OR_RETURN(const bool acked, remove_holding_locks(lease.seq, &lease, false));
    TW_ASSIGN_OR_RETURN(const Taken taken, take_holding_locks(request));
    return AckedAndTaken{acked, taken};
  }, handing_over<AckedAndTaken>(q, sink, taken_part));
}

Result<Taken> JobQueue::take_holding_locks(const TakeRequest& request) {
  QueueImpl& q = *main_;
  const uint64_t now = now_ms();
  TW_TRY(q.reclaim_expired(now));
  const uint64_t deadline = saturating_add(now, q.lease_length(request.lease_ms));
  QueueState& state = q.state();
  // The leases go out in one write; a move to the dead letters is written
  // on its own, after the leases chosen before it.
  std::vector<RecordView>& leases = q.run_buffer();
  leases.clear();
  size_t written = 0;
  auto write_leases = [&]() -> Status {
    if (written == leases.size()) return {};
    TW_TRY(q.commit_batch(std::span<const RecordView>(leases).subspan(written), Sync::kNone));
    written = leases.size();
    return {};
  };
  bool moved = false;
  bool moves_finished = !dead_;
  // Messages with options (priorities, groups) are leased one at a time,
  // each applied before the next is chosen: leasing a group's head can
  // bring its next message forward, or hold the group back.
  const bool one_at_a_time = !state.options.empty();
  while (!state.paused && one_at_a_time && leases.size() < request.max) {
    const std::optional<uint64_t> next = next_to_take(state, request.by_priority);
    if (!next) break;
    const uint64_t seq = *next;
    auto entry = state.messages.find(seq);
    if (entry == state.messages.end()) return missing_entry(seq);
    if (entry->second.deliveries > 0 && !moves_finished) {
      TW_TRY(finish_moves());
      moves_finished = true;
      continue;
    }
    const uint32_t deliveries = next_delivery_count(entry->second.deliveries);
    if (request.max_deliveries != 0 && deliveries > request.max_deliveries) {
      TW_TRY(move_to_dead(seq, kMaxDeliveriesReason, now));
      moved = true;
      continue;
    }
    leases.push_back(request.consumer
                         ? RecordView::lease(seq, deadline, deliveries, now, 0, *request.consumer)
                         : RecordView::lease(seq, deadline, deliveries));
    TW_TRY(write_leases());
  }
  auto it = state.ready.begin();
  if (state.paused || one_at_a_time) it = state.ready.end();
  while (leases.size() < request.max && it != state.ready.end()) {
    const uint64_t seq = *it;
    auto entry = state.messages.find(seq);
    if (entry == state.messages.end()) return missing_entry(seq);
    // Only a message delivered before can have been half moved to the
    // dead letters by a consumer that died; finishing that move may remove
    // this one.
    if (entry->second.deliveries > 0 && !moves_finished) {
      TW_TRY(write_leases());
      TW_TRY(finish_moves());
      moves_finished = true;
      it = state.ready.lower_bound(seq);
      continue;
    }
    const uint32_t deliveries = next_delivery_count(entry->second.deliveries);
    if (request.max_deliveries != 0 && deliveries > request.max_deliveries) {
      TW_TRY(write_leases());
      TW_TRY(move_to_dead(seq, kMaxDeliveriesReason, now));
      moved = true;
      it = state.ready.lower_bound(seq);
      continue;
    }
    leases.push_back(request.consumer
                         ? RecordView::lease(seq, deadline, deliveries, now, 0, *request.consumer)
                         : RecordView::lease(seq, deadline, deliveries));
    ++it;
  }
  TW_TRY(write_leases());
  if (moved || !leases.empty() || request.sync == SyncRule::kForceAlways) {
    TW_TRY(q.maybe_sync(request.sync != SyncRule::kInterval));
  }
  if (leases.empty()) {
    return Taken{0, state.paused ? std::nullopt : jobs::next_due(state)};
  }
  TW_TRY(prepare_deliveries(q, leases));
  return Taken{leases.size(), std::nullopt};
}

// --- settling ---

Result<bool> JobQueue::remove(uint64_t seq, const LeaseToken* lease, bool dead,
                             std::optional<ByteSpan> result) {
  return main_->locked(Prep::kCatchUp,
                       [&]() { return remove_holding_locks(seq, lease, dead, result); });
}

Result<bool> JobQueue::remove_holding_locks(uint64_t seq, const LeaseToken* lease, bool dead,
                                           std::optional<ByteSpan> result) {
  QueueImpl& q = *main_;
  const uint64_t now = now_ms();
  TW_ASSIGN_OR_RETURN(MessageEntry* entry, settled_entry(q, seq, lease, now));
  if (entry == nullptr) return false;
  // One record removes the message and keeps its outcome: no crash can
  // keep one without the other.
  std::vector<uint8_t> payload;
  TW_ASSIGN_OR_RETURN(const RecordView record,
                      jobs::removal_of(q, seq, dead, now, result, {}, NO_DEAD_LETTER, payload));
  TW_TRY(jobs::commit_settle(q, record, Sync::kInterval));
  TW_TRY(q.maybe_compact());
  return true;
}

Result<bool> JobQueue::give_back(uint64_t seq, const LeaseToken* lease, uint64_t delay_ms,
                                std::optional<std::string_view> error) {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<bool> {
    const uint64_t now = now_ms();
    TW_ASSIGN_OR_RETURN(MessageEntry* entry, settled_entry(q, seq, lease, now));
    if (entry == nullptr) return false;
    // A delayed return is a lease until it is due, flagged as a delay (it
    // holds no group slot); the delivery count stays, so the next delivery
    // raises it.
    const RecordView record =
        delay_ms == 0 ? RecordView::requeue(seq, entry->deliveries, now)
                      : RecordView::schedule(seq, saturating_add(now, delay_ms), entry->deliveries);
    // A queue that keeps no outcomes keeps no errors either: its log stays
    // in a format that releases before outcomes can open.
    const Settings& keep = q.settings;
    if (!error || (keep.keep_acked_ms == 0 && keep.keep_dead_ms == 0 &&
                   keep.keep_cancelled_ms == 0)) {
      TW_TRY(q.commit(record, Sync::kInterval));
      return true;
    }
    // The error goes first, in the same write: a torn write that keeps only
    // it leaves the message leased, with the error noted for a delivery
    // that ends anyway once its lease runs out.
    std::vector<uint8_t> payload;
    TW_ASSIGN_OR_RETURN(const RecordView history,
                        jobs::history_with_error(q, seq, *error, payload));
    const RecordView both[2] = {history, record};
    TW_TRY(jobs::commit_settle(q, both, Sync::kInterval));
    return true;
  });
}

Result<std::optional<uint64_t>> JobQueue::renew(uint64_t seq, const LeaseToken* lease,
                                                std::optional<uint64_t> lease_ms,
                                                std::optional<std::string_view> consumer) {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<std::optional<uint64_t>> {
    const uint64_t now = now_ms();
    TW_ASSIGN_OR_RETURN(MessageEntry* entry, settled_entry(q, seq, lease, now));
    // Only a message in flight has a lease to renew (a current lease is in flight).
    if (entry == nullptr || !q.state().in_flight.contains(seq) || q.state().is_scheduled(seq)) {
      return std::optional<uint64_t>();
    }
    const uint64_t deadline = saturating_add(now, q.lease_length(lease_ms));
    QueueState& state = q.state();
    RecordView record = RecordView::lease(seq, deadline, entry->deliveries);
    // The name is copied: applying the record may let go of the one it had.
    std::string holder;
    if (auto facts = state.lease_facts.find(seq); facts != state.lease_facts.end()) {
      holder = state.consumers.name(facts->second.consumer);
      const uint32_t extensions = facts->second.extensions;
      record = RecordView::lease(seq, deadline, entry->deliveries, facts->second.started_ms,
                                 extensions == UINT32_MAX ? extensions : extensions + 1, holder);
    } else if (consumer) {
      record = RecordView::lease(seq, deadline, entry->deliveries, 0, 1, *consumer);
    }
    TW_TRY(q.commit(record, Sync::kInterval));
    return std::optional<uint64_t>(deadline);
  });
}

template <class SeqOf, class Current>
Result<uint64_t> JobQueue::ack_run(size_t count, SeqOf&& seq_of, Current&& current,
                                   SyncRule sync, std::vector<size_t>* refused) {
  QueueImpl& q = *main_;
  jobs::TrimRunBuffers trim(q);
  // Nothing is applied before the commit, so an item named again still
  // looks current; the set keeps its seq from being acked twice.
  std::vector<RecordView>& acks = q.run_buffer();
  std::unordered_set<uint64_t>& named = q.seen_seqs();
  acks.clear();
  named.clear();
  // The outcomes' payloads, which the records borrow (a payload's bytes
  // stay where they are when the outer list grows).
  std::vector<std::vector<uint8_t>> payloads;
  const uint64_t now = q.settings.keep_acked_ms != 0 ? now_ms() : 0;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t seq = seq_of(i);
    if (!current(i)) {
      if (refused != nullptr) refused->push_back(i);
    } else if (named.insert(seq).second) {
      payloads.emplace_back();
      TW_ASSIGN_OR_RETURN(const RecordView record,
                          jobs::removal_of(q, seq, false, now, std::nullopt, {}, NO_DEAD_LETTER,
                                           payloads.back()));
      acks.push_back(record);
    }
  }
  if (acks.empty() && sync != SyncRule::kForceAlways) return uint64_t{0};
  TW_TRY(jobs::commit_settle(q, acks, jobs::sync_of(sync)));
  const uint64_t removed = acks.size();
  TW_TRY(q.maybe_compact());
  return removed;
}

Result<bool> JobQueue::ack(const LeaseToken& lease) { return remove(lease.seq, &lease, false); }
Result<bool> JobQueue::ack(const LeaseToken& lease, std::optional<ByteSpan> result) {
  if (result && result->size() > MAX_RESULT_LEN) {
    return Error::invalid_data("a result is at most 1 MiB");
  }
  return remove(lease.seq, &lease, false, result);
}
Result<bool> JobQueue::ack(uint64_t seq) { return remove(seq, nullptr, false); }

Result<bool> JobQueue::nack(const LeaseToken& lease, uint64_t delay_ms) {
  return give_back(lease.seq, &lease, delay_ms);
}

Result<bool> JobQueue::nack(const LeaseToken& lease, uint64_t delay_ms,
                            std::optional<std::string_view> error) {
  return give_back(lease.seq, &lease, delay_ms, error);
}

Result<bool> JobQueue::nack(uint64_t seq, bool requeue) {
  return requeue ? give_back(seq, nullptr, 0) : remove(seq, nullptr, true);
}

Result<std::optional<uint64_t>> JobQueue::extend(const LeaseToken& lease,
                                                 std::optional<uint64_t> lease_ms,
                                                 std::optional<std::string_view> consumer) {
  return renew(lease.seq, &lease, lease_ms, consumer);
}

Result<std::optional<uint64_t>> JobQueue::extend(uint64_t seq, std::optional<uint64_t> lease_ms) {
  return renew(seq, nullptr, lease_ms, std::nullopt);
}

Result<std::vector<size_t>> JobQueue::ack_many(std::span<const LeaseToken> leases) {
  if (leases.empty()) return std::vector<size_t>{};
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<std::vector<size_t>> {
    TW_TRY(q.reclaim_expired(now_ms()));
    std::vector<size_t> refused;
    TW_TRY(ack_run(
        leases.size(), [&](size_t i) { return leases[i].seq; },
        [&](size_t i) { return jobs::held(q.state(), leases[i]) != nullptr; },
        SyncRule::kInterval, &refused));
    return refused;
  });
}

Result<uint64_t> JobQueue::ack_batch(std::span<const uint64_t> seqs) {
  if (seqs.empty()) return uint64_t{0};
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<uint64_t> {
    return ack_run(
        seqs.size(), [&](size_t i) { return seqs[i]; },
        [&](size_t i) { return q.state().messages.contains(seqs[i]); }, SyncRule::kForceAlways,
        nullptr);
  });
}

// --- the log ---

Status JobQueue::flush() {
  QueueImpl& q = *main_;
  return q.locked(Prep::kNone, [&]() -> Status { return q.maybe_sync(true); });
}

Status JobQueue::compact() {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Status { return q.do_compact(); });
}

Status JobQueue::preallocate_log() {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Status { return q.upgrade_to(FORMAT_VERSION_5); });
}

Status JobQueue::purge() {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Status { return q.purge_log(); });
}

Result<IntegrityReport> JobQueue::verify_integrity() {
  QueueImpl& q = *main_;
  if (!q.persistent) return q.scan_log();
  return q.locked(Prep::kNone, [&]() -> Result<IntegrityReport> { return q.scan_log(); });
}

std::optional<RepairReport> JobQueue::last_repair() {
  QueueImpl& q = *main_;
  std::lock_guard<std::mutex> hold(q.mutex);
  return q.inner.last_repair;
}

}  // namespace tarnwick
