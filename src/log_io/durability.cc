#include "log_io/durability.h"

#include <fcntl.h>

#include <cerrno>

#include "log_io/sys.h"

namespace tarnwick {

std::string parent_dir(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;  // "a/b/" names b
  const size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
  if (end == 0 || slash == std::string::npos) return "";
  size_t parent_end = slash;
  while (parent_end > 0 && path[parent_end - 1] == '/') --parent_end;
  if (parent_end == 0) return "/";
  return path.substr(0, parent_end);
}

Status sync_parent_dir(const std::string& path) {
  const std::string parent = parent_dir(path);
  if (parent.empty()) return {};
  TW_ASSIGN_OR_RETURN(UniqueFd dir, sys::open(parent, O_RDONLY | O_DIRECTORY));
  return sys::full_sync(dir.get());
}

Result<ReplacementFile> ReplacementFile::create(std::string path) {
  TW_ASSIGN_OR_RETURN(const FileAccess access, access_for_new_file(path));
  return create(std::move(path), access);
}

Result<ReplacementFile> ReplacementFile::create(std::string path, const FileAccess& access) {
  Status removed = sys::unlink(path);
  if (!removed.ok() && removed.error().os_code() != ENOENT) return std::move(removed).error();
  // Created no more open than it is to be, then set exactly, umask or not.
  TW_ASSIGN_OR_RETURN(UniqueFd fd,
                      sys::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, access.mode));
  ReplacementFile file(std::move(path), std::move(fd));
  TW_TRY(apply_access(file.fd(), access));
  return file;
}

ReplacementFile::~ReplacementFile() {
  if (!path_.empty()) (void)sys::unlink(path_);
}

Status ReplacementFile::rename_to(const std::string& target) {
  fd_.reset();
  TW_TRY(sys::rename(path_, target));
  path_.clear();
  return {};
}

}  // namespace tarnwick
