// A read-only check of the log's framing and CRCs; it changes nothing.
#include <fcntl.h>

#include <cstring>

#include "log_io/frame.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"
#include "queue/queue_impl.h"

namespace tarnwick {

Result<IntegrityReport> QueueImpl::scan_log() const {
  if (!persistent) return IntegrityReport{true, 0, 0, ":memory: queue has no on-disk log"};
  // A descriptor of our own, so the object's handles keep their positions.
  TW_ASSIGN_OR_RETURN(UniqueFd fd, sys::open(log_path, O_RDONLY | O_NOFOLLOW));
  BufferedReader reader(fd.get());
  uint8_t header[LOG_HEADER_LEN];
  TW_ASSIGN_OR_RETURN(ReadFill fill, read_full_or_eof(reader, header, sizeof header));
  if (fill != ReadFill::kFull) return Error::unexpected_eof();
  if (std::memcmp(header, LOG_MAGIC, 4) != 0) {
    return IntegrityReport{false, 0, LOG_HEADER_LEN, "bad file magic"};
  }
  IntegrityReport report{true, 0, LOG_HEADER_LEN, "clean"};
  for (;;) {
    TW_ASSIGN_OR_RETURN(FrameRead frame, read_record_frame(reader));
    if (frame.kind == FrameRead::kEof) return report;
    if (frame.kind == FrameRead::kCorrupt) {
      report.ok = false;
      report.message = "corrupt tail at byte " + std::to_string(report.bytes) + ": " + frame.message;
      return report;
    }
    ++report.records;
    report.bytes += frame.frame_len;
  }
}

}  // namespace tarnwick
