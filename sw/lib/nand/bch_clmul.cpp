// The BCH division in carry-less products, for processors with PCLMULQDQ: a
// step folds to 256 bits with the same remainder modulo g(x), and a Barrett
// reduction takes the remainder from there. Only the functions marked for it
// use the instructions; the rest of the program runs anywhere. The code is in
// bch.h.
#include "bch.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <array>
#include <cstring>
#include <utility>

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

// The code bits of S, a polynomial of fewer than b + 64 bits (b <= 128) in
// words s[0..3], for a generator g of degree b: with mu = x^64 + mu' =
// x^(b + 64) div g and Sh = S div x^b, q = S div g = Sh + (Sh mu') div x^64
// (Barrett, exact over GF(2)), and r = (S + q g) mod x^b, in which only g's
// terms below x^b (rest, two words) count. r left-aligned in 128 bits, so
// that code bit 0, x^(b-1), is the top bit of *hi.
BCH_CLMUL inline void remainderOf(const std::uint64_t *s, unsigned b, std::uint64_t mu, const std::uint64_t *rest,
                                  std::uint64_t *hi, std::uint64_t *lo)
{
    const unsigned word = b / 64;
    const unsigned bit = b % 64;
    const std::uint64_t sh = bit == 0 ? s[word] : s[word] >> bit | s[word + 1] << (64 - bit);
    const std::uint64_t q = sh ^ high64(times(sh, mu));
    const __m128i qLow = times(q, rest[0]);
    const __m128i qHigh = times(q, rest[1]);
    std::uint64_t r0 = s[0] ^ low64(qLow);
    std::uint64_t r1 = s[1] ^ high64(qLow) ^ low64(qHigh);
    if (b < 64) {
        r0 &= (std::uint64_t{1} << b) - 1;
        r1 = 0;
    } else if (b < 128) {
        r1 &= (std::uint64_t{1} << (b - 64)) - 1;
    }
    const unsigned up = 128 - b;
    if (up >= 64) {
        *hi = r0 << (up - 64);
        *lo = 0;
    } else {
        *hi = r1 << up | (up == 0 ? 0 : r0 >> (64 - up));
        *lo = r0 << up;
    }
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

// With F = the folded step (congruent to d(x)), V = F x^b, each x^(b + 64j)
// replaced by its remainder C_j: fewer than b + 64 bits, congruent to d(x)
// x^b, and its remainder the code.
BCH_CLMUL void codeCarryless(const Code &c, const std::uint8_t *data, std::uint8_t *out)
{
    const Wide f = foldStep(c, data);
    __m128i cm[4];
    for (unsigned j = 0; j < 4; j++) {
        cm[j] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c.reduce.timesXm[j]));
    }
    const Wide v = shift(f, cm);  // words 0..2; shift's constants need only be remainders
    const std::uint64_t w[4] = {low64(v.low), high64(v.low), low64(v.high), 0};
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    remainderOf(w, c.codeBits, c.reduce.mu, c.reduce.rest, &hi, &lo);
    for (unsigned k = 0; k < c.codeBytes; k++) {
        out[k] = static_cast<std::uint8_t>(k < 8 ? hi >> (56 - 8 * k) : lo >> (56 - 8 * (k - 8)));
    }
}

namespace {

// A message in two places: the bytes of its whole 64-byte runs at head, the
// rest at tail (right after them, unless the caller keeps them apart). A
// piece of 8 bytes never straddles the two.
struct Message {
    const std::uint8_t *head;
    const std::uint8_t *tail;
    std::size_t split;

