#include "log_io/file_access.h"

#include <fcntl.h>

#include <cerrno>

#include "log_io/durability.h"
#include "log_io/sys.h"

namespace tarnwick {
namespace {

// Read and write for owner, group and others: a queue's files are never run.
constexpr mode_t kFileBits = 0666;
// Everything chmod sets on a directory except setuid, which means nothing there.
constexpr mode_t kDirectoryBits = 03777;

bool refused(const Error& error) {
  return error.kind() == ErrorKind::kOs &&
         (error.os_code() == EPERM || error.os_code() == EINVAL);
}

Result<struct ::stat> stat_parent(const std::string& path) {
  const std::string parent = parent_dir(path);
  return sys::stat(parent.empty() ? "." : parent);
}

}  // namespace

FileAccess access_replacing(const struct ::stat& replaced) {
  return {static_cast<mode_t>(replaced.st_mode & kFileBits), replaced.st_uid, replaced.st_gid};
}

FileAccess access_for_file_in(const struct ::stat& dir) {
  return {static_cast<mode_t>(dir.st_mode & kFileBits), dir.st_uid, dir.st_gid};
}

FileAccess access_for_directory_in(const struct ::stat& dir) {
  return {static_cast<mode_t>(dir.st_mode & kDirectoryBits), dir.st_uid, dir.st_gid};
}

Result<FileAccess> access_for_new_file(const std::string& path) {
  TW_ASSIGN_OR_RETURN(struct ::stat dir, stat_parent(path));
  return access_for_file_in(dir);
}

Status apply_access(int fd, const FileAccess& access) {
  TW_ASSIGN_OR_RETURN(struct ::stat st, sys::fstat(fd));
  bool changed_owner = false;
  if (st.st_uid != access.owner) {
    // Succeeds for root only; everyone else may still change the group.
    Status given = sys::fchown(fd, access.owner, access.group);
    if (!given.ok() && !refused(given.error())) return given;
    changed_owner = given.ok();
    if (given.ok()) st.st_gid = access.group;
  }
  if (st.st_gid != access.group) {
    Status grouped = sys::fchown(fd, static_cast<uid_t>(-1), access.group);
    if (!grouped.ok() && !refused(grouped.error())) return grouped;
    changed_owner = changed_owner || grouped.ok();
  }
  // A change of owner or group may clear the setgid bit: set the mode after it.
  if (changed_owner || (st.st_mode & 07777) != access.mode) TW_TRY(sys::fchmod(fd, access.mode));
  return {};
}

Status make_directory_like_parent(const std::string& path) {
  TW_ASSIGN_OR_RETURN(struct ::stat parent, stat_parent(path));
  const FileAccess access = access_for_directory_in(parent);
  Status made = sys::mkdir(path, access.mode & 0777);
  if (!made.ok()) {
    if (made.error().os_code() != EEXIST) return made;
    // Made by another process meanwhile (which gives it its access), or a
    // file in the way, which the open of the queue reports.
    return {};
  }
  TW_ASSIGN_OR_RETURN(UniqueFd dir, sys::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
  TW_TRY(apply_access(dir.get(), access));
  return sync_parent_dir(path);
}

}  // namespace tarnwick
