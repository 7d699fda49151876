// Feeds arbitrary bytes to the frame reader, the decoder and recovery. Any
// crash, leak, sanitizer report or broken state invariant is a finding.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "log_io/buffered_io.h"
#include "log_io/frame.h"
#include "queue/recover.h"

using namespace tarnwick;

namespace {

std::string scratch_path() {
  static std::string path = [] {
    char dir[] = "/tmp/tarnwick-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    return std::string(dir) + "/queue.log";
  }();
  return path;
}

void check_state(const QueueState& state) {
  if (state.ready.size() + state.in_flight.size() != state.messages.size()) abort();
  uint64_t live = 0;
  for (const auto& [seq, entry] : state.messages) {
    if (seq >= state.next_seq) abort();
    if (state.ready.count(seq) == state.in_flight.count(seq)) abort();
    live += entry.body_len + 33;
  }
  if (live != state.live_bytes) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The frame reader and decoder over bytes in memory, as catch-up reads them.
  MemoryReader reader(std::span<const uint8_t>(data, size));
  QueueState replayed;
  uint64_t offset = 16;
  for (;;) {
    auto frame = read_record_frame(reader);
    if (!frame.ok() || frame.value().kind != FrameRead::kFrame) break;
    auto decoded = decode_view(frame.value().payload);
    if (!std::holds_alternative<RecordView>(decoded)) break;
    replayed.apply(std::get<RecordView>(decoded), offset);
    offset += frame.value().frame_len;
  }
  check_state(replayed);

  // Recovery of the same bytes as a whole log file.
  const std::string path = scratch_path();
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  fclose(f);
  auto recovered = recover(path);
  if (recovered.ok()) {
    check_state(recovered.value().state);
    // A repaired log must now read back cleanly to the same end.
    auto again = recover(path);
    if (!again.ok() || again.value().end_offset != recovered.value().end_offset) abort();
  }
  return 0;
}
