// Rebuilding a queue state from queue.log at open or after a new generation.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "log_io/error.h"
#include "log_io/log_format.h"
#include "queue/queue.h"
#include "queue/queue_state.h"

namespace tarnwick {

struct Recovered {
  QueueState state;
  uint64_t generation = 0;
  uint32_t format = FORMAT_VERSION;  // of the log's header
  uint64_t end_offset = 0;  // just past the last intact frame
  // Damage was found in the middle of the log: the state holds every intact
  // record around it and the damaged log was copied aside, but the log is
  // still the damaged one. The caller must now write the state as a new
  // generation (a compaction) under the same lock.
  bool rewrite = false;
  // A fresh log of generation 0 took the log's name: its identity may be a
  // deleted log's (an inode number used again), so the sync-state file's
  // points about that one must go before anything is appended.
  bool created = false;
  RepairReport report;  // what was found and done, when damaged
};

// Creates the log when it is missing, empty or a header cut short (or is a
// header of zero bytes alone, with a warning), as a complete synced file
// renamed into place; refuses any other file that is not a queue log, and a
// symbolic link; replays every intact frame. A torn tail is cut off; damage
// with intact frames after it is skipped, after the whole log was copied
// aside (see Recovered::rewrite). Either is told in one warning on standard
// error. A clean log is never written to. Must run under the process lock.
Result<Recovered> recover(const std::string& log_path);

// The same replay without writing anything: a missing or short log is an
// error, a damaged tail is left in the file and the state ends before it.
// Must run under the process lock (a shared one will do).
Result<Recovered> read_log(const std::string& log_path);

// Whether `bytes` (fewer than a header's) could be the start of a header this
// code writes: what an interrupted header write leaves.
bool is_header_prefix(std::span<const uint8_t> bytes);

// The text of damaged ranges in a warning: "500-546 (why), ...".
std::string describe_ranges(const std::vector<DamagedRange>& ranges);

inline constexpr const char* kBadLogMagic = "queue.log has bad magic (not a Tarnwick log)";

// Writes one warning line to standard error.
void warn(const std::string& line);

}  // namespace tarnwick
