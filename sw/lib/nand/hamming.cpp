// Linux's software Hamming code: the fast version from the folds of the sector
// code, the bit-serial reference, and decoding. The code is in hamming.h.
#include "hamming.h"

#include "ecc_fold.h"

#include <bit>

namespace hamming {

namespace {

// Bits 0..3 of x spread to the odd bits 1, 3, 5, 7.
constexpr std::uint32_t toOddBits(std::uint32_t x)
{
    return (x & 1u) << 1 | (x & 2u) << 2 | (x & 4u) << 3 | (x & 8u) << 4;
}

// Bits 0..7 of the index spread to the odd bits 1, 3, .., 15: the parities
// whose offset (or position) bit is set, each beside its clear half.
struct OddBits {
    std::uint16_t of[256];
};

constexpr OddBits kOddBits = [] {
    OddBits t{};
    for (std::uint32_t i = 0; i < 256; i++) {
        t.of[i] = static_cast<std::uint16_t>(toOddBits(i & 0xFu) | toOddBits(i >> 4) << 8);
    }
    return t;
}();

// Bits 1, 3, 5, 7 of x gathered to bits 0..3.
std::uint32_t fromOddBits(std::uint32_t x)
{
    return (x >> 1 & 1u) | (x >> 2 & 2u) | (x >> 3 & 4u) | (x >> 4 & 8u);
}

void store(std::uint32_t rpLow, std::uint32_t rpHigh, std::uint32_t third, bool smOrder, std::uint8_t *code)
{
    code[smOrder ? 0 : 1] = static_cast<std::uint8_t>(~rpLow);
    code[smOrder ? 1 : 0] = static_cast<std::uint8_t>(~rpHigh);
    code[2] = static_cast<std::uint8_t>(~third);
}

}  // namespace

void compute(const std::uint8_t *data, std::size_t stepSize, bool smOrder, std::uint8_t *code)
{
    // bits: 0..2 the columns whose position bit is set, 3 + k the bytes whose
    // offset bit k is set; the clear halves are those XOR the total parity.
    const ecc::detail::BlockParities f = ecc::detail::foldBlock(data, stepSize);
    const std::uint32_t flip = f.total != 0 ? 0xFFu : 0u;
    const std::uint32_t set = f.bits >> 3;          // rp(2k+1), k = 0..8
    const std::uint32_t odd = kOddBits.of[set & 0xFFu];
    const std::uint32_t rp = odd | (((odd >> 1) ^ (flip | flip << 8)) & 0x5555u);  // rp0..rp15
    const std::uint32_t columns = kOddBits.of[f.bits & 7u];
    const std::uint32_t cp = columns | (((columns >> 1) ^ flip) & 0x15u);  // cp0..cp5
    std::uint32_t third = cp << 2;
    if (stepSize == 512) {
        const std::uint32_t rp17 = set >> 8 & 1u;
        third |= rp17 << 1 | (rp17 ^ f.total);
    }  // else ~third gives the two fixed 1 bits
    store(rp & 0xFFu, rp >> 8, third, smOrder, code);
}

void computeReference(const std::uint8_t *data, std::size_t stepSize, bool smOrder, std::uint8_t *code)
{
    const std::size_t lineBits = stepSize == 512 ? 9 : 8;
    std::uint32_t rp[18] = {};
    std::uint32_t cp[6] = {};
    for (std::size_t i = 0; i < stepSize; i++) {
        std::uint32_t byteParity = 0;
        for (int j = 0; j < 8; j++) {
            const std::uint32_t bit = data[i] >> j & 1u;
            byteParity ^= bit;
            for (int k = 0; k < 3; k++) {
                cp[2 * k + (j >> k & 1)] ^= bit;
            }
        }
        for (std::size_t k = 0; k < lineBits; k++) {
            rp[2 * k + (i >> k & 1u)] ^= byteParity;
        }
    }
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    for (int k = 0; k < 8; k++) {
        low |= rp[k] << k;
        high |= rp[8 + k] << k;
    }
    std::uint32_t third = 0;
    for (int k = 0; k < 6; k++) {
        third |= cp[k] << (2 + k);
    }
    if (stepSize == 512) {
        third |= rp[17] << 1 | rp[16];
    }
    store(low, high, third, smOrder, code);
}

EccDecode decode(const std::uint8_t *stored, const std::uint8_t *computed, std::size_t stepSize, bool smOrder)
{
    const std::uint32_t low = static_cast<std::uint32_t>(stored[smOrder ? 0 : 1] ^ computed[smOrder ? 0 : 1]);
    const std::uint32_t high = static_cast<std::uint32_t>(stored[smOrder ? 1 : 0] ^ computed[smOrder ? 1 : 0]);
    const std::uint32_t third = static_cast<std::uint32_t>(stored[2] ^ computed[2]);
    if ((low | high | third) == 0) {
        return {EccStatus::Clean, 0, 0};
    }
    const auto pairsDiffer = [](std::uint32_t x, std::uint32_t mask) { return ((x ^ (x >> 1)) & mask) == mask; };
    if (pairsDiffer(low, 0x55u) && pairsDiffer(high, 0x55u) && pairsDiffer(third, stepSize == 512 ? 0x55u : 0x54u)) {
        std::uint32_t offset = fromOddBits(low) | fromOddBits(high) << 4;
        if (stepSize == 512) {
            offset |= (third >> 1 & 1u) << 8;
        }
        return {EccStatus::CorrectedData, static_cast<std::uint16_t>(offset),
                static_cast<std::uint8_t>(fromOddBits(third >> 2))};
    }
    if (std::popcount(low) + std::popcount(high) + std::popcount(third) == 1) {
        return {EccStatus::CorrectedCode, 0, 0};
    }
    return {EccStatus::Uncorrectable, 0, 0};
}

}  // namespace hamming
