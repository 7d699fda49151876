// The record kinds and their payload encoding: 1-5 in every format, 6-9 in
// formats 2 to 4, 10-11 in formats 3 and 4, 12 in format 4 only
// (docs/log-format.md).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "log_io/error.h"
#include "log_io/log_format.h"

namespace tarnwick {

enum RecordTag : uint8_t {
  ENQUEUE = 1,
  ACK = 2,
  LEASE = 3,
  REQUEUE = 4,
  DEAD = 5,
  ENQUEUE_WITH_OPTIONS = 6,  // priority, key, unique_for, group, headers
  CANCEL = 7,
  SETTINGS = 8,  // paused, group_limit
  KEPT_KEY = 9,  // a key remembered after its message left, until an expiry
  OUTCOME = 10,  // removes a message (if live) and keeps what became of it
  HISTORY = 11,  // the errors and consumers of a live message's past deliveries
  SCHEDULE = 12,  // a schedule's state and the messages its change puts, at once
};
inline constexpr uint8_t LAST_TAG = SCHEDULE;

// Whether a record of this kind can only be in a format-2 (or later) log.
inline bool needs_format_2(uint8_t tag) { return tag >= ENQUEUE_WITH_OPTIONS; }
// Whether a record of this kind can only be in a format-3 (or later) log.
inline bool needs_format_3(uint8_t tag) { return tag >= OUTCOME; }
// Whether a record of this kind can only be in a format-4 log.
inline bool needs_format_4(uint8_t tag) { return tag >= SCHEDULE; }
// The oldest format that holds a record of this kind.
inline uint32_t format_for(uint8_t tag) {
  if (needs_format_4(tag)) return FORMAT_VERSION_4;
  return needs_format_3(tag) ? FORMAT_VERSION_3 : needs_format_2(tag) ? FORMAT_VERSION_2 : FORMAT_VERSION;
}

struct EnqueueRecord {
  uint64_t seq;
  uint64_t enqueued_ts_ms;
  std::vector<uint8_t> body;
  bool operator==(const EnqueueRecord&) const = default;
};
struct AckRecord {
  uint64_t seq;
  bool operator==(const AckRecord&) const = default;
};
// What a LEASE of a delivery may say besides its deadline, in trailing
// fields that older readers ignore: when the delivery began (0: unknown; an
// extend keeps it), how often its lease was extended, and who holds it (an
// empty consumer: unknown). A delay's LEASE has none.
struct LeaseDetails {
  uint64_t started_ms = 0;
  uint32_t extensions = 0;
  std::string consumer;  // at most MAX_CONSUMER_LEN bytes are written
  bool operator==(const LeaseDetails&) const = default;
};

struct LeaseRecord {
  uint64_t seq;
  uint64_t deadline_ms;
  uint32_t deliveries;
  std::optional<LeaseDetails> details = std::nullopt;
  bool scheduled = false;  // a delay, written without details
  bool operator==(const LeaseRecord&) const = default;
};
struct RequeueRecord {
  uint64_t seq;
  uint32_t deliveries;
  bool operator==(const RequeueRecord&) const = default;
};
struct DeadRecord {
  uint64_t seq;
  bool operator==(const DeadRecord&) const = default;
};

using Record = std::variant<EnqueueRecord, AckRecord, LeaseRecord, RequeueRecord, DeadRecord>;

// A decoded payload that borrows the ENQUEUE body from the payload bytes, so
// that replay need not copy bodies it does not keep.
struct RecordView {
  RecordTag tag;
  uint64_t seq;
  // ENQUEUE: enqueued_ts_ms; LEASE: deadline_ms; REQUEUE: when its writer
  // returned the message (not written: 0 when read from the log).
  uint64_t time_ms;
  uint32_t deliveries;   // LEASE, REQUEUE
  std::span<const uint8_t> body;  // ENQUEUE
  // LEASE's trailing fields, when `details` (see LeaseDetails); `consumer`
  // borrows from the payload or the writer's string.
  bool details = false;
  uint32_t extensions = 0;
  uint64_t started_ms = 0;
  std::string_view consumer = {};
  // LEASE: a delay (a delayed put or nack), not a delivery.
  bool scheduled = false;
  // ENQUEUE_WITH_OPTIONS: its options (key and group empty: none; headers
  // opaque bytes); `body` and `headers` borrow. KEPT_KEY: `key`, with the
  // expiry in time_ms. SETTINGS: `paused` and `group_limit`.
  int8_t priority = 0;
  uint64_t unique_for_ms = 0;
  std::string_view key = {};
  std::string_view group = {};
  std::span<const uint8_t> headers = {};
  bool paused = false;
  uint32_t group_limit = 1;
  // OUTCOME, HISTORY and SCHEDULE: `body` is the whole payload
  // (outcome_record.h, schedule_record.h); SCHEDULE's `seq` is its first
  // put's (0 when it puts none).
  // OUTCOME's state and keep-until time (its finish time in time_ms).
  uint8_t outcome_state = 0;
  uint64_t keep_until_ms = 0;

