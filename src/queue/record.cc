#include "queue/record.h"

#include <algorithm>
#include <cstring>

#include "log_io/crc32.h"
#include "log_io/endian.h"
#include "log_io/frame.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"
#include "queue/outcome_record.h"
#include "queue/schedule_record.h"

namespace tarnwick {
namespace {


// LEASE's trailing fields, after its fixed 21 bytes.
void put_lease_details(std::vector<uint8_t>& out, uint64_t started_ms, uint32_t extensions,
                       std::string_view consumer) {
  consumer = consumer.substr(0, MAX_CONSUMER_LEN);
  put_u64(out, started_ms);
  put_u32(out, extensions);
  put_u8(out, static_cast<uint8_t>(consumer.size()));
  out.insert(out.end(), consumer.begin(), consumer.end());
}

constexpr const char* kShortU64 = "short u64 field";
constexpr const char* kShortU32 = "short u32 field";

}  // namespace

void encode_enqueue_into(uint64_t seq, uint64_t ts_ms, std::span<const uint8_t> body,
                         std::vector<uint8_t>& out) {
  const size_t at = out.size();
  out.resize(at + ENQUEUE_PAYLOAD_PREFIX + body.size());
  uint8_t* p = out.data() + at;
  p[0] = ENQUEUE;
  store_le64(p + 1, seq);
  store_le64(p + 9, ts_ms);
  store_le32(p + 17, static_cast<uint32_t>(body.size()));
  if (!body.empty()) std::memcpy(p + ENQUEUE_PAYLOAD_PREFIX, body.data(), body.size());
}

void encode_into(const Record& record, std::vector<uint8_t>& out) {
  std::visit(
      [&out](const auto& r) {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, EnqueueRecord>) {
          encode_enqueue_into(r.seq, r.enqueued_ts_ms, r.body, out);
        } else if constexpr (std::is_same_v<T, AckRecord>) {
          put_u8(out, ACK);
          put_u64(out, r.seq);
        } else if constexpr (std::is_same_v<T, LeaseRecord>) {
          put_u8(out, LEASE);
          put_u64(out, r.seq);
          put_u64(out, r.deadline_ms);
          put_u32(out, r.deliveries);
          if (r.details) {
            put_lease_details(out, r.details->started_ms, r.details->extensions,
                              r.details->consumer);
          } else if (r.scheduled) {
            put_u8(out, 1);
          }
        } else if constexpr (std::is_same_v<T, RequeueRecord>) {
          put_u8(out, REQUEUE);
          put_u64(out, r.seq);
          put_u32(out, r.deliveries);
        } else {
          put_u8(out, DEAD);
          put_u64(out, r.seq);
        }
      },
      record);
}

void append_frame_to(std::vector<uint8_t>& out, const Record& record) {
  const size_t start = out.size();
  out.resize(start + FRAME_HEADER_LEN);
  encode_into(record, out);
  seal_frame(std::span<uint8_t>(out).subspan(start));
}

void append_enqueue_frame_to(std::vector<uint8_t>& out, uint64_t seq, uint64_t ts_ms,
                             std::span<const uint8_t> body) {
  const size_t start = out.size();
  out.resize(start + FRAME_HEADER_LEN);
  encode_enqueue_into(seq, ts_ms, body, out);
  seal_frame(std::span<uint8_t>(out).subspan(start));
}

void append_enqueue_head_to(std::vector<uint8_t>& out, uint64_t seq, uint64_t ts_ms,
                            std::span<const uint8_t> body) {
  const size_t start = out.size();
  out.resize(start + FRAME_HEADER_LEN + ENQUEUE_PAYLOAD_PREFIX);
  uint8_t* frame = out.data() + start;
  uint8_t* prefix = frame + FRAME_HEADER_LEN;
  prefix[0] = ENQUEUE;
  store_le64(prefix + 1, seq);
  store_le64(prefix + 9, ts_ms);
  store_le32(prefix + 17, static_cast<uint32_t>(body.size()));
  std::memcpy(frame, FRAME_MAGIC, 4);
  store_le32(frame + 4, static_cast<uint32_t>(ENQUEUE_PAYLOAD_PREFIX + body.size()));
  store_le32(frame + 8, crc32_extend(crc32(prefix, ENQUEUE_PAYLOAD_PREFIX), body.data(), body.size()));
}

