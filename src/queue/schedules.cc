// JobQueue's schedules: named states changed by compare-and-set, each change
// written with the messages it puts as one SCHEDULE record (schedule_record.h).
#include <algorithm>
#include <string>
#include <unordered_map>

#include "log_io/clock.h"
#include "log_io/log_format.h"
#include "queue/job_queue.h"
#include "queue/job_queue_parts.h"
#include "queue/schedule_record.h"

namespace tarnwick {
namespace {

using jobs::Prep;
using jobs::Sync;

bool same_bytes(const std::vector<uint8_t>& held, ByteSpan given) {
  return held.size() == given.size() &&
         (given.empty() || std::equal(held.begin(), held.end(), given.begin()));
}

// What put() refuses, and what one frame cannot hold.
Status check_change(std::string_view name, std::optional<ByteSpan> next,
                    std::span<const SchedulePut> puts) {
  if (name.empty() || name.size() > MAX_SCHEDULE_NAME_LEN) {
    return Error::invalid_data("a schedule name is 1 to 200 bytes");
  }
  if (name.find('\0') != std::string_view::npos) {
    return Error::invalid_data("a schedule name holds no NUL");
  }
  if (next && next->size() > MAX_SCHEDULE_STATE_LEN) {
    return Error::invalid_data("a schedule's state is at most 256 KiB");
  }
  uint64_t total = 0;
  for (const SchedulePut& p : puts) {
    const PutOptions& o = p.options;
    if (o.priority < -100 || o.priority > 100) {
      return Error::invalid_data("priority must be from -100 to 100");
    }
    if (o.key.size() > MAX_KEY_LEN || o.group.size() > MAX_GROUP_LEN) {
      return Error::invalid_data("a key or group is at most 255 bytes");
    }
    if (p.body.size() + o.headers.size() + 600 > MAX_RECORD_LEN) {
      return oversized_body(p.body.size() + o.headers.size());
    }
    total += p.body.size() + o.headers.size() + 600;
    if (total > MAX_RECORD_LEN) {
      return Error::invalid_data("the messages of one schedule change are at most 512 MiB together");
    }
  }
  return {};
}

}  // namespace

Result<std::optional<std::vector<uint64_t>>> JobQueue::change_schedule(
    std::string_view name, std::optional<ByteSpan> expected, std::optional<ByteSpan> next,
    std::span<const SchedulePut> puts) {
  using Changed = std::optional<std::vector<uint64_t>>;
  TW_TRY(check_change(name, next, puts));
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<Changed> {
    const QueueState& state = q.state();
    auto found = state.schedules.find(name);
    const bool held = found != state.schedules.end();
    if (held != expected.has_value() || (held && !same_bytes(found->second, *expected))) {
      return Changed();
    }
    const uint64_t now = now_ms();
    std::vector<uint64_t> ids;
    ids.reserve(puts.size());
    ScheduleFields fields;
    fields.name = name;
    fields.state = next;
    // The keys this change puts, so that a second put of one gets the first's id.
    std::unordered_map<std::string_view, uint64_t> putting;
    for (const SchedulePut& p : puts) {
      const PutOptions& o = p.options;
      if (!o.key.empty()) {
        if (auto mine = putting.find(o.key); mine != putting.end()) {
          ids.push_back(mine->second);
          continue;
        }
        if (auto holder = state.key_holder(std::string(o.key), now)) {
          ids.push_back(*holder);
          continue;
        }
      }
      TW_TRY(check_ids_left(state, fields.puts.size() + 1));
      const uint64_t seq = state.next_seq + fields.puts.size();
      SchedulePutFields& f = fields.puts.emplace_back();
      f.seq = seq;
      f.enqueued_ms = now;
      f.priority = o.priority;
      f.unique_for_ms = o.unique_for_ms;
      f.key = o.key;
      f.group = o.group;
      f.headers = o.headers;
      f.body = p.body;
      if (!o.key.empty()) putting.emplace(o.key, seq);
      ids.push_back(seq);
    }
    const bool same_state = held == next.has_value() && (!held || same_bytes(found->second, *next));
    if (same_state && fields.puts.empty()) return Changed(std::move(ids));
    std::vector<uint8_t> payload;
    payload.reserve(static_cast<size_t>(
        schedule_payload_size(name, next ? std::optional<size_t>(next->size()) : std::nullopt,
                              fields.puts)));
    encode_schedule(fields, payload);
    const RecordView record = RecordView::encoded(
        SCHEDULE, fields.puts.empty() ? 0 : fields.puts.front().seq, payload);
    TW_TRY(q.commit(record, Sync::kInterval));
    TW_TRY(q.maybe_compact());
    return Changed(std::move(ids));
  });
}

Result<ScheduleStates> JobQueue::schedules() {
  QueueImpl& q = *main_;
  return q.locked(Prep::kCatchUp, [&]() -> Result<ScheduleStates> {
    ScheduleStates out;
    for (const auto& [name, state] : q.state().schedules) out.emplace_back(name, state);
    return out;
  });
}

}  // namespace tarnwick
