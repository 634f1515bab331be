// Binary BCH codes over GF(2^m): the field, the generator polynomial, a
// table-driven encoder and a decoder (syndromes, Berlekamp-Massey, root
// search, a re-encoding check). The code is in bch.h.
#include "bch.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

namespace bch {

namespace {

// Linux's default primitive polynomials, m = 5..15 (lib/bch.c).
constexpr unsigned kDefaultPoly[] = {0x25, 0x43, 0x83, 0x11d, 0x211, 0x409, 0x805, 0x1053, 0x201b, 0x402b, 0x8003};

// A byte with its bits in the other order.
constexpr std::uint8_t reversed(unsigned b)
{
    unsigned r = 0;
    for (unsigned i = 0; i < 8; i++) {
        r |= ((b >> i) & 1u) << (7 - i);
    }
    return static_cast<std::uint8_t>(r);
}

struct Reverse {
    std::uint8_t of[256];
};

constexpr Reverse makeReverse()
{
    Reverse r{};
    for (unsigned b = 0; b < 256; b++) {
        r.of[b] = reversed(b);
    }
    return r;
}

constexpr Reverse kReverse = makeReverse();

unsigned mul(const Code &c, unsigned a, unsigned b)
{
    return a != 0 && b != 0 ? c.pow[c.log[a] + c.log[b]] : 0;
}

unsigned inverse(const Code &c, unsigned a)
{
    return c.pow[c.n - c.log[a]];
}

using Register = std::uint64_t[kMaxWords];

// Bit p of the register, p = 0 the most significant bit of word 0.
void setBit(Register &r, unsigned p)
{
    r[p / 64] |= std::uint64_t{1} << (63 - p % 64);
}

void shiftLeft(Register &r, unsigned words)
{
    for (unsigned w = 0; w + 1 < words; w++) {
        r[w] = r[w] << 1 | r[w + 1] >> 63;
    }
    r[words - 1] <<= 1;
}

// The byte of the message as the division takes it.
inline std::uint32_t in(const Code &c, std::uint8_t b)
{
    return c.p.swapBits ? kReverse.of[b] : b;
}

// The division, four message bytes at a time: the register moves up 32 bits
// and takes the remainders of its top 32 bits XOR the message, one table a
// byte; then any last bytes one at a time.
template <unsigned Words>
void remainderOf(const Code &c, const std::uint8_t *data, Register &r)
{
    std::uint64_t a[Words] = {};
    const std::size_t size = c.p.messageBytes;
    const std::uint64_t *t0 = c.remainder;
    const std::uint64_t *t1 = t0 + std::size_t{256} * Words;
    const std::uint64_t *t2 = t1 + std::size_t{256} * Words;
    const std::uint64_t *t3 = t2 + std::size_t{256} * Words;
    std::size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        const std::uint32_t v = static_cast<std::uint32_t>(a[0] >> 32) ^
                                (in(c, data[i]) << 24 | in(c, data[i + 1]) << 16 | in(c, data[i + 2]) << 8 |
                                 in(c, data[i + 3]));
        const std::uint64_t *p3 = t3 + std::size_t{v >> 24} * Words;
        const std::uint64_t *p2 = t2 + std::size_t{v >> 16 & 0xFFu} * Words;
        const std::uint64_t *p1 = t1 + std::size_t{v >> 8 & 0xFFu} * Words;
        const std::uint64_t *p0 = t0 + std::size_t{v & 0xFFu} * Words;
        for (unsigned w = 0; w + 1 < Words; w++) {
            a[w] = (a[w] << 32 | a[w + 1] >> 32) ^ p3[w] ^ p2[w] ^ p1[w] ^ p0[w];
        }
        a[Words - 1] = (a[Words - 1] << 32) ^ p3[Words - 1] ^ p2[Words - 1] ^ p1[Words - 1] ^ p0[Words - 1];
    }
    for (; i < size; i++) {
        const std::uint32_t v = static_cast<std::uint32_t>(a[0] >> 56) ^ in(c, data[i]);
        const std::uint64_t *p0 = t0 + std::size_t{v} * Words;
        for (unsigned w = 0; w + 1 < Words; w++) {
            a[w] = (a[w] << 8 | a[w + 1] >> 56) ^ p0[w];
        }
        a[Words - 1] = (a[Words - 1] << 8) ^ p0[Words - 1];
    }
    for (unsigned w = 0; w < kMaxWords; w++) {
        r[w] = w < Words ? a[w] : 0;
    }
}

using Division = void (*)(const Code &, const std::uint8_t *, Register &);

template <std::size_t... W>
constexpr auto divisions(std::index_sequence<W...>)
{
    return std::array<Division, sizeof...(W)>{&remainderOf<W + 1>...};
}

constexpr auto kDivisions = divisions(std::make_index_sequence<kMaxWords>{});

// The code bytes of the message before the mask, in stored bit order.
void rawCode(const Code &c, const std::uint8_t *data, std::uint8_t *out)
{
    if (c.carryless) {
        detail::codeCarryless(c, data, out);
        return;
    }
    if (c.folded) {
        detail::codeFolded(c, data, data + c.p.messageBytes / 64 * 64, out);
        return;
    }
    Register r;
    kDivisions[c.words - 1](c, data, r);
    for (unsigned k = 0; k < c.codeBytes; k++) {
        const auto b = static_cast<std::uint8_t>(r[k / 8] >> (56 - 8 * (k % 8)));
        out[k] = c.p.swapBits ? kReverse.of[b] : b;
    }
}

// The field's tables; false if poly is not primitive of degree m.
bool makeField(Code *c, unsigned m, unsigned poly)
{
    if (m < kMinM || m > kMaxM || (poly >> m) != 1) {
        return false;
    }
    const unsigned n = (1u << m) - 1;
    unsigned x = 1;
    for (unsigned i = 0; i < n; i++) {
        if (i != 0 && x == 1) {
            return false;  // a^i = 1 before the whole group is spanned
        }
        c->pow[i] = c->pow[i + n] = static_cast<std::uint16_t>(x);
        c->log[x] = static_cast<std::uint16_t>(i);
        x <<= 1;
        if ((x & (1u << m)) != 0) {
            x ^= poly;
        }
    }
    c->log[0] = 0;
    std::fill(c->pow + std::size_t{2} * n, c->pow + std::size_t{3} * (1u << m), std::uint16_t{0});
    return x == 1;
}

// The constants of the carry-less division (bch_clmul.cpp): the powers of x
// modulo g, and x^(b + 64) div g.
void makeCarryless(Code *c, const std::uint8_t *g)
{
    const unsigned m = c->codeBits;
    if (m == 0 || m >= 128) {
        return;  // the division takes codes of fewer than 128 bits
    }
    std::uint64_t *rest = c->reduce.rest;  // g less its leading term, by degree
    rest[0] = rest[1] = 0;
    for (unsigned d = 0; d < m; d++) {
        rest[d / 64] |= std::uint64_t{g[d] != 0} << (d % 64);
    }
    const auto keep = [](unsigned e, unsigned from, std::uint64_t (*into)[2], const std::uint64_t *x) {
        if (e >= from && e < from + 256 && (e - from) % 64 == 0) {
            into[(e - from) / 64][0] = x[0];
            into[(e - from) / 64][1] = x[1];
        }
    };
    std::uint64_t x[2] = {1, 0};  // x^0
    const unsigned top = m - 1;
    for (unsigned e = 1; e <= 512 + 64 * 3; e++) {
        const bool carry = ((x[top / 64] >> (top % 64)) & 1u) != 0;
        x[1] = x[1] << 1 | x[0] >> 63;
        x[0] <<= 1;
        x[m / 64] &= ~(std::uint64_t{1} << (m % 64));
        if (carry) {
            x[0] ^= rest[0];
            x[1] ^= rest[1];
        }
        keep(e, 256, c->fold[0], x);
        keep(e, 512, c->fold[1], x);
        keep(e, m, c->reduce.timesXm, x);
    }
    // mu: x^(m + 64) divided by g, by long division; its x^64 term is left out.
    std::uint64_t left[3] = {};
    left[(m + 64) / 64] = std::uint64_t{1} << ((m + 64) % 64);
    c->reduce.mu = 0;
    for (unsigned i = m + 64; i >= m; i--) {
        if ((left[i / 64] >> (i % 64) & 1u) == 0) {
            continue;
        }
        if (i - m < 64) {
            c->reduce.mu |= std::uint64_t{1} << (i - m);
        }
        left[i / 64] ^= std::uint64_t{1} << (i % 64);
        for (unsigned d = 0; d < m; d++) {
            if ((rest[d / 64] >> (d % 64) & 1u) != 0) {
                left[(d + i - m) / 64] ^= std::uint64_t{1} << ((d + i - m) % 64);
            }
        }
    }
}

// Linux's location of the bit at index `bit` of the codeword, counted from
// the first message bit in the order the division takes them.
unsigned location(const Code &c, unsigned bit)
{
    return c.p.swapBits ? bit : (bit & ~7u) | (7 - (bit & 7u));
}

// The constants of the folded carry-less division (Code::folded) from g's
// coefficients g[0..b]: polynomials in 64-bit words, bit k of the whole the
// coefficient of x^k.
void makeFolded(Code *c, const std::uint16_t *g)
{
    const unsigned b = c->codeBits;
    std::memset(c->gLow, 0, sizeof c->gLow);
    for (unsigned k = 0; k < b; k++) {
        c->gLow[k / 64] |= std::uint64_t{g[k]} << (k % 64);
    }
    // mu = x^(b + 64) div g by long division, one bit of the quotient at a time.
    std::uint8_t rest[kMaxCodeBits + 65] = {};
    rest[b + 64] = 1;
    c->mu = 0;
    for (unsigned e = 65; e-- > 0;) {
        if (rest[b + e] != 0) {
            c->mu |= e < 64 ? std::uint64_t{1} << e : 0;  // x^64 itself is left out
            for (unsigned k = 0; k <= b; k++) {
                rest[k + e] ^= static_cast<std::uint8_t>(g[k]);
            }
        }
    }
    // x^(b + weight) mod g for each piece, the last piece (weight 0) first.
    std::uint64_t v[kFoldWords];
    std::memcpy(v, c->gLow, sizeof v);  // x^b mod g
    const std::size_t bytes = c->p.messageBytes;
    std::size_t weight = 0;
    const unsigned span = b / 64 + 1;  // the words that hold x^0 .. x^b; the rest stay 0
    for (std::size_t i = (bytes + 7) / 8; i-- > 0;) {
        const std::size_t end = std::min(8 * i + 8, bytes);
        for (; weight < 8 * (bytes - end); weight++) {
            const bool carry = (v[(b - 1) / 64] >> ((b - 1) % 64) & 1u) != 0;
            for (unsigned w = span; w-- > 1;) {
                v[w] = v[w] << 1 | v[w - 1] >> 63;
            }
            v[0] <<= 1;
            v[b / 64] &= ~(std::uint64_t{1} << (b % 64));
            for (unsigned w = 0; w < span && carry; w++) {
                v[w] ^= c->gLow[w];
            }
        }
        std::memcpy(c->pieceRemainder + i * kFoldWords, v, sizeof v);
    }
    if (c->packed512) {
        // Piece i of a whole run of eight at its place (Code::packedRemainder);
        // the rest in order.
        const unsigned w = c->packedWords;
        const std::size_t pieces = (bytes + 7) / 8;
        const std::size_t inRuns = bytes / 64 * 8;
        for (std::size_t i = 0; i < pieces; i++) {
            const std::size_t q = i % 8;
            std::size_t at = w * i;
            if (i < inRuns) {
                at = w == 2 ? i / 8 * 16 + q % 2 * 8 + q / 2 * 2 : i / 8 * 32 + q / 4 * 16 + q % 2 * 8 + q % 4 / 2 * 4;
            }
            std::memcpy(c->packedRemainder + at, c->pieceRemainder + i * kFoldWords, w * sizeof(std::uint64_t));
        }
    }
}

// The solutions of y^2 + y = k (see Code::quadratic): the map y -> y^2 + y
// is linear over GF(2), its image the elements of trace 0.
void makeQuadratic(Code *c)
{
    const unsigned m = c->p.m;
    const auto trace = [c, m](unsigned v) {
        unsigned sum = 0;
        for (unsigned i = 0; i < m; i++) {
            sum ^= v;
            v = mul(*c, v, v);
        }
        return sum;  // 0 or 1
    };
    unsigned w = 0;
    while (trace(w) != 1) {
        w++;
    }
    unsigned target[kMaxM];
    for (unsigned p = 0; p < m; p++) {
        target[p] = (1u << p) ^ (trace(1u << p) != 0 ? w : 0u);
        c->quadratic[p] = 0;
    }
    for (unsigned y = 0; y <= c->n; y++) {
        const unsigned image = mul(*c, y, y) ^ y;
        for (unsigned p = 0; p < m; p++) {
            if (image == target[p] && c->quadratic[p] == 0) {
                c->quadratic[p] = static_cast<std::uint16_t>(y);
            }
        }
    }
}

}  // namespace

