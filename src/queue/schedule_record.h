// The payload of format 4's SCHEDULE record (kind 12): a named schedule's
// new state (or its removal) and the messages the same change puts, in one
// frame, so that a crash at any byte leaves all of the change in the log or
// none of it (a frame cut short fails its CRC and is a torn tail). Encoded
// whole here; RecordView carries the payload bytes (docs/log-format.md).
//
// Layout: tag u8 (12), name_len u8, name (UTF-8, 1..200 bytes, no NUL),
// has_state u8 (0: the schedule is removed, 1: set), state_len u32 (0
// without a state), state, put_count u32, then each put as the fields of
// ENQUEUE_WITH_OPTIONS after its tag: seq u64, enqueued_ts_ms u64,
// priority i8, unique_for_ms u64, key_len u8, key, group_len u8, group,
// headers_len u32, headers, body_len u32, body. The puts' seqs are
// consecutive; each is a ready message from then on. The payload ends
// exactly after the last put. The last SCHEDULE of a name holds; compaction
// and purge write one per schedule, without puts, after SETTINGS.
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
