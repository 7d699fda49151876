// Who may use the files of a queue: the permission bits, group and owner
// that a file the engine creates is given, so that every user who could work
// on a queue before the file was made still can afterwards, whatever the
// umask and the primary group of the process that made it.
//
// A file that replaces another (a new generation of the log) takes the read
// and write bits, group and owner of the file it replaces. A file made fresh
// in a directory (a new log, the lock file, the dead letters' subdirectory
// and its files) takes the directory's read and write bits for owner, group
// and others (a subdirectory: all of the directory's bits, setgid and sticky
// included), and the directory's group and owner. Only root may give a file
// to another owner, and only a member of a group may give a file that group:
// a change the process may not make is left out without an error.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "log_io/error.h"

namespace tarnwick {

struct FileAccess {
  mode_t mode;  // permission bits only
  uid_t owner;
  gid_t group;
};

// For a file that takes the place of the file `replaced`.
FileAccess access_replacing(const struct ::stat& replaced);
// For a regular file made fresh in the directory `dir`.
FileAccess access_for_file_in(const struct ::stat& dir);
// For a directory made fresh in the directory `dir`.
FileAccess access_for_directory_in(const struct ::stat& dir);
// For a regular file made fresh in the directory that holds `path`.
Result<FileAccess> access_for_new_file(const std::string& path);

// Gives the open file fd `access`: owner and group as far as the process may
// (a refused change, EPERM or EINVAL, is skipped), then the mode exactly,
// whatever the umask. Makes no call that would change nothing.
Status apply_access(int fd, const FileAccess& access);

// Creates the directory `path` inside an existing directory, with the access
// of access_for_directory_in, and syncs the directory that holds it. An
// existing directory is accepted as it is.
Status make_directory_like_parent(const std::string& path);

}  // namespace tarnwick
