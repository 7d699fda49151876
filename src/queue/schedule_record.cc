#include "queue/schedule_record.h"

#include <cstring>

#include "log_io/endian.h"
#include "log_io/log_format.h"
#include "queue/payload_reader.h"
#include "queue/record.h"

namespace tarnwick {
namespace {

void put_bytes(std::vector<uint8_t>& out, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  out.insert(out.end(), p, p + n);
}

// tag, name_len, has_state, state_len, put_count.
constexpr uint64_t kFixedLen = 1 + 1 + 1 + 4 + 4;
// A put's fixed fields: ENQUEUE_WITH_OPTIONS's without its tag.
constexpr uint64_t kPutFixedLen = ENQUEUE2_FIXED_LEN - 1;

}  // namespace

uint64_t schedule_payload_size(std::string_view name, std::optional<size_t> state_len,
                               std::span<const SchedulePutFields> puts) {
  uint64_t size = kFixedLen + name.size() + state_len.value_or(0);
  for (const SchedulePutFields& p : puts) {
    size += kPutFixedLen + p.key.size() + p.group.size() + p.headers.size() + p.body.size();
  }
  return size;
}

uint64_t schedule_frame_len(std::string_view name, size_t state_len) {
  return FRAME_HEADER_LEN + schedule_payload_size(name, state_len, {});
}

void encode_schedule(const ScheduleFields& f, std::vector<uint8_t>& out) {
  put_u8(out, SCHEDULE);
  put_u8(out, static_cast<uint8_t>(f.name.size()));
  put_bytes(out, f.name.data(), f.name.size());
  put_u8(out, f.state ? 1 : 0);
  put_u32(out, f.state ? static_cast<uint32_t>(f.state->size()) : 0);
  if (f.state) put_bytes(out, f.state->data(), f.state->size());
  put_u32(out, static_cast<uint32_t>(f.puts.size()));
  for (const SchedulePutFields& p : f.puts) {
    put_u64(out, p.seq);
    put_u64(out, p.enqueued_ms);
    put_u8(out, static_cast<uint8_t>(p.priority));
    put_u64(out, p.unique_for_ms);
    put_u8(out, static_cast<uint8_t>(p.key.size()));
    put_bytes(out, p.key.data(), p.key.size());
    put_u8(out, static_cast<uint8_t>(p.group.size()));
    put_bytes(out, p.group.data(), p.group.size());
    put_u32(out, static_cast<uint32_t>(p.headers.size()));
    put_bytes(out, p.headers.data(), p.headers.size());
    put_u32(out, static_cast<uint32_t>(p.body.size()));
    put_bytes(out, p.body.data(), p.body.size());
  }
}

std::optional<ScheduleFields> decode_schedule(std::span<const uint8_t> payload) {
  PayloadReader r(payload);
  ScheduleFields f;
  if (r.u8() != SCHEDULE) return std::nullopt;
  f.name = r.text(r.u8());
  if (f.name.empty() || f.name.find('\0') != std::string_view::npos) return std::nullopt;
  const uint8_t has_state = r.u8();
  if (has_state > 1) return std::nullopt;
  const uint32_t state_len = r.u32();
  if (state_len > MAX_SCHEDULE_STATE_LEN || (has_state == 0 && state_len != 0)) return std::nullopt;
  auto state = r.bytes(state_len);
  if (has_state == 1) f.state = state;
  const uint32_t count = r.u32();
  // Each put takes at least its fixed fields: a count beyond that is damage.
  if (!r.ok() || count > (payload.size() - r.at()) / kPutFixedLen) return std::nullopt;
  f.puts.reserve(count);
  uint64_t last_seq = 0;
  for (uint32_t i = 0; i < count && r.ok(); ++i) {
    SchedulePutFields& p = f.puts.emplace_back();
    p.seq = r.u64();
    // The writer gives its puts consecutive new seqs.
    if (i > 0 && p.seq != last_seq + 1) return std::nullopt;
    last_seq = p.seq;
    p.enqueued_ms = r.u64();
    p.priority = static_cast<int8_t>(r.u8());
    if (p.priority < -100 || p.priority > 100) return std::nullopt;
    p.unique_for_ms = r.u64();
    p.key = r.text(r.u8());
    p.group = r.text(r.u8());
    const uint32_t headers_len = r.u32();
    p.headers_at = r.at();
    p.headers = r.bytes(headers_len);
    const uint32_t body_len = r.u32();
    p.body_at = r.at();
    p.body = r.bytes(body_len);
  }
  if (!r.done()) return std::nullopt;
  return f;
}

}  // namespace tarnwick
