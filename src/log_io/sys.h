// The one layer through which the engine makes system calls.
//
// Every wrapper retries EINTR where that is safe, opens descriptors
// close-on-exec, classifies errno into an Error in exactly one place, and
// counts its calls. Tests can make any wrapper fail with a chosen errno
// (optionally after writing part of the data) to reach failure paths.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "log_io/error.h"
#include "log_io/unique_fd.h"

namespace tarnwick::sys {

enum class Call : uint8_t {
  kOpen,
  kRead,
  kPread,
  kWrite,
  kLseek,
  kFstat,
  kStat,
  kStatx,  // the statx attempt inside identity_at (Linux only)
  kFtruncate,
  kFullSync,
  kRename,
  kMkdir,
  kMmap,
  kFlock,
  kDup,
  kUnlink,
  kWritev,
  kWatch,
  kFchmod,
  kFchown,
  kPreallocate,
  kFutex,
  kCount,
};

// open(2) with O_CLOEXEC added and permission bits `create_mode` (before the
// umask) for created files.
// The descriptor is never 0, 1 or 2: a process that closed its standard
// streams would otherwise have library output (a warning on standard error)
// written into a queue file. With O_NOFOLLOW, a symbolic link at `path` is
// refused with an error that says so.
Result<UniqueFd> open(const std::string& path, int flags, mode_t create_mode = 0666);
// One read; EINTR retried. Returns 0 at end of file.
Result<size_t> read(int fd, void* buf, size_t n);
// One positioned read; EINTR retried.
Result<size_t> pread(int fd, void* buf, size_t n, uint64_t offset);
// Writes all n bytes, retrying EINTR and short writes. A write of 0 bytes
// fails with "failed to write whole buffer".
Status write_all(int fd, const void* buf, size_t n);
// Writes every byte of iov[0..count) in order with as few writev calls as the
// kernel allows, retrying EINTR and short writes; count is at most IOV_MAX.
Status writev_all(int fd, const struct ::iovec* iov, int count);
Result<uint64_t> lseek(int fd, int64_t offset, int whence);
Result<struct ::stat> fstat(int fd);
Result<struct ::stat> stat(const std::string& path);
// Which file `name` inside the open directory `dir_fd` is, and its length
// (counted as kStat). On Linux it asks statx first (counted as kStatx) and
// falls back to fstatat where the kernel or a sandbox refuses statx.
struct FileIdentity {
  dev_t dev;
  ino_t ino;
  uint64_t size;
};
Result<FileIdentity> identity_at(int dir_fd, const char* name);
// The change time of the open file or directory fd (counted as kFstat).
Result<struct ::timespec> change_time(int fd);
// The length of the open file fd (counted as kFstat). On Linux it asks for
// nothing else: asking for a time stamp of a file that is being appended to
// makes the kernel give its next write a fine-grained one, at a cost.
Result<uint64_t> file_size(int fd);
Status ftruncate(int fd, uint64_t length);
// Allocates the bytes [offset, offset + length) of fd, growing the file to
// cover them, so that they take space on the disk now: posix_fallocate where
// the platform and file system have it, written zeros elsewhere.
Status preallocate(int fd, uint64_t offset, uint64_t length);
// The platform's strongest durability request (F_FULLFSYNC on macOS, fsync
// elsewhere), retried while interrupted.
Status full_sync(int fd);
// fdatasync: the data and what reading it back needs (the size), not the
// times. Counted, failed and observed as full_sync; full_sync on macOS.
Status data_sync(int fd);
// Writes zeros over [offset, offset + length) of fd, growing the file where
// it is shorter; fails as a write.
Status write_zeros(int fd, uint64_t offset, uint64_t length);
Status rename(const std::string& from, const std::string& to);
// Sets the permission bits of the open file fd exactly (no umask applies).
Status fchmod(int fd, mode_t mode);
// Changes the owner and group of the open file fd; -1 keeps one as it is.
Status fchown(int fd, uid_t owner, gid_t group);
// Creates one directory with `mode` (before the umask); counted as kMkdir.
Status mkdir(const std::string& path, mode_t mode);
// Removes a directory entry (a link itself, never its target).
Status unlink(const std::string& path);
// Creates the directory and every missing parent (mode 0777 before umask),
// fully syncing the directory each one was created in, so that the new
// directories survive a power cut. An existing directory, also one made
// concurrently, is accepted.
Status mkdir_all(const std::string& path);
// A read-only shared mapping of the first `length` bytes of fd.
Result<void*> mmap_read_shared(int fd, size_t length);
// A readable and writable shared mapping of the first `length` bytes of fd
// (counted as kMmap).
Result<void*> mmap_write_shared(int fd, size_t length);
void munmap(void* addr, size_t length);
// Non-blocking exclusive flock; EWOULDBLOCK comes back as an Os error.
Status flock_exclusive_nonblocking(int fd);
// Non-blocking shared flock (counted as kFlock); works on a read-only descriptor.
Status flock_shared_nonblocking(int fd);
// Blocking shared flock (counted as kFlock), retried while interrupted.
Status flock_shared(int fd);
void flock_unlock(int fd);  // result ignored
#if defined(__linux__)
// Sleeps while the 32-bit word in shared memory (a MAP_SHARED mapping that
// other processes map too) holds `expected`, at most `timeout_ns`; returns
// at once if it does not. Woken, timed out or interrupted alike: the caller
// looks again. Counted as kFutex.
Status futex_wait_shared(const uint32_t* word, uint32_t expected, uint64_t timeout_ns);
void futex_wake_shared(const uint32_t* word);  // wakes every sleeper; result ignored
#endif
Result<UniqueFd> dup(int fd);  // never 0, 1 or 2, like open

// --- change notification (counted as kWatch) ---
#if defined(__linux__)
// A non-blocking inotify descriptor watching the directory for written,
// created, renamed and removed entries.
Result<UniqueFd> watch_directory(const std::string& dir);
#elif defined(__APPLE__) || defined(__FreeBSD__)
Result<UniqueFd> kqueue_open();
// Adds (or re-adds) a vnode watch for writes, growth, renames and removals of fd.
Status kqueue_watch(int kq, int fd);
// Reads the pending events without waiting; true if any named `fd`.
Result<bool> kqueue_drain(int kq, int fd);
#endif

// --- fault injection and call counting, for tests ---

struct Fault {
  int error = 0;           // errno to fail with
  uint64_t skip = 0;       // let this many calls through first
  uint64_t times = 1;      // then fail this many calls (UINT64_MAX: forever)
  size_t partial_bytes = 0;  // kWrite, kWritev: write this many bytes, then fail
};

// Called after every successful full_sync with the descriptor and the length
// its file had before the sync began (what the sync made durable at least);
// null stops it. A test's model of what a power cut keeps.
using SyncObserver = void (*)(int fd, uint64_t length_before);
void observe_syncs(SyncObserver observer);

void inject(Call call, const Fault& fault);
void clear_faults();
uint64_t call_count(Call call);
void reset_call_counts();

}  // namespace tarnwick::sys
