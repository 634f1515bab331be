// The reference sector ECC: the code walked bit by bit, byte by byte, exactly
// as ecc.h defines it. Slow; it stays as the definition that the fast versions
// are tested against.
#include "ecc.h"

namespace {

constexpr int kPairs = 12;
constexpr int kColumnPairs = 3;

std::uint32_t reverseBytes(std::uint32_t ecc)
{
    return (ecc >> 24) | ((ecc >> 8) & 0xFF00u) | ((ecc << 8) & 0xFF0000u) | (ecc << 24);
}

}  // namespace

std::uint32_t computeECCReference(const std::uint8_t *indata)
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
