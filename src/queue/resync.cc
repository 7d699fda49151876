// Finding intact frames after damage, which tells damage in the middle of a
// log (bit rot, a bad sector, a stray write) from a torn tail (a crash in the
// middle of an append leaves a partial last frame and nothing after it).
//
// A frame found after damage must look exactly like one this code writes:
// the frame magic, the payload length its record kind has, a matching CRC
// (a chance match is about 2^-32 per place looked at) and a record that
// continues the replay plausibly (below). The scan looks at each byte once
// for the frame magic and checks a CRC only where the magic and the length
// agree, so its work grows with the damaged region, not with its square,
// unless the region is full of frame headers that all check up to the CRC.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "log_io/crc32.h"
#include "log_io/sys.h"
#include "queue/replay.h"

namespace tarnwick {

Result<size_t> FileLog::read_at(uint64_t offset, uint8_t* out, size_t n) const {
  size_t have = 0;
  while (have < n && offset + have < size_) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(n - have, size_ - offset - have));
    TW_ASSIGN_OR_RETURN(size_t got, sys::pread(fd_, out + have, want, offset + have));
    if (got == 0) break;
    have += got;
  }
  return have;
}

Status FileLog::start_at(uint64_t offset) {
  TW_TRY(sys::lseek(fd_, static_cast<int64_t>(offset), SEEK_SET));
  reader_.emplace(fd_);
  return {};
}

Result<size_t> MemoryLog::read_at(uint64_t offset, uint8_t* out, size_t n) const {
  if (offset < base_ || offset >= end()) return size_t{0};
  const size_t at = static_cast<size_t>(offset - base_);
  const size_t got = std::min(n, bytes_.size() - at);
  std::memcpy(out, bytes_.data() + at, got);
  return got;
}

Status MemoryLog::start_at(uint64_t offset) {
  const size_t at = static_cast<size_t>(std::min(offset, end()) - base_);
  reader_.emplace(bytes_.subspan(at));
  return {};
}

namespace {

using Found = std::optional<uint64_t>;

constexpr size_t kScanChunk = size_t{64} << 10;
// What written_length() needs of a payload: an ENQUEUE's fixed fields, or a
// LEASE's with its trailing fields up to the consumer's length.
constexpr size_t kPrefixBytes = std::max<size_t>(ENQUEUE_PAYLOAD_PREFIX, LEASE_DETAILS_PAYLOAD_LEN);

// written_length() of a kind whose length only a decode of the whole payload tells.
constexpr uint64_t kDecodeToTell = UINT64_MAX;

// The payload length this code writes for a record of kind `tag` whose
// payload begins with `prefix` (at least kPrefixBytes bytes, or fewer when
// the payload or the log ends sooner); 0 for anything it never writes.
uint64_t written_length(const uint8_t* prefix, size_t have) {
  if (have >= SETTINGS_PAYLOAD_LEN && prefix[0] == SETTINGS) return SETTINGS_PAYLOAD_LEN;
  if (have < 9) return 0;
  switch (prefix[0]) {
    case CANCEL: return CANCEL_PAYLOAD_LEN;
    case KEPT_KEY: return have >= KEPT_KEY_FIXED_LEN ? KEPT_KEY_FIXED_LEN + prefix[17] : 0;
    case ENQUEUE_WITH_OPTIONS:
    case OUTCOME:
    case HISTORY:
    case SCHEDULE: return kDecodeToTell;
    case ACK:
    case DEAD: return 9;
    case REQUEUE: return 13;
    case LEASE:
      // With the trailing fields, their consumer's length tells the rest.
      if (have >= LEASE_DETAILS_PAYLOAD_LEN && prefix[33] <= MAX_CONSUMER_LEN) {
        return LEASE_DETAILS_PAYLOAD_LEN + prefix[33];
      }
      return have == LEASE_SCHEDULED_PAYLOAD_LEN && prefix[21] == 1 ? LEASE_SCHEDULED_PAYLOAD_LEN
                                                                    : LEASE_PAYLOAD_LEN;
    case ENQUEUE:
      if (have < ENQUEUE_PAYLOAD_PREFIX) return 0;
      return ENQUEUE_PAYLOAD_PREFIX + load_le32(prefix + 17);
    default: return 0;
  }
}

// A record after damage continues the replay when it is a new message (the
// seqs of ENQUEUEs only grow within a log), or names a live one, or names a
// seq past every ENQUEUE replayed (its ENQUEUE was in the damage). A record
// about a message already removed is not what this code writes.
bool continues(const QueueState& state, uint8_t tag, uint64_t seq) {
  // The settings name no message; a kept key names one that has left.
  // An outcome may name a message that left long ago (a compacted log keeps
  // it); a schedule's state names none, and its whole payload is decoded
  // before it counts.
  if (tag == SETTINGS || tag == KEPT_KEY || tag == OUTCOME || tag == SCHEDULE) return true;
  const bool unseen = seq >= state.next_seq && !state.seq_exhausted;
  if (tag == ENQUEUE || tag == ENQUEUE_WITH_OPTIONS) return unseen;
  return unseen || state.messages.contains(seq);
}

// The CRC of log[offset, offset + length), read in chunks, going on from
// `crc`, the CRC of the bytes before them.
Result<uint32_t> crc_of(const LogBytes& log, uint64_t offset, uint64_t length,
                        std::vector<uint8_t>& chunk, uint32_t crc = 0) {
  while (length > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(length, kScanChunk));
    chunk.resize(want);
    TW_ASSIGN_OR_RETURN(size_t got, log.read_at(offset, chunk.data(), want));
    if (got != want) return crc;  // the caller checked the length fits: not reached
    crc = crc32_extend(crc, chunk.data(), got);
    offset += got;
    length -= got;
  }
  return crc;
}

