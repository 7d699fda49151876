// The in-memory model of one queue: the replay of its log records.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <queue>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "queue/outcome_record.h"
#include "queue/record.h"

namespace tarnwick {

struct MessageEntry {
  std::unique_ptr<uint8_t[]> body;  // only for queues without a log
  uint32_t body_len = 0;
  uint32_t deliveries = 0;
  uint64_t enqueued_ts_ms = 0;
  uint64_t body_offset = 0;  // file offset of the first body byte
  uint64_t ready_since_ms = 0;  // while ready: its key in QueueState::ready_since
};

// The consumers named by the leases of a state, each name kept once and
// counted by the leases that name it, so that a lease costs an id, not a
// string. Id 0 is the unknown (empty) consumer.
class ConsumerNames {
 public:
  uint32_t add(std::string_view name);  // one more lease names it
  void drop(uint32_t id);               // one lease fewer
  std::string_view name(uint32_t id) const;
  size_t size() const { return ids_.size(); }  // names in use

 private:
  struct Name {
    std::string text;
    uint32_t uses = 0;
  };
  std::vector<Name> names_;  // by id - 1
  std::vector<uint32_t> free_;
  std::unordered_map<std::string, uint32_t> ids_;
  uint32_t last_ = 0;  // the id added last: a run of leases mostly names one consumer
};

// What the state knows of a delivery besides its deadline (LeaseDetails).
struct LeaseFacts {
  uint64_t started_ms = 0;  // 0: unknown
  uint32_t extensions = 0;
  uint32_t consumer = 0;    // in QueueState::consumers
};

// What a message put with options carries besides its body. Only such
// messages have one, so a plain message costs no more than it did.
struct MessageOptions {
  int8_t priority = 0;
  uint32_t group = 0;  // 0: none, else an id in QueueState::groups
  uint64_t unique_for_ms = 0;
  std::string key;  // empty: none
  uint64_t headers_offset = 0;  // file offset of the headers' first byte
  uint32_t headers_len = 0;
  uint32_t frame_overhead = 0;  // frame bytes besides the body
  std::string headers_kept;     // a queue without a log keeps the headers here
};

// The messages of one group. Its smallest ready id "stands" among the ready
// levels (QueueState::level) while fewer than the group limit are leased:
// that is the one message of the group a take can see.
struct GroupEntry {
  std::string name;
  std::set<uint64_t> ready;
  uint32_t leased = 0;   // leased now; a scheduled message takes no slot
  uint64_t members = 0;  // live messages of the group, in any state
  bool stands = false;
  uint64_t standing = 0;
  int8_t standing_priority = 0;
};

// A key remembered after its message left the queue, until `expires_ms`.
struct KeptKey {
  uint64_t seq = 0;
  uint64_t expires_ms = 0;
};

// One kept outcome, as small as it can be: the rest (result, errors,
// headers) is read from its OUTCOME frame in the log when asked for, so that
// a million kept outcomes cost tens of megabytes, not their results.
struct OutcomeEntry {
  uint64_t seq = 0;
  uint64_t finished_ms = 0;
  uint64_t keep_until_ms = 0;
  uint64_t frame_offset = 0;  // where its OUTCOME frame starts in the log
  uint32_t frame_len = 0;
  uint8_t state = 0;          // OutcomeState; 0: replaced by a later outcome of its seq
};

// What is known of a live message's deliveries that ended: the errors and
// consumers an outcome will carry. Only messages delivered before, or
// nacked with an error, have one.
struct DeliveryHistory {
  std::vector<std::string> errors;     // newest last, at most MAX_HISTORY
  std::vector<std::string> consumers;  // newest last, at most MAX_HISTORY
  uint32_t recorded = 0;    // the last delivery whose consumer is in `consumers`
  uint64_t started_ms = 0;  // when the last delivery that ended began
};

using LeaseEntry = std::pair<uint64_t, uint64_t>;  // (deadline_ms, seq)
using LeaseHeap =
    std::priority_queue<LeaseEntry, std::vector<LeaseEntry>, std::greater<LeaseEntry>>;

struct QueueState {
  // One entry per applied LEASE, smallest (deadline, seq) on top. Entries
  // whose seq is no longer in flight with that deadline are stale and are
  // dropped only when reclamation pops them.
  LeaseHeap lease_heap;
  std::unordered_map<uint64_t, MessageEntry> messages;  // every live message
  std::unordered_map<uint64_t, uint64_t> in_flight;     // seq -> deadline_ms
  // The leases in flight whose LEASE had the trailing fields; a delay's
  // lease, or one written by an older release, has no entry.
  std::unordered_map<uint64_t, LeaseFacts> lease_facts;
  ConsumerNames consumers;
  // The ready messages a take may lease, by priority: `ready` holds those of
  // priority 0 (every plain message), `levels` the others, highest first,
  // each set not empty. A group stands there by its head alone.
  std::set<uint64_t> ready;
  std::map<int, std::set<uint64_t>, std::greater<int>> levels;
  // The in-flight messages that are delays (a delayed put or nack), not deliveries.
  std::unordered_set<uint64_t> scheduled;
  // Every message not in flight (what ready_count counts, held back by a
  // pause or its group or not) as (the time it became ready, seq), in a
  // heap whose least tells how long the backlog has waited without a walk.
  // An entry whose message left the ready messages, or became ready again
  // later, stays until it comes to the top or the heap is rebuilt: 16 bytes
  // an entry, where an ordered set's node costs some 64 of a message's.
  mutable std::vector<std::pair<uint64_t, uint64_t>> ready_since;
  std::unordered_map<uint64_t, MessageOptions> options;
  std::unordered_map<uint32_t, GroupEntry> groups;
  std::unordered_map<std::string, uint32_t> group_ids;
  uint32_t next_group_id = 1;
  std::unordered_map<std::string, uint64_t> live_keys;  // key -> live message
  std::unordered_map<std::string, KeptKey> kept_keys;
  // Kept outcomes, in the order their records were applied (which is the
  // order they finished in), with an index by seq. A queue without a log
  // keeps each one's payload beside it.
  std::vector<OutcomeEntry> outcomes;
  std::unordered_map<uint64_t, uint32_t> outcome_index;
  std::unordered_map<uint64_t, std::vector<uint8_t>> outcome_payloads;
  uint64_t outcome_bytes = 0;  // frame bytes of the kept outcomes
  uint64_t expired_outcome_bytes = 0;  // of those, what the cursors found expired
  size_t expiry_cursors[3] = {0, 0, 0};  // per OutcomeState, into `outcomes`
  std::unordered_map<uint64_t, DeliveryHistory> histories;  // live messages only
  // The queue's settings (SETTINGS records).
  bool paused = false;
  uint32_t group_limit = 1;
  // The schedules' states by name (SCHEDULE records), kept whole: they are
  // few and small, and compaction and purge write them anew.
  std::map<std::string, std::vector<uint8_t>, std::less<>> schedules;
  uint64_t schedule_bytes = 0;  // the frames that would hold them alone
  uint64_t next_seq = 0;
  bool seq_exhausted = false;  // seq 2^64-1 was assigned: no id is left
  uint64_t live_bytes = 0;  // body length + 33 per live message
  uint64_t enqueued_total = 0;
  uint64_t acked_total = 0;
  uint64_t dead_total = 0;
  uint64_t requeued_total = 0;
  uint64_t expired_total = 0;  // deliveries whose lease ran out
  uint64_t nacked_total = 0;   // deliveries given back (a delayed one once due)

