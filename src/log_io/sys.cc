#include "log_io/sys.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#ifdef __linux__
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#endif
#include <unistd.h>
#if defined(__linux__)
#include <sys/inotify.h>
#elif defined(__APPLE__) || defined(__FreeBSD__)
#include <sys/event.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <mutex>
#include <vector>

namespace tarnwick::sys {
namespace {

constexpr size_t kCalls = static_cast<size_t>(Call::kCount);

struct FaultSlot {
  bool armed = false;
  Fault fault;
  uint64_t seen = 0;
};

std::atomic<bool> g_any_armed{false};
std::mutex g_fault_mutex;
FaultSlot g_slots[kCalls];
std::atomic<uint64_t> g_counts[kCalls];
std::atomic<SyncObserver> g_sync_observer{nullptr};

// Counts the call and returns the errno an armed fault asks for, or 0.
int injected_error(Call call, size_t* partial_bytes = nullptr) {
  const auto index = static_cast<size_t>(call);
  g_counts[index].fetch_add(1, std::memory_order_relaxed);
  if (!g_any_armed.load(std::memory_order_relaxed)) return 0;
  std::lock_guard<std::mutex> guard(g_fault_mutex);
  FaultSlot& slot = g_slots[index];
  if (!slot.armed || slot.fault.times == 0) return 0;
  if (slot.seen++ < slot.fault.skip) return 0;
  if (slot.fault.times != UINT64_MAX) --slot.fault.times;
  if (partial_bytes != nullptr) *partial_bytes = slot.fault.partial_bytes;
  return slot.fault.error;
}

Error last_os_error() { return Error::os(errno); }

// Moves a descriptor that landed on 0, 1 or 2 above them (closing the low
// one); -1 with errno set if that fails.
int above_standard_streams(int fd) {
  if (fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return moved;
}

#if defined(__linux__) && defined(SYS_statx)
#define TARNWICK_HAVE_STATX 1
// statx is made by system call number: C libraries gained a wrapper only
// lately (glibc 2.28, musl 1.2.5), and a binary that links against one does
// not load where it is missing. The kernel's struct statx is declared here for
// the same reason; its layout is fixed ABI.
struct KernelStatxTimestamp {
  int64_t sec;
  uint32_t nsec;
  int32_t reserved;
};
struct KernelStatx {
  uint32_t mask;
  uint32_t blksize;
  uint64_t attributes;
  uint32_t nlink;
  uint32_t uid;
  uint32_t gid;
  uint16_t mode;
  uint16_t spare0;
  uint64_t ino;
  uint64_t size;
  uint64_t blocks;
  uint64_t attributes_mask;
  KernelStatxTimestamp atime, btime, ctime, mtime;
  uint32_t rdev_major;
  uint32_t rdev_minor;
  uint32_t dev_major;
  uint32_t dev_minor;
  uint64_t spare[14];
};
static_assert(sizeof(KernelStatx) == 256);
static_assert(offsetof(KernelStatx, ino) == 32 && offsetof(KernelStatx, dev_major) == 136);
constexpr uint32_t kStatxCtime = 0x80;
constexpr uint32_t kStatxIno = 0x100;
constexpr uint32_t kStatxSize = 0x200;
constexpr int kAtEmptyPath = 0x1000;

// 0 on success, else the errno (an injected one included).
int statx_ino_size(int dir_fd, const char* name, KernelStatx* out) {
  if (int err = injected_error(Call::kStatx)) return err;
  if (::syscall(SYS_statx, dir_fd, name, 0, kStatxIno | kStatxSize, out) == 0) return 0;
  return errno;
}

// statx of the open file fd itself, asking for `mask`; false where the kernel
// or a sandbox refuses statx or leaves out part of the mask, so the caller
// falls back to fstat.
Result<bool> statx_fd(int fd, uint32_t mask, KernelStatx* out) {
  if (::syscall(SYS_statx, fd, "", kAtEmptyPath, mask, out) == 0) return (out->mask & mask) == mask;
  if (errno == ENOSYS || errno == EPERM) return false;
  return last_os_error();
}
#endif

#if defined(__APPLE__)
const struct ::timespec& ctime_of(const struct ::stat& st) { return st.st_ctimespec; }
#else
const struct ::timespec& ctime_of(const struct ::stat& st) { return st.st_ctim; }
#endif

}  // namespace

Result<UniqueFd> open(const std::string& path, int flags, mode_t create_mode) {
  if (int err = injected_error(Call::kOpen)) return Error::os(err);
  for (;;) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, create_mode);
    if (fd >= 0) fd = above_standard_streams(fd);
    if (fd >= 0) return UniqueFd(fd);
    if (errno == EINTR) continue;
    // Linux and macOS report a link refused by O_NOFOLLOW as ELOOP, FreeBSD as EMLINK.
    if ((flags & O_NOFOLLOW) != 0 && (errno == ELOOP || errno == EMLINK)) {
      return Error::os(errno, path + " is a symbolic link, which is not followed");
    }
    return last_os_error();
  }
}

