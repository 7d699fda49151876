// The payload of format 4's SCHEDULE record: a named schedule's new state
// (or its removal) and the messages the same change puts, in one frame, so
// that a crash at any byte leaves all of the change in the log or none of
// it (a frame cut short fails its CRC and is a torn tail). Encoded whole
// here; RecordView carries the payload bytes (docs/log-format.md).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tarnwick {

inline constexpr size_t MAX_SCHEDULE_NAME_LEN = 200;
inline constexpr size_t MAX_SCHEDULE_STATE_LEN = size_t{256} << 10;

// One message a SCHEDULE puts, laid out as ENQUEUE_WITH_OPTIONS's fields
// after its tag. Views into a payload or the writer's bytes; the offsets
// are where the headers and the body begin in the payload (decode only).
struct SchedulePutFields {
  uint64_t seq = 0;
  uint64_t enqueued_ms = 0;
  int8_t priority = 0;
  uint64_t unique_for_ms = 0;
  std::string_view key;    // empty: none
  std::string_view group;  // empty: none
  std::span<const uint8_t> headers;
  std::span<const uint8_t> body;
  size_t headers_at = 0;
  size_t body_at = 0;
};

struct ScheduleFields {
  std::string_view name;
  std::optional<std::span<const uint8_t>> state;  // none: the schedule is removed
  std::vector<SchedulePutFields> puts;
};

// Payload bytes encode_schedule() writes for these fields.
uint64_t schedule_payload_size(std::string_view name, std::optional<size_t> state_len,
                               std::span<const SchedulePutFields> puts);
// The frame of a SCHEDULE that holds this state alone (what compaction writes).
uint64_t schedule_frame_len(std::string_view name, size_t state_len);
// Appends the whole payload (tag first). The caller has checked the limits.
void encode_schedule(const ScheduleFields& fields, std::vector<uint8_t>& out);
// Nothing when the payload is not one this code writes.
std::optional<ScheduleFields> decode_schedule(std::span<const uint8_t> payload);

}  // namespace tarnwick
