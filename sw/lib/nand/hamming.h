// Linux's software Hamming code for NAND: three code bytes per 256- or
// 512-byte step, which correct one flipped bit in the step and detect two.
// This header is where the code and its byte layout are written down.
//
// For a step of n bytes (n = 256 or 512), with byte offsets i and bit
// positions j (0 = least significant):
//   rp(2k)   = parity of the bytes whose offset has bit k clear,
//   rp(2k+1) = parity of the bytes whose offset has bit k set (k = 0..7, and 8
//              for 512-byte steps);
//   cp(2k)   = parity of the bits whose position has bit k clear,
//   cp(2k+1) = parity of the bits whose position has bit k set (k = 0..2).
// Every parity is stored inverted, so that a step of blank flash (all 0xFF)
// and one of all zeros both have the code FF FF FF.
//
//   | byte (default order) | bit 7 .. bit 0                                    |
//   |----------------------|---------------------------------------------------|
//   | 0                    | ~rp15 ~rp14 ~rp13 ~rp12 ~rp11 ~rp10 ~rp9 ~rp8      |
//   | 1                    | ~rp7  ~rp6  ~rp5  ~rp4  ~rp3  ~rp2  ~rp1 ~rp0      |
//   | 2                    | ~cp5 ~cp4 ~cp3 ~cp2 ~cp1 ~cp0, then ~rp17 ~rp16    |
//   |                      | for 512-byte steps, 1 1 for 256-byte steps         |
//
// SmartMedia order swaps bytes 0 and 1. The 24 parities are those of the
// classic sector code (ecc.h) read against the plain byte offset.
#pragma once

#include "ecc.h"

#include <cstddef>
#include <cstdint>

namespace hamming {

inline constexpr std::size_t kCodeBytes = 3;

// The code of the step of stepSize (256 or 512) bytes at data, into code[0..2].
void compute(const std::uint8_t *data, std::size_t stepSize, bool smOrder, std::uint8_t *code);
// The same, walked bit by bit as defined above: the reference for compute.
void computeReference(const std::uint8_t *data, std::size_t stepSize, bool smOrder, std::uint8_t *code);

// Classifies a step by its stored and computed codes, with Linux's rules: no
// difference is clean; one flipped bit in each of the pairs (for 256-byte
// steps the two fixed low bits of byte 2 are left out here) names one flipped
// data bit; a single differing bit anywhere in the three bytes is a damaged
// code; anything else is uncorrectable.
EccDecode decode(const std::uint8_t *stored, const std::uint8_t *computed, std::size_t stepSize, bool smOrder);

}  // namespace hamming
