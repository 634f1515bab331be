// Sector decoding: classifies a sector by its stored and computed ECC words
// and repairs a single flipped data bit. The code and the syndrome rules are
// in ecc.h.
#include "ecc.h"

#include <bit>

namespace {

// The twelve parity[k] (bit k of the result) of a word or syndrome: parity[0..7]
// sit at bits 8..15, parity[8..11] at bits 0..3.
std::uint32_t parityHalf(std::uint32_t word)
{
    return ((word >> 8) & 0xFFu) | ((word & 0xFu) << 8);
}

// The twelve parity_p[k]: parity_p[0..7] at bits 24..31, parity_p[8..11] at 16..19.
std::uint32_t parityPHalf(std::uint32_t word)
{
    return ((word >> 24) & 0xFFu) | (((word >> 16) & 0xFu) << 8);
}

constexpr std::uint32_t kAllPairs = 0xFFFu;

}  // namespace

EccDecode decodeECC(std::uint32_t stored, std::uint32_t computed)
{
    const std::uint32_t syndrome = (stored ^ computed) & kEccCodeBits;
    if (syndrome == 0) {
        return {stored == computed ? EccStatus::Clean : EccStatus::CorrectedCode, 0, 0};
    }
    if (std::popcount(syndrome) == 1) {
        return {EccStatus::CorrectedCode, 0, 0};
    }
    const std::uint32_t parity = parityHalf(syndrome);
    if ((parity ^ parityPHalf(syndrome)) == kAllPairs) {
        // parity[0..2] is the bit number, parity[3..11] the byte index of the
        // four-byte-reversed sector, which is the offset XOR 3.
        return {EccStatus::CorrectedData, static_cast<std::uint16_t>((parity >> 3) ^ 3u),
                static_cast<std::uint8_t>(parity & 7u)};
    }
    return {EccStatus::Uncorrectable, 0, 0};
}

EccDecode correctECC(std::uint8_t *sector, std::uint32_t stored, std::uint32_t computed)
{
    const EccDecode d = decodeECC(stored, computed);
    if (d.status == EccStatus::CorrectedData) {
        sector[d.offset] ^= static_cast<std::uint8_t>(1u << d.bit);
    }
    return d;
}
