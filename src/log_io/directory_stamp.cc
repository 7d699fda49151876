#include "log_io/directory_stamp.h"

#include <atomic>
#include <cstdint>

#include "log_io/sys.h"

namespace tarnwick {
namespace {

// Stamps without a fraction of a second may come from a file system that
// keeps whole seconds (two on FAT); finer ones from one that keeps the
// kernel's tick, at most 10 ms. Each margin leaves room for both.
constexpr int64_t kCoarseMarginNs = 3'000'000'000;
constexpr int64_t kFineMarginNs = 50'000'000;

std::atomic<bool> g_trusted{true};

int64_t ns_between(const struct ::timespec& earlier, const struct ::timespec& later) {
  return (static_cast<int64_t>(later.tv_sec) - static_cast<int64_t>(earlier.tv_sec)) *
             1'000'000'000 +
         (static_cast<int64_t>(later.tv_nsec) - static_cast<int64_t>(earlier.tv_nsec));
}

}  // namespace

Result<DirectoryStamp> DirectoryStamp::read(int dir_fd) {
  DirectoryStamp stamp;
  TW_ASSIGN_OR_RETURN(stamp.changed, sys::change_time(dir_fd));
  struct ::timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  // A stamp ahead of the clock (the clock was set back) is not settled.
  const int64_t margin = stamp.changed.tv_nsec == 0 ? kCoarseMarginNs : kFineMarginNs;
  stamp.settled = ns_between(stamp.changed, now) > margin && g_trusted.load(std::memory_order_relaxed);
  return stamp;
}

void DirectoryStamp::set_trusted(bool trusted) { g_trusted.store(trusted, std::memory_order_relaxed); }

}  // namespace tarnwick
