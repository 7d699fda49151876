// Little-endian loads and stores; every integer in the log is unsigned LE.
#pragma once

#include <cstdint>

namespace tarnwick {

inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t load_le64(const uint8_t* p) {
  return uint64_t(load_le32(p)) | uint64_t(load_le32(p + 4)) << 32;
}
inline void store_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void store_le64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace tarnwick
