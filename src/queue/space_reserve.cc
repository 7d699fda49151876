#include "queue/space_reserve.h"

#include <fcntl.h>

#include <algorithm>

#include "log_io/sys.h"

namespace tarnwick {
namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t kLeastReserve = 4 * kPage;

uint64_t whole_pages(uint64_t bytes) { return bytes / kPage * kPage; }

}  // namespace

uint64_t SpaceReserve::size_for(uint64_t filesystem_bytes, uint64_t cap) {
  const uint64_t bytes = whole_pages(std::min(filesystem_bytes / 16, cap));
  return bytes < kLeastReserve ? 0 : bytes;
}

SpaceReserve::SpaceReserve(std::string path, uint64_t full_bytes)
    : path_(std::move(path)),
      full_bytes_(full_bytes),
      compaction_share_(std::max(kPage, whole_pages(full_bytes / 8))) {}

void SpaceReserve::replenish() {
  if (full_bytes_ == 0) return;
  auto file = sys::open(path_, O_WRONLY | O_CREAT | O_NOFOLLOW);
  if (!file.ok()) return;
  const int fd = file->get();
  auto size = sys::file_size(fd);
  if (!size.ok() || *size >= full_bytes_) return;
  if (sys::preallocate(fd, *size, full_bytes_ - *size).ok()) return;
  // Part of it may have been allocated before the disk ran out.
  if (*size == 0) {
    (void)sys::unlink(path_);
  } else {
    (void)sys::ftruncate(fd, *size);
  }
}

bool SpaceReserve::free_settle_share() {
  auto file = sys::open(path_, O_WRONLY | O_NOFOLLOW);
  if (!file.ok()) return false;
  auto size = sys::file_size(file->get());
  if (!size.ok() || *size <= compaction_share_) return false;
  return sys::ftruncate(file->get(), compaction_share_).ok();
}

bool SpaceReserve::free_all() { return sys::unlink(path_).ok(); }

}  // namespace tarnwick
