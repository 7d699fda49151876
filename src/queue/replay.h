// Replaying a log's frames: the one loop that recovery, catch-up and
// verification share. It reads frames from the reader's position, checks
// each frame's magic, length and CRC and decodes its payload, hands every
// intact record to the caller, and stops at the first damage, which it
// reports; what to make of the records and of damage is the caller's.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "log_io/endian.h"
#include "log_io/error.h"
#include "log_io/frame.h"
#include "log_io/log_format.h"
#include "queue/record.h"

namespace tarnwick {

// The generation a log header names, or nothing when it lacks the log magic.
inline std::optional<uint64_t> log_generation(const uint8_t (&header)[LOG_HEADER_LEN]) {
  if (std::memcmp(header, LOG_MAGIC, 4) != 0) return std::nullopt;
  return load_le64(header + 8);
}

struct Replayed {
  uint64_t end = 0;     // just past the last intact frame
  uint64_t frames = 0;  // intact frames read
  bool damaged = false;
  bool undecodable = false;  // the damage is an intact frame whose payload does not decode
  std::string damage;        // what is wrong, when damaged
};

// What the replay does with an intact frame whose payload does not decode:
// stop there as at damage, or count it and go on (a check of framing alone).
enum class Undecodable : uint8_t { kDamage, kSkip };

// `offset` is where the reader stands in the log; `on_record(view, offset)`
// receives each record with its frame's offset. The view borrows the frame
// and is valid only during the call.
template <class Reader, class OnRecord>
Result<Replayed> replay_frames(Reader& reader, uint64_t offset, Undecodable undecodable,
                               OnRecord&& on_record) {
  Replayed out;
  out.end = offset;
  for (;;) {
    TW_ASSIGN_OR_RETURN(FrameRead frame, read_record_frame(reader));
    if (frame.kind == FrameRead::kEof) return out;
    if (frame.kind == FrameRead::kCorrupt) {
      out.damaged = true;
      out.damage = std::move(frame.message);
      return out;
    }
    auto decoded = decode_view(frame.payload);
    if (auto* message = std::get_if<std::string>(&decoded)) {
      if (undecodable == Undecodable::kDamage) {
        out.damaged = out.undecodable = true;
        out.damage = std::move(*message);
        return out;
      }
    } else {
      on_record(std::get<RecordView>(decoded), out.end);
    }
    out.end += frame.frame_len;
    ++out.frames;
  }
}

}  // namespace tarnwick
