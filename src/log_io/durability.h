// Making a directory entry change (create, rename) durable, and the files
// that replace a log by a rename.
#pragma once

#include <string>
#include <utility>

#include "log_io/error.h"
#include "log_io/file_access.h"
#include "log_io/unique_fd.h"

namespace tarnwick {

// Fully syncs the directory that holds `path`. A bare file name or a root
// has no parent to sync and succeeds at once.
Status sync_parent_dir(const std::string& path);

// The directory part of `path`: "/" for "/name", "" for a bare name or a root.
std::string parent_dir(const std::string& path);

// A new file beside a log, to be renamed over it. Whatever stands at its name
// is removed first and the file is created exclusively, so a symbolic link
// planted there is never followed. It is given `access` before anything is
// written to it (see file_access.h); without one, the access of a file made
// fresh in its directory. Dropped before rename_to succeeded (a failed
// replacement), the file is removed again.
class ReplacementFile {
 public:
  static Result<ReplacementFile> create(std::string path);
  static Result<ReplacementFile> create(std::string path, const FileAccess& access);
  ReplacementFile(ReplacementFile&& other) noexcept
      : path_(std::exchange(other.path_, {})), fd_(std::move(other.fd_)) {}
  ReplacementFile& operator=(ReplacementFile&&) = delete;
  ~ReplacementFile();

  int fd() const { return fd_.get(); }
  // Closes the file and renames it to `target`; the directory is not synced.
  Status rename_to(const std::string& target);

 private:
  ReplacementFile(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  std::string path_;  // empty once renamed
  UniqueFd fd_;
};

}  // namespace tarnwick
