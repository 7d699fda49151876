#include "log_io/frame.h"

#include <algorithm>
#include <cstring>

#include "log_io/crc32.h"
#include "log_io/endian.h"
#include "log_io/log_format.h"

namespace tarnwick {
namespace {

constexpr size_t kFirstPayloadChunk = size_t{1} << 20;

template <class Reader>
Result<ReadFill> fill(Reader& reader, void* dest, size_t n) {
  auto* p = static_cast<uint8_t*>(dest);
  size_t done = 0;
  while (done < n) {
    TW_ASSIGN_OR_RETURN(size_t got, reader.read(p + done, n - done));
    if (got == 0) return done == 0 ? ReadFill::kEof : ReadFill::kShort;
    done += got;
  }
  return ReadFill::kFull;
}

template <class Reader>
Result<FrameRead> read_frame(Reader& reader) {
  uint8_t header[FRAME_HEADER_LEN];
  TW_ASSIGN_OR_RETURN(ReadFill head, fill(reader, header, sizeof header));
  if (head == ReadFill::kEof) return FrameRead::eof();
  if (head == ReadFill::kShort) return FrameRead::corrupt(kTruncatedHeader);
  if (std::memcmp(header, FRAME_MAGIC, 4) != 0) return FrameRead::corrupt(kBadRecordMagic);
  const uint32_t length = load_le32(header + 4);
  const uint32_t stored_crc = load_le32(header + 8);
  if (length > MAX_RECORD_LEN) return FrameRead::corrupt(record_too_long_message(length));

  // Grow the payload as bytes arrive, so that a torn header announcing a
  // huge length costs no more memory than the bytes actually present.
  FrameRead frame;
  size_t have = 0;
  while (have < length) {
    const size_t want = std::min<size_t>(length, std::max<size_t>(kFirstPayloadChunk, 2 * have));
    frame.payload.reserve(want);  // exactly: resize alone may double the capacity
    frame.payload.resize(want);
    TW_ASSIGN_OR_RETURN(ReadFill body, fill(reader, frame.payload.data() + have, want - have));
    if (body != ReadFill::kFull) return FrameRead::corrupt(kTruncatedPayload);
    have = want;
  }
  if (crc32(frame.payload.data(), length) != stored_crc) return FrameRead::corrupt(kCrcMismatch);
  frame.kind = FrameRead::kFrame;
  frame.frame_len = FRAME_HEADER_LEN + length;
  return frame;
}

}  // namespace

std::string record_too_long_message(uint64_t length) {
  return "record length " + std::to_string(length) + " exceeds max " +
         std::to_string(MAX_RECORD_LEN);
}

Result<ReadFill> read_full_or_eof(BufferedReader& reader, void* dest, size_t n) {
  return fill(reader, dest, n);
}
Result<ReadFill> read_full_or_eof(MemoryReader& reader, void* dest, size_t n) {
  return fill(reader, dest, n);
}

Result<FrameRead> read_record_frame(BufferedReader& reader) { return read_frame(reader); }
Result<FrameRead> read_record_frame(MemoryReader& reader) { return read_frame(reader); }

void seal_frame(std::span<uint8_t> frame) {
  const size_t payload_len = frame.size() - FRAME_HEADER_LEN;
  std::memcpy(frame.data(), FRAME_MAGIC, 4);
  store_le32(frame.data() + 4, static_cast<uint32_t>(payload_len));
  store_le32(frame.data() + 8, crc32(frame.data() + FRAME_HEADER_LEN, payload_len));
}

Result<uint64_t> write_record_frame(BufferedWriter& writer, std::vector<uint8_t>& scratch,
                                    std::span<const uint8_t> payload) {
  scratch.resize(FRAME_HEADER_LEN + payload.size());
  if (!payload.empty()) std::memcpy(scratch.data() + FRAME_HEADER_LEN, payload.data(), payload.size());
  seal_frame(scratch);
  TW_TRY(writer.write_all(scratch));
  return uint64_t{scratch.size()};
}

}  // namespace tarnwick
