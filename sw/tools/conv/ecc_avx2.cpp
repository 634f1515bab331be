// The sector ECC folded in 256-bit vectors, for processors with AVX2. Only the
// functions marked for AVX2 use it; the rest of the program runs anywhere.
// The code and the word layout are in ecc.h.
#include "ecc.h"

#if defined(__x86_64__)

#include "ecc_fold.h"

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

}  // namespace

// The sector is sixteen 32-byte vectors v[0..15]; byte n is byte n & 31 of
// vector n >> 5. The loop folds them into
//   all   = the XOR of every vector: byte b holds the XOR of the bytes whose
//           offset has n & 31 == b, so it carries offset bits 0..4;
//   q[i]  = the XOR of the vectors whose number has bit i set (i = 0..3): the
//           bytes whose offset has bit i + 5 set.
// The line pairs follow the byte index n ^ 3: index bits 0 and 1 are offset bits
// 0 and 1 inverted, index bits 2..8 are offset bits 2..8.
ECC_AVX2 std::uint32_t computeECCAvx2(const std::uint8_t *indata)
{
    const auto *v = reinterpret_cast<const __m256i *>(indata);
    __m256i q0 = _mm256_setzero_si256();
    __m256i q1 = _mm256_setzero_si256();
    __m256i group[4];
    for (std::size_t g = 0; g < 4; g++) {
        const __m256i v0 = _mm256_loadu_si256(v + 4 * g);
        const __m256i v1 = _mm256_loadu_si256(v + 4 * g + 1);
        const __m256i v2 = _mm256_loadu_si256(v + 4 * g + 2);
        const __m256i v3 = _mm256_loadu_si256(v + 4 * g + 3);
        const __m256i v23 = _mm256_xor_si256(v2, v3);
        q0 = _mm256_xor_si256(q0, _mm256_xor_si256(v1, v3));
        q1 = _mm256_xor_si256(q1, v23);
        group[g] = _mm256_xor_si256(_mm256_xor_si256(v0, v1), v23);
    }
    const __m256i q3 = _mm256_xor_si256(group[2], group[3]);
    const __m256i q2 = _mm256_xor_si256(group[1], group[3]);
    const __m256i all = _mm256_xor_si256(_mm256_xor_si256(group[0], group[1]), q3);

    // Pairs 8..11 need only the parity of each q[i]: transpose-fold the four
    // into one vector whose 64-bit lane i is the XOR of q[i]'s lanes, then
    // count odd bytes per lane.
    const __m256i q01 = _mm256_xor_si256(_mm256_unpacklo_epi64(q0, q1), _mm256_unpackhi_epi64(q0, q1));
    const __m256i q23 = _mm256_xor_si256(_mm256_unpacklo_epi64(q2, q3), _mm256_unpackhi_epi64(q2, q3));
    const __m256i lanes = _mm256_xor_si256(_mm256_permute2x128_si256(q01, q23, 0x20),
                                           _mm256_permute2x128_si256(q01, q23, 0x31));
    const __m256i oddBytes = _mm256_sad_epu8(byteParity(lanes), _mm256_setzero_si256());
    const auto pairs8to11 = static_cast<std::uint32_t>(
        _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_slli_epi64(oddBytes, 63))));

    // Pairs 3..7 and the sector parity: bit b of m is the parity of byte b of all.
    const auto m = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(byteParity(all), 7)));

    // Pairs 0..2 follow the bit positions: fold all down to one 64-bit word.
    const __m128i half = _mm_xor_si128(_mm256_castsi256_si128(all), _mm256_extracti128_si256(all, 1));
    const auto t = static_cast<std::uint64_t>(_mm_cvtsi128_si64(half) ^ _mm_extract_epi64(half, 1));

    using ecc::detail::parity64;
    const std::uint32_t parity = parity64(t & 0xAAAAAAAAAAAAAAAAu)  // pair 0: bit positions 1, 3, 5, 7
                                 | parity64(t & 0xCCCCCCCCCCCCCCCCu) << 1  // pair 1: positions 2, 3, 6, 7
                                 | parity64(t & 0xF0F0F0F0F0F0F0F0u) << 2  // pair 2: positions 4..7
                                 | parity64(m & 0x55555555u) << 3  // pair 3: offset bit 0 clear
                                 | parity64(m & 0x33333333u) << 4  // pair 4: offset bit 1 clear
                                 | parity64(m & 0xF0F0F0F0u) << 5  // pair 5: offset bit 2 set
                                 | parity64(m & 0xFF00FF00u) << 6  // pair 6: offset bit 3 set
                                 | parity64(m & 0xFFFF0000u) << 7  // pair 7: offset bit 4 set
                                 | pairs8to11 << 8;                // pairs 8..11: offset bits 5..8
    return ecc::detail::wordFromParities(parity, parity64(m));
}

bool eccHasAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
}

#else

std::uint32_t computeECCAvx2(const std::uint8_t *indata)
{
    return computeECCPortable(indata);
}

bool eccHasAvx2()
{
    return false;
}

#endif
