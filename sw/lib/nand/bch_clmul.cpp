// The BCH division in carry-less products, for processors with PCLMULQDQ: a
// step folds to 256 bits with the same remainder modulo g(x), and a Barrett
// reduction takes the remainder from there. Only the functions marked for it
// use the instructions; the rest of the program runs anywhere. The code is in
// bch.h.
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

BCH_CLMUL inline std::uint64_t low64(__m128i x)
{
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(x));
}

BCH_CLMUL inline std::uint64_t high64(__m128i x)
{
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_srli_si128(x, 8)));
}

// The carry-less product of two 64-bit polynomials.
BCH_CLMUL inline __m128i times(std::uint64_t a, std::uint64_t b)
{
    return _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(a)),
                                _mm_cvtsi64_si128(static_cast<long long>(b)), 0x00);
}

// A 256-bit polynomial F in 64-bit words F_j (weight x^(64j)): F_3 F_2 in
// `high`, F_1 F_0 in `low`.
struct Wide {
    __m128i high;
    __m128i low;
};

// F x^(256 (d + 1)), reduced to 256 bits with the same remainder: each x^(256
// (d + 1) + 64j) is replaced by its remainder K_j modulo g, of fewer than 128
// bits, so that F_j K_j has fewer than 192 bits and the sum stays in 256.
BCH_CLMUL inline Wide shift(Wide f, const __m128i *k)
{
    // Selector 0xAB: quadword A of the first operand, B of the second.
    const __m128i inPlace = _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(f.low, k[0], 0x00), _mm_clmulepi64_si128(f.low, k[1], 0x01)),
        _mm_xor_si128(_mm_clmulepi64_si128(f.high, k[2], 0x00), _mm_clmulepi64_si128(f.high, k[3], 0x01)));
    const __m128i wordUp = _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(f.low, k[0], 0x10), _mm_clmulepi64_si128(f.low, k[1], 0x11)),
        _mm_xor_si128(_mm_clmulepi64_si128(f.high, k[2], 0x10), _mm_clmulepi64_si128(f.high, k[3], 0x11)));
    return {_mm_srli_si128(wordUp, 8), _mm_xor_si128(inPlace, _mm_slli_si128(wordUp, 8))};
}

BCH_CLMUL inline Wide addPiece(Wide f, const std::uint8_t *piece)
{
    return {_mm_xor_si128(f.high, loadPolynomial(piece)), _mm_xor_si128(f.low, loadPolynomial(piece + 16))};
}

// The message is Horner's rule over its 256-bit pieces, in two chains
// that do not wait for each other: the even pieces (F <- F x^512 + piece)
// and the odd ones, joined at the end as even x^256 + odd.
BCH_CLMUL Wide foldStep(const Code &c, const std::uint8_t *data)
{
    __m128i k256[4];
    __m128i k512[4];
    for (unsigned j = 0; j < 4; j++) {
        k256[j] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c.fold[0][j]));
        k512[j] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c.fold[1][j]));
    }
    Wide even = addPiece({_mm_setzero_si128(), _mm_setzero_si128()}, data);
    Wide odd = addPiece({_mm_setzero_si128(), _mm_setzero_si128()}, data + 32);
    for (std::size_t i = 64; i < c.p.messageBytes; i += 64) {
        even = addPiece(shift(even, k512), data + i);
        odd = addPiece(shift(odd, k512), data + i + 32);
    }
    const Wide f = shift(even, k256);
    return {_mm_xor_si128(f.high, odd.high), _mm_xor_si128(f.low, odd.low)};
}

}  // namespace

// With F = the folded step (congruent to d(x)) and m = b, the code's bits:
//   V = F x^m, each x^(m + 64j) replaced by its remainder C_j: fewer than
//       m + 64 bits, congruent to d(x) x^m;
//   q = V div g = Vh + ((Vh mu') div x^64), where Vh = V div x^m and
//       mu = x^64 + mu' = x^(m + 64) div g (Barrett, exact over GF(2));
//   r = (V + q g) mod x^m, in which only g's terms below x^m count.
BCH_CLMUL void codeCarryless(const Code &c, const std::uint8_t *data, std::uint8_t *out)
{
    const Wide f = foldStep(c, data);
    __m128i cm[4];
    for (unsigned j = 0; j < 4; j++) {
        cm[j] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c.reduce.timesXm[j]));
    }
    const Wide v = shift(f, cm);  // words 0..2; shift's constants need only be remainders
    const std::uint64_t w[4] = {low64(v.low), high64(v.low), low64(v.high), 0};

    const unsigned m = c.codeBits;
    const unsigned word = m / 64;
    const unsigned bit = m % 64;
    const std::uint64_t vh = bit == 0 ? w[word] : w[word] >> bit | w[word + 1] << (64 - bit);
    const std::uint64_t q = vh ^ high64(times(vh, c.reduce.mu));
    const __m128i qLow = times(q, c.reduce.rest[0]);
    const __m128i qHigh = times(q, c.reduce.rest[1]);
    std::uint64_t r0 = w[0] ^ low64(qLow);
    std::uint64_t r1 = w[1] ^ high64(qLow) ^ low64(qHigh);
    // Keep x^0 .. x^(m-1), then left-align them in 128 bits: code bit 0 is
    // x^(m-1).
    if (m < 64) {
        r0 &= (std::uint64_t{1} << m) - 1;
        r1 = 0;
    } else if (m < 128) {
        r1 &= (std::uint64_t{1} << (m - 64)) - 1;
    }
    const unsigned up = 128 - m;
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    if (up >= 64) {
        hi = r0 << (up - 64);
    } else {
        hi = r1 << up | (up == 0 ? 0 : r0 >> (64 - up));
        lo = r0 << up;
    }
    for (unsigned k = 0; k < c.codeBytes; k++) {
        out[k] = static_cast<std::uint8_t>(k < 8 ? hi >> (56 - 8 * k) : lo >> (56 - 8 * (k - 8)));
    }
}

bool hasCarryless()
{
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}

}  // namespace bch::detail

#else

namespace bch::detail {

void codeCarryless(const Code &, const std::uint8_t *, std::uint8_t *) {}

bool hasCarryless()
{
    return false;
}

}  // namespace bch::detail

#endif
