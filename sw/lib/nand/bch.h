// Linux's software BCH code for NAND: a binary BCH code over GF(2^13) with the
// primitive polynomial x^13 + x^4 + x^3 + x + 1 (0x201b), correcting up to t
// flipped bits (t = 1..16) in a 512-byte step and its code. This header is
// where the code and its byte layout are written down.
//
// The codeword is a polynomial over GF(2) whose coefficients, highest degree
// first, are the data bits, each byte most significant bit first, then the
// 13t code bits: c(x) = d(x) x^13t + r(x), r(x) = d(x) x^13t mod g(x), where
// g(x) is the least common multiple of the minimal polynomials of a^1, a^3,
// .., a^(2t-1) (a a root of the primitive polynomial). The code bits fill
// ceil(13t/8) bytes, most significant bit first; the bits left over in the
// last byte (4 of them at t = 4) are no part of the code.
//
// Stored code = r(x) bytes XOR a mask, the complement of the code of a step
// of all 0xFF: a blank step (data and code all 0xFF, spare bits included) is
// then a codeword. Error locations are reported as Linux reports them: bit n
// of the step counted from the first data byte, n / 8 the byte and n % 8 the
// bit within it (0 = least significant); n >= 4096 falls in the code, byte
// (n - 4096) / 8 of it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bch {

inline constexpr unsigned kM = 13;
inline constexpr unsigned kMaxT = 16;
inline constexpr std::size_t kStepSize = 512;
inline constexpr std::size_t kMaxCodeBytes = (kM * kMaxT + 7) / 8;  // 26

// The tables of one strength, made once; no allocation.
struct Code {
    // remainder[k][i] = (i(x) x^(8k) x^13t) mod g(x), left-aligned in 256 bits:
    // byte i followed by k zero bytes, for encoding four bytes at a time.
    std::uint64_t remainder[4][256][4];
    // For the carry-less division, used where `carryless` is set (t <= 9 on
    // a processor with carry-less multiplication); polynomials with their
    // low 64 coefficients first. fold[d][j] = x^(256 (d + 1) + 64j) mod g(x).
    std::uint64_t fold[2][4][2];
    struct {
        std::uint64_t timesXm[4][2];  // x^(13t + 64j) mod g(x)
        std::uint64_t rest[2];        // g(x) less its leading term
        std::uint64_t mu;             // x^(13t + 64) div g(x), less x^64
    } reduce;
    unsigned t;
    unsigned codeBits;   // 13t
    unsigned codeBytes;  // ceil(13t / 8)
    bool carryless;
    std::uint8_t mask[kMaxCodeBytes];
};

// Fills in the code of strength t (1..16).
void init(Code *code, unsigned t);

// The stored code (mask applied) of the 512 bytes at data, into code[0..codeBytes).
void encode(const Code &c, const std::uint8_t *data, std::uint8_t *code);

// Decodes a step against its stored code and corrects it in place: up to t
// flipped bits anywhere in the data and the code. Returns the number of bits
// corrected, their locations in locs[0..count), or -1 when the step is
// uncorrectable (then nothing is changed). A correction is taken only when
// the corrected step encodes to its corrected code, so that a pattern beyond
// t flips never comes back "corrected" at places that make no codeword.
int decode(const Code &c, std::uint8_t *data, std::uint8_t *stored, unsigned *locs);

namespace detail {

// The code bytes of the step at data before the mask, as the byte tables
// make them. Only where c.carryless.
void codeCarryless(const Code &c, const std::uint8_t *data, std::uint8_t *out);
bool hasCarryless();

}  // namespace detail

}  // namespace bch