Result<size_t> read(int fd, void* buf, size_t n) {
  if (int err = injected_error(Call::kRead)) return Error::os(err);
  for (;;) {
    ssize_t got = ::read(fd, buf, n);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return last_os_error();
  }
}

Result<size_t> pread(int fd, void* buf, size_t n, uint64_t offset) {
  if (int err = injected_error(Call::kPread)) return Error::os(err);
  for (;;) {
    ssize_t got = ::pread(fd, buf, n, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return last_os_error();
  }
}

Status write_all(int fd, const void* buf, size_t n) {
  const auto* p = static_cast<const char*>(buf);
  size_t partial = 0;
  if (int err = injected_error(Call::kWrite, &partial)) {
    // Simulate a write that got part of the data out before failing.
    if (partial > 0) (void)!::write(fd, p, partial < n ? partial : n);
    return Error::os(err);
  }
  while (n > 0) {
    ssize_t put = ::write(fd, p, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (put == 0) return Error::write_zero();
    p += put;
    n -= static_cast<size_t>(put);
  }
  return {};
}

Status writev_all(int fd, const struct ::iovec* iov, int count) {
  size_t partial = 0;
  if (int err = injected_error(Call::kWritev, &partial)) {
    // Simulate a write that got part of the data out before failing.
    for (int i = 0; i < count && partial > 0; ++i) {
      const size_t take = std::min(partial, iov[i].iov_len);
      if (::write(fd, iov[i].iov_base, take) != static_cast<ssize_t>(take)) break;
      partial -= take;
    }
    return Error::os(err);
  }
  if (count <= 0) return {};
  // A copy to advance through after a short write.
  std::vector<struct ::iovec> left(iov, iov + count);
  size_t first = 0;
  while (first < left.size()) {
    const int n = static_cast<int>(std::min<size_t>(left.size() - first, IOV_MAX));
    ssize_t put = ::writev(fd, left.data() + first, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (put == 0) return Error::write_zero();
    auto done = static_cast<size_t>(put);
    while (first < left.size() && done >= left[first].iov_len) done -= left[first++].iov_len;
    if (done > 0) {
      left[first].iov_base = static_cast<char*>(left[first].iov_base) + done;
      left[first].iov_len -= done;
    }
    while (first < left.size() && left[first].iov_len == 0) ++first;
  }
  return {};
}

Result<uint64_t> lseek(int fd, int64_t offset, int whence) {
  if (int err = injected_error(Call::kLseek)) return Error::os(err);
  off_t pos = ::lseek(fd, static_cast<off_t>(offset), whence);
  if (pos < 0) return last_os_error();
  return static_cast<uint64_t>(pos);
}

Result<struct ::stat> fstat(int fd) {
  if (int err = injected_error(Call::kFstat)) return Error::os(err);
  struct ::stat st {};
  if (::fstat(fd, &st) != 0) return last_os_error();
  return st;
}

Result<struct ::stat> stat(const std::string& path) {
  if (int err = injected_error(Call::kStat)) return Error::os(err);
  struct ::stat st {};
  if (::stat(path.c_str(), &st) != 0) return last_os_error();
  return st;
}

Result<FileIdentity> identity_at(int dir_fd, const char* name) {
  if (int err = injected_error(Call::kStat)) return Error::os(err);
#ifdef TARNWICK_HAVE_STATX
  // Asking only for what is compared matters on Linux: a query that includes
  // the change time makes the kernel give the file's next write a
  // fine-grained time stamp, which dirties the inode on every append.
  KernelStatx sx{};
  const int err = statx_ino_size(dir_fd, name, &sx);
  if (err == 0) {
    if ((sx.mask & (kStatxIno | kStatxSize)) == (kStatxIno | kStatxSize)) {
      return FileIdentity{makedev(sx.dev_major, sx.dev_minor), static_cast<ino_t>(sx.ino),
                          sx.size};
    }
  } else if (err != ENOSYS && err != EPERM) {  // ENOSYS: before Linux 4.11; EPERM: some sandboxes
    return Error::os(err);
  }
#endif
  struct ::stat st {};
  if (::fstatat(dir_fd, name, &st, 0) != 0) return last_os_error();
  return FileIdentity{st.st_dev, st.st_ino, static_cast<uint64_t>(st.st_size)};
}

Result<struct ::timespec> change_time(int fd) {
  if (int err = injected_error(Call::kFstat)) return Error::os(err);
#ifdef TARNWICK_HAVE_STATX
  KernelStatx sx{};
  TW_ASSIGN_OR_RETURN(const bool answered, statx_fd(fd, kStatxCtime, &sx));
  if (answered) {
    struct ::timespec ts {};
    ts.tv_sec = static_cast<time_t>(sx.ctime.sec);
    ts.tv_nsec = static_cast<long>(sx.ctime.nsec);
    return ts;
  }
#endif
  struct ::stat st {};
  if (::fstat(fd, &st) != 0) return last_os_error();
  return ctime_of(st);
}

Result<uint64_t> file_size(int fd) {
  if (int err = injected_error(Call::kFstat)) return Error::os(err);
#ifdef TARNWICK_HAVE_STATX
  KernelStatx sx{};
  TW_ASSIGN_OR_RETURN(const bool answered, statx_fd(fd, kStatxSize, &sx));
  if (answered) return sx.size;
#endif
  struct ::stat st {};
  if (::fstat(fd, &st) != 0) return last_os_error();
  return static_cast<uint64_t>(st.st_size);
}

Status ftruncate(int fd, uint64_t length) {
  if (int err = injected_error(Call::kFtruncate)) return Error::os(err);
  while (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return last_os_error();
  }
  return {};
}

namespace {

Status pwrite_zeros(int fd, uint64_t offset, uint64_t length) {
  static constexpr size_t kZeros = size_t{64} << 10;
  static const std::vector<uint8_t> zeros(kZeros, 0);
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, kZeros));
    const ssize_t put = ::pwrite(fd, zeros.data(), n, static_cast<off_t>(offset));
    if (put < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (put == 0) return Error::write_zero();
    offset += static_cast<uint64_t>(put);
    length -= static_cast<uint64_t>(put);
  }
  return {};
}

}  // namespace

Status write_zeros(int fd, uint64_t offset, uint64_t length) {
  if (int err = injected_error(Call::kWrite)) return Error::os(err);
  return pwrite_zeros(fd, offset, length);
}

Status preallocate(int fd, uint64_t offset, uint64_t length) {
  if (int err = injected_error(Call::kPreallocate)) return Error::os(err);
#if defined(__linux__) || defined(__FreeBSD__)
  for (;;) {
    const int err =
        ::posix_fallocate(fd, static_cast<off_t>(offset), static_cast<off_t>(length));
    if (err == 0) return {};
    if (err == EINTR) continue;
    if (err != EOPNOTSUPP && err != EINVAL) return Error::os(err);
    break;  // the file system cannot: write the zeros instead
  }
#endif
  return pwrite_zeros(fd, offset, length);  // the portable way to allocate
}

namespace {

Status sync_fd(int fd) {
#if defined(__APPLE__)
  for (;;) {
    if (::fcntl(fd, F_FULLFSYNC) == 0) return {};
    if (errno == EINTR) continue;
    // Some file systems do not support F_FULLFSYNC; fsync is the best left.
    if (errno == ENOTSUP || errno == ENOTTY || errno == EINVAL) break;
    return last_os_error();
  }
#endif
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return last_os_error();
  }
  return {};
}

#if !defined(__APPLE__)
Status data_sync_fd(int fd) {
  while (::fdatasync(fd) != 0) {
    if (errno != EINTR) return last_os_error();
  }
  return {};
}
#endif

// A sync as tests see it: failed as kFullSync when injected, and told to
// the observer with the length the file had before it began.
Status observed_sync(int fd, Status (*sync)(int)) {
  if (int err = injected_error(Call::kFullSync)) return Error::os(err);
  const SyncObserver observer = g_sync_observer.load(std::memory_order_acquire);
  if (observer == nullptr) return sync(fd);
  struct ::stat st {};
  const uint64_t before = ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  TW_TRY(sync(fd));
  observer(fd, before);
  return {};
}

}  // namespace

