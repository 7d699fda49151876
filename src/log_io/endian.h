// Little-endian loads and stores; every integer in the log is unsigned LE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

// Appending to a record being encoded.
inline void put_u8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }
inline void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  const size_t at = out.size();
  out.resize(at + 4);
  store_le32(out.data() + at, v);
}
inline void put_u64(std::vector<uint8_t>& out, uint64_t v) {
  const size_t at = out.size();
  out.resize(at + 8);
  store_le64(out.data() + at, v);
}

}  // namespace tarnwick
