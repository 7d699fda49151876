#include "queue/log_files.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "log_io/sys.h"

namespace tarnwick {
namespace {

// Catch-up reads the header on every call while others keep writing, which
// would update the access time each time (relatime does so whenever it is
// older than the modification time). The access time tells nothing here.
Result<UniqueFd> open_reader(const std::string& log_path) {
#ifdef O_NOATIME
  auto fd = sys::open(log_path, O_RDONLY | O_NOFOLLOW | O_NOATIME);
  if (fd.ok() || fd.error().os_code() != EPERM) return fd;  // EPERM: not the file's owner
#endif
  return sys::open(log_path, O_RDONLY | O_NOFOLLOW);
}

}  // namespace

LogFiles::LogFiles(UniqueFd writer_fd_in, UniqueFd reader_in)
    : writer_fd(std::move(writer_fd_in)), writer(writer_fd.get()), reader(std::move(reader_in)) {}

LogFiles::~LogFiles() {
  if (writer_fd.valid()) (void)writer.flush();
}

Result<LogFiles> LogFiles::open(const std::string& log_path, bool read_only, bool appends) {
  UniqueFd writer_fd;
  if (!read_only) {
    TW_ASSIGN_OR_RETURN(writer_fd,
                        sys::open(log_path, O_RDWR | (appends ? O_APPEND : 0) | O_NOFOLLOW));
  }
  TW_ASSIGN_OR_RETURN(UniqueFd reader, open_reader(log_path));
  TW_ASSIGN_OR_RETURN(struct ::stat st, sys::fstat(reader.get()));
  LogFiles files(std::move(writer_fd), std::move(reader));
  files.appends = appends;
  files.allocated = static_cast<uint64_t>(st.st_size);
  files.dev = st.st_dev;
  files.ino = st.st_ino;
  // Only an outside truncation to zero bytes could make this page fault,
  // and the engine never cuts a log below its header.
  if (st.st_size >= static_cast<off_t>(LOG_HEADER_LEN)) {
    auto mapped = sys::mmap_read_shared(files.reader.get(), LOG_HEADER_LEN);
    if (mapped.ok()) files.header_map = MappedRegion(*mapped, LOG_HEADER_LEN);
  }
  return files;
}

bool LogFiles::read_header(uint8_t (&out)[LOG_HEADER_LEN]) const {
  if (header_map.mapped()) {
    std::memcpy(out, header_map.data(), LOG_HEADER_LEN);
    return true;
  }
  auto got = sys::pread(reader.get(), out, LOG_HEADER_LEN, 0);
  return got.ok() && *got == LOG_HEADER_LEN;
}

}  // namespace tarnwick
