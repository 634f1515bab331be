// The XOR folds behind the word-wide versions of the sector code (ecc.h) and
// of Linux's Hamming code (hamming.h): both codes are made of the same
// parities of a block of 256 or 512 bytes.
//
// Read the block as little-endian 64-bit words w[m]: byte n sits in word
// m = n >> 3, at byte lane n & 7. Every parity is the parity of a XOR of
// whole words under a mask:
//   t    = the XOR of all w[m]; its lane j holds the XOR of the bytes whose
//          offset n has n & 7 == j;
//   a[i] = the XOR of the w[m] whose m has bit i set, which covers the bytes
//          whose offset has bit i + 3 set.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace ecc::detail {

// The parities of a block, against the plain byte offset:
//   bit k (k = 0..2):     the bits whose position in their byte has bit k set;
//   bit 3 + i (i = 0..8): the bytes whose offset has bit i set (bit 11 is 0
//                         for a 256-byte block);
// and `total`, the parity of the whole block. The halves with the bit clear
// are these XOR total.
struct BlockParities {
    std::uint32_t bits;
    std::uint32_t total;
};

[[gnu::always_inline]] inline std::uint32_t parity64(std::uint64_t x)
{
    return static_cast<std::uint32_t>(std::popcount(x)) & 1u;
}

// The parities of bits 0..2 and offset bits 0..2 from t, the XOR of the words.
[[gnu::always_inline]] inline std::uint32_t lowParities(std::uint64_t t)
{
    return parity64(t & 0xAAAAAAAAAAAAAAAAu)             // bit positions 1, 3, 5, 7
           | parity64(t & 0xCCCCCCCCCCCCCCCCu) << 1      // positions 2, 3, 6, 7
           | parity64(t & 0xF0F0F0F0F0F0F0F0u) << 2      // positions 4..7
           | parity64(t & 0xFF00FF00FF00FF00u) << 3      // offset bit 0 set
           | parity64(t & 0xFFFF0000FFFF0000u) << 4      // offset bit 1 set
           | parity64(t & 0xFFFFFFFF00000000u) << 5;     // offset bit 2 set
}

// The versions; blockSize is 256 or 512. foldBlock picks the fastest one the
// processor runs, foldAvx2 may be called only where eccHasAvx2() is true.
BlockParities foldPortable(const std::uint8_t *block, std::size_t blockSize);
BlockParities foldAvx2(const std::uint8_t *block, std::size_t blockSize);
BlockParities foldBlock(const std::uint8_t *block, std::size_t blockSize);

// The sector code's word from the parities of its 512 bytes. Its line pairs
// follow the byte index n ^ 3, so pairs 3 and 4 take the halves with offset
// bits 0 and 1 clear; the two halves of every pair together cover each bit of
// the sector once, so parity_p is parity flipped where the sector is odd.
[[gnu::always_inline]] inline std::uint32_t classicWord(BlockParities f)
{
    const std::uint32_t odd = f.total != 0 ? 0xFFFu : 0u;
    const std::uint32_t parity = f.bits ^ (odd & 0x18u);
    const std::uint32_t parity_p = parity ^ odd;
    const std::uint32_t ecc = (parity << 16) | parity_p;
    return (ecc >> 24) | ((ecc >> 8) & 0xFF00u) | ((ecc << 8) & 0xFF0000u) | (ecc << 24);
}

}  // namespace ecc::detail
