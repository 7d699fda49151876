#include "queue/dead_letter_entry.h"

#include <cstring>

#include "log_io/endian.h"

namespace tarnwick {
namespace {

constexpr char kMagic[4] = {'T', 'W', 'D', 'L'};

}  // namespace

void encode_dead_letter(const DeadLetterFields& fields, std::vector<uint8_t>& out) {
  const size_t start = out.size();
  out.resize(start + kDeadLetterHeaderLen);
  uint8_t* p = out.data() + start;
  std::memcpy(p, kMagic, 4);
  p[4] = kDeadLetterVersion;
  store_le64(p + 5, fields.original_seq);
  store_le32(p + 13, fields.deliveries);
  store_le64(p + 17, fields.enqueued_ts_ms);
  store_le64(p + 25, fields.died_ts_ms);
  store_le32(p + 33, static_cast<uint32_t>(fields.reason.size()));
  out.insert(out.end(), fields.reason.begin(), fields.reason.end());
  out.insert(out.end(), fields.body.begin(), fields.body.end());
}

std::optional<DeadLetterFields> decode_dead_letter(std::span<const uint8_t> entry) {
  if (entry.size() < kDeadLetterHeaderLen) return std::nullopt;
  const uint8_t* p = entry.data();
  if (std::memcmp(p, kMagic, 4) != 0 || p[4] != kDeadLetterVersion) return std::nullopt;
  const uint32_t reason_len = load_le32(p + 33);
  if (reason_len > entry.size() - kDeadLetterHeaderLen) return std::nullopt;
  DeadLetterFields fields;
  fields.original_seq = load_le64(p + 5);
  fields.deliveries = load_le32(p + 13);
  fields.enqueued_ts_ms = load_le64(p + 17);
  fields.died_ts_ms = load_le64(p + 25);
  fields.reason = entry.subspan(kDeadLetterHeaderLen, reason_len);
  fields.body = entry.subspan(kDeadLetterHeaderLen + reason_len);
  return fields;
}

}  // namespace tarnwick
