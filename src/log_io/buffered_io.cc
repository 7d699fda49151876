#include "log_io/buffered_io.h"

#include <cstring>

#include "log_io/sys.h"

namespace tarnwick {

BufferedReader::BufferedReader(int fd, size_t capacity)
    : fd_(fd), capacity_(capacity), buf_(new uint8_t[capacity]) {}

Result<size_t> BufferedReader::read(void* dest, size_t n) {
  if (n == 0) return size_t{0};
  if (pos_ == end_) {
    if (n >= capacity_) return sys::read(fd_, dest, n);
    TW_ASSIGN_OR_RETURN(size_t got, sys::read(fd_, buf_.get(), capacity_));
    pos_ = 0;
    end_ = got;
    if (got == 0) return size_t{0};
  }
  const size_t take = std::min(n, end_ - pos_);
  std::memcpy(dest, buf_.get() + pos_, take);
  pos_ += take;
  return take;
}

Result<size_t> MemoryReader::read(void* dest, size_t n) {
  const size_t take = std::min(n, bytes_.size() - pos_);
  if (take > 0) std::memcpy(dest, bytes_.data() + pos_, take);
  pos_ += take;
  return take;
}

BufferedWriter::BufferedWriter(int fd, size_t capacity)
    : fd_(fd), capacity_(capacity), buf_(new uint8_t[capacity]) {}

Status BufferedWriter::write_all(std::span<const uint8_t> bytes) {
  if (bytes.size() > capacity_ - len_) {
    TW_TRY(flush());
    if (bytes.size() >= capacity_) return sys::write_all(fd_, bytes.data(), bytes.size());
  }
  std::memcpy(buf_.get() + len_, bytes.data(), bytes.size());
  len_ += bytes.size();
  return {};
}

Status BufferedWriter::flush() {
  if (len_ == 0) return {};
  const size_t len = len_;
  len_ = 0;  // dropped on failure as well as on success
  return sys::write_all(fd_, buf_.get(), len);
}

}  // namespace tarnwick
