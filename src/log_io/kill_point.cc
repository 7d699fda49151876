// The stop at a named kill point, compiled only into the crash harness's
// engine library (see kill_point.h).
#include "log_io/kill_point.h"

#if defined(TARNWICK_KILL_POINTS)

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace tarnwick {

void kill_point(KillPoint point) {
  // Read on every call, not once: a test arms a point in a forked child after
  // the parent has already passed the same points unarmed.
  const char* armed = std::getenv("TARNWICK_KILL_AT");
  if (armed == nullptr || kill_point_name(point) != armed) return;
  const char* fd_text = std::getenv("TARNWICK_KILL_FD");
  const int fd = fd_text == nullptr ? STDERR_FILENO : std::atoi(fd_text);
  std::string line(kill_point_name(point));
  line.push_back('\n');
  // Straight to the kernel, not through the sys layer: the report must neither
  // count as one of the engine's calls nor fail by a fault a test injected,
  // and the sys layer has no wait for a signal.
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ::_exit(97);  // the parent sees no name and fails the test
    done += static_cast<size_t>(n);
  }
  for (;;) ::pause();  // until the parent's SIGKILL
}

}  // namespace tarnwick

#endif
