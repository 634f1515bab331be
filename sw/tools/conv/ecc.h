// The sector ECC of the NAND image tools: a 24-bit Hamming-style code of twelve
// parity pairs over one 512-byte sector, returned as a 32-bit ECC word whose bit
// layout is the table in ecc.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ecc {

inline constexpr std::size_t kSectorSize = 512;

}  // namespace ecc

// Computes the ECC word of the 512 bytes at indata. Pure: no state, no I/O, no
// failure. The caller guarantees that 512 bytes are readable at indata.
std::uint32_t computeECC(const std::uint8_t *indata);
