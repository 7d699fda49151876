#include "log_io/crc32.h"

#include <array>

#include "log_io/endian.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define TARNWICK_CRC_CLMUL 1
#elif defined(__aarch64__) && defined(__ARM_FEATURE_CRC32)
#include <arm_acle.h>
#define TARNWICK_CRC_ARM 1
#endif

namespace tarnwick {
namespace {

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  // t[k][i] is the CRC of byte i followed by k zero bytes.
  for (size_t k = 1; k < 8; ++k) {
    for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

constexpr Tables kTables = make_tables();

}  // namespace

uint32_t crc32_bytewise(const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) c = kTables[0][(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

namespace {

// Slicing by eight over the running (inverted) value.
uint32_t crc32_sliced(uint32_t c, const uint8_t* p, size_t length) {
  while (length >= 8) {
    const uint32_t lo = load_le32(p) ^ c;
    const uint32_t hi = load_le32(p + 4);
    c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
        kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
        kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
    p += 8;
    length -= 8;
  }
  while (length-- > 0) c = kTables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return c;
}

#if TARNWICK_CRC_CLMUL
// Carry-less multiplication folds 16-byte blocks forward by a fixed distance
// with constants x^n mod P (bit-reflected, times x, as the reflected product
// needs): four lanes 64 bytes apart, then one lane, then down to 32 bits by
// Barrett reduction with mu = floor(x^64 / P).
#define TARNWICK_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

constexpr uint64_t kX544 = 0x154442bd4, kX480 = 0x1c6e41596;  // 4 lanes: 512 ± 32 bits
constexpr uint64_t kX160 = 0x1751997d0, kX96 = 0x0ccaa009e;   // 1 lane: 128 ± 32 bits
constexpr uint64_t kX64 = 0x163cd6124;
constexpr uint64_t kPoly = 0x1db710641, kMu = 0x1f7011641;

TARNWICK_CLMUL_TARGET inline __m128i constants(uint64_t lo, uint64_t hi) {
  return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}

TARNWICK_CLMUL_TARGET inline __m128i load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// acc's low half times k's low half plus acc's high half times k's high half.
TARNWICK_CLMUL_TARGET inline __m128i fold(__m128i acc, __m128i k, __m128i onto) {
  return _mm_xor_si128(
      onto, _mm_xor_si128(_mm_clmulepi64_si128(acc, k, 0x00), _mm_clmulepi64_si128(acc, k, 0x11)));
}

TARNWICK_CLMUL_TARGET uint32_t finish(const __m128i lane[4], const uint8_t* p, size_t blocks);

// Runs over `blocks` 16-byte blocks (at least four) from p.
TARNWICK_CLMUL_TARGET uint32_t crc32_clmul(uint32_t c, const uint8_t* p, size_t blocks) {
  __m128i lane[4] = {load16(p), load16(p + 16), load16(p + 32), load16(p + 48)};
  lane[0] = _mm_xor_si128(lane[0], _mm_cvtsi32_si128(static_cast<int>(c)));
  p += 64;
  blocks -= 4;
  const __m128i by_four = constants(kX544, kX480);
  for (; blocks >= 4; blocks -= 4, p += 64) {
    for (int i = 0; i < 4; ++i) lane[i] = fold(lane[i], by_four, load16(p + 16 * i));
  }
  return finish(lane, p, blocks);
}

// Folds four lanes of consecutive 16-byte blocks into one, then the `blocks`
// blocks left at p, and reduces the result to 32 bits.
TARNWICK_CLMUL_TARGET uint32_t finish(const __m128i lane[4], const uint8_t* p, size_t blocks) {
  const __m128i by_one = constants(kX160, kX96);
  __m128i acc = lane[0];
  for (int i = 1; i < 4; ++i) acc = fold(acc, by_one, lane[i]);
  for (; blocks > 0; --blocks, p += 16) acc = fold(acc, by_one, load16(p));

  // 128 bits to 96, then to 64.
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
  acc = _mm_xor_si128(_mm_srli_si128(acc, 8), _mm_clmulepi64_si128(acc, by_one, 0x10));
  acc = _mm_xor_si128(_mm_srli_si128(acc, 4),
                      _mm_clmulepi64_si128(_mm_and_si128(acc, low32), constants(kX64, 0), 0x00));
  // Barrett reduction: the quotient's estimate from mu, then subtract q * P.
  const __m128i poly_mu = constants(kPoly, kMu);
  __m128i q = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(acc, low32), poly_mu, 0x10), low32);
  acc = _mm_xor_si128(acc, _mm_clmulepi64_si128(q, poly_mu, 0x00));
  return static_cast<uint32_t>(_mm_extract_epi32(acc, 1));
}

bool have_clmul() {
  static const bool have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return have;
}

// The same folding four 16-byte blocks to an instruction (AVX-512 with
// VPCLMULQDQ): four 64-byte lanes fold 256 bytes forward at a time, then onto
// each other and over the 64-byte chunks left, and their 16-byte parts are
// the four lanes the narrow form finishes with. Several times faster over a
// large body, which every write and every read of it checks.
#define TARNWICK_WIDE_TARGET __attribute__((target("avx512f,vpclmulqdq,pclmul,sse4.1")))

constexpr uint64_t kX2080 = 0x11542778a, kX2016 = 0x1322d1430;  // 256 bytes: 2048 ± 32 bits

TARNWICK_WIDE_TARGET inline __m512i load64(const uint8_t* p) { return _mm512_loadu_si512(p); }

TARNWICK_WIDE_TARGET inline __m512i wide_constants(uint64_t lo, uint64_t hi) {
  const auto l = static_cast<long long>(lo), h = static_cast<long long>(hi);
  return _mm512_set_epi64(h, l, h, l, h, l, h, l);
}

TARNWICK_WIDE_TARGET inline __m512i fold_wide(__m512i acc, __m512i k, __m512i onto) {
  return _mm512_ternarylogic_epi64(onto, _mm512_clmulepi64_epi128(acc, k, 0x00),
                                   _mm512_clmulepi64_epi128(acc, k, 0x11), 0x96);  // a ^ b ^ c
}

// Runs over `blocks` 16-byte blocks (at least 16) from p.
TARNWICK_WIDE_TARGET uint32_t crc32_wide(uint32_t c, const uint8_t* p, size_t blocks) {
  __m512i lane[4] = {load64(p), load64(p + 64), load64(p + 128), load64(p + 192)};
  lane[0] = _mm512_xor_si512(lane[0], _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(c))));
  p += 256;
  blocks -= 16;
  const __m512i by_sixteen = wide_constants(kX2080, kX2016);
  for (; blocks >= 16; blocks -= 16, p += 256) {
    for (int i = 0; i < 4; ++i) lane[i] = fold_wide(lane[i], by_sixteen, load64(p + 64 * i));
  }
  const __m512i by_four = wide_constants(kX544, kX480);
  __m512i acc = lane[0];
  for (int i = 1; i < 4; ++i) acc = fold_wide(acc, by_four, lane[i]);
  for (; blocks >= 4; blocks -= 4, p += 64) acc = fold_wide(acc, by_four, load64(p));
  alignas(64) __m128i parts[4];
  _mm512_store_si512(parts, acc);
  return finish(parts, p, blocks);
}

bool have_wide_clmul() {
  static const bool have = __builtin_cpu_supports("avx512f") &&
                           __builtin_cpu_supports("vpclmulqdq") && have_clmul();
  return have;
}
#endif

#if TARNWICK_CRC_ARM
// The CRC32 instructions use this very polynomial, reflected.
uint32_t crc32_arm(uint32_t c, const uint8_t* p, size_t length) {
  for (; length >= 8; length -= 8, p += 8) c = __crc32d(c, load_le64(p));
  for (; length > 0; --length, ++p) c = __crc32b(c, *p);
  return c;
}
#endif

}  // namespace

uint32_t crc32(const void* data, size_t length) { return crc32_extend(0, data, length); }

uint32_t crc32_extend(uint32_t crc, const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t c = crc ^ 0xFFFFFFFFu;
#if TARNWICK_CRC_CLMUL
  if (length >= 64 && have_clmul()) {
    const size_t blocks = length / 16;
    c = length >= 256 && have_wide_clmul() ? crc32_wide(c, p, blocks) : crc32_clmul(c, p, blocks);
    p += blocks * 16;
    length -= blocks * 16;
  }
#elif TARNWICK_CRC_ARM
  return crc32_arm(c, p, length) ^ 0xFFFFFFFFu;
#endif
  return crc32_sliced(c, p, length) ^ 0xFFFFFFFFu;
}

}  // namespace tarnwick
