#include "util/crc32c.h"

#include <array>

#include "util/coding.h"

#if defined(__x86_64__)
#include <nmmintrin.h>
#include <wmmintrin.h>
#elif defined(__aarch64__)
#include <arm_acle.h>
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace corvantine::util::crc32c {

namespace {

// The bit-reversed Castagnoli polynomial.
constexpr uint32_t kPolynomial = 0x82F63B78;

// Both implementations work on the raw CRC register: Extend inverts on the
// way in and out, and everything below is the uninverted update.

// kTables[k][b] is the register after feeding byte b followed by k zero bytes
// into a zero register. Slicing-by-8 feeds eight bytes with eight lookups.
using Table = std::array<uint32_t, 256>;

constexpr std::array<Table, 8> MakeTables() {
  std::array<Table, 8> tables{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint32_t crc = byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? kPolynomial : 0);
    tables[0][byte] = crc;
  }
  for (size_t k = 1; k < tables.size(); ++k) {
    for (size_t byte = 0; byte < 256; ++byte) {
      const uint32_t previous = tables[k - 1][byte];
      tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
    }
  }
  return tables;
}

constexpr std::array<Table, 8> kTables = MakeTables();

constexpr uint32_t ByteUpdate(uint32_t crc, char byte) {
  return (crc >> 8) ^ kTables[0][(crc ^ static_cast<uint8_t>(byte)) & 0xFF];
}

}  // namespace

uint32_t ExtendPortable(uint32_t crc, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  const char* end = p + n;
  uint32_t l = ~crc;
  for (; end - p >= 8; p += 8) {
    const uint32_t low = l ^ DecodeFixed32(p);
    const uint32_t high = DecodeFixed32(p + 4);
    l = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^
        kTables[5][(low >> 16) & 0xFF] ^ kTables[4][low >> 24] ^
        kTables[3][high & 0xFF] ^ kTables[2][(high >> 8) & 0xFF] ^
        kTables[1][(high >> 16) & 0xFF] ^ kTables[0][high >> 24];
  }
  for (; p != end; ++p) l = ByteUpdate(l, *p);
  return ~l;
}

// The instruction-based update, where the processor may have one: a target
// attribute compiles it for the instruction set extension without asking the
// rest of the build to assume that extension.
#if defined(__x86_64__)
#define CVN_CRC_TARGET __attribute__((target("sse4.2,pclmul")))
#define CVN_CRC_HARDWARE 1
#define CVN_CRC_CARRYLESS_MULTIPLY 1

namespace {

CVN_CRC_TARGET uint32_t Crc8(uint32_t crc, uint8_t v) { return _mm_crc32_u8(crc, v); }
CVN_CRC_TARGET uint32_t Crc16(uint32_t crc, uint16_t v) { return _mm_crc32_u16(crc, v); }
CVN_CRC_TARGET uint32_t Crc32(uint32_t crc, uint32_t v) { return _mm_crc32_u32(crc, v); }
CVN_CRC_TARGET uint32_t Crc64(uint32_t crc, uint64_t v) {
  return static_cast<uint32_t>(_mm_crc32_u64(crc, v));
}

// x^n mod P, bit-reflected like the register: bit 31 holds x^0.
constexpr uint32_t PowerOfX(uint64_t n) {
  uint32_t power = uint32_t{1} << 31;
  for (; n > 0; --n) power = (power >> 1) ^ ((power & 1) ? kPolynomial : 0);
  return power;
}

// The register after feeding k zero bytes to `crc`, given constant =
// x^(8k - 33) mod P: the carry-less product of two reflected 32-bit
// polynomials comes out multiplied by x, and the CRC instruction reduces it
// while multiplying by x^32.
CVN_CRC_TARGET uint32_t ShiftBy(uint32_t crc, uint32_t constant) {
  const __m128i product =
      _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(crc)),
                           _mm_cvtsi32_si128(static_cast<int>(constant)), 0);
  return Crc64(0, static_cast<uint64_t>(_mm_cvtsi128_si64(product)));
}

bool DetectHardware() {
  return __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("pclmul");
}

}  // namespace

#elif defined(__aarch64__)
#define CVN_CRC_HARDWARE 1

#if defined(__clang__)
// clang 14's <arm_acle.h> declares the __crc32c* functions only when the
// whole build targets the CRC extension, so use its builtins.
#define CVN_CRC_TARGET __attribute__((target("crc")))
#define CVN_CRC32CB __builtin_arm_crc32cb
#define CVN_CRC32CH __builtin_arm_crc32ch
#define CVN_CRC32CW __builtin_arm_crc32cw
#define CVN_CRC32CD __builtin_arm_crc32cd
#else
#define CVN_CRC_TARGET __attribute__((target("+crc")))
#define CVN_CRC32CB __crc32cb
#define CVN_CRC32CH __crc32ch
#define CVN_CRC32CW __crc32cw
#define CVN_CRC32CD __crc32cd
#endif

