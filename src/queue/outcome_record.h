// The payloads of format 3's kinds: OUTCOME (what became of a message that
// left the queue, written as the record that removes it) and HISTORY (the
// errors and consumers of a live message's earlier deliveries). Both are
// encoded whole here; RecordView carries the payload bytes (docs/log-format.md).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

enum class OutcomeState : uint8_t { kAcked = 1, kDead = 2, kCancelled = 3 };
inline constexpr size_t MAX_HISTORY = 10;        // errors and consumers kept
inline constexpr size_t MAX_ERROR_LEN = 16384;   // bytes of one error kept
inline constexpr size_t MAX_RESULT_LEN = 1 << 20;
inline constexpr uint64_t NO_DEAD_LETTER = UINT64_MAX;

// The lists both kinds carry; views into a payload or the writer's strings.
struct DeliveryLists {
  std::vector<std::string_view> errors;     // newest last, at most MAX_HISTORY
  std::vector<std::string_view> consumers;  // newest last, at most MAX_HISTORY
};

struct OutcomeFields {
  uint64_t seq = 0;
  OutcomeState state = OutcomeState::kAcked;
  uint64_t finished_ms = 0;
  uint64_t keep_until_ms = 0;
  uint64_t enqueued_ms = 0;
  uint64_t started_ms = 0;  // 0: never delivered (or unknown)
  uint32_t deliveries = 0;
  int8_t priority = 0;
  uint64_t dead_letter_id = NO_DEAD_LETTER;
  std::string_view key;
  std::string_view group;
  std::span<const uint8_t> headers;
  std::optional<std::span<const uint8_t>> result;
  DeliveryLists lists;
};

struct HistoryFields {
  uint64_t seq = 0;
  uint32_t recorded = 0;    // the last delivery whose consumer the lists hold
  uint64_t started_ms = 0;  // when the last delivery that ended began
  DeliveryLists lists;
};

// Appends the whole payload (tag first). Lists longer than MAX_HISTORY keep
// their newest entries; errors are cut to MAX_ERROR_LEN bytes.
void encode_outcome(const OutcomeFields& fields, std::vector<uint8_t>& out);
void encode_history(const HistoryFields& fields, std::vector<uint8_t>& out);
// Nothing when the payload is not one this code writes.
std::optional<OutcomeFields> decode_outcome(std::span<const uint8_t> payload);
std::optional<HistoryFields> decode_history(std::span<const uint8_t> payload);

}  // namespace tarnwick
