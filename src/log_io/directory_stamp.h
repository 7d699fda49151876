// Knowing that a directory's entries have not changed without looking names
// up. Creating, removing or renaming an entry updates the directory's change
// time, and no program can set a change time back. A lock holder that reads
// it once per lock can therefore skip the path lookups of the names it relies
// on (the lock file, the log) for as long as it has not moved since those
// names were last checked.
//
// File systems keep time stamps in ticks (a few milliseconds, or whole
// seconds on some), so two changes within one tick can leave the same stamp.
// A stamp is trusted only once it was already older than a tick when read:
// any change after that read gets a later one.
#pragma once

#include <time.h>

#include "log_io/error.h"

namespace tarnwick {

struct DirectoryStamp {
  struct ::timespec changed {};
  bool settled = false;  // older than a tick when read

  // Reads the stamp of the open directory dir_fd.
  static Result<DirectoryStamp> read(int dir_fd);
  // Tests that count lookups: while off, no stamp is settled.
  static void set_trusted(bool trusted);
  bool same_as(const DirectoryStamp& other) const {
    return changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
  }
};

// Remembers the stamp under which a name was last found to be ours.
class NameCheck {
 public:
  // Whether the name is known to be ours under `now`, without a lookup.
  bool holds(const DirectoryStamp& now) const { return valid_ && now.same_as(checked_); }
  // The name was looked up and found ours after `stamp` was read.
  void passed(const DirectoryStamp& stamp) {
    valid_ = stamp.settled;
    checked_ = stamp;
  }
  void forget() { valid_ = false; }

 private:
  DirectoryStamp checked_;
  bool valid_ = false;
};

}  // namespace tarnwick
