// Room on the disk kept so that a queue whose disk filled up can be drained.
//
// The file `.reserve` beside the log holds preallocated bytes that nothing
// writes, an eighth of the log's length (at least 64 KiB, at most the cap
// the settings give). When an append that settles messages fails for lack of
// space, the engine cuts the file down to its compaction share (an eighth of
// it) and writes again; when a compaction or purge fails for lack of space,
// it removes the file and tries again. The file grows with the log as
// messages are put, and is sized anew once a compaction or purge succeeded;
// where the disk has no room for that, the queue goes without (nothing fails
// for the reserve's own sake).
//
// Every call is made with the queue's process lock held, so one process at a
// time changes the file; a process that finds it already cut or gone has
// nothing left to free and says so.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

inline constexpr const char* kReserveName = ".reserve";

class SpaceReserve {
 public:
  // `cap` 0 keeps none.
  SpaceReserve(std::string path, uint64_t cap) : path_(std::move(path)), cap_(cap) {}

  // The reserve kept beside a log of `log_bytes`, in whole 4 KiB pages.
  uint64_t size_for(uint64_t log_bytes) const;
  // What stays for compaction once settling has spent its share: an eighth
  // of the reserve kept for a log of `log_bytes`, at least a page.
  uint64_t compaction_share(uint64_t log_bytes) const;

  // Makes the file the size kept for a log of `log_bytes` (growing or
  // shrinking it); where the disk has no room, gives back what it took.
  void resize_for(uint64_t log_bytes);
  // Grows the file once the log has outgrown it by a step; cheap otherwise.
  // Called after every put to the log that owns the reserve.
  void grow_with(uint64_t log_bytes);
  // False while the disk has no room to fill the file up again after it was
  // spent or a put found the disk full: puts must not take the room that
  // was freed for draining. Tries to fill it up again first.
  bool ready_for_puts(uint64_t log_bytes);
  void put_found_disk_full() { refill_ = true; }
  // Frees the share that settling may spend, once: what stays is the
  // compaction share of the log's length last given; true if it freed anything.
  bool free_settle_share();
  // Frees all of it, for a compaction or purge; true if it freed anything.
  bool free_all();

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  uint64_t cap_;
  uint64_t kept_ = 0;  // the size this object last made the file
  uint64_t retry_at_ = 0;  // no growing before the log is this long
  uint64_t log_bytes_ = 0;  // the log's length last given
  bool refill_ = false;     // puts wait until the file is whole again
};

}  // namespace tarnwick
