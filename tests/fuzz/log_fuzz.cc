// Feeds arbitrary bytes to the frame reader, the decoder, recovery and an
// open of a queue on them. Any crash, leak, sanitizer report or broken
// invariant is a finding. The invariants of recovery: it never invents a
// message (every live message is an ENQUEUE frame of the input that checks,
// at the offset its state names); a clean log is replayed exactly; after an
// open, which repairs, the log verifies clean, opens again with nothing to
// repair and holds the same messages.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "log_io/buffered_io.h"
#include "log_io/crc32.h"
#include "log_io/endian.h"
#include "log_io/frame.h"
#include "queue/queue.h"
#include "queue/queue_impl.h"
#include "queue/recover.h"
#include "queue/schedule_record.h"

using namespace tarnwick;

namespace {

const std::string& scratch_dir() {
  static std::string path = [] {
    char dir[] = "/tmp/tarnwick-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    return std::string(dir);
  }();
  return path;
}

// Every ready message stands in exactly one place (priority 0 without a
// group: `ready`; another priority: its level; a group: the group's ready
// set, its head also in a level while the group is under its limit), each
// group counts its leases, and the live bytes add up.
void check_state(const QueueState& state) {
  uint64_t live = 0;
  uint64_t placed = 0;
  std::map<uint32_t, uint32_t> leased;
  for (const auto& [seq, entry] : state.messages) {
    if (seq >= state.next_seq) abort();
    const MessageOptions* o = state.options_of(seq);
    live += entry.body_len + (o != nullptr ? o->frame_overhead : 33);
    const bool in_flight = state.in_flight.contains(seq);
    if (state.is_scheduled(seq) && !in_flight) abort();
    const int priority = o != nullptr ? o->priority : 0;
    const uint32_t group = o != nullptr ? o->group : 0;
    auto level = state.levels.find(priority);
    const bool in_level =
        priority == 0 ? state.ready.contains(seq)
                      : level != state.levels.end() && level->second.contains(seq);
    if (group == 0) {
      if (in_flight == in_level) abort();
    } else {
      const GroupEntry& g = state.groups.at(group);
      if (in_flight == g.ready.contains(seq)) abort();
      if (in_level != (g.stands && g.standing == seq)) abort();
      if (in_flight && !state.is_scheduled(seq)) ++leased[group];
    }
    placed += in_level ? 1 : 0;
  }
  for (const auto& [id, g] : state.groups) {
    if (g.leased != leased[id]) abort();
    if (g.stands != (!g.ready.empty() && g.leased < state.group_limit)) abort();
    if (g.stands && g.standing != *g.ready.begin()) abort();
  }
  uint64_t in_levels = state.ready.size();
  for (const auto& [priority, seqs] : state.levels) {
    if (seqs.empty() || priority == 0) abort();
    in_levels += seqs.size();
  }
  if (in_levels != placed) abort();
  if (live != state.live_bytes) abort();
}

// Whether data holds, at `frame`, an ENQUEUE frame of `seq` with a body of
// `body_len` bytes that checks.
bool enqueue_frame_at(const uint8_t* data, size_t size, uint64_t frame, uint64_t seq,
                      uint32_t body_len, uint64_t overhead = 33) {
  if (frame > size || size - frame < overhead + uint64_t{body_len}) return false;
  const uint8_t* p = data + frame;
  if (std::memcmp(p, "TWR1", 4) != 0) return false;
  const uint32_t length = load_le32(p + 4);
  if (length < 21 || length > size - frame - 12) return false;
  if (crc32(p + 12, length) != load_le32(p + 8)) return false;
  if (overhead != 33) {
    // With options: the body ends its payload, after its length.
    return p[12] == ENQUEUE_WITH_OPTIONS && load_le64(p + 13) == seq &&
           length == overhead - 12 + body_len && load_le32(p + overhead - 4) == body_len;
  }
  return p[12] == ENQUEUE && load_le64(p + 13) == seq && load_le32(p + 29) == body_len;
}

// A message a schedule change put: its body lies in an intact SCHEDULE
// frame of the bytes, as that change's put of `seq`.
bool scheduled_put_at(const uint8_t* data, size_t size, uint64_t body_at, uint64_t seq,
                      uint32_t body_len) {
  for (uint64_t frame = std::min<uint64_t>(body_at, size); frame-- > 16;) {
    const uint8_t* p = data + frame;
    if (size - frame < 13 || std::memcmp(p, "TWR1", 4) != 0 || p[12] != SCHEDULE) continue;
    const uint32_t length = load_le32(p + 4);
    if (length > size - frame - 12 || crc32(p + 12, length) != load_le32(p + 8)) continue;
    auto fields = decode_schedule(std::span<const uint8_t>(p + 12, length));
    if (!fields) continue;
    for (const SchedulePutFields& put : fields->puts) {
      if (put.seq == seq && frame + 12 + put.body_at == body_at && put.body.size() == body_len) {
        return true;
      }
    }
  }
  return false;
}

using Messages = std::map<uint64_t, std::vector<uint8_t>>;

Messages messages_of(Queue& queue) {
  Messages out;
  QueueImpl& q = queue.impl();
  auto done = q.locked(QueueImpl::Prep::kNone, [&]() -> Status {
    for (const auto& [seq, entry] : q.inner.state.messages) {
      TW_ASSIGN_OR_RETURN(ByteSpan body, q.body_of(entry));
      out[seq].assign(body.begin(), body.end());
    }
    return {};
  });
  if (!done.ok()) abort();
  return out;
}

void empty_directory(const std::string& dir) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The frame reader and decoder over bytes in memory, as catch-up reads them.
  MemoryReader reader(std::span<const uint8_t>(data, size));
  QueueState replayed;
  uint64_t offset = 16;
  bool clean = true;
  for (;;) {
    auto frame = read_record_frame(reader);
    if (!frame.ok() || frame.value().kind != FrameRead::kFrame) {
      clean = frame.ok() && frame.value().kind == FrameRead::kEof;
      break;
    }
    auto decoded = decode_view(frame.value().payload);
    if (!std::holds_alternative<RecordView>(decoded)) {
      clean = false;
      break;
    }
    replayed.apply(std::get<RecordView>(decoded), offset);
    offset += frame.value().frame_len;
  }
  check_state(replayed);