    const std::uint8_t *at(std::size_t i) const { return i < split ? head + i : tail + (i - split); }
};

// Within each 8-byte piece, the byte index of the other order (the 512-bit
// tables are loads: GCC 12's broadcasts read an undefined register).
alignas(64) constexpr std::uint8_t kPieceBytes[64] = {
    7,  6,  5,  4,  3,  2,  1,  0,  15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,
    1,  0,  15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1,  0,  15, 14, 13, 12,
    11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1,  0,  15, 14, 13, 12, 11, 10, 9,  8};
// The matrix of GF(2)^8 that reverses a byte's bits, as the affine byte map
// takes it (byte 7 - i the bits that make output bit i), for each 64 bits.
alignas(64) constexpr std::uint64_t kReverseBits[8] = {0x8040201008040201, 0x8040201008040201, 0x8040201008040201,
                                                       0x8040201008040201, 0x8040201008040201, 0x8040201008040201,
                                                       0x8040201008040201, 0x8040201008040201};
// Each nibble with its bits in the other order.
alignas(16) constexpr std::uint8_t kNibbleReversed[16] = {
    0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE, 0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF};

// Each byte of v with its bits in the other order (a nibble table each way).
BCH_CLMUL inline std::uint64_t reverseEachByte(std::uint64_t v)
{
    const __m128i table = _mm_load_si128(reinterpret_cast<const __m128i *>(kNibbleReversed));
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i x = _mm_cvtsi64_si128(static_cast<long long>(v));
    const __m128i low = _mm_shuffle_epi8(table, _mm_and_si128(x, nibble));
    const __m128i high = _mm_shuffle_epi8(table, _mm_and_si128(_mm_srli_epi16(x, 4), nibble));
    return low64(_mm_or_si128(_mm_slli_epi16(low, 4), high));
}

// A whole piece of 8 bytes as a polynomial: its first byte's bit 7 (bit 0
// with swapped bits) the highest coefficient.
template <bool Swap>
BCH_CLMUL inline std::uint64_t piece(const std::uint8_t *p)
{
    std::uint64_t v = 0;
    std::memcpy(&v, p, sizeof v);
    v = __builtin_bswap64(v);
    return Swap ? reverseEachByte(v) : v;
}

// Adds piece(x) times its remainder k to the sums.
template <unsigned Pairs>
BCH_CLMUL inline void addProduct(std::uint64_t piece, const std::uint64_t *k, __m128i *even, __m128i *odd)
{
    const __m128i x = _mm_set1_epi64x(static_cast<long long>(piece));
    for (unsigned p = 0; p < Pairs; p++) {
        const __m128i kv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(k) + p);
        even[p] = _mm_xor_si128(even[p], _mm_clmulepi64_si128(x, kv, 0x00));
        odd[p] = _mm_xor_si128(odd[p], _mm_clmulepi64_si128(x, kv, 0x10));
    }
}

// s[0 .. 2 Pairs + 1] = the sum over the pieces of piece(x) times its
// remainder: congruent to d(x) x^b, of fewer than b + 64 bits. The products
// of the even and the odd words of the remainders are summed apart.
template <unsigned Pairs>
BCH_CLMUL void sumPieces(const Code &c, const Message &m, std::uint64_t *s)
{
    __m128i even[Pairs];
    __m128i odd[Pairs];
    for (unsigned p = 0; p < Pairs; p++) {
        even[p] = odd[p] = _mm_setzero_si128();
    }
    const std::size_t bytes = c.p.messageBytes;
    const std::size_t whole = bytes / 8;
    if (c.p.swapBits) {
        for (std::size_t i = 0; i < whole; i++) {
            addProduct<Pairs>(piece<true>(m.at(8 * i)), c.pieceRemainder + i * kFoldWords, even, odd);
        }
    } else {
        for (std::size_t i = 0; i < whole; i++) {
            addProduct<Pairs>(piece<false>(m.at(8 * i)), c.pieceRemainder + i * kFoldWords, even, odd);
        }
    }
    if (whole * 8 != bytes) {
        // The last piece, shorter.
        std::uint64_t v = 0;
        for (std::size_t k = 8 * whole; k < bytes; k++) {
            v = v << 8 | *m.at(k);
        }
        v = c.p.swapBits ? reverseEachByte(v) : v;
        addProduct<Pairs>(v, c.pieceRemainder + whole * kFoldWords, even, odd);
    }
    std::memset(s, 0, (2 * Pairs + 2) * sizeof s[0]);
    for (std::size_t p = 0; p < Pairs; p++) {
        s[2 * p] ^= low64(even[p]);
        s[2 * p + 1] ^= high64(even[p]) ^ low64(odd[p]);
        s[2 * p + 2] ^= high64(odd[p]);
    }
}

