#include "log_io/sync_share.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>

#include "log_io/file_access.h"
#include "log_io/sys.h"

namespace tarnwick {
namespace {

// "TWSYNC01", little end first; another layout gets another magic.
constexpr uint64_t kMagic = 0x3130434e59535754ull;
constexpr size_t kFileBytes = 4096;

// One point: a sequence count, then the fields. Each point has a cache line
// of its own, since the two are stored by different processes.
struct alignas(64) PointWords {
  uint64_t seq;
  uint64_t dev;
  uint64_t ino;
  uint64_t generation;
  uint64_t offset;
};

struct Page {
  alignas(64) uint64_t magic;
  PointWords written;
  PointWords synced;
  alignas(64) uint32_t releases;
};
static_assert(sizeof(Page) <= kFileBytes);
static_assert(__atomic_always_lock_free(sizeof(uint64_t), nullptr));

uint64_t load_relaxed(const uint64_t& word) { return __atomic_load_n(&word, __ATOMIC_RELAXED); }
void store_relaxed(uint64_t& word, uint64_t value) {
  __atomic_store_n(&word, value, __ATOMIC_RELAXED);
}

std::optional<LogPoint> read_point(const PointWords& p) {
  const uint64_t before = __atomic_load_n(&p.seq, __ATOMIC_ACQUIRE);
  if (before == 0 || (before & 1) != 0) return std::nullopt;  // never stored, or being stored
  LogPoint out;
  out.log.dev = load_relaxed(p.dev);
  out.log.ino = load_relaxed(p.ino);
  out.log.generation = load_relaxed(p.generation);
  out.offset = load_relaxed(p.offset);
  __atomic_thread_fence(__ATOMIC_ACQUIRE);
  if (load_relaxed(p.seq) != before) return std::nullopt;
  return out;
}

// With the point's lock held, so there is one writer. A count left odd by a
// writer that died is made odd anew, never even, while the fields change.
void write_point(PointWords& p, const LogPoint& point) {
  const uint64_t storing = (load_relaxed(p.seq) + 1) | 1;
  store_relaxed(p.seq, storing);
  __atomic_thread_fence(__ATOMIC_RELEASE);
  store_relaxed(p.dev, point.log.dev);
  store_relaxed(p.ino, point.log.ino);
  store_relaxed(p.generation, point.log.generation);
  store_relaxed(p.offset, point.offset);
  __atomic_store_n(&p.seq, storing + 1, __ATOMIC_RELEASE);
}

// An existing file is opened without O_CREAT, as the lock file is (where the
// kernel protects files in shared sticky directories, O_CREAT on another
// user's file is refused even though it exists).
Result<UniqueFd> open_or_create(int dir_fd, const std::string& path) {
  for (;;) {
    auto existing = sys::open(path, O_RDWR | O_NOFOLLOW);
    if (existing.ok() || existing.error().os_code() != ENOENT) return existing;
    TW_ASSIGN_OR_RETURN(struct ::stat dir, sys::fstat(dir_fd));
    const FileAccess access = access_for_file_in(dir);
    auto created = sys::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, access.mode);
    if (created.ok()) {
      TW_TRY(apply_access(created->get(), access));
      return created;
    }
    if (created.error().os_code() != EEXIST) return created;
  }
}

Page& page_of(const SharedMapping& map) { return *static_cast<Page*>(map.data()); }

}  // namespace

SharedMapping& SharedMapping::operator=(SharedMapping&& other) noexcept {
  if (this != &other) {
    reset();
    addr_ = std::exchange(other.addr_, nullptr);
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

void SharedMapping::reset() {
  if (addr_ != nullptr) sys::munmap(addr_, length_);
  addr_ = nullptr;
  length_ = 0;
}

Result<SyncShare> SyncShare::open(int dir_fd, const std::string& path) {
  TW_ASSIGN_OR_RETURN(UniqueFd fd, open_or_create(dir_fd, path));
  TW_ASSIGN_OR_RETURN(struct ::stat st, sys::fstat(fd.get()));
  if (!S_ISREG(st.st_mode)) return Error::invalid_data(path + " is not a regular file");
  // Grown, never cut: a file shorter than its page would fault when touched.
  // Two processes growing it at once both make it the same length.
  if (st.st_size < static_cast<off_t>(kFileBytes)) TW_TRY(sys::ftruncate(fd.get(), kFileBytes));
  TW_ASSIGN_OR_RETURN(void* addr, sys::mmap_write_shared(fd.get(), kFileBytes));
  SharedMapping map(addr, kFileBytes);
  Page& page = page_of(map);
  uint64_t expected = 0;
  (void)__atomic_compare_exchange_n(&page.magic, &expected, kMagic, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE);
  if (expected != 0 && expected != kMagic) {
    return Error::invalid_data(path + " is not a Tarnwick sync-state file");
  }
  return SyncShare(std::move(fd), std::move(map));
}

std::optional<LogPoint> SyncShare::written() const { return read_point(page_of(map_).written); }
std::optional<LogPoint> SyncShare::synced() const { return read_point(page_of(map_).synced); }
void SyncShare::store_written(const LogPoint& point) { write_point(page_of(map_).written, point); }
void SyncShare::store_synced(const LogPoint& point) { write_point(page_of(map_).synced, point); }
// No log has device and inode 0.
void SyncShare::forget_points() {
  write_point(page_of(map_).written, LogPoint{});
  write_point(page_of(map_).synced, LogPoint{});
}

// The longest a waiter sleeps before it looks at the lock again itself: a
// holder that died never counts its release.
constexpr uint64_t kReleaseWaitNs = 20'000'000;

Status SyncShare::try_lock() const { return sys::flock_exclusive_nonblocking(fd_.get()); }

void SyncShare::unlock() const {
  sys::flock_unlock(fd_.get());
  __atomic_fetch_add(&page_of(map_).releases, 1, __ATOMIC_RELEASE);
#if defined(__linux__)
  sys::futex_wake_shared(&page_of(map_).releases);
#endif
}

uint32_t SyncShare::releases() const {
  return __atomic_load_n(&page_of(map_).releases, __ATOMIC_ACQUIRE);
}

Status SyncShare::wait_for_release(uint32_t seen) const {
#if defined(__linux__)
  return sys::futex_wait_shared(&page_of(map_).releases, seen, kReleaseWaitNs);
#else
  // No shared futex: queue for the lock itself, and let go at once.
  (void)seen;
  TW_TRY(sys::flock_shared(fd_.get()));
  sys::flock_unlock(fd_.get());
  return {};
#endif
}

}  // namespace tarnwick
