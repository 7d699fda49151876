#include "log_io/durability.h"

#include <fcntl.h>

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

}  // namespace tarnwick
