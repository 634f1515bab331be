// The sector ECC: twelve parity pairs over a 512-byte sector, computed bit by
// bit as the code is defined.
//
// The code has three column pairs over the bit positions within a byte and nine
// line pairs over the byte positions within the sector. Pair k is parity[k] and
// its complement parity_p[k]; only bit 0 of each accumulator is significant.
//   column pair k (0..2): parity[k] takes the bits whose position has bit k set,
//                         parity_p[k] those whose position has bit k clear;
//   line pair k (3..11):  parity[k] takes the parity of the bytes whose index
//                         has bit k-3 set, parity_p[k] those where it is clear.
// The byte index is that of the sector with every aligned group of four bytes
// reversed, so a byte at input offset n has index n ^ 3.
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
// its four bytes reversed. Single-bit changes to the sector flip exactly one bit
// of every pair; the parity half then spells the bit number (pairs 0..2) and the
// reordered byte index (pairs 3..11).
#include "ecc.h"

namespace {

constexpr int kPairs = 12;
constexpr int kColumnPairs = 3;

std::uint32_t reverseBytes(std::uint32_t ecc)
{
    return (ecc >> 24) | ((ecc >> 8) & 0xFF00u) | ((ecc << 8) & 0xFF0000u) | (ecc << 24);
}

}  // namespace

std::uint32_t computeECC(const std::uint8_t *indata)
{
    std::uint8_t data[ecc::kSectorSize];
    for (std::size_t n = 0; n < ecc::kSectorSize; n++) {
        data[n] = indata[n ^ 3];
    }

    std::uint32_t parity[kPairs] = {};
    std::uint32_t parity_p[kPairs] = {};
    std::uint32_t bits[8] = {};

    for (int count = 0; count < static_cast<int>(ecc::kSectorSize); count++) {
        const std::uint32_t byte = data[count];
        for (int i = 0; i < 8; i++) {
            bits[i] = (byte >> i) & 1u;
        }

        parity[0] ^= bits[1] ^ bits[3] ^ bits[5] ^ bits[7];
        parity_p[0] ^= bits[0] ^ bits[2] ^ bits[4] ^ bits[6];
        parity[1] ^= bits[2] ^ bits[3] ^ bits[6] ^ bits[7];
        parity_p[1] ^= bits[0] ^ bits[1] ^ bits[4] ^ bits[5];
        parity[2] ^= bits[4] ^ bits[5] ^ bits[6] ^ bits[7];
        parity_p[2] ^= bits[0] ^ bits[1] ^ bits[2] ^ bits[3];

        const std::uint32_t allBits =
            bits[0] ^ bits[1] ^ bits[2] ^ bits[3] ^ bits[4] ^ bits[5] ^ bits[6] ^ bits[7];

        for (int k = kColumnPairs; k < kPairs; k++) {
            if ((count >> (k - kColumnPairs)) & 1) {
                parity[k] ^= allBits;
            } else {
                parity_p[k] ^= allBits;
            }
        }
    }

    std::uint32_t ecc = 0;
    for (int k = 0; k < kPairs; k++) {
        ecc |= (parity[k] & 1u) << (16 + k);
        ecc |= (parity_p[k] & 1u) << k;
    }
    return reverseBytes(ecc);
}
