// The one layer through which the engine makes system calls.
//
// Every wrapper retries EINTR where that is safe, opens descriptors
// close-on-exec, classifies errno into an Error in exactly one place, and
// counts its calls. Tests can make any wrapper fail with a chosen errno
// (optionally after writing part of the data) to reach failure paths.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

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
  kCount,
};

// open(2) with O_CLOEXEC added and permission bits 0666 for created files.
Result<UniqueFd> open(const std::string& path, int flags);
// One read; EINTR retried. Returns 0 at end of file.
Result<size_t> read(int fd, void* buf, size_t n);
// One positioned read; EINTR retried.
Result<size_t> pread(int fd, void* buf, size_t n, uint64_t offset);
// Writes all n bytes, retrying EINTR and short writes. A write of 0 bytes
// fails with "failed to write whole buffer".
Status write_all(int fd, const void* buf, size_t n);
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
Status ftruncate(int fd, uint64_t length);
// The platform's strongest durability request (F_FULLFSYNC on macOS, fsync
// elsewhere), retried while interrupted.
Status full_sync(int fd);
Status rename(const std::string& from, const std::string& to);
// Creates the directory and every missing parent (mode 0777 before umask).
// An existing directory, also one made concurrently, is accepted.
Status mkdir_all(const std::string& path);
// A read-only shared mapping of the first `length` bytes of fd.
Result<void*> mmap_read_shared(int fd, size_t length);
void munmap(void* addr, size_t length);
// Non-blocking exclusive flock; EWOULDBLOCK comes back as an Os error.
Status flock_exclusive_nonblocking(int fd);
void flock_unlock(int fd);  // result ignored
Result<UniqueFd> dup(int fd);

// --- fault injection and call counting, for tests ---

struct Fault {
  int error = 0;           // errno to fail with
  uint64_t skip = 0;       // let this many calls through first
  uint64_t times = 1;      // then fail this many calls (UINT64_MAX: forever)
  size_t partial_bytes = 0;  // kWrite only: write this many bytes, then fail
};

void inject(Call call, const Fault& fault);
void clear_faults();
uint64_t call_count(Call call);
void reset_call_counts();

}  // namespace tarnwick::sys
