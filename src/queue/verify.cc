// A read-only check of the log's framing and CRCs; it changes nothing.
#include <fcntl.h>

#include "log_io/frame.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"
#include "queue/queue_impl.h"
#include "queue/replay.h"

namespace tarnwick {

Result<IntegrityReport> QueueImpl::scan_log() const {
  if (!persistent) return IntegrityReport{true, 0, 0, ":memory: queue has no on-disk log"};
  // A descriptor of our own, so the object's handles keep their positions.
  TW_ASSIGN_OR_RETURN(UniqueFd fd, sys::open(log_path, O_RDONLY | O_NOFOLLOW));
  BufferedReader reader(fd.get());
  uint8_t header[LOG_HEADER_LEN];
  TW_ASSIGN_OR_RETURN(ReadFill fill, read_full_or_eof(reader, header, sizeof header));
  if (fill != ReadFill::kFull) return Error::unexpected_eof();
  if (!log_generation(header)) return IntegrityReport{false, 0, LOG_HEADER_LEN, "bad file magic"};
  // Framing and CRCs only: a frame that does not decode is still counted.
  TW_ASSIGN_OR_RETURN(const Replayed replayed,
                      replay_frames(reader, LOG_HEADER_LEN, Undecodable::kSkip,
                                    [](const RecordView&, uint64_t) {}));
  if (replayed.damaged) {
    return IntegrityReport{false, replayed.frames, replayed.end,
                           "corrupt tail at byte " + std::to_string(replayed.end) + ": " +
                               replayed.damage};
  }
  return IntegrityReport{true, replayed.frames, replayed.end, "clean"};
}

}  // namespace tarnwick