// The same four pairs of words to a 512-bit register, for processors with
// 512-bit carry-less products (and byte shuffles of 512 bits, and the affine
// byte maps that every such processor has).
#define BCH_CLMUL512 __attribute__((target("avx512f,avx512bw,vpclmulqdq,gfni,pclmul,ssse3")))

// Eight whole pieces of 8 bytes at once, each as piece() makes it.
template <bool Swap>
BCH_CLMUL512 inline __m512i piecesOf8(const std::uint8_t *p)
{
    __m512i v = _mm512_shuffle_epi8(_mm512_loadu_si512(p), _mm512_load_si512(kPieceBytes));
    if (Swap) {
        // The affine map of GF(2)^8 whose matrix is the antidiagonal: each
        // byte's bits in the other order.
        v = _mm512_gf2p8affine_epi64_epi8(v, _mm512_load_si512(kReverseBits), 0);
    }
    return v;
}

template <unsigned Quads, bool Swap>
BCH_CLMUL512 void sumPieces512(const Code &c, const Message &m, std::uint64_t *s)
{
    __m512i even[Quads];
    __m512i odd[Quads];
    for (unsigned q = 0; q < Quads; q++) {
        even[q] = odd[q] = _mm512_setzero_si512();
    }
    const std::size_t bytes = c.p.messageBytes;
    const std::size_t whole = bytes / 8;
    const auto add = [&](std::uint64_t piece, std::size_t i) BCH_CLMUL512 {
        const __m512i x = _mm512_set1_epi64(static_cast<long long>(piece));
        const std::uint64_t *k = c.pieceRemainder + i * kFoldWords;
        for (unsigned q = 0; q < Quads; q++) {
            const __m512i kv = _mm512_loadu_si512(k + std::size_t{8} * q);
            even[q] = _mm512_xor_si512(even[q], _mm512_clmulepi64_epi128(x, kv, 0x00));
            odd[q] = _mm512_xor_si512(odd[q], _mm512_clmulepi64_epi128(x, kv, 0x10));
        }
    };
    // The pieces made first, eight at a time, so that each product starts
    // from a load rather than waiting for its piece's conversion.
    std::uint64_t pieces[kMaxMessageBytes / 8 + 1];
    std::size_t i = 0;
    for (; i + 8 <= whole; i += 8) {
        _mm512_storeu_si512(pieces + i, piecesOf8<Swap>(m.at(8 * i)));
    }
    for (; i < whole; i++) {
        pieces[i] = piece<Swap>(m.at(8 * i));
    }
    for (i = 0; i < whole; i++) {
        add(pieces[i], i);
    }
    if (whole * 8 != bytes) {
        std::uint64_t v = 0;
        for (std::size_t k = 8 * whole; k < bytes; k++) {
            v = v << 8 | *m.at(k);
        }
        add(Swap ? reverseEachByte(v) : v, whole);
    }
    std::uint64_t e[8 * Quads];
    std::uint64_t o[8 * Quads];
    for (unsigned q = 0; q < Quads; q++) {
        _mm512_storeu_si512(e + 8 * q, even[q]);
        _mm512_storeu_si512(o + 8 * q, odd[q]);
    }
    std::memset(s, 0, (8 * Quads + 2) * sizeof s[0]);
    for (std::size_t p = 0; p < std::size_t{4} * Quads; p++) {
        s[2 * p] ^= e[2 * p];
        s[2 * p + 1] ^= e[2 * p + 1] ^ o[2 * p];
        s[2 * p + 2] ^= o[2 * p + 1];
    }
}

// The pieces of a code of two or four words (Code::packedRemainder), eight
// at a time, from the 64 bytes of a run in one register. Two words: pieces
// 2L and 2L + 1 in lane L, each multiplied by both words of its remainder.
// Four words: the register spread to two, pieces 0 1 0 1 2 3 2 3 and 4 5 4 5
// 6 7 6 7, each lane multiplying its even and its odd piece by two words of
// their remainders. The products of the even words (0, or 2 in the odd lanes
// of four) and of the odd words (64 bits up) are summed apart, lane by lane,
// and the lanes are added once at the end, into s[0 .. Words + 1].
// The qwords of a run's register that the two registers of four words take.
alignas(64) constexpr std::uint64_t kFirstHalf[8] = {0, 1, 0, 1, 2, 3, 2, 3};
alignas(64) constexpr std::uint64_t kSecondHalf[8] = {4, 5, 4, 5, 6, 7, 6, 7};

