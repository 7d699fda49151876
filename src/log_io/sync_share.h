// The small file beside a log through which the processes that share a queue
// directory tell each other how far the log is written and how far synced.
//
// The file holds a magic and two points, each a log's identity (device,
// inode, generation) and an offset: `written`, the log's end after the last
// write, stored with the process lock held; and `synced`, an offset up to
// which a sync of that log has completed, stored with the sync lock (an
// exclusive flock on this file) held. Each point has one writer at a time,
// so a sequence count around it (odd while it is being stored) lets readers
// take it without a lock: a point read while it changes, or left half stored
// by a process that died, reads as none. The file is never synced: what it
// says is advice that a reboot makes stale, and a stale point only names
// bytes that were synced before it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "log_io/error.h"
#include "log_io/unique_fd.h"

namespace tarnwick {

inline constexpr const char* kSyncShareFileName = ".proc_sync";

struct LogIdentity {
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t generation = 0;
  bool operator==(const LogIdentity&) const = default;
};

struct LogPoint {
  LogIdentity log;
  uint64_t offset = 0;
};

// A readable and writable shared mapping, unmapped when dropped.
class SharedMapping {
 public:
  SharedMapping() = default;
  SharedMapping(void* addr, size_t length) : addr_(addr), length_(length) {}
  SharedMapping(SharedMapping&& other) noexcept
      : addr_(std::exchange(other.addr_, nullptr)), length_(std::exchange(other.length_, 0)) {}
  SharedMapping& operator=(SharedMapping&& other) noexcept;
  SharedMapping(const SharedMapping&) = delete;
  SharedMapping& operator=(const SharedMapping&) = delete;
  ~SharedMapping() { reset(); }
  void reset();
  void* data() const { return addr_; }

 private:
  void* addr_ = nullptr;
  size_t length_ = 0;
};

class SyncShare {
 public:
  // Opens the file `path` (which must name kSyncShareFileName in the
  // directory open as `dir_fd`), creating it when missing with the access of
  // a file made fresh in that directory, and maps it. Fails for a file that
  // is not one (a wrong magic) and wherever it cannot be made or mapped.
  static Result<SyncShare> open(int dir_fd, const std::string& path);

  std::optional<LogPoint> written() const;
  std::optional<LogPoint> synced() const;
  void store_written(const LogPoint& point);  // with the process lock held
  void store_synced(const LogPoint& point);   // with the sync lock held
  // With both locks held: both points name no log.
  void forget_points();

  // The sync lock: excludes other open file descriptions, not threads that
  // share this one (nor a child of fork(), which must open the file anew).
  // try_lock fails with EWOULDBLOCK while another holds it.
  Status try_lock() const;
  void unlock() const;
  // A count that rises each time a holder lets go of the sync lock.
  uint32_t releases() const;
  // Returns once the count is past `seen` (or after a while, for a holder
  // that died: the kernel let go of its lock, but the count stayed).
  Status wait_for_release(uint32_t seen) const;

 private:
  SyncShare(UniqueFd fd, SharedMapping map) : fd_(std::move(fd)), map_(std::move(map)) {}
  UniqueFd fd_;
  SharedMapping map_;
};

}  // namespace tarnwick