  // `frame_offset` is where the record's frame starts in the log (it matters
  // for ENQUEUE only); `keep_body` keeps the bytes for a queue without a log.
  void apply(const Record& record, uint64_t frame_offset, bool keep_body);
  // A decoded or just written frame; bodies stay in the log unless `keep_body`.
  void apply(const RecordView& view, uint64_t frame_offset, bool keep_body = false);

  void apply_enqueue(uint64_t seq, uint64_t ts_ms, std::span<const uint8_t> body,
                     uint64_t frame_offset, bool keep_body);
  void apply_remove(uint64_t seq, bool dead);  // ACK (dead false) or DEAD
  void apply_lease(uint64_t seq, uint64_t deadline_ms, uint32_t deliveries,
                   const RecordView* details = nullptr);
  // Forgets what was known of the message's lease.
  void forget_lease(uint64_t seq);
  // `returned_ms`: when the writer returned it; 0 (read from the log): unknown.
  void apply_requeue(uint64_t seq, uint32_t deliveries, uint64_t returned_ms = 0);
  void apply_cancel(uint64_t seq);
  void apply_settings(bool paused_now, uint32_t limit);
  void apply_kept_key(uint64_t seq, uint64_t expires_ms, std::string_view key);
  void apply_outcome(const RecordView& view, uint64_t frame_offset, bool keep_payload);
  void apply_history(const RecordView& view);
  // Sets or removes the schedule, then puts its messages, each as an
  // ENQUEUE_WITH_OPTIONS would (their bodies and headers stay in the frame).
  void apply_schedule(const RecordView& view, uint64_t frame_offset, bool keep_body);
  // Keeps an outcome entry (replacing one of the same seq) and its id taken.
  void keep_outcome(const OutcomeEntry& entry);
  // The frame bytes of kept outcomes not yet expired at `now`, for the
  // compaction heuristic: per state, a cursor walks the outcomes in the
  // order written (in which one handle's retention expires them), so each
  // outcome is passed once over all calls and nothing is scanned per call.
  uint64_t unexpired_outcome_bytes(uint64_t now);
  // Drops the outcomes whose keep-until time is not after `now`.
  void drop_expired_outcomes(uint64_t now);
  const OutcomeEntry* outcome_of(uint64_t seq) const {
    if (outcome_index.empty()) return nullptr;
    auto found = outcome_index.find(seq);
    return found == outcome_index.end() ? nullptr : &outcomes[found->second];
  }

