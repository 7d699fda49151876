// The in-memory model of one queue: the replay of its log records.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <set>
#include <span>
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
  void apply_lease(uint64_t seq, uint64_t deadline_ms, uint32_t deliveries);
  void apply_requeue(uint64_t seq, uint32_t deliveries);
};

}  // namespace tarnwick
