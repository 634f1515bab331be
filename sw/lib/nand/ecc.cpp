// The sector ECC as the tools call it: computeECC picks the fastest version the
// processor runs, and the portable word-wide folds live here. The code and the
// word layout are in ecc.h, the folds in ecc_fold.h.
#include "ecc.h"

#include "ecc_fold.h"

#include <atomic>
#include <cstring>

namespace ecc::detail {

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
BlockParities foldPortable(const std::uint8_t *block, std::size_t blockSize)
{
    std::uint64_t a0 = 0, a1 = 0, a2 = 0;
    std::uint64_t group[8] = {};
    const std::size_t groups = blockSize / 64;
    for (std::size_t g = 0; g < groups; g++) {
        const std::uint8_t *p = block + 64 * g;
        const std::uint64_t w0 = load64le(p), w1 = load64le(p + 8);
        const std::uint64_t w2 = load64le(p + 16), w3 = load64le(p + 24);
        const std::uint64_t w4 = load64le(p + 32), w5 = load64le(p + 40);
        const std::uint64_t w6 = load64le(p + 48), w7 = load64le(p + 56);
        const std::uint64_t w23 = w2 ^ w3, w67 = w6 ^ w7, w4567 = w4 ^ w5 ^ w67;
        a0 ^= w1 ^ w3 ^ w5 ^ w7;
        a1 ^= w23 ^ w67;
        a2 ^= w4567;
        group[g] = w0 ^ w1 ^ w23 ^ w4567;
    }
    const std::uint64_t a3 = group[1] ^ group[3] ^ group[5] ^ group[7];
    const std::uint64_t a4 = group[2] ^ group[3] ^ group[6] ^ group[7];
    const std::uint64_t a5 = group[4] ^ group[5] ^ group[6] ^ group[7];
    const std::uint64_t t = group[0] ^ group[1] ^ group[2] ^ group[3] ^ a5;
    const std::uint32_t bits = lowParities(t) | parity64(a0) << 6 | parity64(a1) << 7 | parity64(a2) << 8 |
                               parity64(a3) << 9 | parity64(a4) << 10 | parity64(a5) << 11;
    return {bits, parity64(t)};
}

namespace {

using Fold = BlockParities (*)(const std::uint8_t *, std::size_t);
// Chosen at the first call, so that a caller running before main (a static
// initializer elsewhere) finds it chosen too. Threads that make the first
// calls together all choose the same and store it alike.
std::atomic<Fold> chosenFold{nullptr};

}  // namespace

BlockParities foldBlock(const std::uint8_t *block, std::size_t blockSize)
{
    Fold chosen = chosenFold.load(std::memory_order_relaxed);
    if (chosen == nullptr) {
        chosen = eccHasAvx2() ? foldAvx2 : foldPortable;
        chosenFold.store(chosen, std::memory_order_relaxed);
    }
    return chosen(block, blockSize);
}

}  // namespace ecc::detail

std::uint32_t computeECCPortable(const std::uint8_t *indata)
{
    return ecc::detail::classicWord(ecc::detail::foldPortable(indata, ecc::kSectorSize));
}

std::uint32_t computeECC(const std::uint8_t *indata)
{
    return ecc::detail::classicWord(ecc::detail::foldBlock(indata, ecc::kSectorSize));
}