  // Ready messages, wherever they stand (messages not in flight).
  uint64_t ready_count() const { return messages.size() - in_flight.size(); }
  // When the ready message that has waited longest became ready, if any.
  std::optional<uint64_t> oldest_ready_ms() const;
  // The entries of ready_since that are current, for tests.
  std::set<std::pair<uint64_t, uint64_t>> ready_since_entries() const;
  bool is_scheduled(uint64_t seq) const { return !scheduled.empty() && scheduled.contains(seq); }
  const MessageOptions* options_of(uint64_t seq) const {
    if (options.empty()) return nullptr;
    auto found = options.find(seq);
    return found == options.end() ? nullptr : &found->second;
  }
  std::string_view group_name(uint32_t id) const {
    auto found = groups.find(id);
    return found == groups.end() ? std::string_view() : std::string_view(found->second.name);
  }
  // The live message or kept key (not expired at `now`) holding `key`.
  std::optional<uint64_t> key_holder(const std::string& key, uint64_t now) const;
  // The ready set of priority `priority` (`ready` for 0).
  std::set<uint64_t>& level(int priority) { return priority == 0 ? ready : levels[priority]; }

 private:
  enum class Place : uint8_t { kNone, kReady, kLeased, kScheduled };
  Place place_of(uint64_t seq) const;
  void level_erase(int priority, uint64_t seq);
  void restand(uint32_t group);
  // Moves a message with options between places, keeping levels and groups.
  void move_optioned(uint64_t seq, const MessageOptions& o, Place from, Place to);
  // Notes the consumer of the message's delivery that ends now, if known.
  void end_delivery(uint64_t seq, const MessageEntry& entry);
  void take_id(uint64_t seq);
  // Keeps ready_since in step as a message becomes ready at `ms` (one that
  // stops being ready needs nothing: its entry is no longer current).
  void now_ready(uint64_t seq, MessageEntry& entry, uint64_t ms);
  bool ready_since_current(const std::pair<uint64_t, uint64_t>& entry) const;
  // Takes a live message out of the state; `counter` (if any) counts it.
  void remove_message(uint64_t seq, uint64_t* counter);
  // `overhead` is what the message's record adds to its body in the log.
  void start_message(uint64_t seq, uint64_t ts_ms, std::span<const uint8_t> body,
                     uint64_t body_offset, uint64_t overhead, bool keep_body);
  void apply_enqueue_with_options(const RecordView& view, uint64_t frame_offset, bool keep_body);
  // A message with options whose body and headers begin at these offsets.
  struct Optioned {
    uint64_t seq;
    uint64_t ts_ms;
    std::span<const uint8_t> body;
    uint64_t body_offset;
    std::span<const uint8_t> headers;
    uint64_t headers_offset;
    uint64_t overhead;
    int8_t priority;
    uint64_t unique_for_ms;
    std::string_view key;
    std::string_view group;
  };
  void add_optioned(const Optioned& m, bool keep_body);
};

}  // namespace tarnwick
