// A read-only check of the log's framing and CRCs; it changes nothing.
#include <fcntl.h>

#include <cerrno>

#include "log_io/frame.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"
#include "queue/queue_impl.h"
#include "queue/recover.h"
#include "queue/replay.h"

namespace tarnwick {
namespace {

std::string join(const std::string& dir, const char* name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

IntegrityReport outcome(bool ok, uint64_t records, uint64_t bytes, std::string message) {
  IntegrityReport report;
  report.ok = ok;
  report.records = report.intact_records = records;
  report.bytes = bytes;
  report.message = std::move(message);
  return report;
}

std::string plural(uint64_t n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// `fd` is open on a log of `size` bytes, at least a header's.
Result<IntegrityReport> scan_file(int fd, uint64_t size) {
  uint8_t header[LOG_HEADER_LEN];
  TW_ASSIGN_OR_RETURN(size_t got, sys::pread(fd, header, sizeof header, 0));
  if (got != sizeof header) return Error::unexpected_eof();
  if (!log_generation(header)) return outcome(false, 0, LOG_HEADER_LEN, "bad file magic");
  // Framing and CRCs only: a frame that does not decode is still counted.
  // The state is replayed so that frames found after damage can be checked
  // against it as recovery checks them.
  QueueState state;
  FileLog log(fd, size);
  TW_ASSIGN_OR_RETURN(const Replayed replayed,
                      replay_frames(log, LOG_HEADER_LEN, Undecodable::kSkip,
                                    AfterDamage::kResync, state, preallocated(log_format(header))));
  IntegrityReport report;
  report.ok = !replayed.damaged();
  report.records = replayed.frames_before_damage;
  report.intact_records = replayed.frames;
  report.damaged = replayed.skipped;
  report.tail = replayed.tail;
  if (report.ok) {
    report.bytes = replayed.end;
    report.message = "clean";
  } else if (replayed.skipped.empty()) {
    report.bytes = replayed.tail->offset;
    report.message =
        "corrupt tail at byte " + std::to_string(replayed.tail->offset) + ": " + replayed.tail->reason;
  } else {
    report.bytes = replayed.skipped.front().offset;
    report.message = "damaged bytes in the middle of the log at " +
                     describe_ranges(replayed.skipped) + ", with " +
                     plural(replayed.frames - replayed.frames_before_damage, "intact record") +
                     " after the first damage";
    if (replayed.tail) {
      report.message += ", and a corrupt tail at byte " + std::to_string(replayed.tail->offset) +
                        ": " + replayed.tail->reason;
    }
  }
  return report;
}

}  // namespace

Result<IntegrityReport> QueueImpl::scan_log() const {
  if (!persistent) return outcome(true, 0, 0, ":memory: queue has no on-disk log");
  // A descriptor of our own, so the object's handles keep their positions.
  TW_ASSIGN_OR_RETURN(UniqueFd fd, sys::open(log_path, O_RDONLY | O_NOFOLLOW));
  TW_ASSIGN_OR_RETURN(struct ::stat st, sys::fstat(fd.get()));
  return scan_file(fd.get(), static_cast<uint64_t>(st.st_size));
}

Result<IntegrityReport> verify_queue_directory(const std::string& directory) {
  const std::string dir = directory.empty() ? "." : directory;
  TW_ASSIGN_OR_RETURN(UniqueFd dir_fd, sys::open(dir, O_RDONLY | O_DIRECTORY));
  // The lock keeps other processes from appending mid-scan; a directory
  // without a lock file has nobody to exclude, and must not gain one.
  std::optional<ProcessLock> lock;
  std::optional<LockGuard> guard;
  auto lock_file = sys::identity_at(dir_fd.get(), kLockFileName);
  if (lock_file.ok()) {
    // Shared with other readers, exclusive of writers; needs no write access.
    TW_ASSIGN_OR_RETURN(ProcessLock opened,
                        ProcessLock::open_read_only(dir_fd.get(), join(dir, kLockFileName)));
    lock.emplace(std::move(opened));
    TW_ASSIGN_OR_RETURN(LockGuard taken, lock->write_lock());
    guard.emplace(std::move(taken));
  } else if (lock_file.error().kind() != ErrorKind::kOs || lock_file.error().os_code() != ENOENT) {
    return std::move(lock_file).error();
  }
  TW_ASSIGN_OR_RETURN(UniqueFd fd, sys::open(join(dir, kLogName), O_RDONLY | O_NOFOLLOW));
  TW_ASSIGN_OR_RETURN(struct ::stat st, sys::fstat(fd.get()));
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size >= LOG_HEADER_LEN) return scan_file(fd.get(), size);
  uint8_t bytes[LOG_HEADER_LEN] = {};
  TW_ASSIGN_OR_RETURN(size_t got, sys::pread(fd.get(), bytes, static_cast<size_t>(size), 0));
  if (!is_header_prefix(std::span<const uint8_t>(bytes, got))) {
    return outcome(false, 0, 0, "bad file magic");
  }
  return outcome(true, 0, size, "new log: its header is not written yet");
}

}  // namespace tarnwick
