// Linux's software BCH code: the field, the generator polynomial, a
// table-driven encoder and a decoder (syndromes, Berlekamp-Massey, Chien
// search, a re-encoding check). The code is in bch.h.
#include "bch.h"

#include <cstring>

namespace bch {

namespace {

constexpr unsigned kN = (1u << kM) - 1;  // 8191, the order of the field's multiplicative group
constexpr unsigned kPrimitive = 0x201b;  // x^13 + x^4 + x^3 + x + 1
constexpr unsigned kDataBits = kStepSize * 8;
constexpr unsigned kWords = 4;  // the remainder register: 256 bits, left-aligned

struct Field {
    std::uint16_t pow[2 * kN];  // a^i, twice over so that sums of two logs need no reduction
    std::uint16_t log[kN + 1];
};

// The field's tables, built by the compiler: read-only data that any number
// of threads share, with no first call to guard.
constexpr Field makeField()
{
    Field t{};
    unsigned x = 1;
    for (unsigned i = 0; i < kN; i++) {
        t.pow[i] = t.pow[i + kN] = static_cast<std::uint16_t>(x);
        t.log[x] = static_cast<std::uint16_t>(i);
        x <<= 1;
        if ((x & (1u << kM)) != 0) {
            x ^= kPrimitive;
        }
    }
    return t;
}

constexpr Field kField = makeField();
static_assert(kField.pow[kN - 1] != 1 && kField.pow[kN] == 1, "the primitive polynomial spans the whole group");

const Field &field()
{
    return kField;
}

unsigned mul(const Field &f, unsigned a, unsigned b)
{
    return a != 0 && b != 0 ? f.pow[f.log[a] + f.log[b]] : 0;
}

unsigned inverse(const Field &f, unsigned a)
{
    return f.pow[kN - f.log[a]];
}

using Register = std::uint64_t[kWords];

// Bit p of the register, p = 0 the most significant bit of word 0.
void setBit(Register &r, unsigned p)
{
    r[p / 64] |= std::uint64_t{1} << (63 - p % 64);
}

void shiftLeft(Register &r, unsigned n)
{
    for (unsigned w = 0; w + 1 < kWords; w++) {
        r[w] = r[w] << n | r[w + 1] >> (64 - n);
    }
    r[kWords - 1] <<= n;
}

// The division, four data bytes at a time: the register moves up 32 bits and
// takes the remainders of its top 32 bits XOR the data, one table a byte.
template <unsigned Words>
void remainderOf(const Code &c, const std::uint8_t *data, Register &r)
{
    std::uint64_t a[Words] = {};
    for (std::size_t i = 0; i < kStepSize; i += 4) {
        const std::uint32_t v = static_cast<std::uint32_t>(a[0] >> 32) ^
                                (std::uint32_t{data[i]} << 24 | std::uint32_t{data[i + 1]} << 16 |
                                 std::uint32_t{data[i + 2]} << 8 | data[i + 3]);
        const std::uint64_t *t3 = c.remainder[3][v >> 24];
        const std::uint64_t *t2 = c.remainder[2][v >> 16 & 0xFFu];
        const std::uint64_t *t1 = c.remainder[1][v >> 8 & 0xFFu];
        const std::uint64_t *t0 = c.remainder[0][v & 0xFFu];
        for (unsigned w = 0; w + 1 < Words; w++) {
            a[w] = (a[w] << 32 | a[w + 1] >> 32) ^ t3[w] ^ t2[w] ^ t1[w] ^ t0[w];
        }
        a[Words - 1] = (a[Words - 1] << 32) ^ t3[Words - 1] ^ t2[Words - 1] ^ t1[Words - 1] ^ t0[Words - 1];
    }
    for (unsigned w = 0; w < kWords; w++) {
        r[w] = w < Words ? a[w] : 0;
    }
}

// The code bytes of data before the mask: r(x), most significant bit first.
void rawCode(const Code &c, const std::uint8_t *data, std::uint8_t *out)
{
    if (c.carryless) {
        detail::codeCarryless(c, data, out);
        return;
    }
    Register r;
    switch ((c.codeBits + 63) / 64) {
    case 1:
        remainderOf<1>(c, data, r);
        break;
    case 2:
        remainderOf<2>(c, data, r);
        break;
    case 3:
        remainderOf<3>(c, data, r);
        break;
    default:
        remainderOf<4>(c, data, r);
        break;
    }
    for (unsigned k = 0; k < c.codeBytes; k++) {
        out[k] = static_cast<std::uint8_t>(r[k / 8] >> (56 - 8 * (k % 8)));
    }
}

// The bits of the last code byte that belong to the code.
std::uint8_t lastByteMask(const Code &c)
{
    const unsigned used = c.codeBits - 8 * (c.codeBytes - 1);
    return static_cast<std::uint8_t>(0xFF00u >> used);
}

}  // namespace

void init(Code *c, unsigned t)
{
    const Field &f = field();
    c->t = t;
    c->codeBits = kM * t;
    c->codeBytes = (c->codeBits + 7) / 8;

    // g(x): the product of (x + b) over the roots b = a^r, r in the cyclotomic
    // cosets of 1, 3, .., 2t-1. Its coefficients come out 0 or 1.
    bool isRoot[kN] = {};
    std::uint16_t g[kM * kMaxT + 1] = {1};
    unsigned degree = 0;
    for (unsigned j = 1; j < 2 * t; j += 2) {
        unsigned r = j;
        do {
            if (!isRoot[r]) {
                isRoot[r] = true;
                const unsigned b = f.pow[r];
                degree++;
                for (unsigned i = degree; i > 0; i--) {
                    g[i] = static_cast<std::uint16_t>(g[i - 1] ^ mul(f, b, g[i]));
                }
                g[0] = static_cast<std::uint16_t>(mul(f, b, g[0]));
            }
            r = (2 * r) % kN;
        } while (r != j);
    }

    // Division by g as a shift register: the coefficients of x^(13t-1) .. x^0
    // of g, left-aligned; the register holds the remainder the same way.
    Register low = {};
    for (unsigned d = 0; d < c->codeBits; d++) {
        if (g[d] != 0) {
            setBit(low, c->codeBits - 1 - d);
        }
    }
    for (unsigned k = 0; k < 4; k++) {
        for (unsigned i = 0; i < 256; i++) {
            // Byte i, then k zero bytes, fed bit by bit into an empty register.
            Register r = {};
            for (int b = 7 + 8 * static_cast<int>(k); b >= 0; b--) {
                const unsigned bit = b >= 8 * static_cast<int>(k) ? (i >> (b - 8 * static_cast<int>(k))) & 1u : 0u;
                const bool feedback = ((r[0] >> 63) ^ bit) != 0;
                shiftLeft(r, 1);
                if (feedback) {
                    for (unsigned w = 0; w < kWords; w++) {
                        r[w] ^= low[w];
                    }
                }
            }
            std::memcpy(c->remainder[k][i], r, sizeof r);
        }
    }

    // The constants of the carry-less division, for codes of fewer than 128
    // bits. The powers of x modulo g: multiply by x, and where x^codeBits
    // appears put the rest of g instead.
    c->carryless = false;
    if (c->codeBits < 128) {
        const unsigned m = c->codeBits;
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
        // mu: x^(m + 64) divided by g, by long division; its x^64 term is
        // left out.
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
        c->carryless = detail::hasCarryless();
    }

    // The mask: the complement of the code of a blank step, spare bits
    // included, so that blank flash is a codeword.
    std::uint8_t blank[kStepSize];
    std::memset(blank, 0xFF, sizeof blank);
    rawCode(*c, blank, c->mask);
    for (unsigned k = 0; k < c->codeBytes; k++) {
        c->mask[k] = static_cast<std::uint8_t>(~c->mask[k]);
    }
}

void encode(const Code &c, const std::uint8_t *data, std::uint8_t *code)
{
    rawCode(c, data, code);
    for (unsigned k = 0; k < c.codeBytes; k++) {
        code[k] ^= c.mask[k];
    }
}

int decode(const Code &c, std::uint8_t *data, std::uint8_t *stored, unsigned *locs)
{
    const Field &f = field();
    std::uint8_t diff[kMaxCodeBytes];
    encode(c, data, diff);
    unsigned any = 0;
    for (unsigned k = 0; k < c.codeBytes; k++) {
        diff[k] ^= stored[k];
        if (k + 1 == c.codeBytes) {
            diff[k] &= lastByteMask(c);
        }
        any |= diff[k];
    }
    if (any == 0) {
        return 0;
    }

    // Syndromes S[j] = v(a^j), j = 1..2t, of the difference v(x): code bit i
    // (most significant first) is the coefficient of x^(13t-1-i).
    const unsigned t = c.t;
    unsigned s[2 * kMaxT + 1] = {};
    for (unsigned i = 0; i < c.codeBits; i++) {
        if (((static_cast<unsigned>(diff[i / 8]) >> (7 - i % 8)) & 1u) == 0) {
            continue;
        }
        const unsigned d = c.codeBits - 1 - i;
        for (unsigned j = 1; j < 2 * t; j += 2) {
            s[j] ^= f.pow[(j * d) % kN];
        }
    }
    for (std::size_t j = 1; j <= t; j++) {
        s[2 * j] = mul(f, s[j], s[j]);
    }

    // Berlekamp-Massey: the error locator sigma(x) of least degree L.
    unsigned sigma[4 * kMaxT + 2] = {1};
    unsigned prev[4 * kMaxT + 2] = {1};
    unsigned saved[4 * kMaxT + 2];
    unsigned length = 0;
    unsigned gap = 1;
    unsigned prevDiscrepancy = 1;
    for (unsigned n = 0; n < 2 * t; n++) {
        unsigned discrepancy = s[n + 1];
        for (unsigned i = 1; i <= length; i++) {
            discrepancy ^= mul(f, sigma[i], s[n + 1 - i]);
        }
        if (discrepancy == 0) {
            gap++;
            continue;
        }
        const unsigned scale = mul(f, discrepancy, inverse(f, prevDiscrepancy));
        std::memcpy(saved, sigma, sizeof saved);
        for (unsigned i = 0; i + gap < 4 * kMaxT + 2; i++) {
            sigma[i + gap] ^= mul(f, scale, prev[i]);
        }
        if (2 * length <= n) {
            length = n + 1 - length;
            std::memcpy(prev, saved, sizeof prev);
            prevDiscrepancy = discrepancy;
            gap = 1;
        } else {
            gap++;
        }
    }
    if (length == 0 || length > t) {
        return -1;
    }

    // Chien search: an error at degree d of the codeword makes a^-d a root of
    // sigma. Each term sigma_i a^(-i d) is kept as a logarithm.
    const unsigned nbits = kDataBits + c.codeBits;
    int logTerm[kMaxT + 1];
    for (unsigned i = 0; i <= length; i++) {
        logTerm[i] = sigma[i] != 0 ? f.log[sigma[i]] : -1;
    }
    unsigned count = 0;
    for (unsigned d = 0; d < nbits; d++) {
        unsigned sum = 0;
        for (unsigned i = 0; i <= length; i++) {
            if (logTerm[i] >= 0) {
                sum ^= f.pow[logTerm[i]];
                logTerm[i] = static_cast<int>((static_cast<unsigned>(logTerm[i]) + kN - i) % kN);
            }
        }
        if (sum == 0) {
            if (count == length) {
                return -1;
            }
            const unsigned bit = nbits - 1 - d;  // most significant first
            locs[count++] = (bit & ~7u) | (7 - (bit & 7u));
        }
    }
    if (count != length) {
        return -1;
    }

    // Take the correction only if the corrected step is a codeword.
    std::uint8_t fixedData[kStepSize];
    std::uint8_t fixedCode[kMaxCodeBytes];
    std::memcpy(fixedData, data, kStepSize);
    std::memcpy(fixedCode, stored, c.codeBytes);
    for (unsigned k = 0; k < count; k++) {
        std::uint8_t *p = locs[k] < kDataBits ? fixedData + locs[k] / 8 : fixedCode + (locs[k] - kDataBits) / 8;
        *p ^= static_cast<std::uint8_t>(1u << (locs[k] % 8));
    }
    std::uint8_t check[kMaxCodeBytes];
    encode(c, fixedData, check);
    for (unsigned k = 0; k < c.codeBytes; k++) {
        const std::uint8_t keep = k + 1 == c.codeBytes ? lastByteMask(c) : 0xFF;
        if (((check[k] ^ fixedCode[k]) & keep) != 0) {
            return -1;
        }
    }
    std::memcpy(data, fixedData, kStepSize);
    std::memcpy(stored, fixedCode, c.codeBytes);
    return static_cast<int>(count);
}

}  // namespace bch
