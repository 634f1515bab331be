// The block folds of ecc_fold.h in 256-bit vectors, for processors with AVX2.
// Only the functions marked for AVX2 use it; the rest of the program runs
// anywhere. The sector code and its word layout are in ecc.h.
#include "ecc.h"

#include "ecc_fold.h"

#if defined(__x86_64__)

#include <immintrin.h>

#define ECC_AVX2 __attribute__((target("avx2,popcnt")))

namespace {

// Byte b of the result is 1 where byte b of x has odd parity: a nibble table
// looked up for both nibbles.
ECC_AVX2 inline __m256i byteParity(__m256i x)
{
    const __m256i nibbleParity = _mm256_setr_epi8(0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0,  //
                                                  0, 1, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0);
    const __m256i low = _mm256_set1_epi8(0x0F);
    return _mm256_xor_si256(_mm256_shuffle_epi8(nibbleParity, _mm256_and_si256(x, low)),
                            _mm256_shuffle_epi8(nibbleParity, _mm256_and_si256(_mm256_srli_epi16(x, 4), low)));
}

// The block is Groups * 4 vectors of 32 bytes v[0..]; byte n is byte n & 31 of
// vector n >> 5. The loop folds them into
//   all   = the XOR of every vector: byte b holds the XOR of the bytes whose
//           offset has n & 31 == b, so it carries offset bits 0..4;
//   q[i]  = the XOR of the vectors whose number has bit i set (i = 0..3): the
//           bytes whose offset has bit i + 5 set.
template <std::size_t Groups>
ECC_AVX2 ecc::detail::BlockParities fold(const std::uint8_t *block)
{
    const auto *v = reinterpret_cast<const __m256i *>(block);
    __m256i q0 = _mm256_setzero_si256();
    __m256i q1 = _mm256_setzero_si256();
    __m256i group[4];
    for (std::size_t g = 0; g < Groups; g++) {
        const __m256i v0 = _mm256_loadu_si256(v + 4 * g);
        const __m256i v1 = _mm256_loadu_si256(v + 4 * g + 1);
        const __m256i v2 = _mm256_loadu_si256(v + 4 * g + 2);
        const __m256i v3 = _mm256_loadu_si256(v + 4 * g + 3);
        const __m256i v23 = _mm256_xor_si256(v2, v3);
        q0 = _mm256_xor_si256(q0, _mm256_xor_si256(v1, v3));
        q1 = _mm256_xor_si256(q1, v23);
        group[g] = _mm256_xor_si256(_mm256_xor_si256(v0, v1), v23);
    }
    __m256i q2, q3, all;
    if constexpr (Groups == 4) {
        q3 = _mm256_xor_si256(group[2], group[3]);
        q2 = _mm256_xor_si256(group[1], group[3]);
        all = _mm256_xor_si256(_mm256_xor_si256(group[0], group[1]), q3);
    } else {
        q3 = _mm256_setzero_si256();
        q2 = group[1];
        all = _mm256_xor_si256(group[0], group[1]);
    }

    // Offset bits 5..8 need only the parity of each q[i]: transpose-fold the
    // four into one vector whose 64-bit lane i is the XOR of q[i]'s lanes,
    // then count odd bytes per lane.
    const __m256i q01 = _mm256_xor_si256(_mm256_unpacklo_epi64(q0, q1), _mm256_unpackhi_epi64(q0, q1));
    const __m256i q23 = _mm256_xor_si256(_mm256_unpacklo_epi64(q2, q3), _mm256_unpackhi_epi64(q2, q3));
    const __m256i lanes = _mm256_xor_si256(_mm256_permute2x128_si256(q01, q23, 0x20),
                                           _mm256_permute2x128_si256(q01, q23, 0x31));
    const __m256i oddBytes = _mm256_sad_epu8(byteParity(lanes), _mm256_setzero_si256());
    const auto bits5to8 = static_cast<std::uint32_t>(
        _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_slli_epi64(oddBytes, 63))));

    // Offset bits 3 and 4 and the total: bit b of m is the parity of byte b of all.
    const auto m = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(byteParity(all), 7)));

    // Bit positions and offset bits 0..2: fold all down to one 64-bit word.
    const __m128i half = _mm_xor_si128(_mm256_castsi256_si128(all), _mm256_extracti128_si256(all, 1));
    const auto t = static_cast<std::uint64_t>(_mm_cvtsi128_si64(half) ^ _mm_extract_epi64(half, 1));

    using ecc::detail::parity64;
    const std::uint32_t bits = ecc::detail::lowParities(t)
                               | parity64(m & 0xFF00FF00u) << 6  // offset bit 3 set
                               | parity64(m & 0xFFFF0000u) << 7  // offset bit 4 set
                               | bits5to8 << 8;                  // offset bits 5..8 set
    return {bits, parity64(m)};
}

}  // namespace

ECC_AVX2 ecc::detail::BlockParities ecc::detail::foldAvx2(const std::uint8_t *block, std::size_t blockSize)
{
    return blockSize == 512 ? fold<4>(block) : fold<2>(block);
}

ECC_AVX2 std::uint32_t computeECCAvx2(const std::uint8_t *indata)
{
    return ecc::detail::classicWord(fold<4>(indata));
}

bool eccHasAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
}

#else

ecc::detail::BlockParities ecc::detail::foldAvx2(const std::uint8_t *block, std::size_t blockSize)
{
    return foldPortable(block, blockSize);
}

std::uint32_t computeECCAvx2(const std::uint8_t *indata)
{
    return computeECCPortable(indata);
}

bool eccHasAvx2()
{
    return false;
}

#endif