struct FrameHead {
  bool magic = false;
  uint64_t length = 0;  // payload bytes announced
  uint32_t crc = 0;
};

Result<FrameHead> head_at(const LogBytes& log, uint64_t offset) {
  uint8_t head[FRAME_HEADER_LEN];
  TW_ASSIGN_OR_RETURN(size_t got, log.read_at(offset, head, sizeof head));
  FrameHead out;
  if (got < FRAME_HEADER_LEN) return out;
  out.magic = std::memcmp(head, FRAME_MAGIC, 4) == 0;
  out.length = load_le32(head + 4);
  out.crc = load_le32(head + 8);
  return out;
}

// Whether a frame this code could have written begins at `offset`, checks,
// and continues the replay.
Result<bool> frame_resumes_at(const LogBytes& log, uint64_t offset, const QueueState& state,
                              std::vector<uint8_t>& chunk) {
  if (offset > log.end() || log.end() - offset < FRAME_HEADER_LEN) return false;
  TW_ASSIGN_OR_RETURN(FrameHead head, head_at(log, offset));
  if (!head.magic || head.length > MAX_RECORD_LEN ||
      head.length > log.end() - offset - FRAME_HEADER_LEN) {
    return false;
  }
  uint8_t prefix[kPrefixBytes];
  TW_ASSIGN_OR_RETURN(size_t have,
                      log.read_at(offset + FRAME_HEADER_LEN, prefix,
                                  static_cast<size_t>(std::min<uint64_t>(head.length, sizeof prefix))));
  const uint64_t expected = written_length(prefix, have);
  if (expected == 0 || (expected != kDecodeToTell && expected != head.length)) return false;
  if (!continues(state, prefix[0], have >= 9 ? load_le64(prefix + 1) : 0)) return false;
  if (expected == kDecodeToTell) {
    // Read whole: it must decode and fill its payload exactly.
    std::vector<uint8_t> payload(static_cast<size_t>(head.length));
    TW_ASSIGN_OR_RETURN(size_t got, log.read_at(offset + FRAME_HEADER_LEN, payload.data(),
                                                payload.size()));
    if (got != payload.size() || crc32(payload.data(), payload.size()) != head.crc) return false;
    auto decoded = decode_view(payload);
    const auto* view = std::get_if<RecordView>(&decoded);
    return view != nullptr && frame_length(*view) == FRAME_HEADER_LEN + head.length;
  }
  TW_ASSIGN_OR_RETURN(uint32_t crc, crc_of(log, offset + FRAME_HEADER_LEN, head.length, chunk));
  return crc == head.crc;
}

// Where the run of frames that check, from `offset` on, ends.
Result<uint64_t> run_end(const LogBytes& log, uint64_t offset, std::vector<uint8_t>& chunk) {
  while (offset < log.end()) {
    if (log.end() - offset < FRAME_HEADER_LEN) return offset;
    TW_ASSIGN_OR_RETURN(FrameHead head, head_at(log, offset));
    if (!head.magic || head.length > MAX_RECORD_LEN ||
        head.length > log.end() - offset - FRAME_HEADER_LEN) {
      return offset;
    }
    TW_ASSIGN_OR_RETURN(uint32_t crc, crc_of(log, offset + FRAME_HEADER_LEN, head.length, chunk));
    if (crc != head.crc) return offset;
    offset += FRAME_HEADER_LEN + head.length;
  }
  return offset;
}

