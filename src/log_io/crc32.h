// CRC-32 of IEEE 802.3 / zlib (reflected polynomial 0xEDB88320, initial value
// and final xor all ones). The CRC of no bytes is 0.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

// Carry-less multiplication (x86-64 with PCLMULQDQ) or the CRC32 instructions
// (arm64) where present, else eight bytes per step over eight derived tables;
// the same value as the bytewise form either way.
uint32_t crc32(const void* data, size_t length);
// The CRC of bytes whose first part had CRC `crc` and which go on with
// data[0..length): crc32_extend(crc32(a), b) == crc32(a followed by b).
uint32_t crc32_extend(uint32_t crc, const void* data, size_t length);
// One table look-up per byte: the reference the fast form is checked against.
uint32_t crc32_bytewise(const void* data, size_t length);

}  // namespace tarnwick
