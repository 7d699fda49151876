// How a dead letter is stored: as the body of a message in the dead-letter
// queue, a fixed header describing the original message, the reason, then
// the original body.
//
//   "TWDL" | version u8 | original seq u64 | deliveries u32 |
//   enqueued ms u64 | died ms u64 | reason length u32 | reason | body
//
// Integers are little-endian, like the log's own fields.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tarnwick {

inline constexpr size_t kDeadLetterHeaderLen = 37;
inline constexpr uint8_t kDeadLetterVersion = 1;

struct DeadLetterFields {
  uint64_t original_seq = 0;
  uint32_t deliveries = 0;
  uint64_t enqueued_ts_ms = 0;
  uint64_t died_ts_ms = 0;
  std::span<const uint8_t> reason;  // UTF-8, as the caller gave it
  std::span<const uint8_t> body;
};

void encode_dead_letter(const DeadLetterFields& fields, std::vector<uint8_t>& out);

// Nullopt for bytes that are not a dead letter of a known version; the spans
// borrow from `entry`.
std::optional<DeadLetterFields> decode_dead_letter(std::span<const uint8_t> entry);

}  // namespace tarnwick