unsigned defaultPoly(unsigned m)
{
    return m >= kMinM && m <= kMaxM ? kDefaultPoly[m - kMinM] : 0;
}

unsigned defaultM(std::size_t stepBytes)
{
    unsigned m = kMinM;
    while (m < kMaxM && (std::size_t{1} << m) <= 8 * stepBytes) {
        m++;
    }
    return m;
}

unsigned maxStrength(unsigned m, std::size_t messageBytes)
{
    if (m < kMinM || m > kMaxM) {
        return 0;
    }
    const std::size_t n = (std::size_t{1} << m) - 1;
    if (8 * messageBytes >= n) {
        return 0;
    }
    const std::size_t t = (n - 8 * messageBytes) / m;
    return t < kMaxT ? static_cast<unsigned>(t) : kMaxT;
}

bool isPrimitive(unsigned m, unsigned poly)
{
    if (m < kMinM || m > kMaxM || (poly >> m) != 1) {
        return false;
    }
    const unsigned n = (1u << m) - 1;
    unsigned x = 1;
    for (unsigned i = 1; i <= n; i++) {
        x <<= 1;
        if ((x & (1u << m)) != 0) {
            x ^= poly;
        }
        if (x == 1) {
            return i == n;
        }
    }
    return false;
}

nand::Status init(Code *c, const Params &p)
{
    c->p = p;
    if (c->p.poly == 0) {
        c->p.poly = defaultPoly(p.m);
    }
    if (p.m < kMinM || p.m > kMaxM) {
        return nand::Status::invalid("a BCH field GF(2^m) takes m from %u to %u, not %u", kMinM, kMaxM, p.m);
    }
    if (!makeField(c, p.m, c->p.poly)) {
        return nand::Status::invalid("0x%x is not a primitive polynomial of degree %u", c->p.poly, p.m);
    }
    const unsigned limit = maxStrength(p.m, p.messageBytes);
    if (p.messageBytes == 0 || p.messageBytes > kMaxMessageBytes || limit == 0) {
        return nand::Status::invalid("GF(2^%u) cannot protect %zu bytes a step", p.m, p.messageBytes);
    }
    if (p.t < 1 || p.t > limit) {
        return nand::Status::invalid("a BCH strength from 1 to %u over GF(2^%u) with %zu bytes a step, not %u", limit,
                      p.m, p.messageBytes, p.t);
    }
    c->n = (1u << p.m) - 1;

    // g(x): the product of (x + b) over the roots b = a^r, r in the cyclotomic
    // cosets of 1, 3, .., 2t-1. Its coefficients come out 0 or 1.
    bool isRoot[1u << kMaxM] = {};
    std::uint16_t g[kMaxCodeBits + 1] = {1};
    unsigned degree = 0;
    for (unsigned j = 1; j < 2 * p.t; j += 2) {
        unsigned r = j;
        do {
            if (!isRoot[r]) {
                isRoot[r] = true;
                const unsigned b = c->pow[r];
                degree++;
                for (unsigned i = degree; i > 0; i--) {
                    g[i] = static_cast<std::uint16_t>(g[i - 1] ^ mul(*c, b, g[i]));
                }
                g[0] = static_cast<std::uint16_t>(mul(*c, b, g[0]));
            }
            r = 2 * r >= c->n ? 2 * r - c->n : 2 * r;
        } while (r != j);
    }
    c->codeBits = degree;
    c->codeBytes = (p.m * p.t + 7) / 8;
    c->words = (degree + 63) / 64;

    makeQuadratic(c);
    for (unsigned h = 0; h < p.t; h++) {
        const unsigned j = 2 * h + 1;
        for (unsigned v = 0; v < 256; v++) {
            unsigned sum = 0;
            for (unsigned bit = 0; bit < 8; bit++) {
                sum ^= (v >> bit & 1u) != 0 ? unsigned{c->pow[(j * bit) % c->n]} : 0u;
            }
            c->syndromeByte[h][v] = static_cast<std::uint16_t>(sum);
        }
    }

    // Division by g as a shift register: the coefficients of x^(b-1) .. x^0
    // of g, left-aligned; the register holds the remainder the same way.
    Register low = {};
    for (unsigned d = 0; d < degree; d++) {
        if (g[d] != 0) {
            setBit(low, degree - 1 - d);
        }
    }
    const unsigned words = c->words;
    for (unsigned k = 0; k < 4; k++) {
        for (unsigned i = 0; i < 256; i++) {
            // Byte i, then k zero bytes, fed bit by bit into an empty register.
            Register r = {};
            for (int b = 7 + 8 * static_cast<int>(k); b >= 0; b--) {
                const unsigned bit = b >= 8 * static_cast<int>(k) ? (i >> (b - 8 * static_cast<int>(k))) & 1u : 0u;
                const bool feedback = ((r[0] >> 63) ^ bit) != 0;
                shiftLeft(r, words);
                if (feedback) {
                    for (unsigned w = 0; w < words; w++) {
                        r[w] ^= low[w];
                    }
                }
            }
            std::memcpy(c->remainder + (std::size_t{k} * 256 + i) * words, r, words * sizeof r[0]);
        }
    }

    // The bits of the stored bytes that are code: the first b bits, in
    // stored order.
    std::memset(c->keep, 0, sizeof c->keep);
    for (unsigned i = 0; i < degree; i++) {
        const unsigned bit = c->p.swapBits ? i % 8 : 7 - i % 8;
        c->keep[i / 8] = static_cast<std::uint8_t>(c->keep[i / 8] | 1u << bit);
    }

    // The division in use: the packed sums of pieces in 512-bit products for
    // any code of up to four words where the processor has them (no chain of
    // dependent products, no lane idle), else the fold of the short codes,
    // else the sums of pieces. The fold's constants are made wherever it
    // applies, so that it can be compared with the others.
    c->carryless = false;
    c->packed512 = degree <= 256 && detail::hasCarryless512();
    c->packedWords = degree <= 128 ? 2 : 4;
    if (p.m * p.t < 128 && !p.swapBits && p.messageBytes % 64 == 0) {
        std::uint8_t g01[kMaxCodeBits + 1];
        for (unsigned d = 0; d <= degree; d++) {
            g01[d] = static_cast<std::uint8_t>(g[d]);
        }
        makeCarryless(c, g01);
        c->carryless = detail::hasCarryless() && !c->packed512;
    }
    c->folded = !c->carryless && detail::hasCarryless();
    c->folded512 = c->folded && detail::hasCarryless512();
    if (c->folded) {
        makeFolded(c, g);
    }

    // The mask: the complement of the code of a blank message, spare bits
    // included, so that blank flash is a codeword.
    std::memset(c->mask, 0, sizeof c->mask);
    if (p.masked) {
        std::uint8_t blank[kMaxMessageBytes];
        std::memset(blank, 0xFF, p.messageBytes);
        rawCode(*c, blank, c->mask);
        for (unsigned k = 0; k < c->codeBytes; k++) {
            c->mask[k] = static_cast<std::uint8_t>(~c->mask[k]);
        }
    }
    return {};
}

