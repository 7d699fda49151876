#include "queue/space_reserve.h"

#include <fcntl.h>

#include <algorithm>

#include "log_io/file_access.h"
#include "log_io/sys.h"

namespace tarnwick {
namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t kLeastReserve = 16 * kPage;
constexpr uint64_t kLogPerReserveByte = 8;

uint64_t whole_pages(uint64_t bytes) { return bytes / kPage * kPage; }

// How much the reserve must fall behind the log before it is grown.
uint64_t step_for(uint64_t reserve_bytes) { return std::max(4 * kPage, reserve_bytes / 8); }

}  // namespace

uint64_t SpaceReserve::size_for(uint64_t log_bytes) const {
  if (cap_ == 0) return 0;
  return whole_pages(std::min(std::max(log_bytes / kLogPerReserveByte, kLeastReserve), cap_));
}

uint64_t SpaceReserve::compaction_share(uint64_t log_bytes) const {
  return std::max(kPage, whole_pages(size_for(log_bytes) / 8));
}

void SpaceReserve::resize_for(uint64_t log_bytes) {
  log_bytes_ = log_bytes;
  const uint64_t want = size_for(log_bytes);
  if (want == 0) return;
  auto file = sys::open(path_, O_WRONLY | O_CREAT | O_NOFOLLOW);
  if (!file.ok()) return;
  const int fd = file->get();
  // Shared like every file of the queue (file_access.h); the reserve is only
  // a help, so a refusal leaves it as it is.
  if (auto access = access_for_new_file(path_); access.ok()) (void)apply_access(fd, *access);
  auto size = sys::file_size(fd);
  if (!size.ok()) return;
  if (*size >= want) {
    if (*size == want || sys::ftruncate(fd, want).ok()) kept_ = want;
    refill_ = false;
    return;
  }
  if (sys::preallocate(fd, *size, want - *size).ok()) {
    kept_ = want;
    refill_ = false;
    return;
  }
  // Part of it may have been allocated before the disk ran out. Puts wait
  // for the reserve, and growing it is tried again once the log has grown
  // by another step.
  kept_ = *size;
  refill_ = true;
  retry_at_ = log_bytes + step_for(*size) * kLogPerReserveByte;
  if (*size == 0) {
    (void)sys::unlink(path_);
  } else {
    (void)sys::ftruncate(fd, *size);
  }
}

void SpaceReserve::grow_with(uint64_t log_bytes) {
  log_bytes_ = log_bytes;
  if (cap_ == 0 || kept_ >= cap_ || log_bytes < retry_at_) return;
  if (size_for(log_bytes) < kept_ + step_for(kept_)) return;
  resize_for(log_bytes);
}

bool SpaceReserve::ready_for_puts(uint64_t log_bytes) {
  if (refill_) resize_for(log_bytes);
  return !refill_;
}

bool SpaceReserve::free_settle_share() {
  refill_ = true;
  auto file = sys::open(path_, O_WRONLY | O_NOFOLLOW);
  if (!file.ok()) return false;
  auto size = sys::file_size(file->get());
  if (!size.ok()) return false;
  const uint64_t keep = compaction_share(log_bytes_);
  if (*size <= keep) return false;
  if (!sys::ftruncate(file->get(), keep).ok()) return false;
  kept_ = keep;
  return true;
}

bool SpaceReserve::free_all() {
  refill_ = true;
  kept_ = 0;
  return sys::unlink(path_).ok();
}

}  // namespace tarnwick