Status full_sync(int fd) { return observed_sync(fd, sync_fd); }

Status data_sync(int fd) {
#if defined(__APPLE__)
  return full_sync(fd);  // only F_FULLFSYNC reaches the disk's platter there
#else
  return observed_sync(fd, data_sync_fd);
#endif
}

void observe_syncs(SyncObserver observer) {
  g_sync_observer.store(observer, std::memory_order_release);
}

Status rename(const std::string& from, const std::string& to) {
  if (int err = injected_error(Call::kRename)) return Error::os(err);
  if (::rename(from.c_str(), to.c_str()) != 0) return last_os_error();
  return {};
}

Status fchmod(int fd, mode_t mode) {
  if (int err = injected_error(Call::kFchmod)) return Error::os(err);
  while (::fchmod(fd, mode) != 0) {
    if (errno != EINTR) return last_os_error();
  }
  return {};
}

Status fchown(int fd, uid_t owner, gid_t group) {
  if (int err = injected_error(Call::kFchown)) return Error::os(err);
  while (::fchown(fd, owner, group) != 0) {
    if (errno != EINTR) return last_os_error();
  }
  return {};
}

Status mkdir(const std::string& path, mode_t mode) {
  if (int err = injected_error(Call::kMkdir)) return Error::os(err);
  if (::mkdir(path.c_str(), mode) != 0) return last_os_error();
  return {};
}