size_t encoded_size(const Record& record) {
  switch (record.index()) {
    case 0: return ENQUEUE_PAYLOAD_PREFIX + std::get<EnqueueRecord>(record).body.size();
    case 2: {
      const auto& lease = std::get<LeaseRecord>(record);
      if (!lease.details) return lease.scheduled ? LEASE_SCHEDULED_PAYLOAD_LEN : LEASE_PAYLOAD_LEN;
      return LEASE_DETAILS_PAYLOAD_LEN + std::min(lease.details->consumer.size(), MAX_CONSUMER_LEN);
    }
    case 3: return 13;
    default: return 9;
  }
}

std::vector<uint8_t> encode(const Record& record) {
  std::vector<uint8_t> out;
  out.reserve(encoded_size(record));
  encode_into(record, out);
  return out;
}

namespace {

// Format 2's kinds (6-9); `view` has its tag, the payload is not empty.
std::variant<RecordView, std::string> decode_format_2(std::span<const uint8_t> payload,
                                                      RecordView view) {
  const size_t n = payload.size();
  const uint8_t* p = payload.data();
  const char* p_chars = reinterpret_cast<const char*>(p);
  if (view.tag == SETTINGS) {
    if (n < SETTINGS_PAYLOAD_LEN) return std::string("short settings record");
    if (p[1] > 1) return std::string("settings: paused is neither 0 nor 1");
    view.paused = p[1] == 1;
    view.group_limit = load_le32(p + 2);
    if (view.group_limit == 0) return std::string("settings: group limit 0");
    return view;
  }
  if (view.tag == SCHEDULE) {
    auto fields = decode_schedule(payload);
    if (!fields) return std::string("malformed schedule record");
    view.seq = fields->puts.empty() ? 0 : fields->puts.front().seq;
    view.body = payload;
    return view;
  }
  if (n <= 8) return std::string(kShortU64);
  view.seq = load_le64(p + 1);
  if (view.tag == CANCEL) return view;
  if (view.tag == OUTCOME) {
    auto fields = decode_outcome(payload);
    if (!fields) return std::string("malformed outcome record");
    view.time_ms = fields->finished_ms;
    view.keep_until_ms = fields->keep_until_ms;
    view.outcome_state = static_cast<uint8_t>(fields->state);
    view.body = payload;
    return view;
  }
  if (view.tag == HISTORY) {
    if (!decode_history(payload)) return std::string("malformed history record");
    view.body = payload;
    return view;
  }
  if (view.tag == KEPT_KEY) {
    if (n < KEPT_KEY_FIXED_LEN) return std::string("short kept key record");
    view.time_ms = load_le64(p + 9);
    if (n - KEPT_KEY_FIXED_LEN < p[17]) return std::string("short key");
    view.key = std::string_view(p_chars + KEPT_KEY_FIXED_LEN, p[17]);
    return view;
  }
  // ENQUEUE_WITH_OPTIONS: seq, ts, priority, unique_for, key, group,
  // headers, body, each variable field after its length.
  if (n < 27) return std::string("short enqueue with options");
  view.time_ms = load_le64(p + 9);
  view.priority = static_cast<int8_t>(p[17]);
  if (view.priority < -100 || view.priority > 100) return std::string("priority out of range");
  view.unique_for_ms = load_le64(p + 18);
  size_t at = 26;
  auto text = [&](std::string_view& out) -> bool {
    if (at >= n || n - at - 1 < p[at]) return false;
    out = std::string_view(p_chars + at + 1, p[at]);
    at += 1 + p[at];
    return true;
  };
  auto bytes = [&](std::span<const uint8_t>& out) -> bool {
    if (n - at < 4) return false;
    const uint32_t length = load_le32(p + at);
    if (n - at - 4 < length) return false;
    out = payload.subspan(at + 4, length);
    at += 4 + length;
    return true;
  };
  if (!text(view.key) || !text(view.group)) return std::string("short key or group");
  if (!bytes(view.headers)) return std::string("short headers");
  if (!bytes(view.body)) return std::string("short body");
  return view;
}

}  // namespace

