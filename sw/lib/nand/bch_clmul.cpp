// The BCH division's first stage in carry-less products, for processors with
// PCLMULQDQ: a step folds to 32 bytes with the same remainder modulo g(x), so
// that the byte tables divide 32 bytes instead of 512. Only the functions
// marked for it use the instructions; the rest of the program runs anywhere.
// The code is in bch.h.
#include "bch.h"

#if defined(__x86_64__)

#include <immintrin.h>

#define BCH_CLMUL __attribute__((target("pclmul,ssse3")))

namespace bch::detail {

namespace {

// Sixteen bytes, most significant first, as a 128-bit polynomial: byte 0 bit
// 7 becomes x^127, which puts it in the high quadword.
BCH_CLMUL inline __m128i loadPolynomial(const std::uint8_t *p)
{
    const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), reverse);
}

BCH_CLMUL inline void storePolynomial(__m128i x, std::uint8_t *p)
{
    const __m128i reverse = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm_shuffle_epi8(x, reverse));
}

}  // namespace

// The step is Horner's rule over 256-bit pieces: F <- F x^256 + piece. With F
// in 64-bit words F_j (weight x^(64j)), F x^256 = sum F_j x^(256 + 64j), and
// each x^(256 + 64j) is replaced by its remainder K_j modulo g, of fewer than
// 128 bits: F_j K_j has fewer than 192 bits, so the sum stays in 256 bits
// and is congruent to the old F x^256.
BCH_CLMUL void foldCarryless(const Code &c, const std::uint8_t *data, std::uint8_t *folded)
{
    const auto *k = reinterpret_cast<const __m128i *>(c.fold);  // K_j: low quadword first
    const __m128i k0 = _mm_loadu_si128(k);
    const __m128i k1 = _mm_loadu_si128(k + 1);
    const __m128i k2 = _mm_loadu_si128(k + 2);
    const __m128i k3 = _mm_loadu_si128(k + 3);
    __m128i high = loadPolynomial(data);      // F_3 F_2
    __m128i low = loadPolynomial(data + 16);  // F_1 F_0
    for (std::size_t i = 32; i < kStepSize; i += 32) {
        // Selector 0xAB: quadword A of the first operand, B of the second.
        const __m128i inPlace = _mm_xor_si128(
            _mm_xor_si128(_mm_clmulepi64_si128(low, k0, 0x00), _mm_clmulepi64_si128(low, k1, 0x01)),
            _mm_xor_si128(_mm_clmulepi64_si128(high, k2, 0x00), _mm_clmulepi64_si128(high, k3, 0x01)));
        const __m128i wordUp = _mm_xor_si128(
            _mm_xor_si128(_mm_clmulepi64_si128(low, k0, 0x10), _mm_clmulepi64_si128(low, k1, 0x11)),
            _mm_xor_si128(_mm_clmulepi64_si128(high, k2, 0x10), _mm_clmulepi64_si128(high, k3, 0x11)));
        low = _mm_xor_si128(_mm_xor_si128(inPlace, _mm_slli_si128(wordUp, 8)), loadPolynomial(data + i + 16));
        high = _mm_xor_si128(_mm_srli_si128(wordUp, 8), loadPolynomial(data + i));
    }
    storePolynomial(high, folded);
    storePolynomial(low, folded + 16);
}

bool hasCarryless()
{
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}

}  // namespace bch::detail

#else

namespace bch::detail {

void foldCarryless(const Code &, const std::uint8_t *, std::uint8_t *) {}

bool hasCarryless()
{
    return false;
}

}  // namespace bch::detail

#endif