// Adds the products of the pieces in x (even pieces in qword 0 of each lane,
// odd ones in qword 1) with the words of their remainders.
BCH_CLMUL512 inline void addPacked(__m512i x, const std::uint64_t *k, __m512i *low, __m512i *high)
{
    constexpr int kXor3 = 0x96;  // a ^ b ^ c, as a truth table
    const __m512i even = _mm512_loadu_si512(k);
    const __m512i odd = _mm512_loadu_si512(k + 8);
    *low = _mm512_ternarylogic_epi64(*low, _mm512_clmulepi64_epi128(x, even, 0x00),
                                     _mm512_clmulepi64_epi128(x, odd, 0x01), kXor3);
    *high = _mm512_ternarylogic_epi64(*high, _mm512_clmulepi64_epi128(x, even, 0x10),
                                      _mm512_clmulepi64_epi128(x, odd, 0x11), kXor3);
}

template <unsigned Words, bool Swap>
BCH_CLMUL512 void sumPacked512(const Code &c, const Message &m, std::uint64_t *s)
{
    const std::size_t bytes = c.p.messageBytes;
    const std::size_t runs = bytes / 64;
    const std::uint64_t *k = c.packedRemainder;
    constexpr __mmask8 kAll = 0xFF;  // the masked form: GCC 12's plain one reads an undefined register
    __m512i low = _mm512_setzero_si512();
    __m512i high = _mm512_setzero_si512();
    for (std::size_t r = 0; r < runs; r++, k += std::size_t{8} * Words) {
        const __m512i x = piecesOf8<Swap>(m.head + 64 * r);
        if (Words == 2) {
            addPacked(x, k, &low, &high);
        } else {
            addPacked(_mm512_maskz_permutexvar_epi64(kAll, _mm512_load_si512(kFirstHalf), x), k, &low, &high);
            addPacked(_mm512_maskz_permutexvar_epi64(kAll, _mm512_load_si512(kSecondHalf), x), k + 16, &low, &high);
        }
    }
    // Sums of the products of word w of the remainders, each 128 bits.
    alignas(64) std::uint64_t l[8];
    alignas(64) std::uint64_t h[8];
    _mm512_store_si512(l, low);
    _mm512_store_si512(h, high);
    __m128i sum[4];
    if (Words == 2) {
        sum[0] = _mm_set_epi64x(static_cast<long long>(l[1] ^ l[3] ^ l[5] ^ l[7]),
                                static_cast<long long>(l[0] ^ l[2] ^ l[4] ^ l[6]));
        sum[1] = _mm_set_epi64x(static_cast<long long>(h[1] ^ h[3] ^ h[5] ^ h[7]),
                                static_cast<long long>(h[0] ^ h[2] ^ h[4] ^ h[6]));
    } else {
        sum[0] = _mm_set_epi64x(static_cast<long long>(l[1] ^ l[5]), static_cast<long long>(l[0] ^ l[4]));
        sum[1] = _mm_set_epi64x(static_cast<long long>(h[1] ^ h[5]), static_cast<long long>(h[0] ^ h[4]));
        sum[2] = _mm_set_epi64x(static_cast<long long>(l[3] ^ l[7]), static_cast<long long>(l[2] ^ l[6]));
        sum[3] = _mm_set_epi64x(static_cast<long long>(h[3] ^ h[7]), static_cast<long long>(h[2] ^ h[6]));
    }
    // The pieces after the last whole run, the last one perhaps shorter.
    const auto add = [&](std::uint64_t v, std::size_t i) BCH_CLMUL512 {
        const __m128i x = _mm_cvtsi64_si128(static_cast<long long>(v));
        for (unsigned w = 0; w < Words; w += 2) {
            const __m128i kv = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c.packedRemainder + Words * i + w));
            sum[w] = _mm_xor_si128(sum[w], _mm_clmulepi64_si128(x, kv, 0x00));
            sum[w + 1] = _mm_xor_si128(sum[w + 1], _mm_clmulepi64_si128(x, kv, 0x10));
        }
    };
    const std::size_t whole = bytes / 8;
    for (std::size_t i = 8 * runs; i < whole; i++) {
        add(piece<Swap>(m.at(8 * i)), i);
    }
    if (whole * 8 != bytes) {
        std::uint64_t v = 0;
        for (std::size_t b = 8 * whole; b < bytes; b++) {
            v = v << 8 | *m.at(b);
        }
        add(Swap ? reverseEachByte(v) : v, whole);
    }
    // Word w's products weigh x^(64 w).
    s[0] = low64(sum[0]);
    for (unsigned w = 1; w < Words; w++) {
        s[w] = high64(sum[w - 1]) ^ low64(sum[w]);
    }
    s[Words] = high64(sum[Words - 1]);
    s[Words + 1] = 0;
}

