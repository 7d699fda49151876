// Replaying a log's frames: the one loop that recovery, catch-up and
// verification share. It reads frames from a position, checks each frame's
// magic, length and CRC, decodes its payload and applies every intact record
// to a state. At damage it looks further on for a frame that checks
// (resync.cc): damage with intact frames after it lies in the middle of the
// log, damage without is a torn tail. What to do about either is the caller's.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "log_io/buffered_io.h"
#include "log_io/endian.h"
#include "log_io/error.h"
#include "log_io/frame.h"
#include "log_io/log_format.h"
#include "queue/queue.h"
#include "queue/queue_state.h"
#include "queue/record.h"

namespace tarnwick {

// The format (1 to 5, by the magic) a log header names, or 0 when it has
// none of the magics.
inline uint32_t log_format(const uint8_t (&header)[LOG_HEADER_LEN]) {
  if (std::memcmp(header, LOG_MAGIC, 4) == 0) return FORMAT_VERSION;
  if (std::memcmp(header, LOG_MAGIC_2, 4) == 0) return FORMAT_VERSION_2;
  if (std::memcmp(header, LOG_MAGIC_3, 4) == 0) return FORMAT_VERSION_3;
  if (std::memcmp(header, LOG_MAGIC_4, 4) == 0) return FORMAT_VERSION_4;
  if (std::memcmp(header, LOG_MAGIC_5, 4) == 0) return FORMAT_VERSION_5;
  return 0;
}

// The generation a log header names, or nothing when it lacks a log magic.
inline std::optional<uint64_t> log_generation(const uint8_t (&header)[LOG_HEADER_LEN]) {
  if (log_format(header) == 0) return std::nullopt;
  return load_le64(header + 8);
}

// A log's bytes up to its end, read frame by frame from a position, or
// anywhere (for the resync scan).
class LogBytes {
 public:
  virtual uint64_t end() const = 0;  // offset just past the last byte
  // Reads up to n bytes at `offset`; fewer only at the end.
  virtual Result<size_t> read_at(uint64_t offset, uint8_t* out, size_t n) const = 0;

 protected:
  ~LogBytes() = default;
};

// A log file open for reading, of a size known not to change meanwhile.
class FileLog final : public LogBytes {
 public:
  FileLog(int fd, uint64_t size) : fd_(fd), size_(size) {}
  uint64_t end() const override { return size_; }
  Result<size_t> read_at(uint64_t offset, uint8_t* out, size_t n) const override;
  Status start_at(uint64_t offset);
  Result<FrameRead> next_frame() { return read_record_frame(*reader_); }

 private:
  int fd_;
  uint64_t size_;
  std::optional<BufferedReader> reader_;
};

// Bytes of a log already in memory, which begin at file offset `base`.
class MemoryLog final : public LogBytes {
 public:
  MemoryLog(std::span<const uint8_t> bytes, uint64_t base) : bytes_(bytes), base_(base) {}
  uint64_t end() const override { return base_ + bytes_.size(); }
  Result<size_t> read_at(uint64_t offset, uint8_t* out, size_t n) const override;
  Status start_at(uint64_t offset);
  Result<FrameRead> next_frame() { return read_record_frame(*reader_); }

 private:
  std::span<const uint8_t> bytes_;
  uint64_t base_;
  std::optional<MemoryReader> reader_;
};

// Where intact frames go on after damage at `damaged_at`, or nothing when
// none does (a torn tail). `state` is the replay so far: a frame found by
// scanning must continue it plausibly.
Result<std::optional<uint64_t>> find_next_frame(const LogBytes& log, uint64_t damaged_at,
                                                const QueueState& state);

// Whether every byte of `log` from `offset` to its end is zero: where a
// preallocated log ends.
Result<bool> zeros_from(const LogBytes& log, uint64_t offset);

struct Replayed {
  uint64_t end = 0;     // just past the last intact frame replayed
  uint64_t frames = 0;  // intact frames replayed
  uint64_t frames_before_damage = 0;
  std::vector<DamagedRange> skipped;  // damage with an intact frame after it
  std::optional<DamagedRange> tail;   // damage with no intact frame after it
  bool tail_undecodable = false;      // the tail is an intact frame that does not decode
  uint64_t orphan_records = 0;        // see RepairReport
  bool damaged() const { return !skipped.empty() || tail.has_value(); }
};

// What the replay does with an intact frame whose payload does not decode:
// take it as damage, or count it and go on (a check of framing alone).
enum class Undecodable : uint8_t { kDamage, kSkip };
// Whether the replay goes on after damage with intact frames after it, or
// stops there (having found out that it is not a tail).
enum class AfterDamage : uint8_t { kResync, kStop };

// Replays the frames of `log` from `offset` into `state` (bodies stay in the
// log). With `zeros_end`, a log that is zero from some frame's place to its
// end ends there cleanly (a preallocated log).
template <class Log>
Result<Replayed> replay_frames(Log& log, uint64_t offset, Undecodable undecodable,
                               AfterDamage after, QueueState& state, bool zeros_end = false) {
  Replayed out;
  out.end = offset;
  TW_TRY(log.start_at(offset));
  for (;;) {
    TW_ASSIGN_OR_RETURN(FrameRead frame, log.next_frame());
    if (frame.kind == FrameRead::kEof) break;
    std::string damage;
    bool payload_damage = false;
    if (frame.kind == FrameRead::kFrame) {
      auto decoded = decode_view(frame.payload);
      if (const auto* view = std::get_if<RecordView>(&decoded)) {
        if (!out.skipped.empty() && view->tag != ENQUEUE && view->tag != ENQUEUE_WITH_OPTIONS &&
            view->tag != SETTINGS && view->tag != KEPT_KEY && view->tag != OUTCOME &&
            view->tag != SCHEDULE && !state.messages.contains(view->seq)) {
          ++out.orphan_records;
        }
        state.apply(*view, out.end);
      }
      if (std::holds_alternative<RecordView>(decoded) || undecodable == Undecodable::kSkip) {
        out.end += frame.frame_len;
        ++out.frames;
        continue;
      }
      damage = std::move(std::get<std::string>(decoded));
      payload_damage = true;
    } else {
      damage = std::move(frame.message);
    }
    if (zeros_end) {
      TW_ASSIGN_OR_RETURN(bool end, zeros_from(log, out.end));
      if (end) break;
    }
    if (!out.damaged()) out.frames_before_damage = out.frames;
    TW_ASSIGN_OR_RETURN(std::optional<uint64_t> next, find_next_frame(log, out.end, state));
    if (!next) {
      out.tail = DamagedRange{out.end, log.end() - out.end, std::move(damage)};
      out.tail_undecodable = payload_damage;
      return out;
    }
    out.skipped.push_back(DamagedRange{out.end, *next - out.end, std::move(damage)});
    if (after == AfterDamage::kStop) return out;
    out.end = *next;
    TW_TRY(log.start_at(*next));
  }
  if (!out.damaged()) out.frames_before_damage = out.frames;
  return out;
}

}  // namespace tarnwick