std::variant<RecordView, std::string> decode_view(std::span<const uint8_t> payload) {
  if (payload.empty()) return std::string("empty record");
  const uint8_t tag = payload[0];
  if (tag < ENQUEUE || tag > LAST_TAG) return "unknown record type " + std::to_string(tag);
  const size_t n = payload.size();
  const uint8_t* p = payload.data();
  RecordView view{static_cast<RecordTag>(tag), 0, 0, 0, {}};
  if (needs_format_2(tag)) return decode_format_2(payload, view);
  if (n <= 8) return std::string(kShortU64);
  view.seq = load_le64(p + 1);
  switch (view.tag) {
    case ACK:
    case DEAD:
      return view;
    case REQUEUE:
      if (n <= 12) return std::string(kShortU32);
      view.deliveries = load_le32(p + 9);
      return view;
    default:
      break;
  }
  if (n <= 16) return std::string(kShortU64);
  view.time_ms = load_le64(p + 9);
  if (n <= 20) return std::string(kShortU32);
  const uint32_t field = load_le32(p + 17);
  if (view.tag == LEASE) {
    view.deliveries = field;
    // The trailing fields count only when whole; anything else after the
    // fixed fields is ignored, as every reader of the format does.
    if (n >= LEASE_DETAILS_PAYLOAD_LEN && n - LEASE_DETAILS_PAYLOAD_LEN >= p[33]) {
      view.details = true;
      view.started_ms = load_le64(p + 21);
      view.extensions = load_le32(p + 29);
      view.consumer = std::string_view(reinterpret_cast<const char*>(p + 34), p[33]);
    } else if (n == LEASE_SCHEDULED_PAYLOAD_LEN && p[21] == 1) {
      view.scheduled = true;
    }
    return view;
  }
  if (n - ENQUEUE_PAYLOAD_PREFIX < field) return std::string("short body");
  view.body = payload.subspan(ENQUEUE_PAYLOAD_PREFIX, field);
  return view;
}

uint64_t frame_length(const RecordView& record) {
  switch (record.tag) {
    case ENQUEUE: return ENQUEUE_FRAME_OVERHEAD + record.body.size();
    case LEASE:
      if (record.details) {
        return FRAME_HEADER_LEN + LEASE_DETAILS_PAYLOAD_LEN +
               std::min(record.consumer.size(), MAX_CONSUMER_LEN);
      }
      return record.scheduled ? FRAME_HEADER_LEN + LEASE_SCHEDULED_PAYLOAD_LEN : LEASE_FRAME_LEN;
    case REQUEUE: return REQUEUE_FRAME_LEN;
    case ACK: return ACK_FRAME_LEN;
    case ENQUEUE_WITH_OPTIONS: return record.body_at() + record.body.size();
    case CANCEL: return FRAME_HEADER_LEN + CANCEL_PAYLOAD_LEN;
    case SETTINGS: return FRAME_HEADER_LEN + SETTINGS_PAYLOAD_LEN;
    case KEPT_KEY: return FRAME_HEADER_LEN + KEPT_KEY_FIXED_LEN + record.key.size();
    case OUTCOME:
    case HISTORY:
    case SCHEDULE: return FRAME_HEADER_LEN + record.body.size();
    case DEAD: break;
  }
  return DEAD_FRAME_LEN;
}