Status unlink(const std::string& path) {
  if (int err = injected_error(Call::kUnlink)) return Error::os(err);
  if (::unlink(path.c_str()) != 0) return last_os_error();
  return {};
}

namespace {

// Syncs the directory in which `created` (a path not ending in '/') was made.
Status sync_directory_of(const std::string& created) {
  const size_t slash = created.rfind('/');
  const std::string parent =
      slash == std::string::npos ? "." : slash == 0 ? "/" : created.substr(0, slash);
  TW_ASSIGN_OR_RETURN(UniqueFd dir, open(parent, O_RDONLY | O_DIRECTORY));
  return full_sync(dir.get());
}

}  // namespace

Status mkdir_all(const std::string& path) {
  if (path.empty()) return {};
  size_t pos = 0;
  for (;;) {
    pos = path.find('/', pos + 1);
    const std::string prefix = path.substr(0, pos);
    if (!prefix.empty()) {
      if (int err = injected_error(Call::kMkdir)) return Error::os(err);
      if (::mkdir(prefix.c_str(), 0777) == 0) {
        TW_TRY(sync_directory_of(prefix));
      } else {
        const int mkdir_errno = errno;
        struct ::stat st {};
        // EEXIST from a concurrent creator, or a parent we may not create in
        // but which exists: both are fine as long as it is a directory.
        if (::stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
          return Error::os(mkdir_errno);
        }
      }
    }
    if (pos == std::string::npos) return {};
  }
}

Result<void*> mmap_read_shared(int fd, size_t length) {
  if (int err = injected_error(Call::kMmap)) return Error::os(err);
  void* addr = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  if (addr == MAP_FAILED) return last_os_error();
  return addr;
}

Result<void*> mmap_write_shared(int fd, size_t length) {
  if (int err = injected_error(Call::kMmap)) return Error::os(err);
  void* addr = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (addr == MAP_FAILED) return last_os_error();
  return addr;
}

void munmap(void* addr, size_t length) { ::munmap(addr, length); }

Status flock_exclusive_nonblocking(int fd) {
  if (int err = injected_error(Call::kFlock)) return Error::os(err);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return last_os_error();
  return {};
}