// The first offset at or after `from` where the frame magic stands.
Result<std::optional<uint64_t>> next_magic(const LogBytes& log, uint64_t from,
                                           std::vector<uint8_t>& window) {
  while (from < log.end()) {
    window.resize(kScanChunk + 3);
    TW_ASSIGN_OR_RETURN(size_t got, log.read_at(from, window.data(), window.size()));
    if (got < 4) return Found();
    const auto* found = static_cast<const uint8_t*>(::memmem(window.data(), got, FRAME_MAGIC, 4));
    if (found != nullptr) return Found(from + static_cast<uint64_t>(found - window.data()));
    from += got - 3;  // a magic may straddle the window's end
  }
  return Found();
}

}  // namespace

Result<bool> zeros_from(const LogBytes& log, uint64_t offset) {
  std::vector<uint8_t> chunk(kScanChunk);
  while (offset < log.end()) {
    TW_ASSIGN_OR_RETURN(size_t got, log.read_at(offset, chunk.data(), chunk.size()));
    if (got == 0) return false;  // shorter than it said: not known to be zeros
    if (std::any_of(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got),
                    [](uint8_t b) { return b != 0; })) {
      return false;
    }
    offset += got;
  }
  return true;
}

Result<std::optional<uint64_t>> find_next_frame(const LogBytes& log, uint64_t damaged_at,
                                                const QueueState& state) {
  std::vector<uint8_t> chunk;
  std::vector<uint8_t> window;
  // A damaged frame whose header was read whole most likely says where the
  // next frame is: its payload, CRC or magic was hit, not its length.
  bool torn_append = false;
  TW_ASSIGN_OR_RETURN(FrameHead head, head_at(log, damaged_at));
  if (log.end() - damaged_at >= FRAME_HEADER_LEN && head.length <= MAX_RECORD_LEN) {
    const uint64_t payload_at = damaged_at + FRAME_HEADER_LEN;
    const uint64_t next = payload_at + head.length;
    if (next == log.end()) return Found();  // the last frame, by its own length
    if (next < log.end()) {
      TW_ASSIGN_OR_RETURN(bool resumes, frame_resumes_at(log, next, state, chunk));
      if (resumes) {
        // Unless the length was hit and points past intact frames: a frame
        // that begins where the damaged frame's own CRC says its payload
        // ends is the next one. The CRC of the payload so far is carried
        // along, so that this stays one pass over the damaged frame.
        uint32_t crc_so_far = 0;
        uint64_t crc_end = payload_at;
        for (uint64_t from = payload_at; from < next;) {
          TW_ASSIGN_OR_RETURN(std::optional<uint64_t> at, next_magic(log, from, window));
          if (!at || *at >= next) break;
          TW_ASSIGN_OR_RETURN(bool also, frame_resumes_at(log, *at, state, chunk));
          if (also) {
            TW_ASSIGN_OR_RETURN(crc_so_far,
                                crc_of(log, crc_end, *at - crc_end, chunk, crc_so_far));
            crc_end = *at;
            if (crc_so_far == head.crc) return at;
          }
          from = *at + 1;
        }
        return Found(next);
      }
    } else {
      // Announced past the end: what a crash in the middle of an append
      // leaves, whose partial payload may well hold frames of its own (a
      // body may be anything). Frames found in it count only when they run
      // on to the end of the log.
      torn_append = head.magic;
    }
  }
  uint64_t from = damaged_at + 1;
  for (;;) {
    TW_ASSIGN_OR_RETURN(std::optional<uint64_t> at, next_magic(log, from, window));
    if (!at) return Found();
    TW_ASSIGN_OR_RETURN(bool resumes, frame_resumes_at(log, *at, state, chunk));
    if (!resumes) {
      from = *at + 1;
      continue;
    }
    if (!torn_append) return at;
    TW_ASSIGN_OR_RETURN(uint64_t end, run_end(log, *at, chunk));
    if (end == log.end()) return at;
    from = end + 1;  // the frames inside the run were looked at with it
  }
}

}  // namespace tarnwick
