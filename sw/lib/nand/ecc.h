// The sector ECC of the NAND image tools: a 24-bit Hamming-style code of twelve
// parity pairs over one 512-byte sector, returned as a 32-bit ECC word. This
// header is where the code and the word's bit layout are written down.
//
// The code has three column pairs over the bit positions within a byte and nine
// line pairs over the byte positions within the sector. Pair k is parity[k] and
// its complement parity_p[k]:
//   column pair k (0..2): parity[k] is the parity of the bits whose position
//                         (0..7) has bit k set, parity_p[k] of those where it
//                         is clear;
//   line pair k (3..11):  parity[k] is the parity of the bytes whose index has
//                         bit k-3 set, parity_p[k] of those where it is clear.
// The byte index is that of the sector with each aligned group of four bytes
// reversed: a byte at offset n has index n ^ 3.
//
// ECC word layout (bit 0 = least significant):
//
//   | bits   | content                                           |
//   |--------|---------------------------------------------------|
//   | 24..31 | parity_p[0] .. parity_p[7] (bit 24 = parity_p[0]) |
//   | 20..23 | always 0                                          |
//   | 16..19 | parity_p[8] .. parity_p[11]                       |
//   | 8..15  | parity[0] .. parity[7] (bit 8 = parity[0])        |
//   | 4..7   | always 0                                          |
//   | 0..3   | parity[8] .. parity[11]                           |
//
// That is the assembled code (parity[k] at bit 16+k, parity_p[k] at bit k) with
// its four bytes reversed. A single-bit change to the sector flips exactly one
// bit of every pair; the parity half then spells the bit number (pairs 0..2)
// and the byte index (pairs 3..11).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ecc {

inline constexpr std::size_t kSectorSize = 512;

}  // namespace ecc

// Computes the ECC word of the 512 bytes at indata, with the fastest version
// this processor runs. Pure: no state, no I/O, no failure. The caller
// guarantees that 512 bytes are readable at indata.
std::uint32_t computeECC(const std::uint8_t *indata);

// The versions behind computeECC; all return the same word for every sector.
// The reference walks the sector bit by bit, as the code is defined; it is the
// one the others are tested against.
std::uint32_t computeECCReference(const std::uint8_t *indata);
// Folds the sector in 64-bit words; runs on any host.
std::uint32_t computeECCPortable(const std::uint8_t *indata);

// Folds the sector in 256-bit vectors. Call only where eccHasAvx2() is true.
std::uint32_t computeECCAvx2(const std::uint8_t *indata);
bool eccHasAvx2();

// Decoding: what a reader of a sector makes of its stored ECC word.
//
// The syndrome is the stored word XOR the word computed over the data, over
// the 24 code bits. No bit set: clean. One bit set: the stored code itself has
// a flipped bit and the data is right. One bit set in each of the twelve pairs:
// one data bit flipped, and the parity half of the syndrome names it. Anything
// else cannot be corrected; two flipped bits always end there. A stored word
// with bits set outside the code bits, over clean data, is a damaged field.
enum class EccStatus {
    Clean,
    CorrectedData,  // one data bit was wrong: `offset` and `bit` name it
    CorrectedCode,  // the stored word was wrong, the data is right
    Uncorrectable,
    CorrectedBits,  // a multi-bit code corrected the bits it names
};

struct EccDecode {
    EccStatus status;
    std::uint16_t offset;  // byte offset in the sector, for CorrectedData
    std::uint8_t bit;      // bit number in that byte (0 = least significant)
};

inline constexpr std::uint32_t kEccCodeBits = 0xFF0FFF0Fu;

EccDecode decodeECC(std::uint32_t stored, std::uint32_t computed);

// Decodes the sector's stored word against its computed one and, for a single
// data bit error, flips that bit back in the sector.
EccDecode correctECC(std::uint8_t *sector, std::uint32_t stored, std::uint32_t computed);
