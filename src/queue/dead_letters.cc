// JobQueue's dead letters: moving a message there (burying it, or at its
// delivery limit), finishing moves a crash cut short, and listing,
// requeueing and purging the letters.
#include <algorithm>

#include "log_io/clock.h"
#include "log_io/kill_point.h"
#include "log_io/log_format.h"
#include "queue/dead_letter_entry.h"
#include "queue/job_queue_parts.h"

namespace tarnwick {
namespace {

using jobs::Prep;
using jobs::Sync;

std::span<const uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
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
  uint64_t letter_id = NO_DEAD_LETTER;
  Status parked = dead.locked(Prep::kCatchUp, [&]() -> Status {
    const ByteSpan one(letter);
    TW_ASSIGN_OR_RETURN(letter_id, jobs::write_messages(dead, std::span(&one, 1), now, 0, Sync::kNow));
    return {};
  });
  if (!parked.ok()) return parked;
  kill_point(KillPoint::kDeadLetterWrittenBeforeDead);
  std::vector<uint8_t> payload;
  TW_ASSIGN_OR_RETURN(const RecordView record,
                      jobs::removal_of(q, seq, true, now, std::nullopt, reason, letter_id, payload));
  return jobs::commit_settle(q, record, Sync::kNone);
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

Error no_dead_letters() { return Error::invariant("this queue keeps no dead letters"); }

}  // namespace

Result<bool> JobQueue::bury(const LeaseToken& lease, std::string_view reason) {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<bool> {
    const uint64_t now = now_ms();
    TW_TRY(q.reclaim_expired(now));
    if (jobs::held(q.state(), lease) == nullptr) return false;
    TW_TRY(move_to_dead(lease.seq, reason, now));
    TW_TRY(q.maybe_sync(false));
    TW_TRY(q.maybe_compact());
    return true;
  });
}

Status JobQueue::finish_moves() {
  if (!dead_) return {};
  return dead_->locked(Prep::kCatchUp, [&]() -> Status { return finish_moves_held(); });
}

Status JobQueue::finish_moves_held() {
  QueueImpl& q = *main_;
  QueueImpl& dead = *dead_;
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
  auto finish = [&](uint64_t letter_id, const MessageEntry& letter) -> Status {
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
    const std::string_view reason(reinterpret_cast<const char*>(fields->reason.data()),
                                  fields->reason.size());
    std::vector<uint8_t> payload;
    TW_ASSIGN_OR_RETURN(const RecordView record,
                        jobs::removal_of(q, fields->original_seq, true, fields->died_ts_ms,
                                         std::nullopt, reason, letter_id, payload));
    return jobs::commit_settle(q, record, Sync::kNone);
  };
  // By seq when few seqs are new, else over the letters left.
  const auto& letters = dead.state().messages;
  if (end - letters_checked_below_ <= letters.size()) {
    for (uint64_t id = letters_checked_below_; id < end; ++id) {
      auto letter = letters.find(id);
      if (letter != letters.end()) TW_TRY(finish(id, letter->second));
    }
  } else {
    for (const auto& [id, letter] : letters) {
      if (id >= letters_checked_below_) TW_TRY(finish(id, letter));
    }
  }
  // Marked only once every move is finished: a failure looks again.
  letters_checked_below_ = end;
  letters_checked_generation_ = dead.generation();
  return wrote ? q.maybe_sync(false) : Status{};
}

Status JobQueue::move_to_dead(uint64_t seq, std::string_view reason, uint64_t now) {
  if (!dead_) return no_dead_letters();
  TW_TRY(finish_moves());
  if (!main_->state().messages.contains(seq)) return {};
  return write_letter_then_dead(*main_, *dead_, seq, reason, now);
}

Result<uint64_t> JobQueue::dead_letter_count() {
  return with_dead_letters([&]() -> Result<uint64_t> {
    return dead_ ? uint64_t{dead_->state().messages.size()} : uint64_t{0};
  });
}

Result<std::vector<DeadLetter>> JobQueue::dead_letters(uint64_t limit) {
  return with_dead_letters([&]() -> Result<std::vector<DeadLetter>> {
    std::vector<DeadLetter> out;
    if (!dead_) return out;
    QueueImpl& dead = *dead_;
    for (uint64_t id : jobs::smallest_seqs(dead.state(), limit)) {
      TW_ASSIGN_OR_RETURN(ByteSpan bytes, dead.body_of(dead.state().messages.at(id)));
      out.push_back(read_dead_letter(id, bytes));
    }
    return out;
  });
}

Result<uint64_t> JobQueue::requeue_dead(std::optional<std::vector<uint64_t>> ids) {
  if (!dead_) return no_dead_letters();
  QueueImpl& q = *main_;
  QueueImpl& dead = *dead_;
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
      chosen = jobs::smallest_seqs(letters, UINT64_MAX);
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
    TW_TRY(jobs::write_messages(q, bodies, now_ms(), 0, Sync::kNow));
    for (uint64_t id : chosen) TW_TRY(dead.commit(RecordView::ack(id), Sync::kNone));
    TW_TRY(dead.maybe_sync(true));
    TW_TRY(dead.maybe_compact());
    return uint64_t{chosen.size()};
  });
}

Result<uint64_t> JobQueue::purge_dead() {
  if (!dead_) return no_dead_letters();
  QueueImpl& dead = *dead_;
  return with_dead_letters([&]() -> Result<uint64_t> {
    const std::vector<uint64_t> all = jobs::smallest_seqs(dead.state(), UINT64_MAX);
    if (all.empty()) return uint64_t{0};
    for (uint64_t id : all) TW_TRY(dead.commit(RecordView::ack(id), Sync::kNone));
    TW_TRY(dead.maybe_sync(true));
    TW_TRY(dead.maybe_compact());
    return uint64_t{all.size()};
  });
}

}  // namespace tarnwick
