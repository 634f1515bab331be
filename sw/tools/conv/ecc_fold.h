// Turns the XOR folds of a sector into its ECC word; shared by the word-wide
// versions of the sector ECC (the code and the word layout are in ecc.h).
//
// Read the sector as 64 little-endian 64-bit words w[m]: byte n sits in word
// m = n >> 3, at byte lane n & 7. Every parity of the code is the parity of a
// XOR of whole words under a mask:
//   t    = the XOR of all w[m]; its lane j holds the XOR of the bytes whose
//          offset n has n & 7 == j;
//   a[i] = the XOR of the w[m] whose m has bit i set (i = 0..5), which covers
//          the bytes whose offset has bit i + 3 set.
// The line pairs follow the byte index n ^ 3: index bits 0 and 1 are offset
// bits 0 and 1 inverted, index bits 2..8 are offset bits 2..8.
#pragma once

#include <bit>
#include <cstdint>

namespace ecc::detail {

inline constexpr int kWordFolds = 6;

[[gnu::always_inline]] inline std::uint32_t parity64(std::uint64_t x)
{
    return static_cast<std::uint32_t>(std::popcount(x)) & 1u;
}

// Assembles the ECC word from parity[0..11] (bit k = parity[k]) and the parity
// of the whole sector. The two halves of every pair together cover each bit of
// the sector once, so parity_p is parity flipped where the sector is odd.
[[gnu::always_inline]] inline std::uint32_t wordFromParities(std::uint32_t parity,
                                                             std::uint32_t sectorParity)
{
    const std::uint32_t parity_p = parity ^ (sectorParity != 0 ? 0xFFFu : 0u);
    const std::uint32_t ecc = (parity << 16) | parity_p;
    return (ecc >> 24) | ((ecc >> 8) & 0xFF00u) | ((ecc << 8) & 0xFF0000u) | (ecc << 24);
}

inline std::uint32_t wordFromFolds(std::uint64_t t, const std::uint64_t (&a)[kWordFolds])
{
    std::uint32_t parity = parity64(t & 0xAAAAAAAAAAAAAAAAu)  // pair 0: bit positions 1, 3, 5, 7
                           | parity64(t & 0xCCCCCCCCCCCCCCCCu) << 1  // pair 1: positions 2, 3, 6, 7
                           | parity64(t & 0xF0F0F0F0F0F0F0F0u) << 2  // pair 2: positions 4..7
                           | parity64(t & 0x00FF00FF00FF00FFu) << 3  // pair 3: offset bit 0 clear
                           | parity64(t & 0x0000FFFF0000FFFFu) << 4  // pair 4: offset bit 1 clear
                           | parity64(t & 0xFFFFFFFF00000000u) << 5;  // pair 5: offset bit 2 set
    for (int i = 0; i < kWordFolds; i++) {
        parity |= parity64(a[i]) << (6 + i);  // pairs 6..11: offset bits 3..8 set
    }
    return wordFromParities(parity, parity64(t));
}

}  // namespace ecc::detail