// The code of a code of two words from its sum of pieces, as codeFolded
// below makes it, in registers.
template <bool Swap>
BCH_CLMUL512 void codePairs(const Code &c, const Message &m, std::uint8_t *out)
{
    std::uint64_t s[4];
    sumPacked512<2, Swap>(c, m, s);
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    remainderOf(s, c.codeBits, c.mu, c.gLow, &hi, &lo);
    std::uint64_t bytes[2] = {__builtin_bswap64(hi), __builtin_bswap64(lo)};
    if (Swap) {
        bytes[0] = reverseEachByte(bytes[0]);
        bytes[1] = reverseEachByte(bytes[1]);
    }
    std::memcpy(out, bytes, c.codeBytes);
}

// The same for a code of three or four words: S has fewer than b + 64 bits
// (b = 129 .. 256) in s[0..4]; the remainder's words are left-aligned in 256
// bits, so that code bit 0 (x^(b-1)) is the top bit of u[3].
template <bool Swap>
BCH_CLMUL512 void codeQuads(const Code &c, const Message &m, std::uint8_t *out)
{
    std::uint64_t s[6];
    sumPacked512<4, Swap>(c, m, s);
    const unsigned b = c.codeBits;
    const unsigned at = b / 64;
    const unsigned bit = b % 64;
    const std::uint64_t sh = bit == 0 ? s[at] : s[at] >> bit | s[at + 1] << (64 - bit);
    const std::uint64_t q = sh ^ high64(times(sh, c.mu));
    std::uint64_t r[5] = {s[0], s[1], s[2], s[3], s[4]};
    for (unsigned j = 0; j < 4; j++) {
        const __m128i qg = times(q, c.gLow[j]);
        r[j] ^= low64(qg);
        r[j + 1] ^= high64(qg);
    }
    if (at < 4) {
        r[at] &= bit == 0 ? 0 : (std::uint64_t{1} << bit) - 1;
        for (unsigned j = at + 1; j < 4; j++) {
            r[j] = 0;
        }
    }
    const unsigned up = 256 - b;
    const unsigned words = up / 64;
    const unsigned bits = up % 64;
    std::uint64_t bytes[4];
    for (unsigned j = 0; j < 4; j++) {
        // Word 3 - j of the aligned remainder, most significant first.
        const unsigned w = 3 - j;
        const std::uint64_t high = w >= words ? r[w - words] : 0;
        const std::uint64_t low = w >= words + 1 ? r[w - words - 1] : 0;
        const std::uint64_t u = bits == 0 ? high : high << bits | low >> (64 - bits);
        bytes[j] = Swap ? reverseEachByte(__builtin_bswap64(u)) : __builtin_bswap64(u);
    }
    std::memcpy(out, bytes, c.codeBytes);
}

using Sum = void (*)(const Code &, const Message &, std::uint64_t *);

template <unsigned... P>
constexpr auto sums(std::integer_sequence<unsigned, P...>)
{
    return std::array<Sum, sizeof...(P)>{&sumPieces<P + 1>...};
}

constexpr auto kSums = sums(std::make_integer_sequence<unsigned, kFoldWords / 2>{});

