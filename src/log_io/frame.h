// Reading and writing single frames: "TWR1", payload length, CRC-32, payload.
//
// Damage to the data is not an Error: it comes back as FrameRead::kCorrupt
// with a message, and each caller decides what to do with it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "log_io/buffered_io.h"
#include "log_io/error.h"

namespace tarnwick {

struct FrameRead {
  enum Kind : uint8_t { kFrame, kEof, kCorrupt };
  Kind kind = kEof;
  std::vector<uint8_t> payload;  // kFrame: exactly the length field's bytes
  uint64_t frame_len = 0;        // kFrame: 12 + payload length
  std::string message;           // kCorrupt: what is wrong

  static FrameRead eof() { return {}; }
  static FrameRead corrupt(std::string why) { return {kCorrupt, {}, 0, std::move(why)}; }
};

enum class ReadFill : uint8_t { kFull, kEof, kShort };

Result<ReadFill> read_full_or_eof(BufferedReader& reader, void* dest, size_t n);
Result<ReadFill> read_full_or_eof(MemoryReader& reader, void* dest, size_t n);

// Reads the next frame at the reader's position.
Result<FrameRead> read_record_frame(BufferedReader& reader);
Result<FrameRead> read_record_frame(MemoryReader& reader);

// Appends one frame to the writer as a single unit, assembled in `scratch`.
// Returns the frame length. Neither flushes nor syncs.
Result<uint64_t> write_record_frame(BufferedWriter& writer, std::vector<uint8_t>& scratch,
                                    std::span<const uint8_t> payload);

// Fills in the 12-byte header of a frame whose payload already follows it in
// `frame` (frame.size() - 12 payload bytes).
void seal_frame(std::span<uint8_t> frame);

// Frame messages, shared by every reader.
inline constexpr const char* kTruncatedHeader = "truncated record header";
inline constexpr const char* kBadRecordMagic = "bad record magic";
inline constexpr const char* kTruncatedPayload = "truncated record payload";
inline constexpr const char* kCrcMismatch = "record CRC mismatch (silent corruption)";
std::string record_too_long_message(uint64_t length);

}  // namespace tarnwick
