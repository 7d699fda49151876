#include "queue/outcome_record.h"

#include <algorithm>
#include <cstring>

#include "log_io/endian.h"
#include "queue/payload_reader.h"
#include "queue/record.h"

namespace tarnwick {
namespace {

void put_bytes(std::vector<uint8_t>& out, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  out.insert(out.end(), p, p + n);
}
void put_short_text(std::vector<uint8_t>& out, std::string_view text) {
  text = text.substr(0, 255);
  put_u8(out, static_cast<uint8_t>(text.size()));
  put_bytes(out, text.data(), text.size());
}

// Errors: a count, then each as u32 length and bytes; consumers: a count,
// then each as u8 length and bytes. The newest MAX_HISTORY of each.
void put_lists(std::vector<uint8_t>& out, const DeliveryLists& lists) {
  const size_t errors_from = lists.errors.size() - std::min(lists.errors.size(), MAX_HISTORY);
  put_u8(out, static_cast<uint8_t>(lists.errors.size() - errors_from));
  for (size_t i = errors_from; i < lists.errors.size(); ++i) {
    const std::string_view error = lists.errors[i].substr(0, MAX_ERROR_LEN);
    put_u32(out, static_cast<uint32_t>(error.size()));
    put_bytes(out, error.data(), error.size());
  }
  const size_t from = lists.consumers.size() - std::min(lists.consumers.size(), MAX_HISTORY);
  put_u8(out, static_cast<uint8_t>(lists.consumers.size() - from));
  for (size_t i = from; i < lists.consumers.size(); ++i) {
    put_short_text(out, lists.consumers[i].substr(0, MAX_CONSUMER_LEN));
  }
}

bool read_lists(PayloadReader& r, DeliveryLists& out) {
  const uint8_t errors = r.u8();
  if (errors > MAX_HISTORY) return r.fail();
  for (uint8_t i = 0; i < errors && r.ok(); ++i) {
    const uint32_t n = r.u32();
    if (n > MAX_ERROR_LEN) return r.fail();
    out.errors.push_back(r.text(n));
  }
  const uint8_t consumers = r.u8();
  if (consumers > MAX_HISTORY) return r.fail();
  for (uint8_t i = 0; i < consumers && r.ok(); ++i) out.consumers.push_back(r.text(r.u8()));
  return r.ok();
}

constexpr uint32_t kNoResult = UINT32_MAX;

}  // namespace

void encode_outcome(const OutcomeFields& f, std::vector<uint8_t>& out) {
  put_u8(out, OUTCOME);
  put_u64(out, f.seq);
  put_u8(out, static_cast<uint8_t>(f.state));
  put_u64(out, f.finished_ms);
  put_u64(out, f.keep_until_ms);
  put_u64(out, f.enqueued_ms);
  put_u64(out, f.started_ms);
  put_u32(out, f.deliveries);
  put_u8(out, static_cast<uint8_t>(f.priority));
  put_u64(out, f.dead_letter_id);
  put_short_text(out, f.key);
  put_short_text(out, f.group);
  put_u32(out, static_cast<uint32_t>(f.headers.size()));
  put_bytes(out, f.headers.data(), f.headers.size());
  if (f.result) {
    put_u32(out, static_cast<uint32_t>(f.result->size()));
    put_bytes(out, f.result->data(), f.result->size());
  } else {
    put_u32(out, kNoResult);
  }
  put_lists(out, f.lists);
}

void encode_history(const HistoryFields& f, std::vector<uint8_t>& out) {
  put_u8(out, HISTORY);
  put_u64(out, f.seq);
  put_u32(out, f.recorded);
  put_u64(out, f.started_ms);
  put_lists(out, f.lists);
}

std::optional<OutcomeFields> decode_outcome(std::span<const uint8_t> payload) {
  PayloadReader r(payload);
  OutcomeFields f;
  if (r.u8() != OUTCOME) return std::nullopt;
  f.seq = r.u64();
  const uint8_t state = r.u8();
  if (state < 1 || state > 3) return std::nullopt;
  f.state = static_cast<OutcomeState>(state);
  f.finished_ms = r.u64();
  f.keep_until_ms = r.u64();
  f.enqueued_ms = r.u64();
  f.started_ms = r.u64();
  f.deliveries = r.u32();
  f.priority = static_cast<int8_t>(r.u8());
  f.dead_letter_id = r.u64();
  f.key = r.text(r.u8());
  f.group = r.text(r.u8());
  f.headers = r.bytes(r.u32());
  const uint32_t result_len = r.u32();
  if (result_len != kNoResult) {
    if (result_len > MAX_RESULT_LEN) return std::nullopt;
    f.result = r.bytes(result_len);
  }
  if (!read_lists(r, f.lists) || !r.done()) return std::nullopt;
  return f;
}

std::optional<HistoryFields> decode_history(std::span<const uint8_t> payload) {
  PayloadReader r(payload);
  HistoryFields f;
  if (r.u8() != HISTORY) return std::nullopt;
  f.seq = r.u64();
  f.recorded = r.u32();
  f.started_ms = r.u64();
  if (!read_lists(r, f.lists) || !r.done()) return std::nullopt;
  return f;
}

}  // namespace tarnwick
