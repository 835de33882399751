// CRC-32C (Castagnoli), the standard form with initial and final inversion.
// Uses the SSE4.2 CRC instruction with the carry-less multiply on x86-64
// (chosen at run time), the ARMv8 CRC instructions on arm64, and a table
// everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvantine::util::crc32c {

// Returns the CRC-32C of concat(A, data[0, n)) where `crc` is the CRC-32C of
// some byte string A. Extend(0, data, n) is the CRC-32C of data alone.
uint32_t Extend(uint32_t crc, const void* data, size_t n);

inline uint32_t Value(const void* data, size_t n) { return Extend(0, data, n); }
inline uint32_t Value(std::string_view data) { return Extend(0, data.data(), data.size()); }

// The two implementations, exposed so tests and benchmarks can compare them.
uint32_t ExtendPortable(uint32_t crc, const void* data, size_t n);
// Requires HardwareAvailable().
uint32_t ExtendHardware(uint32_t crc, const void* data, size_t n);
bool HardwareAvailable();

}  // namespace corvantine::util::crc32c
