// The in-memory model of one queue: the replay of its log records.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "queue/record.h"

namespace tarnwick {

struct MessageEntry {
  std::unique_ptr<uint8_t[]> body;  // only for queues without a log
  uint32_t body_len = 0;
  uint32_t deliveries = 0;
  uint64_t enqueued_ts_ms = 0;
  uint64_t body_offset = 0;  // file offset of the first body byte
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
  std::set<uint64_t> ready;
  uint64_t next_seq = 0;
  bool seq_exhausted = false;  // seq 2^64-1 was assigned: no id is left
  uint64_t live_bytes = 0;  // body length + 33 per live message
  uint64_t enqueued_total = 0;
  uint64_t acked_total = 0;
  uint64_t dead_total = 0;
  uint64_t requeued_total = 0;

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
  void apply_requeue(uint64_t seq, uint32_t deliveries);
};

}  // namespace tarnwick
