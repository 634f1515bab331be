// The sector ECC folded in 256-bit vectors, for processors with AVX2. Only the
// functions marked for AVX2 use it; the rest of the program runs anywhere.
// The code and the word layout are in ecc.h, the folds in ecc_fold.h.
#include "ecc.h"

#if defined(__x86_64__) || defined(__i386__)

#include "ecc_fold.h"

#include <immintrin.h>

#define ECC_AVX2 __attribute__((target("avx2,popcnt")))

namespace {

ECC_AVX2 std::uint64_t fold64(__m256i v)
{
    const __m128i x = _mm_xor_si128(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(x) ^ _mm_extract_epi64(x, 1));
}

}  // namespace

// Vector q (32 bytes) holds the words m = 4q .. 4q+3 in its four 64-bit lanes:
// lane bits select word index bits 0..1, the vector number bits 2..5.
ECC_AVX2 std::uint32_t computeECCAvx2(const std::uint8_t *indata)
{
    const auto *v = reinterpret_cast<const __m256i *>(indata);
    __m256i q0 = _mm256_setzero_si256();
    __m256i q1 = _mm256_setzero_si256();
    __m256i group[4];
    for (int g = 0; g < 4; g++) {
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

    const __m128i lo = _mm256_castsi256_si128(all);
    const __m128i hi = _mm256_extracti128_si256(all, 1);
    const auto t0 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(lo));
    const auto t1 = static_cast<std::uint64_t>(_mm_extract_epi64(lo, 1));
    const auto t2 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(hi));
    const auto t3 = static_cast<std::uint64_t>(_mm_extract_epi64(hi, 1));

    const std::uint64_t a[ecc::detail::kWordFolds] = {
        t1 ^ t3, t2 ^ t3, fold64(q0), fold64(q1), fold64(q2), fold64(q3),
    };
    return ecc::detail::wordFromFolds(t0 ^ t1 ^ t2 ^ t3, a);
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