void encode(const Code &c, const std::uint8_t *data, std::uint8_t *code)
{
    rawCode(c, data, code);
    for (unsigned k = 0; k < c.codeBytes; k++) {
        code[k] ^= c.mask[k];
    }
}

void encode(const Code &c, const std::uint8_t *head, std::size_t headBytes, const std::uint8_t *tail,
            std::uint8_t *code)
{
    if (c.folded && headBytes == c.p.messageBytes / 64 * 64) {
        detail::codeFolded(c, head, tail, code);
        for (unsigned k = 0; k < c.codeBytes; k++) {
            code[k] ^= c.mask[k];
        }
        return;
    }
    std::uint8_t message[kMaxMessageBytes];
    std::memcpy(message, head, headBytes);
    std::memcpy(message + headBytes, tail, c.p.messageBytes - headBytes);
    encode(c, message, code);
}

namespace {

// The error locator sigma(x) of least degree from the syndromes s[1..2t]
// (Berlekamp-Massey); returns its degree. For a binary code, where
// s[2j] = s[j]^2, every second discrepancy is zero, so those steps are skipped.
unsigned errorLocator(const Code &c, const unsigned *s, unsigned *sigma)
{
    constexpr unsigned kTerms = 2 * kMaxT + 2;
    const unsigned t = c.p.t;
    unsigned prev[kTerms] = {1};
    unsigned saved[kTerms];
    unsigned prevDeg = 0;   // of prev
    unsigned sigmaDeg = 0;  // a bound on the degree of sigma
    unsigned length = 0;
    unsigned gap = 1;
    unsigned prevDiscrepancy = 1;
    std::memset(sigma, 0, kTerms * sizeof sigma[0]);
    sigma[0] = 1;
    for (unsigned n = 0; n < 2 * t; n++) {
        unsigned discrepancy = 0;
        if (n % 2 == 0) {
            discrepancy = s[n + 1];
            for (unsigned i = 1; i <= length; i++) {
                discrepancy ^= mul(c, sigma[i], s[n + 1 - i]);
            }
        }
        if (discrepancy == 0) {
            gap++;
            continue;
        }
        const unsigned scale = mul(c, discrepancy, inverse(c, prevDiscrepancy));
        const bool longer = 2 * length <= n;
        if (longer) {
            std::memcpy(saved, sigma, (sigmaDeg + 1) * sizeof saved[0]);
        }
        if (scale != 0) {
            const unsigned logScale = c.log[scale];
            for (unsigned i = 0; i <= prevDeg && i + gap < kTerms; i++) {
                if (prev[i] != 0) {
                    sigma[i + gap] ^= c.pow[logScale + c.log[prev[i]]];
                }
            }
        }
        const unsigned oldDeg = sigmaDeg;
        sigmaDeg = std::min(std::max(sigmaDeg, prevDeg + gap), kTerms - 1);
        if (longer) {
            length = n + 1 - length;
            std::memcpy(prev, saved, (oldDeg + 1) * sizeof prev[0]);
            prevDeg = oldDeg;
            prevDiscrepancy = discrepancy;
            gap = 1;
        } else {
            gap++;
        }
    }
    return length;
}

}  // namespace