  // Recovery of the same bytes as a whole log file.
  const std::string& dir = scratch_dir();
  empty_directory(dir);
  const std::string path = dir + "/queue.log";
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  fclose(f);
  auto recovered = recover(path);
  if (!recovered.ok()) return 0;
  const QueueState& state = recovered.value().state;
  check_state(state);
  for (const auto& [seq, entry] : state.messages) {
    const MessageOptions* o = state.options_of(seq);
    const uint64_t overhead = o != nullptr ? o->frame_overhead : 33;
    if (!enqueue_frame_at(data, size, entry.body_offset - overhead, seq, entry.body_len, overhead) &&
        !scheduled_put_at(data, size, entry.body_offset, seq, entry.body_len)) {
      abort();
    }
  }
  const bool header_ok =
      size >= 16 && (std::memcmp(data, "TWFL", 4) == 0 || std::memcmp(data, "TWF2", 4) == 0);
  if (header_ok && clean) {
    if (recovered.value().report.cut_tail || recovered.value().rewrite) abort();
    if (state.messages.size() != replayed.messages.size()) abort();
  }

  if (!recovered.value().rewrite) {
    // A cut log now reads back cleanly to the same end.
    auto again = recover(path);
    if (!again.ok() || again.value().end_offset != recovered.value().end_offset) abort();
    if (again.value().report.cut_tail || again.value().rewrite) abort();
    return 0;
  }

  // Damage in the middle: an open repairs the log for good. It verifies
  // clean and opens again with nothing to repair, to the same messages.
  Messages first;
  {
    auto opened = Queue::open(dir, Settings{});
    if (!opened.ok()) return 0;
    auto verified = opened.value()->verify_integrity();
    if (!verified.ok() || !verified.value().ok) abort();
    first = messages_of(*opened.value());
    if (first.size() != state.messages.size()) abort();
  }
  auto again = Queue::open(dir, Settings{});
  if (!again.ok() || again.value()->last_repair()) abort();
  if (messages_of(*again.value()) != first) abort();
  return 0;
}
