#include "queue/record.h"

#include <algorithm>
#include <cstring>

#include "log_io/crc32.h"
#include "log_io/endian.h"
#include "log_io/frame.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"

namespace tarnwick {
namespace {

void put_u8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }
void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  const size_t at = out.size();
  out.resize(at + 4);
  store_le32(out.data() + at, v);
}
void put_u64(std::vector<uint8_t>& out, uint64_t v) {
  const size_t at = out.size();
  out.resize(at + 8);
  store_le64(out.data() + at, v);
}

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
      if (!lease.details) return LEASE_PAYLOAD_LEN;
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

std::variant<RecordView, std::string> decode_view(std::span<const uint8_t> payload) {
  if (payload.empty()) return std::string("empty record");
  const uint8_t tag = payload[0];
  if (tag < ENQUEUE || tag > DEAD) return "unknown record type " + std::to_string(tag);
  const size_t n = payload.size();
  const uint8_t* p = payload.data();
  RecordView view{static_cast<RecordTag>(tag), 0, 0, 0, {}};
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
    case LEASE:
    case ENQUEUE:
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
      return record.details ? FRAME_HEADER_LEN + LEASE_DETAILS_PAYLOAD_LEN +
                                  std::min(record.consumer.size(), MAX_CONSUMER_LEN)
                            : LEASE_FRAME_LEN;
    case REQUEUE: return REQUEUE_FRAME_LEN;
    case ACK: return ACK_FRAME_LEN;
    case DEAD: break;
  }
  return DEAD_FRAME_LEN;
}

void append_frame_to(std::vector<uint8_t>& out, const RecordView& record) {
  if (record.tag == ENQUEUE) {
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
      return lease;
    }
    case REQUEUE: return RequeueRecord{v.seq, v.deliveries};
    case DEAD: break;
  }
  return DeadRecord{v.seq};
}

std::variant<Record, std::string> decode(std::span<const uint8_t> payload) {
  auto decoded = decode_view(payload);
  if (auto* message = std::get_if<std::string>(&decoded)) return std::move(*message);
  return to_record(std::get<RecordView>(decoded));
}

Status write_header(int fd, uint64_t generation) {
  uint8_t header[LOG_HEADER_LEN];
  std::memcpy(header, LOG_MAGIC, 4);
  store_le32(header + 4, FORMAT_VERSION);
  store_le64(header + 8, generation);
  return sys::write_all(fd, header, sizeof header);
}

}  // namespace tarnwick
