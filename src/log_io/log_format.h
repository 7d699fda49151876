// On-disk layout constants of queue.log. docs/log-format.md describes the file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

inline constexpr uint64_t LOG_HEADER_LEN = 16;
inline constexpr uint64_t FRAME_HEADER_LEN = 12;
inline constexpr uint64_t MAX_RECORD_LEN = 536870912;  // largest payload
inline constexpr uint64_t ENQUEUE_FRAME_OVERHEAD = 33;  // frame header + fixed ENQUEUE fields
inline constexpr uint32_t FORMAT_VERSION = 1;
// Format 2 holds the record kinds 6-9 (messages with options, cancels, the
// queue's settings, kept keys). Readers of format 1 ignore the version and
// cut unknown kinds, so format 2 has a magic of its own, which they refuse.
inline constexpr uint32_t FORMAT_VERSION_2 = 2;
// Format 3 adds the kinds 10-11 (outcomes, delivery histories). Readers of
// format 2 take an unknown kind for damage and would cut it, so format 3
// has a magic of its own too, which they refuse.
inline constexpr uint32_t FORMAT_VERSION_3 = 3;
// Format 4 adds the kind 12 (schedules). Readers of format 3 take it for
// damage as well, so format 4 has a magic of its own, which they refuse.
inline constexpr uint32_t FORMAT_VERSION_4 = 4;
// Format 5 holds what format 4 holds in a file that is written ahead with
// zeros and then overwritten: the log ends at the first frame whose bytes,
// and every byte after it, are zero. Readers of format 4 would take those
// zeros for a torn tail and cut them, so format 5 has a magic of its own.
inline constexpr uint32_t FORMAT_VERSION_5 = 5;
// How far ahead of its end a format-5 log is written with zeros.
inline constexpr uint64_t PREALLOCATE_BYTES = uint64_t{1} << 20;
// Whether a log of `format` is written ahead with zeros and overwritten.
inline constexpr bool preallocated(uint32_t format) { return format >= FORMAT_VERSION_5; }

// Fixed ENQUEUE payload bytes ahead of the body: tag, seq, timestamp, length.
inline constexpr uint64_t ENQUEUE_PAYLOAD_PREFIX = 21;
// The largest body whose frame readers still accept.
inline constexpr uint64_t MAX_BODY_LEN = MAX_RECORD_LEN - ENQUEUE_PAYLOAD_PREFIX;

inline constexpr char LOG_MAGIC[4] = {'T', 'W', 'F', 'L'};
inline constexpr char LOG_MAGIC_2[4] = {'T', 'W', 'F', '2'};
inline constexpr char LOG_MAGIC_3[4] = {'T', 'W', 'F', '3'};
inline constexpr char LOG_MAGIC_4[4] = {'T', 'W', 'F', '4'};
inline constexpr char LOG_MAGIC_5[4] = {'T', 'W', 'F', '5'};
inline constexpr char FRAME_MAGIC[4] = {'T', 'W', 'R', '1'};

inline constexpr uint64_t ACK_FRAME_LEN = 21;
inline constexpr uint64_t DEAD_FRAME_LEN = 21;
inline constexpr uint64_t LEASE_FRAME_LEN = 33;  // without the optional trailing fields

// LEASE's optional trailing fields (docs/log-format.md): started_ms (u64),
// extensions (u32), consumer_len (u8), then the consumer's bytes. Readers
// that know only the fixed 21 bytes ignore them.
inline constexpr uint64_t LEASE_PAYLOAD_LEN = 21;
inline constexpr uint64_t LEASE_DETAILS_PAYLOAD_LEN = 34;  // with the trailing fields, before the consumer
inline constexpr size_t MAX_CONSUMER_LEN = 64;  // the most consumer bytes written
inline constexpr uint64_t REQUEUE_FRAME_LEN = 25;
// A LEASE of exactly 22 payload bytes whose last byte is 1 stands for a
// delay (a delayed put or nack), not a delivery; format-1 readers ignore it.
inline constexpr uint64_t LEASE_SCHEDULED_PAYLOAD_LEN = 22;

// Format 2's ENQUEUE with options (tag 6): fixed payload bytes besides the
// key, group, headers and body, and the limits of the variable fields.
inline constexpr uint64_t ENQUEUE2_FIXED_LEN = 36;
inline constexpr size_t MAX_KEY_LEN = 255;
inline constexpr size_t MAX_GROUP_LEN = 255;
inline constexpr uint64_t SETTINGS_PAYLOAD_LEN = 6;
inline constexpr uint64_t CANCEL_PAYLOAD_LEN = 9;
inline constexpr uint64_t KEPT_KEY_FIXED_LEN = 18;  // tag, seq, expiry, key_len

}  // namespace tarnwick
