// Room on the disk kept so that a queue whose disk filled up can be drained.
//
// The file `.reserve` beside the log holds preallocated bytes that nothing
// writes. When an append that settles messages fails for lack of space, the
// engine cuts the file down to its compaction share and writes again; when a
// compaction or purge fails for lack of space, it removes the file and tries
// again. Once a compaction or purge succeeded (it shrank the log), the file
// is filled up again where the disk has room, never failing the operation.
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
  // The reserve kept on a file system of `filesystem_bytes`: a sixteenth of
  // it, at most `cap`, in whole 4 KiB pages; 0 (none) below 16 KiB.
  static uint64_t size_for(uint64_t filesystem_bytes, uint64_t cap);

  SpaceReserve(std::string path, uint64_t full_bytes);

  // Creates or fills up the file to its full size; where the disk has no
  // room, gives back what it took and goes without.
  void replenish();
  // Frees the share that settling may spend; true if it freed anything.
  bool free_settle_share();
  // Frees all of it, for a compaction or purge; true if it freed anything.
  bool free_all();

  uint64_t full_bytes() const { return full_bytes_; }
  // What stays for compaction once settling has spent its share.
  uint64_t compaction_share() const { return compaction_share_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  uint64_t full_bytes_;
  uint64_t compaction_share_;
};

}  // namespace tarnwick
