// Named places where a crash changes what survives, for the crash harness
// (tests/cpp/kill_points). They exist only in the engine library that the
// harness links, which CMake builds with TARNWICK_KILL_POINTS defined; in every
// other build (the Python modules, the wheel, the ordinary tests) kill_point()
// is an empty inline function and the names below are never looked at.
//
// In the harness's build, a process whose environment has
// TARNWICK_KILL_AT=<name> stops at the first point of that name: it writes the
// name and a newline to descriptor TARNWICK_KILL_FD (standard error if unset)
// and then waits, for the parent to SIGKILL it there.
//
// Adding a point: add an enumerator
// and its name below, call kill_point() at the place, and give the harness's
// scenario table a row saying what state the point leaves. The harness fails
// while any point named here has no row.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace tarnwick {

enum class KillPoint : unsigned char {
  // The one commit path (queue/commit.cc).
  kCommitBeforeWrite,
  kCommitWrittenBeforeApply,
  kCommitAppliedBeforeSync,
  kCommitSyncedBeforeUnlock,
  // Group commit (log_io/group_commit.cc): a writer whose records no
  // published sync covers, before it waits for the sync lock; the syncer,
  // holding it, before its sync and after it, before it publishes.
  kGroupCommitWaiting,
  kGroupCommitBeforeSync,
  kGroupCommitSyncedBeforePublish,
  // A move to the dead letters (queue/job_queue.cc).
  kDeadLetterWrittenBeforeDead,
  // Replacing the log (queue/log_replacement.cc).
  kCompactTempWritten,
  kCompactTempSynced,
  kCompactRenamed,
  kCompactDirSynced,
  kPurgeTempWritten,
  kPurgeTempSynced,
  kPurgeRenamed,
  kPurgeDirSynced,
  kCount,
};

inline constexpr std::array<std::string_view, static_cast<size_t>(KillPoint::kCount)>
    kKillPointNames = {
        "commit.before_write",
        "commit.written_before_apply",
        "commit.applied_before_sync",
        "commit.synced_before_unlock",
        "group_commit.waiting",
        "group_commit.before_sync",
        "group_commit.synced_before_publish",
        "dead_letter.written_before_dead",
        "compact.temp_written",
        "compact.temp_synced",
        "compact.renamed",
        "compact.dir_synced",
        "purge.temp_written",
        "purge.temp_synced",
        "purge.renamed",
        "purge.dir_synced",
};

constexpr std::string_view kill_point_name(KillPoint point) {
  return kKillPointNames[static_cast<size_t>(point)];
}

#if defined(TARNWICK_KILL_POINTS)
// Stops the process here when TARNWICK_KILL_AT names `point` (see above).
void kill_point(KillPoint point);
#else
inline void kill_point(KillPoint) {}
#endif

}  // namespace tarnwick