Status flock_shared_nonblocking(int fd) {
  if (int err = injected_error(Call::kFlock)) return Error::os(err);
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) return last_os_error();
  return {};
}

Status flock_shared(int fd) {
  if (int err = injected_error(Call::kFlock)) return Error::os(err);
  while (::flock(fd, LOCK_SH) != 0) {
    if (errno != EINTR) return last_os_error();
  }
  return {};
}

void flock_unlock(int fd) { (void)::flock(fd, LOCK_UN); }

#if defined(__linux__)
Status futex_wait_shared(const uint32_t* word, uint32_t expected, uint64_t timeout_ns) {
  if (int err = injected_error(Call::kFutex)) return Error::os(err);
  struct timespec timeout {
    static_cast<time_t>(timeout_ns / 1'000'000'000), static_cast<long>(timeout_ns % 1'000'000'000)
  };
  if (::syscall(SYS_futex, word, FUTEX_WAIT, expected, &timeout, nullptr, 0) == 0) return {};
  if (errno == EAGAIN || errno == ETIMEDOUT || errno == EINTR) return {};
  return last_os_error();
}

void futex_wake_shared(const uint32_t* word) {
  (void)::syscall(SYS_futex, word, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}
#endif

Result<UniqueFd> dup(int fd) {
  if (int err = injected_error(Call::kDup)) return Error::os(err);
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (copy < 0) return last_os_error();
  return UniqueFd(copy);
}

#if defined(__linux__)
Result<UniqueFd> watch_directory(const std::string& dir) {
  if (int err = injected_error(Call::kWatch)) return Error::os(err);
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd >= 0) fd = above_standard_streams(fd);
  if (fd < 0) return last_os_error();
  UniqueFd watch(fd);
  constexpr uint32_t kMask = IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_ONLYDIR;
  if (::inotify_add_watch(fd, dir.c_str(), kMask) < 0) return last_os_error();
  return watch;
}
#elif defined(__APPLE__) || defined(__FreeBSD__)
Result<UniqueFd> kqueue_open() {
  if (int err = injected_error(Call::kWatch)) return Error::os(err);
  int kq = ::kqueue();
  if (kq >= 0) kq = above_standard_streams(kq);
  if (kq < 0) return last_os_error();
  UniqueFd owned(kq);
  if (::fcntl(kq, F_SETFD, FD_CLOEXEC) != 0) return last_os_error();
  return owned;
}

Status kqueue_watch(int kq, int fd) {
  if (int err = injected_error(Call::kWatch)) return Error::os(err);
  struct kevent change;
  EV_SET(&change, fd, EVFILT_VNODE, EV_ADD | EV_CLEAR,
         NOTE_WRITE | NOTE_EXTEND | NOTE_RENAME | NOTE_DELETE, 0, nullptr);
  while (::kevent(kq, &change, 1, nullptr, 0, nullptr) < 0) {
    if (errno != EINTR) return last_os_error();
  }
  return {};
}

Result<bool> kqueue_drain(int kq, int fd) {
  if (int err = injected_error(Call::kWatch)) return Error::os(err);
  struct kevent events[16];
  const struct timespec no_wait {0, 0};
  bool named = false;
  for (;;) {
    const int got = ::kevent(kq, nullptr, 0, events, 16, &no_wait);
    if (got < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    for (int i = 0; i < got; ++i) named = named || static_cast<int>(events[i].ident) == fd;
    if (got < 16) return named;
  }
}
#endif

void inject(Call call, const Fault& fault) {
  std::lock_guard<std::mutex> guard(g_fault_mutex);
  g_slots[static_cast<size_t>(call)] = FaultSlot{true, fault, 0};
  g_any_armed.store(true, std::memory_order_relaxed);
}

void clear_faults() {
  std::lock_guard<std::mutex> guard(g_fault_mutex);
  for (auto& slot : g_slots) slot = FaultSlot{};
  g_any_armed.store(false, std::memory_order_relaxed);
}

uint64_t call_count(Call call) {
  return g_counts[static_cast<size_t>(call)].load(std::memory_order_relaxed);
}

void reset_call_counts() {
  for (auto& count : g_counts) count.store(0, std::memory_order_relaxed);
}

}  // namespace tarnwick::sys