// One 512-bit register of products for each 8 words of the remainder.
template <bool Swap, unsigned... Q>
constexpr auto sums512(std::integer_sequence<unsigned, Q...>)
{
    return std::array<Sum, sizeof...(Q)>{&sumPieces512<Q + 1, Swap>...};
}

static_assert(kFoldWords % kLoadWords == 0, "whole 512-bit loads of every row");
constexpr std::array<Sum, kFoldWords / kLoadWords> kSums512[2] = {
    sums512<false>(std::make_integer_sequence<unsigned, kFoldWords / kLoadWords>{}),
    sums512<true>(std::make_integer_sequence<unsigned, kFoldWords / kLoadWords>{})};

}  // namespace

// With S = the sum of the pieces (fewer than b + 64 bits, congruent to
// d(x) x^b), Sh = S div x^b and mu = x^64 + mu' = x^(b + 64) div g:
// q = S div g = Sh + (Sh mu') div x^64 (Barrett, exact over GF(2)), and
// r = (S + q g) mod x^b, in which only g's terms below x^b count.
BCH_CLMUL void codeFolded(const Code &c, const std::uint8_t *head, const std::uint8_t *tail, std::uint8_t *out)
{
    const unsigned b = c.codeBits;
    const unsigned words = (b + 63) / 64;
    const Message m = {head, tail, c.p.messageBytes / 64 * 64};
    if (c.packed512) {
        if (c.packedWords == 2) {
            (c.p.swapBits ? codePairs<true> : codePairs<false>)(c, m, out);
        } else {
            (c.p.swapBits ? codeQuads<true> : codeQuads<false>)(c, m, out);
        }
        return;
    }
    std::uint64_t s[kFoldWords + 2];
    if (c.folded512) {
        kSums512[c.p.swapBits ? 1 : 0][(words + 7) / 8 - 1](c, m, s);
    } else {
        kSums[(words + 1) / 2 - 1](c, m, s);
    }
    const unsigned at = b / 64;
    const unsigned bit = b % 64;
    const std::uint64_t sh = bit == 0 ? s[at] : s[at] >> bit | s[at + 1] << (64 - bit);
    const std::uint64_t q = sh ^ high64(times(sh, c.mu));
    for (unsigned j = 0; j < words; j++) {
        const __m128i qg = times(q, c.gLow[j]);
        s[j] ^= low64(qg);
        s[j + 1] ^= high64(qg);
    }
    // x^0 .. x^(b-1), times x^pad so that they fill the code bytes from the
    // top: code bit 0 is x^(b-1), byte k the 8 bits from x^(8 (codeBytes -
    // 1 - k)) up.
    s[at] &= bit == 0 ? 0 : (std::uint64_t{1} << bit) - 1;
    for (unsigned j = at + 1; j <= words; j++) {
        s[j] = 0;
    }
    const unsigned pad = 8 * c.codeBytes - b;
    for (unsigned j = words + 1; j-- > 0;) {
        s[j] = pad == 0 ? s[j] : s[j] << pad | (j == 0 ? 0 : s[j - 1] >> (64 - pad));
    }
    for (unsigned k = 0; k < c.codeBytes; k++) {
        const unsigned e = 8 * (c.codeBytes - 1 - k);
        out[k] = static_cast<std::uint8_t>(s[e / 64] >> (e % 64));
    }
    if (c.p.swapBits) {
        for (unsigned k = 0; k < c.codeBytes; k += 8) {
            const unsigned n = std::min(8u, c.codeBytes - k);
            std::uint64_t v = 0;
            std::memcpy(&v, out + k, n);
            v = reverseEachByte(v);
            std::memcpy(out + k, &v, n);
        }
    }
}

bool hasCarryless()
{
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}

bool hasCarryless512()
{
    return hasCarryless() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("gfni");
}

}  // namespace bch::detail

#else

namespace bch::detail {

void codeCarryless(const Code &, const std::uint8_t *, std::uint8_t *) {}

void codeFolded(const Code &, const std::uint8_t *, const std::uint8_t *, std::uint8_t *) {}

bool hasCarryless()
{
    return false;
}

bool hasCarryless512()
{
    return false;
}

}  // namespace bch::detail

#endif
