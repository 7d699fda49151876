// A read-only shared memory map, unmapped when dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "log_io/sys.h"

namespace tarnwick {

class MappedRegion {
 public:
  MappedRegion() = default;
  MappedRegion(void* addr, size_t length) : addr_(addr), length_(length) {}
  MappedRegion(MappedRegion&& other) noexcept
      : addr_(std::exchange(other.addr_, nullptr)), length_(std::exchange(other.length_, 0)) {}
  MappedRegion& operator=(MappedRegion&& other) noexcept {
    if (this != &other) {
      reset();
      addr_ = std::exchange(other.addr_, nullptr);
      length_ = std::exchange(other.length_, 0);
    }
    return *this;
  }
  MappedRegion(const MappedRegion&) = delete;
  MappedRegion& operator=(const MappedRegion&) = delete;
  ~MappedRegion() { reset(); }

  void reset() {
    if (addr_ != nullptr) sys::munmap(addr_, length_);
    addr_ = nullptr;
    length_ = 0;
  }
  bool mapped() const { return addr_ != nullptr; }
  const uint8_t* data() const { return static_cast<const uint8_t*>(addr_); }
  size_t size() const { return length_; }

 private:
  void* addr_ = nullptr;
  size_t length_ = 0;
};

}  // namespace tarnwick
