#include "log_io/dir_watch.h"

#include <fcntl.h>

#include <cerrno>

#include "log_io/sys.h"

namespace tarnwick {

#if defined(__linux__)

Result<DirectoryWatch> DirectoryWatch::open(const std::string& dir, const std::string&) {
  DirectoryWatch watch;
  TW_ASSIGN_OR_RETURN(watch.fd_, sys::watch_directory(dir));
  return watch;
}

Status DirectoryWatch::drain() {
  alignas(8) unsigned char events[4096];
  for (;;) {
    auto got = sys::read(fd_.get(), events, sizeof events);
    if (!got.ok()) {
      if (got.error().os_code() == EAGAIN) return {};
      return std::move(got).error();
    }
    if (*got == 0) return {};
  }
}

#elif defined(__APPLE__) || defined(__FreeBSD__)

// kqueue reports writes to a directory only for its entries, so the log
// file is watched too, and watched afresh whenever the directory changes.
Result<DirectoryWatch> DirectoryWatch::open(const std::string& dir, const std::string& file_name) {
  DirectoryWatch watch;
  TW_ASSIGN_OR_RETURN(watch.fd_, sys::kqueue_open());
  TW_ASSIGN_OR_RETURN(watch.dir_, sys::open(dir, O_RDONLY | O_DIRECTORY));
  TW_TRY(sys::kqueue_watch(watch.fd_.get(), watch.dir_.get()));
  watch.file_path_ = dir + "/" + file_name;
  TW_TRY(watch.watch_file());
  return watch;
}

Status DirectoryWatch::watch_file() {
#ifdef O_EVTONLY
  constexpr int kFlags = O_EVTONLY;
#else
  constexpr int kFlags = O_RDONLY;
#endif
  auto file = sys::open(file_path_, kFlags);
  if (!file.ok()) return std::move(file).error();
  file_ = std::move(file).value();
  return sys::kqueue_watch(fd_.get(), file_.get());
}

Status DirectoryWatch::drain() {
  TW_ASSIGN_OR_RETURN(bool directory_changed, sys::kqueue_drain(fd_.get(), dir_.get()));
  if (directory_changed) return watch_file();
  return {};
}

#else

Result<DirectoryWatch> DirectoryWatch::open(const std::string&, const std::string&) {
  return Error::os(ENOSYS);
}

Status DirectoryWatch::drain() { return {}; }

#endif

}  // namespace tarnwick