int decode(const Code &c, std::uint8_t *data, std::uint8_t *stored, unsigned *locs, bool strict)
{
    std::uint8_t diff[kMaxCodeBytes];
    encode(c, data, diff);
    unsigned any = 0;
    for (unsigned k = 0; k < c.codeBytes; k++) {
        diff[k] = static_cast<std::uint8_t>((diff[k] ^ stored[k]) & c.keep[k]);
        any |= diff[k];
    }
    if (any == 0) {
        return 0;
    }

    // Syndromes S[j] = v(a^j), j = 1..2t, of the difference v(x): code bit i
    // (in the division's order) is the coefficient of x^(b-1-i). By Horner's
    // rule a byte at a time, the odd ones side by side, of v(x) x^(8B - b)
    // (B code bytes, so that the last byte ends at x^0); then divided by
    // a^(j (8B - b)). The even ones are squares.
    const unsigned t = c.p.t;
    const unsigned n = c.n;
    unsigned s[2 * kMaxT + 1] = {};
    unsigned step[kMaxT];  // log of a^(8j), j = 2h + 1: 8 + 16h mod n, with n > 16
    for (unsigned h = 0, l = 8; h < t; h++, l += 16) {
        l = l >= n ? l - n : l;
        step[h] = l;
    }
    for (unsigned k = 0; k < c.codeBytes; k++) {
        const unsigned byte = c.p.swapBits ? kReverse.of[diff[k]] : diff[k];
        for (unsigned h = 0; h < t; h++) {
            const unsigned v = s[2 * h + 1];
            s[2 * h + 1] = (v != 0 ? c.pow[c.log[v] + step[h]] : 0u) ^ c.syndromeByte[h][byte];
        }
    }
    const unsigned pad = 8 * c.codeBytes - c.codeBits;
    for (unsigned j = 1; j < 2 * t && pad != 0; j += 2) {
        if (s[j] != 0) {
            s[j] = c.pow[c.log[s[j]] + n - (j * pad) % n];
        }
    }
    for (std::size_t j = 1; j <= t; j++) {
        const std::size_t twiceLog = std::size_t{c.log[s[j]]} * 2;
        s[2 * j] = s[j] != 0 ? c.pow[twiceLog] : 0;
    }

    unsigned sigma[2 * kMaxT + 2];
    const unsigned length = errorLocator(c, s, sigma);
    if (length == 0 || length > t) {
        return -1;
    }
    const unsigned messageBits = static_cast<unsigned>(8 * c.p.messageBytes);
    const unsigned nbits = messageBits + c.codeBits;
    unsigned degrees[kMaxT];
    const int found = detail::locatorRoots(c, sigma, length, nbits, degrees);
    if (found != static_cast<int>(length)) {
        return -1;
    }
    for (unsigned k = 0; k < length; k++) {
        locs[k] = location(c, nbits - 1 - degrees[k]);
    }

    // Correct in place; with strict, take the correction back unless the
    // corrected step is a codeword.
    const auto flip = [&] {
        for (unsigned k = 0; k < length; k++) {
            std::uint8_t *p = locs[k] < messageBits ? data + locs[k] / 8 : stored + (locs[k] - messageBits) / 8;
            *p ^= static_cast<std::uint8_t>(1u << (locs[k] % 8));
        }
    };
    flip();
    if (strict) {
        std::uint8_t check[kMaxCodeBytes];
        encode(c, data, check);
        for (unsigned k = 0; k < c.codeBytes; k++) {
            if (((check[k] ^ stored[k]) & c.keep[k]) != 0) {
                flip();
                return -1;
            }
        }
    }
    return static_cast<int>(length);
}

}  // namespace bch