  static RecordView enqueue(uint64_t seq, uint64_t ts_ms, std::span<const uint8_t> body) {
    return {ENQUEUE, seq, ts_ms, 0, body};
  }
  static RecordView ack(uint64_t seq) { return {ACK, seq, 0, 0, {}}; }
  static RecordView lease(uint64_t seq, uint64_t deadline_ms, uint32_t deliveries) {
    return {LEASE, seq, deadline_ms, deliveries, {}};
  }
  static RecordView lease(uint64_t seq, uint64_t deadline_ms, uint32_t deliveries,
                          uint64_t started_ms, uint32_t extensions, std::string_view consumer) {
    return {LEASE, seq, deadline_ms, deliveries, {}, true, extensions, started_ms,
            consumer.substr(0, MAX_CONSUMER_LEN)};
  }
  static RecordView requeue(uint64_t seq, uint32_t deliveries, uint64_t returned_ms = 0) {
    return {REQUEUE, seq, returned_ms, deliveries, {}};
  }
  static RecordView dead(uint64_t seq) { return {DEAD, seq, 0, 0, {}}; }
  static RecordView schedule(uint64_t seq, uint64_t due_ms, uint32_t deliveries) {
    RecordView v{LEASE, seq, due_ms, deliveries, {}};
    v.scheduled = true;
    return v;
  }
  static RecordView enqueue_with_options(uint64_t seq, uint64_t ts_ms,
                                         std::span<const uint8_t> body, int8_t priority,
                                         std::string_view key, uint64_t unique_for_ms,
                                         std::string_view group,
                                         std::span<const uint8_t> headers) {
    RecordView v{ENQUEUE_WITH_OPTIONS, seq, ts_ms, 0, body};
    v.priority = priority;
    v.key = key.substr(0, MAX_KEY_LEN);
    v.unique_for_ms = unique_for_ms;
    v.group = group.substr(0, MAX_GROUP_LEN);
    v.headers = headers;
    return v;
  }
  static RecordView cancel(uint64_t seq) { return {CANCEL, seq, 0, 0, {}}; }
  static RecordView settings(bool paused, uint32_t group_limit) {
    RecordView v{SETTINGS, 0, 0, 0, {}};
    v.paused = paused;
    v.group_limit = group_limit;
    return v;
  }
  static RecordView kept_key(uint64_t seq, uint64_t expires_ms, std::string_view key) {
    RecordView v{KEPT_KEY, seq, expires_ms, 0, {}};
    v.key = key.substr(0, MAX_KEY_LEN);
    return v;
  }
  // A record of format 3 or 4 whose encoded payload `payload` outlives the view.
  static RecordView encoded(RecordTag tag, uint64_t seq, std::span<const uint8_t> payload) {
    return {tag, seq, 0, 0, payload};
  }
  // Where the body (ENQUEUE kinds) or headers begin, from the frame's start.
  uint64_t body_at() const {
    if (tag != ENQUEUE_WITH_OPTIONS) return ENQUEUE_FRAME_OVERHEAD;
    return FRAME_HEADER_LEN + ENQUEUE2_FIXED_LEN + key.size() + group.size() + headers.size();
  }
  uint64_t headers_at() const {
    return FRAME_HEADER_LEN + ENQUEUE2_FIXED_LEN - 4 + key.size() + group.size();
  }
};

// The length of the record's frame in the log.
uint64_t frame_length(const RecordView& record);

// Payload of exactly 21 + body (ENQUEUE), 9 (ACK, DEAD), 21 (LEASE; 34 +
// consumer with its trailing fields) or 13 (REQUEUE) bytes.
std::vector<uint8_t> encode(const Record& record);
// Appends the payload to `out` (no frame header).
void encode_into(const Record& record, std::vector<uint8_t>& out);
void encode_enqueue_into(uint64_t seq, uint64_t ts_ms, std::span<const uint8_t> body,
                         std::vector<uint8_t>& out);
size_t encoded_size(const Record& record);

// Append a whole sealed frame (header, then payload) to `out`.
void append_frame_to(std::vector<uint8_t>& out, const Record& record);
void append_frame_to(std::vector<uint8_t>& out, const RecordView& record);
void append_enqueue_frame_to(std::vector<uint8_t>& out, uint64_t seq, uint64_t ts_ms,
                             std::span<const uint8_t> body);

// Appends the first 33 bytes of the ENQUEUE frame for `body` (its CRC
// covers the body), so that the body itself can be written from where it is.
void append_enqueue_head_to(std::vector<uint8_t>& out, uint64_t seq, uint64_t ts_ms,
                            std::span<const uint8_t> body);

// A decode failure is damage, not an error: the variant holds its message.
std::variant<RecordView, std::string> decode_view(std::span<const uint8_t> payload);
std::variant<Record, std::string> decode(std::span<const uint8_t> payload);
Record to_record(const RecordView& view);

// Writes the header of `format` (1: "TWFL", 2: "TWF2", 3: "TWF3", 4: "TWF4", the version) and the
// generation at the descriptor's position.
Status write_header(int fd, uint64_t generation, uint32_t format = FORMAT_VERSION);

}  // namespace tarnwick
