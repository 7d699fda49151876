// A queue for jobs: the plain queue plus delayed messages, fenced settling,
// dead letters and a read-only look at the messages.
//
// It writes only the plain queue's records, so any other object on the same
// directory keeps working: a delayed message is a message leased until it is
// due, with a delivery count of 0; a dead letter is a message of a second
// queue in the `dead_letters` subdirectory, whose body carries the original
// message (see dead_letter_entry.h). Operations that touch both queues lock
// the main queue first, then the dead letters.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "queue/queue.h"

namespace tarnwick {

// A lease as it was handed out. Settling acts only while this is still the
// message's current lease, which keeps a consumer whose lease ran out from
// settling a message that another consumer holds now, or a newer message
// that reused the id.
struct LeaseToken {
  uint64_t seq = 0;
  uint64_t enqueued_ts_ms = 0;
  uint32_t deliveries = 0;
  uint64_t deadline_ms = 0;
};

// A leased message with its body copied out of the log.
struct TakenMessage {
  LeaseToken lease;
  std::vector<uint8_t> body;
};

enum class MessageState : uint8_t { kReady, kLeased, kScheduled };

struct MessageSummary {
  uint64_t seq = 0;
  MessageState state = MessageState::kReady;
  uint32_t deliveries = 0;
  uint64_t enqueued_ts_ms = 0;
  std::optional<uint64_t> due_ms;  // lease end or due time
  uint32_t size = 0;
  std::vector<uint8_t> body;  // only when asked for
};

struct DeadLetter {
  uint64_t id = 0;  // seq in the dead-letter queue
  uint64_t original_seq = 0;
  uint32_t deliveries = 0;
  uint64_t enqueued_ts_ms = 0;
  uint64_t died_ts_ms = 0;
  std::string reason;
  std::vector<uint8_t> body;
};

struct JobStats {
  QueueStats core;
  uint64_t scheduled = 0;
  uint64_t dead_letters = 0;
};

inline constexpr const char* kDeadLetterDir = "dead_letters";
inline constexpr const char* kMaxDeliveriesReason = "max deliveries exceeded";

class JobQueue {
 public:
  // Read-only (see Access): the dead letters are opened read-only too, or,
  // where there are none yet, stand as an empty queue in memory.
  static Result<std::unique_ptr<JobQueue>> open(std::string_view path, const Settings& settings,
                                                Access access = Access::kReadWrite);

  // Bodies are due `delay_ms` from now (0: at once). An empty list writes nothing.
  Result<std::vector<uint64_t>> put(std::span<const ByteSpan> bodies, uint64_t delay_ms);
  // Leases up to `max` ready messages, smallest seq first. With
  // `max_deliveries` > 0, a message that would be delivered more often than
  // that goes to the dead letters instead.
  Result<std::vector<TakenMessage>> take(uint64_t max, std::optional<uint64_t> lease_ms,
                                         uint32_t max_deliveries);

  // Each returns false (and writes nothing) when `lease` is no longer current.
  Result<bool> ack(const LeaseToken& lease);
  Result<bool> nack(const LeaseToken& lease, uint64_t delay_ms);
  Result<std::optional<uint64_t>> extend(const LeaseToken& lease, std::optional<uint64_t> lease_ms);
  Result<bool> bury(const LeaseToken& lease, std::string_view reason);
  // Acks every message whose lease in `leases` is still current, checked and
  // written under one lock hold as one run of records (all or none of them
  // reach the log, with one sync as for ack). Returns the positions in
  // `leases` of those that were not current; they write nothing. A lease
  // given twice is acked once and counts as acked both times.
  Result<std::vector<size_t>> ack_many(std::span<const LeaseToken> leases);

  // Writes nothing: expired leases show as ready without being reclaimed.
  Result<std::vector<MessageSummary>> peek(uint64_t limit, bool bodies);
  // The earliest time a leased or delayed message comes due, if any.
  Result<std::optional<uint64_t>> next_due_ms();
  Result<JobStats> stats();

  Result<uint64_t> dead_letter_count();
  Result<std::vector<DeadLetter>> dead_letters(uint64_t limit);
  // The named dead letters (all when `ids` is empty) come back as new
  // messages; returns how many.
  Result<uint64_t> requeue_dead(std::optional<std::vector<uint64_t>> ids);
  Result<uint64_t> purge_dead();

  Queue& core() { return *main_; }
  const std::string& directory() const { return directory_; }

 private:
  JobQueue(std::unique_ptr<Queue> main, std::unique_ptr<Queue> dead, std::string directory)
      : main_(std::move(main)), dead_(std::move(dead)), directory_(std::move(directory)) {}

  // A crash between a move's two writes leaves a dead letter whose message
  // is still live; these finish such moves, so that no message is delivered
  // or buried again once it has a letter. Run with the main queue's lock
  // held; the `_held` form with the dead letters' lock held too. Only the
  // letters written since the last look are examined.
  Status finish_moves();
  Status finish_moves_held();
  // Moves the live message `seq` to the dead letters, unless an earlier,
  // interrupted move already did.
  Status move_to_dead(uint64_t seq, std::string_view reason, uint64_t now);
  template <class Op>
  auto with_dead_letters(Op&& op) -> decltype(op());

  std::unique_ptr<Queue> main_;
  std::unique_ptr<Queue> dead_;
  std::string directory_;  // empty for ":memory:"
  // Every letter below this seq of this dead-letter generation was looked
  // at by finish_moves; guarded by the main queue's lock.
  uint64_t letters_checked_below_ = 0;
  uint64_t letters_checked_generation_ = UINT64_MAX;
};

}  // namespace tarnwick