void append_frame_to(std::vector<uint8_t>& out, const RecordView& record) {
  if (record.tag == OUTCOME || record.tag == HISTORY || record.tag == SCHEDULE) {
    const size_t start = out.size();
    out.resize(start + FRAME_HEADER_LEN);
    out.insert(out.end(), record.body.begin(), record.body.end());
    seal_frame(std::span<uint8_t>(out).subspan(start));
  } else if (record.tag == ENQUEUE) {
    append_enqueue_frame_to(out, record.seq, record.time_ms, record.body);
  } else if (record.tag == LEASE && record.details) {
    const size_t start = out.size();
    out.resize(start + FRAME_HEADER_LEN);
    put_u8(out, LEASE);
    put_u64(out, record.seq);
    put_u64(out, record.time_ms);
    put_u32(out, record.deliveries);
    put_lease_details(out, record.started_ms, record.extensions, record.consumer);
    seal_frame(std::span<uint8_t>(out).subspan(start));
  } else if (needs_format_2(record.tag) || (record.tag == LEASE && record.scheduled)) {
    const size_t start = out.size();
    out.resize(start + FRAME_HEADER_LEN);
    put_u8(out, record.tag);
    switch (record.tag) {
      case SETTINGS:
        put_u8(out, record.paused ? 1 : 0);
        put_u32(out, record.group_limit);
        break;
      case KEPT_KEY:
        put_u64(out, record.seq);
        put_u64(out, record.time_ms);
        put_u8(out, static_cast<uint8_t>(record.key.size()));
        out.insert(out.end(), record.key.begin(), record.key.end());
        break;
      case ENQUEUE_WITH_OPTIONS: {
        // One resize, then the fields in place: this is every option put's path.
        const size_t at = out.size();
        out.resize(start + record.body_at() + record.body.size());
        uint8_t* p = out.data() + at;
        auto bytes = [&p](const void* data, size_t n) {
          if (n != 0) std::memcpy(p, data, n);
          p += n;
        };
        store_le64(p, record.seq);
        store_le64(p + 8, record.time_ms);
        p[16] = static_cast<uint8_t>(record.priority);
        store_le64(p + 17, record.unique_for_ms);
        p[25] = static_cast<uint8_t>(record.key.size());
        p += 26;
        bytes(record.key.data(), record.key.size());
        *p++ = static_cast<uint8_t>(record.group.size());
        bytes(record.group.data(), record.group.size());
        store_le32(p, static_cast<uint32_t>(record.headers.size()));
        p += 4;
        bytes(record.headers.data(), record.headers.size());
        store_le32(p, static_cast<uint32_t>(record.body.size()));
        p += 4;
        bytes(record.body.data(), record.body.size());
        break;
      }
      case LEASE:  // scheduled
        put_u64(out, record.seq);
        put_u64(out, record.time_ms);
        put_u32(out, record.deliveries);
        put_u8(out, 1);
        break;
      default:  // CANCEL
        put_u64(out, record.seq);
        break;
    }
    seal_frame(std::span<uint8_t>(out).subspan(start));
  } else {
    append_frame_to(out, to_record(record));  // no body: nothing is copied
  }
}

Record to_record(const RecordView& v) {
  switch (v.tag) {
    case ENQUEUE: return EnqueueRecord{v.seq, v.time_ms, {v.body.begin(), v.body.end()}};
    case ACK: return AckRecord{v.seq};
    case LEASE: {
      LeaseRecord lease{v.seq, v.time_ms, v.deliveries};
      if (v.details) lease.details = LeaseDetails{v.started_ms, v.extensions, std::string(v.consumer)};
      lease.scheduled = v.scheduled && !v.details;
      return lease;
    }
    case REQUEUE: return RequeueRecord{v.seq, v.deliveries};
    default: break;
  }
  return DeadRecord{v.seq};
}

std::variant<Record, std::string> decode(std::span<const uint8_t> payload) {
  auto decoded = decode_view(payload);
  if (auto* message = std::get_if<std::string>(&decoded)) return std::move(*message);
  const RecordView& view = std::get<RecordView>(decoded);
  // Format 2's kinds are read as views only (decode_view).
  if (needs_format_2(view.tag)) return "record kind " + std::to_string(view.tag) + " has no owned form";
  return to_record(view);
}

Status write_header(int fd, uint64_t generation, uint32_t format) {
  uint8_t header[LOG_HEADER_LEN];
  const char* magic = format == FORMAT_VERSION_5   ? LOG_MAGIC_5
                      : format == FORMAT_VERSION_4 ? LOG_MAGIC_4
                      : format == FORMAT_VERSION_3 ? LOG_MAGIC_3
                      : format == FORMAT_VERSION_2 ? LOG_MAGIC_2
                                                   : LOG_MAGIC;
  std::memcpy(header, magic, 4);
  const bool known = format >= FORMAT_VERSION_2 && format <= FORMAT_VERSION_5;
  store_le32(header + 4, known ? format : FORMAT_VERSION);
  store_le64(header + 8, generation);
  return sys::write_all(fd, header, sizeof header);
}

}  // namespace tarnwick
