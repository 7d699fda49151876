#include "log_io/error.h"

#include <cerrno>
#include <cstring>

namespace tarnwick {

bool Error::is_timeout() const {
  return kind_ == ErrorKind::kTimedOut || (kind_ == ErrorKind::kOs && os_code_ == ETIMEDOUT);
}

std::string Error::text() const {
  if (kind_ != ErrorKind::kOs) return message_;
  std::string text = message_.empty() ? std::string() : message_ + ": ";
  return text + std::strerror(os_code_) + " (os error " + std::to_string(os_code_) + ")";
}

}  // namespace tarnwick
