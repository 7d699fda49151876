// Making a directory entry change (create, rename) durable.
#pragma once

#include <string>

#include "log_io/error.h"

namespace tarnwick {

// Fully syncs the directory that holds `path`. A bare file name or a root
// has no parent to sync and succeeds at once.
Status sync_parent_dir(const std::string& path);

// The directory part of `path`: "/" for "/name", "" for a bare name or a root.
std::string parent_dir(const std::string& path);

}  // namespace tarnwick