namespace {

CVN_CRC_TARGET uint32_t Crc8(uint32_t crc, uint8_t v) { return CVN_CRC32CB(crc, v); }
CVN_CRC_TARGET uint32_t Crc16(uint32_t crc, uint16_t v) { return CVN_CRC32CH(crc, v); }
CVN_CRC_TARGET uint32_t Crc32(uint32_t crc, uint32_t v) { return CVN_CRC32CW(crc, v); }
CVN_CRC_TARGET uint32_t Crc64(uint32_t crc, uint64_t v) { return CVN_CRC32CD(crc, v); }

bool DetectHardware() { return (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0; }

}  // namespace

#endif

#if defined(CVN_CRC_HARDWARE)

namespace {

// Long inputs are cut into stripes of three 256-byte blocks whose CRCs are
// computed side by side: the instruction's latency is several times its
// throughput, so three independent chains keep it busy. The chains are then
// joined with Shift(crc) = the register after feeding one block of zero
// bytes to crc, which is linear in crc and so tabulated byte by byte.
constexpr size_t kBlockBytes = 256;

constexpr std::array<Table, 4> MakeShiftTables() {
  // The image of each single-bit register under Shift.
  std::array<uint32_t, 32> bit_images{};
  for (int bit = 0; bit < 32; ++bit) {
    uint32_t crc = uint32_t{1} << bit;
    for (size_t i = 0; i < kBlockBytes; ++i) crc = ByteUpdate(crc, 0);
    bit_images[bit] = crc;
  }
  std::array<Table, 4> tables{};
  for (int k = 0; k < 4; ++k) {
    for (uint32_t byte = 0; byte < 256; ++byte) {
      uint32_t image = 0;
      for (int bit = 0; bit < 8; ++bit) {
        if (byte & (1u << bit)) image ^= bit_images[8 * k + bit];
      }
      tables[k][byte] = image;
    }
  }
  return tables;
}

constexpr std::array<Table, 4> kShiftTables = MakeShiftTables();

uint32_t Shift(uint32_t crc) {
  return kShiftTables[0][crc & 0xFF] ^ kShiftTables[1][(crc >> 8) & 0xFF] ^
         kShiftTables[2][(crc >> 16) & 0xFF] ^ kShiftTables[3][crc >> 24];
}

#if defined(CVN_CRC_CARRYLESS_MULTIPLY)

// What is left after the stripes, up to 3 * 256 - 1 bytes, is cut into three
// blocks of the largest multiple of 8 bytes that fits, so that inputs of a
// few hundred bytes (a typical record frame) get the parallel chains too.
// Blocks of any such length are joined with the carry-less multiply:
// kShiftConstants[j] shifts by 8 * j bytes. Below three words a block, one
// chain is as fast as three and their join.
constexpr size_t kMinBlockWords = 3;
constexpr size_t kMaxShiftWords = 2 * (kBlockBytes / 8);

constexpr std::array<uint32_t, kMaxShiftWords + 1> MakeShiftConstants() {
  std::array<uint32_t, kMaxShiftWords + 1> constants{};
  for (size_t words = 1; words <= kMaxShiftWords; ++words) {
    constants[words] = PowerOfX(64 * words - 33);
  }
  return constants;
}

constexpr std::array<uint32_t, kMaxShiftWords + 1> kShiftConstants = MakeShiftConstants();

CVN_CRC_TARGET uint32_t ExtendThreeBlocks(uint32_t l, const char** p, const char* end) {
  const size_t words = static_cast<size_t>(end - *p) / 24;
  if (words < kMinBlockWords) return l;
  const size_t block = 8 * words;
  const char* q = *p;
  uint32_t l1 = 0;
  uint32_t l2 = 0;
  for (size_t i = 0; i < block; i += 8) {
    l = Crc64(l, DecodeFixed64(q + i));
    l1 = Crc64(l1, DecodeFixed64(q + block + i));
    l2 = Crc64(l2, DecodeFixed64(q + 2 * block + i));
  }
  *p = q + 3 * block;
  return ShiftBy(l, kShiftConstants[2 * words]) ^ ShiftBy(l1, kShiftConstants[words]) ^ l2;
}

#endif

}  // namespace

CVN_CRC_TARGET uint32_t ExtendHardware(uint32_t crc, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  const char* end = p + n;
  uint32_t l = ~crc;
  for (; end - p >= static_cast<ptrdiff_t>(3 * kBlockBytes); p += 3 * kBlockBytes) {
    uint32_t l1 = 0;
    uint32_t l2 = 0;
    for (size_t i = 0; i < kBlockBytes; i += 8) {
      l = Crc64(l, DecodeFixed64(p + i));
      l1 = Crc64(l1, DecodeFixed64(p + kBlockBytes + i));
      l2 = Crc64(l2, DecodeFixed64(p + 2 * kBlockBytes + i));
    }
    l = Shift(Shift(l) ^ l1) ^ l2;
  }
#if defined(CVN_CRC_CARRYLESS_MULTIPLY)
  l = ExtendThreeBlocks(l, &p, end);
#endif
  for (; end - p >= 8; p += 8) l = Crc64(l, DecodeFixed64(p));
  if (end - p >= 4) {
    l = Crc32(l, DecodeFixed32(p));
    p += 4;
  }
  if (end - p >= 2) {
    l = Crc16(l, DecodeFixed16(p));
    p += 2;
  }
  if (p != end) l = Crc8(l, static_cast<uint8_t>(*p));
  return ~l;
}

bool HardwareAvailable() {
  static const bool available = DetectHardware();
  return available;
}

#else

uint32_t ExtendHardware(uint32_t crc, const void* data, size_t n) {
  return ExtendPortable(crc, data, n);
}

bool HardwareAvailable() { return false; }

#endif

uint32_t Extend(uint32_t crc, const void* data, size_t n) {
  return HardwareAvailable() ? ExtendHardware(crc, data, n) : ExtendPortable(crc, data, n);
}

}  // namespace corvantine::util::crc32c
