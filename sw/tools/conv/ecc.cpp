// The sector ECC as the tools call it: computeECC picks the fastest version the
// processor runs, and the portable word-wide version lives here. The code and
// the word layout are in ecc.h, the folds in ecc_fold.h.
#include "ecc.h"

#include "ecc_fold.h"

#include <bit>
#include <cstring>

namespace {

std::uint64_t load64le(const std::uint8_t *p)
{
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) {
        v = __builtin_bswap64(v);
    }
    return v;
}

}  // namespace

// Eight words (64 bytes) at a time: within a group the word index bits 0..2
// select the words, across groups bits 3..5 select the group.
std::uint32_t computeECCPortable(const std::uint8_t *indata)
{
    std::uint64_t a[ecc::detail::kWordFolds] = {};
    std::uint64_t group[8];
    for (std::size_t g = 0; g < 8; g++) {
        const std::uint8_t *p = indata + 64 * g;
        const std::uint64_t w0 = load64le(p), w1 = load64le(p + 8);
        const std::uint64_t w2 = load64le(p + 16), w3 = load64le(p + 24);
        const std::uint64_t w4 = load64le(p + 32), w5 = load64le(p + 40);
        const std::uint64_t w6 = load64le(p + 48), w7 = load64le(p + 56);
        const std::uint64_t w23 = w2 ^ w3, w67 = w6 ^ w7, w4567 = w4 ^ w5 ^ w67;
        a[0] ^= w1 ^ w3 ^ w5 ^ w7;
        a[1] ^= w23 ^ w67;
        a[2] ^= w4567;
        group[g] = w0 ^ w1 ^ w23 ^ w4567;
    }
    a[3] = group[1] ^ group[3] ^ group[5] ^ group[7];
    a[4] = group[2] ^ group[3] ^ group[6] ^ group[7];
    a[5] = group[4] ^ group[5] ^ group[6] ^ group[7];
    const std::uint64_t t = group[0] ^ group[1] ^ group[2] ^ group[3] ^ a[5];
    return ecc::detail::wordFromFolds(t, a);
}

std::uint32_t computeECC(const std::uint8_t *indata)
{
    // Chosen at the first call, so that a caller running before main (a
    // static initializer elsewhere) finds it chosen too.
    static const auto chosenVersion = eccHasAvx2() ? computeECCAvx2 : computeECCPortable;
    return chosenVersion(indata);
}
