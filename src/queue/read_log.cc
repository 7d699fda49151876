// Rebuilding a queue state from queue.log without writing anything, for a
// queue opened read-only.
#include <fcntl.h>
#include <sys/stat.h>

#include "log_io/buffered_io.h"
#include "log_io/sys.h"
#include "queue/recover.h"
#include "queue/replay.h"

namespace tarnwick {

Result<Recovered> read_log(const std::string& log_path) {
  TW_ASSIGN_OR_RETURN(UniqueFd fd, sys::open(log_path, O_RDONLY | O_NOFOLLOW));
  TW_ASSIGN_OR_RETURN(struct ::stat st, sys::fstat(fd.get()));
  uint8_t header[LOG_HEADER_LEN];
  {
    BufferedReader reader(fd.get(), 1);
    TW_ASSIGN_OR_RETURN(ReadFill fill, read_full_or_eof(reader, header, sizeof header));
    // A log shorter than its header is started afresh by the next writer.
    if (fill != ReadFill::kFull) return Error::unexpected_eof();
  }
  const std::optional<uint64_t> generation = log_generation(header);
  if (!generation) return Error::invalid_data(kBadLogMagic);
  Recovered out;
  out.generation = *generation;
  out.format = log_format(header);
  FileLog log(fd.get(), static_cast<uint64_t>(st.st_size));
  // Damage stays: the state ends before it, and the next writer repairs it.
  TW_ASSIGN_OR_RETURN(const Replayed replayed,
                      replay_frames(log, LOG_HEADER_LEN, Undecodable::kDamage, AfterDamage::kStop,
                                    out.state, preallocated(out.format)));
  out.end_offset = replayed.end;
  return out;
}

}  // namespace tarnwick
