#include "queue/job_queue.h"

#include <algorithm>
#include <unordered_set>

#include "log_io/clock.h"
#include "log_io/file_access.h"
#include "log_io/kill_point.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"
#include "queue/dead_letter_entry.h"
#include "queue/queue_impl.h"

namespace tarnwick {
namespace {

using Prep = QueueImpl::Prep;
using Sync = QueueImpl::Sync;

std::span<const uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Commits an ENQUEUE per body, each followed (for a delayed put) by a LEASE
// until `due_ms` with no deliveries, so that a message never appears without
// its delay. `due_ms` 0 means ready at once. A failed write leaves none of
// them in the log.
Result<std::vector<uint64_t>> write_messages(QueueImpl& q, std::span<const ByteSpan> bodies,
                                             uint64_t ts_ms, uint64_t due_ms, Sync sync) {
  TW_TRY(check_ids_left(q.state(), bodies.size()));
  std::vector<RecordView>& records = q.run_buffer();
  records.clear();
  std::vector<uint64_t> seqs;
  seqs.reserve(bodies.size());
  for (ByteSpan body : bodies) {
    const uint64_t seq = q.state().next_seq + seqs.size();
    seqs.push_back(seq);
    records.push_back(RecordView::enqueue(seq, ts_ms, body));
    if (due_ms != 0) records.push_back(RecordView::lease(seq, due_ms, 0));
  }
  Status committed = q.commit_batch(records, sync);
  q.trim_run_buffers();
  if (!committed.ok()) return std::move(committed).error();
  return seqs;
}

// The message's entry while `lease` is its current lease, else null.
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

// Writes a dead letter for the live message `seq` to `dead`, syncs it, and
// only then removes the message with a DEAD record. A crash between the two
// leaves the message in both queues, never in neither; the caller finishes
// such moves first (JobQueue::finish_moves), so the letter is written once.
Status write_letter_then_dead(QueueImpl& q, QueueImpl& dead, uint64_t seq,
                              std::string_view reason, uint64_t now) {
  auto entry = q.state().messages.find(seq);
  if (entry == q.state().messages.end()) return missing_entry(seq);
  TW_ASSIGN_OR_RETURN(ByteSpan body, q.body_of(entry->second));
  std::vector<uint8_t> letter;
  encode_dead_letter({seq, entry->second.deliveries, entry->second.enqueued_ts_ms, now,
                      as_bytes(reason), body},
                     letter);
  if (letter.size() > MAX_BODY_LEN) {
    return Error::invalid_data("message " + std::to_string(seq) +
                               " is too large for the dead letters");
  }
  Status parked = dead.locked(Prep::kCatchUp, [&]() -> Status {
    const ByteSpan one(letter);
    TW_TRY(write_messages(dead, std::span(&one, 1), now, 0, Sync::kNow));
    return {};
  });
  if (!parked.ok()) return parked;
  kill_point(KillPoint::kDeadLetterWrittenBeforeDead);
  return q.commit(RecordView::dead(seq), Sync::kNone);
}

DeadLetter read_dead_letter(uint64_t id, ByteSpan bytes) {
  DeadLetter out;
  out.id = id;
  if (auto fields = decode_dead_letter(bytes)) {
    out.original_seq = fields->original_seq;
    out.deliveries = fields->deliveries;
    out.enqueued_ts_ms = fields->enqueued_ts_ms;
    out.died_ts_ms = fields->died_ts_ms;
    out.reason.assign(fields->reason.begin(), fields->reason.end());
    out.body.assign(fields->body.begin(), fields->body.end());
  } else {
    // Written by something else: shown whole rather than hidden.
    out.reason = "not a dead-letter entry";
    out.body.assign(bytes.begin(), bytes.end());
  }
  return out;
}

// The smallest `limit` seqs of the live messages, in order.
std::vector<uint64_t> smallest_seqs(const QueueState& state, uint64_t limit) {
  std::vector<uint64_t> seqs;
  for (uint64_t seq : state.ready) {
    if (seqs.size() >= limit) break;
    seqs.push_back(seq);
  }
  for (const auto& [seq, deadline] : state.in_flight) seqs.push_back(seq);
  const size_t keep = std::min<uint64_t>(limit, seqs.size());
  std::partial_sort(seqs.begin(), seqs.begin() + static_cast<std::ptrdiff_t>(keep), seqs.end());
  seqs.resize(keep);
  return seqs;
}

}  // namespace

Result<std::unique_ptr<JobQueue>> JobQueue::open(std::string_view path, const Settings& settings,
                                                 Access access) {
  TW_ASSIGN_OR_RETURN(std::unique_ptr<Queue> main, Queue::open(path, settings, access));
  std::string directory;
  std::string dead_path = ":memory:";
  if (main->persistent()) {
    directory = std::string(path);
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
  TW_ASSIGN_OR_RETURN(std::unique_ptr<Queue> dead, Queue::open(dead_path, dead_settings, access));
  dead->impl().reserve = main->impl().reserve;
  dead->impl().writes_drain = true;
  return std::unique_ptr<JobQueue>(
      new JobQueue(std::move(main), std::move(dead), std::move(directory)));
}

Result<std::vector<uint64_t>> JobQueue::put(std::span<const ByteSpan> bodies, uint64_t delay_ms) {
  if (bodies.empty()) return std::vector<uint64_t>{};
  for (ByteSpan body : bodies) {
    if (body.size() > MAX_BODY_LEN) return oversized_body(body.size());
  }
  QueueImpl& q = main_->impl();
  return q.locked(Prep::kCatchUp, [&]() -> Result<std::vector<uint64_t>> {
    const uint64_t now = now_ms();
    const uint64_t due = delay_ms == 0 ? 0 : saturating_add(now, delay_ms);
    return write_messages(q, bodies, now, due, bodies.size() > 1 ? Sync::kNow : Sync::kInterval);
  });
}

Result<std::vector<TakenMessage>> JobQueue::take(uint64_t max, std::optional<uint64_t> lease_ms,
                                                 uint32_t max_deliveries) {
  QueueImpl& q = main_->impl();
  return q.locked(Prep::kCatchUp, [&]() -> Result<std::vector<TakenMessage>> {
    const uint64_t now = now_ms();
    TW_TRY(q.reclaim_expired(now));
    const uint64_t deadline = saturating_add(now, q.lease_length(lease_ms));
    QueueState& state = q.state();
    std::vector<TakenMessage> taken;
    bool wrote = false;
    bool moves_finished = false;
    while (taken.size() < max && !state.ready.empty()) {
      const uint64_t seq = *state.ready.begin();
      auto entry = state.messages.find(seq);
      if (entry == state.messages.end()) return missing_entry(seq);
      // Only a message delivered before can have been half moved to the
      // dead letters by a consumer that died; finishing that move may remove
      // this one.
      if (entry->second.deliveries > 0 && !moves_finished) {
        TW_TRY(finish_moves());
        moves_finished = true;
        continue;
      }
      const uint32_t deliveries = next_delivery_count(entry->second.deliveries);
      wrote = true;
      if (max_deliveries != 0 && deliveries > max_deliveries) {
        TW_TRY(move_to_dead(seq, kMaxDeliveriesReason, now));
        continue;
      }
      TW_TRY(q.commit(RecordView::lease(seq, deadline, deliveries), Sync::kNone));
      TW_ASSIGN_OR_RETURN(ByteSpan body, q.body_of(entry->second));
      taken.push_back({{seq, entry->second.enqueued_ts_ms, deliveries, deadline},
                       std::vector<uint8_t>(body.begin(), body.end())});
    }
    if (wrote) TW_TRY(q.maybe_sync(max > 1));
    return taken;
  });
}

Result<bool> JobQueue::ack(const LeaseToken& lease) {
  QueueImpl& q = main_->impl();
  return q.locked(Prep::kCatchUp, [&]() -> Result<bool> {
    TW_TRY(q.reclaim_expired(now_ms()));
    if (held(q.state(), lease) == nullptr) return false;
    TW_TRY(q.commit(RecordView::ack(lease.seq), Sync::kInterval));
    TW_TRY(q.maybe_compact());
    return true;
  });
}

Result<std::vector<size_t>> JobQueue::ack_many(std::span<const LeaseToken> leases) {
  if (leases.empty()) return std::vector<size_t>{};
  QueueImpl& q = main_->impl();
  return q.locked(Prep::kCatchUp, [&]() -> Result<std::vector<size_t>> {
    TW_TRY(q.reclaim_expired(now_ms()));
    // Nothing is applied before the commit, so a lease named again still
    // looks current; the set keeps its seq from being acked twice.
    std::vector<RecordView>& acks = q.run_buffer();
    std::unordered_set<uint64_t>& acked = q.seen_seqs();
    acks.clear();
    acked.clear();
    std::vector<size_t> refused;
    for (size_t i = 0; i < leases.size(); ++i) {
      if (held(q.state(), leases[i]) == nullptr) {
        refused.push_back(i);
      } else if (acked.insert(leases[i].seq).second) {
        acks.push_back(RecordView::ack(leases[i].seq));
      }
    }
    Status committed = acks.empty() ? Status{} : q.commit_batch(acks, Sync::kInterval);
    const bool removed = !acks.empty();
    q.trim_run_buffers();
    if (!committed.ok()) return std::move(committed).error();
    if (removed) TW_TRY(q.maybe_compact());
    return refused;
  });
}

Result<bool> JobQueue::nack(const LeaseToken& lease, uint64_t delay_ms) {
  QueueImpl& q = main_->impl();
  return q.locked(Prep::kCatchUp, [&]() -> Result<bool> {
    const uint64_t now = now_ms();
    TW_TRY(q.reclaim_expired(now));
    if (held(q.state(), lease) == nullptr) return false;
    // A delayed return is a lease until it is due, as for a delayed put;
    // the delivery count stays, so the next delivery raises it.
    if (delay_ms == 0) {
      TW_TRY(q.commit(RecordView::requeue(lease.seq, lease.deliveries), Sync::kInterval));
    } else {
      TW_TRY(q.commit(RecordView::lease(lease.seq, saturating_add(now, delay_ms), lease.deliveries),
                      Sync::kInterval));
    }
    return true;
  });
}

Result<std::optional<uint64_t>> JobQueue::extend(const LeaseToken& lease,
                                                 std::optional<uint64_t> lease_ms) {
  QueueImpl& q = main_->impl();
  return q.locked(Prep::kCatchUp, [&]() -> Result<std::optional<uint64_t>> {
    const uint64_t now = now_ms();
    TW_TRY(q.reclaim_expired(now));
    if (held(q.state(), lease) == nullptr) return std::optional<uint64_t>();
    const uint64_t deadline = saturating_add(now, q.lease_length(lease_ms));
    TW_TRY(q.commit(RecordView::lease(lease.seq, deadline, lease.deliveries), Sync::kInterval));
    return std::optional<uint64_t>(deadline);
  });
}

Result<bool> JobQueue::bury(const LeaseToken& lease, std::string_view reason) {
  QueueImpl& q = main_->impl();
  return q.locked(Prep::kCatchUp, [&]() -> Result<bool> {
    const uint64_t now = now_ms();
    TW_TRY(q.reclaim_expired(now));
    if (held(q.state(), lease) == nullptr) return false;
    TW_TRY(move_to_dead(lease.seq, reason, now));
    TW_TRY(q.maybe_sync(false));
    TW_TRY(q.maybe_compact());
    return true;
  });
}

Result<std::vector<MessageSummary>> JobQueue::peek(uint64_t limit, bool bodies) {
  QueueImpl& q = main_->impl();
  return q.locked(Prep::kCatchUp, [&]() -> Result<std::vector<MessageSummary>> {
    const uint64_t now = now_ms();
    const QueueState& state = q.state();
    std::vector<MessageSummary> out;
    for (uint64_t seq : smallest_seqs(state, limit)) {
      auto entry = state.messages.find(seq);
      if (entry == state.messages.end()) return missing_entry(seq);
      MessageSummary summary;
      summary.seq = seq;
      summary.deliveries = entry->second.deliveries;
      summary.enqueued_ts_ms = entry->second.enqueued_ts_ms;
      summary.size = entry->second.body_len;
      auto leased = state.in_flight.find(seq);
      if (leased != state.in_flight.end() && leased->second > now) {
        summary.state =
            entry->second.deliveries == 0 ? MessageState::kScheduled : MessageState::kLeased;
        summary.due_ms = leased->second;
      }
      if (bodies) {
        TW_ASSIGN_OR_RETURN(ByteSpan body, q.body_of(entry->second));
        summary.body.assign(body.begin(), body.end());
      }
      out.push_back(std::move(summary));
    }
    return out;
  });
}

Result<std::optional<uint64_t>> JobQueue::next_due_ms() {
  QueueImpl& q = main_->impl();
  return q.locked(Prep::kCatchUp, [&]() -> Result<std::optional<uint64_t>> {
    QueueState& state = q.state();
    // Entries whose lease was since renewed, returned or settled are stale.
    while (!state.lease_heap.empty()) {
      const auto [deadline, seq] = state.lease_heap.top();
      auto leased = state.in_flight.find(seq);
      if (leased != state.in_flight.end() && leased->second == deadline) {
        return std::optional<uint64_t>(deadline);
      }
      state.lease_heap.pop();
    }
    return std::optional<uint64_t>();
  });
}

Result<JobStats> JobQueue::stats() {
  JobStats out;
  TW_ASSIGN_OR_RETURN(out.core, main_->stats());
  QueueImpl& q = main_->impl();
  auto counted = q.locked(Prep::kCatchUp, [&]() -> Result<uint64_t> {
    const uint64_t now = now_ms();
    uint64_t scheduled = 0;
    for (const auto& [seq, deadline] : q.state().in_flight) {
      auto entry = q.state().messages.find(seq);
      if (deadline > now && entry != q.state().messages.end() && entry->second.deliveries == 0) {
        ++scheduled;
      }
    }
    return scheduled;
  });
  if (!counted.ok()) return std::move(counted).error();
  out.scheduled = counted.value();
  TW_ASSIGN_OR_RETURN(out.dead_letters, dead_letter_count());
  return out;
}

// --- dead letters ---

// Runs `op` holding the main queue's lock, then the dead letters', once
// interrupted moves are finished.
template <class Op>
auto JobQueue::with_dead_letters(Op&& op) -> decltype(op()) {
  return main_->impl().locked(Prep::kCatchUp, [&]() -> decltype(op()) {
    return dead_->impl().locked(Prep::kCatchUp, [&]() -> decltype(op()) {
      TW_TRY(finish_moves_held());
      return op();
    });
  });
}

Status JobQueue::finish_moves() {
  return dead_->impl().locked(Prep::kCatchUp, [&]() -> Status { return finish_moves_held(); });
}

Status JobQueue::finish_moves_held() {
  QueueImpl& q = main_->impl();
  QueueImpl& dead = dead_->impl();
  // A reader without write access leaves them to the next writer: until then
  // such a message shows in both places.
  if (q.read_only) return {};
  // Letters get rising seqs within a generation, so those below the mark
  // were looked at already; a compaction or purge starts the look anew.
  const uint64_t end = dead.state().next_seq;
  if (dead.generation() != letters_checked_generation_ || letters_checked_below_ > end) {
    letters_checked_below_ = 0;
  }
  bool wrote = false;
  auto finish = [&](const MessageEntry& letter) -> Status {
    TW_ASSIGN_OR_RETURN(ByteSpan bytes, dead.body_of(letter));
    auto fields = decode_dead_letter(bytes);
    if (!fields) return {};
    auto original = q.state().messages.find(fields->original_seq);
    if (original == q.state().messages.end() ||
        original->second.enqueued_ts_ms != fields->enqueued_ts_ms ||
        original->second.body_len != fields->body.size()) {
      return {};
    }
    wrote = true;
    return q.commit(RecordView::dead(fields->original_seq), Sync::kNone);
  };
  // By seq when few seqs are new, else over the letters left.
  const auto& letters = dead.state().messages;
  if (end - letters_checked_below_ <= letters.size()) {
    for (uint64_t id = letters_checked_below_; id < end; ++id) {
      auto letter = letters.find(id);
      if (letter != letters.end()) TW_TRY(finish(letter->second));
    }
  } else {
    for (const auto& [id, letter] : letters) {
      if (id >= letters_checked_below_) TW_TRY(finish(letter));
    }
  }
  // Marked only once every move is finished: a failure looks again.
  letters_checked_below_ = end;
  letters_checked_generation_ = dead.generation();
  return wrote ? q.maybe_sync(false) : Status{};
}

Status JobQueue::move_to_dead(uint64_t seq, std::string_view reason, uint64_t now) {
  TW_TRY(finish_moves());
  if (!main_->impl().state().messages.contains(seq)) return {};
  return write_letter_then_dead(main_->impl(), dead_->impl(), seq, reason, now);
}

Result<uint64_t> JobQueue::dead_letter_count() {
  QueueImpl& dead = dead_->impl();
  return with_dead_letters([&]() -> Result<uint64_t> {
    return uint64_t{dead.state().messages.size()};
  });
}

Result<std::vector<DeadLetter>> JobQueue::dead_letters(uint64_t limit) {
  QueueImpl& dead = dead_->impl();
  return with_dead_letters([&]() -> Result<std::vector<DeadLetter>> {
    std::vector<DeadLetter> out;
    for (uint64_t id : smallest_seqs(dead.state(), limit)) {
      TW_ASSIGN_OR_RETURN(ByteSpan bytes, dead.body_of(dead.state().messages.at(id)));
      out.push_back(read_dead_letter(id, bytes));
    }
    return out;
  });
}

Result<uint64_t> JobQueue::requeue_dead(std::optional<std::vector<uint64_t>> ids) {
  QueueImpl& q = main_->impl();
  QueueImpl& dead = dead_->impl();
  return with_dead_letters([&]() -> Result<uint64_t> {
    const QueueState& letters = dead.state();
    std::vector<uint64_t> chosen;
    if (ids) {
      std::sort(ids->begin(), ids->end());
      ids->erase(std::unique(ids->begin(), ids->end()), ids->end());
      for (uint64_t id : *ids) {
        if (letters.messages.contains(id)) chosen.push_back(id);
      }
    } else {
      chosen = smallest_seqs(letters, UINT64_MAX);
    }
    if (chosen.empty()) return uint64_t{0};
    std::vector<ByteSpan> bodies;
    bodies.reserve(chosen.size());
    for (uint64_t id : chosen) {
      TW_ASSIGN_OR_RETURN(ByteSpan bytes, dead.body_of(letters.messages.at(id)));
      auto fields = decode_dead_letter(bytes);
      bodies.push_back(fields ? fields->body : bytes);
    }
    // The new messages are on stable storage before their letters go.
    TW_TRY(write_messages(q, bodies, now_ms(), 0, Sync::kNow));
    for (uint64_t id : chosen) TW_TRY(dead.commit(RecordView::ack(id), Sync::kNone));
    TW_TRY(dead.maybe_sync(true));
    TW_TRY(dead.maybe_compact());
    return uint64_t{chosen.size()};
  });
}

Result<uint64_t> JobQueue::purge_dead() {
  QueueImpl& dead = dead_->impl();
  return with_dead_letters([&]() -> Result<uint64_t> {
    const std::vector<uint64_t> all = smallest_seqs(dead.state(), UINT64_MAX);
    if (all.empty()) return uint64_t{0};
    for (uint64_t id : all) TW_TRY(dead.commit(RecordView::ack(id), Sync::kNone));
    TW_TRY(dead.maybe_sync(true));
    TW_TRY(dead.maybe_compact());
    return uint64_t{all.size()};
  });
}

}  // namespace tarnwick
