// Reading a payload's fields in order, for the kinds decoded whole
// (outcome_record.cc, schedule_record.cc).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "log_io/endian.h"

namespace tarnwick {

// Reads fields in order; any read past the end fails the whole decode.
class PayloadReader {
 public:
  explicit PayloadReader(std::span<const uint8_t> payload) : p_(payload) {}
  bool ok() const { return ok_; }
  bool done() const { return ok_ && at_ == p_.size(); }
  uint8_t u8() { return have(1) ? p_[at_++] : 0; }
  uint32_t u32() {
    if (!have(4)) return 0;
    const uint32_t v = load_le32(p_.data() + at_);
    at_ += 4;
    return v;
  }
  uint64_t u64() {
    if (!have(8)) return 0;
    const uint64_t v = load_le64(p_.data() + at_);
    at_ += 8;
    return v;
  }
  std::span<const uint8_t> bytes(size_t n) {
    if (!have(n)) return {};
    auto out = p_.subspan(at_, n);
    at_ += n;
    return out;
  }
  std::string_view text(size_t n) {
    auto b = bytes(n);
    return {reinterpret_cast<const char*>(b.data()), b.size()};
  }

  size_t at() const { return at_; }  // bytes read so far
  bool fail() { return ok_ = false; }

 private:
  bool have(size_t n) {
    if (!ok_ || p_.size() - at_ < n) ok_ = false;
    return ok_;
  }
  std::span<const uint8_t> p_;
  size_t at_ = 0;
  bool ok_ = true;
};

}  // namespace tarnwick
