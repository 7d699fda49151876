// Rebuilding a queue state from queue.log at open or after a new generation.
#pragma once

#include <cstdint>
#include <string>

#include "log_io/error.h"
#include "queue/queue_state.h"

namespace tarnwick {

struct Recovered {
  QueueState state;
  uint64_t generation = 0;
  uint64_t end_offset = 0;  // just past the last intact frame
};

// Creates the log when it is missing or shorter than a header (or is a
// header of zero bytes alone, with a warning), as a complete synced file
// renamed into place; refuses a file that is not a queue log and a symbolic
// link; replays every intact frame and cuts a damaged tail (with a warning on
// standard error). A clean log is never written to. Must run under the
// process lock.
Result<Recovered> recover(const std::string& log_path);

// The same replay without writing anything: a missing or short log is an
// error, a damaged tail is left in the file and the state ends before it.
// Must run under the process lock (a shared one will do).
Result<Recovered> read_log(const std::string& log_path);

inline constexpr const char* kBadLogMagic = "queue.log has bad magic (not a Tarnwick log)";

// Writes one warning line to standard error.
void warn(const std::string& line);

}  // namespace tarnwick
