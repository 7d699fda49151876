// A descriptor that becomes readable when a queue's log may have changed:
// something was appended to it, or another file took its name (compaction
// and purge rename a new log into place, so a watch on the file alone would
// go stale). Waiters poll the descriptor, then drain it before looking at
// the queue again, so a change made after the look is never missed.
#pragma once

#include <string>

#include "log_io/error.h"
#include "log_io/unique_fd.h"

namespace tarnwick {

class DirectoryWatch {
 public:
  // Watches `file_name` inside `dir`; fails where the platform or the file
  // system offers no notification.
  static Result<DirectoryWatch> open(const std::string& dir, const std::string& file_name);

  int fd() const { return fd_.get(); }
  // Consumes the pending notifications without waiting.
  Status drain();

 private:
  DirectoryWatch() = default;
  UniqueFd fd_;
#if !defined(__linux__)
  Status watch_file();
  UniqueFd dir_;
  UniqueFd file_;  // the file that had the name when last looked up
  std::string file_path_;
#endif
};

}  // namespace tarnwick
