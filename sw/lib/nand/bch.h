// Binary BCH codes as Linux's lib/bch.c makes them, over any field GF(2^m),
// m = 5..15, with any primitive polynomial, and as its NAND layer stores
// them. This header is where the code and its byte layout are written down.
//
// The message is a step's data bytes, then any further bytes the code covers
// (the OOB bytes a controller protects). The codeword is a polynomial over
// GF(2) whose coefficients, highest degree first, are the message bits, each
// byte most significant bit first (with swapBits: least significant first),
// then the code bits: c(x) = d(x) x^b + r(x), r(x) = d(x) x^b mod g(x), where
// g(x), of degree b <= m t, is the least common multiple of the minimal
// polynomials of a^1, a^3, .., a^(2t-1) (a a root of the primitive
// polynomial). The code bits fill ceil(m t / 8) bytes in the same bit order;
// bits past b are no part of the code (4 of them at m = 13, t = 4).
//
// With `masked`, the stored code is r(x) XOR the complement of the code of a
// message of all 0xFF, so that blank flash is a codeword, as Linux's NAND
// layer stores its software BCH. Error locations are reported as Linux
// reports them: bit n % 8 (0 = least significant) of message byte n / 8, or
// for n >= 8 * messageBytes of code byte (n - 8 * messageBytes) / 8.
#pragma once

#include "status.h"

#include <cstddef>
#include <cstdint>

namespace bch {

inline constexpr unsigned kMinM = 5;
inline constexpr unsigned kMaxM = 15;
// The strongest code made: the newer NAND controllers' 80 bits a step
// (Linux's lib/bch.c itself takes far more).
inline constexpr unsigned kMaxT = 80;
inline constexpr unsigned kMaxCodeBits = kMaxM * kMaxT;
inline constexpr unsigned kMaxCodeBytes = (kMaxCodeBits + 7) / 8;  // 150
inline constexpr unsigned kMaxWords = (kMaxCodeBits + 63) / 64;    // 64-bit words of the remainder: 19
inline constexpr std::size_t kMaxMessageBytes = 4096 + 256;
// A row of the folded division's remainders: a word more than the longest
// remainder, rounded up to whole 512-bit loads (8 words), so that the
// carry-less products read whole pairs and whole 512-bit registers of it.
inline constexpr unsigned kLoadWords = 8;
inline constexpr unsigned kFoldWords = (kMaxWords + 1 + kLoadWords - 1) / kLoadWords * kLoadWords;  // 24
inline constexpr std::size_t kMaxPieces = kMaxMessageBytes / 8;

struct Params {
    unsigned m = 13;
    unsigned t = 8;
    unsigned poly = 0;  // 0: Linux's default for m
    bool swapBits = false;
    bool masked = true;
    std::size_t messageBytes = 512;
};

// Linux's default primitive polynomial of GF(2^m), or 0 outside 5..15.
unsigned defaultPoly(unsigned m);
// Linux's choice of field for steps of that many bytes: the smallest m with
// 2^m > 8 * bytes.
unsigned defaultM(std::size_t stepBytes);
// Whether poly is a primitive polynomial of degree m.
bool isPrimitive(unsigned m, unsigned poly);
// The largest t a field takes for messages of that many bytes: the code bits
// and the message bits fit in one codeword of 2^m - 1 bits; at most kMaxT.
unsigned maxStrength(unsigned m, std::size_t messageBytes);

// A code made once and then read by any number of threads; no allocation.
struct Code {
    Params p;
    unsigned n;          // 2^m - 1
    unsigned codeBits;   // the degree of g
    unsigned codeBytes;  // ceil(m t / 8)
    unsigned words;      // 64-bit words that hold codeBits
    bool carryless;
    std::uint8_t mask[kMaxCodeBytes];  // XOR-ed into the stored code (zero unless masked)
    std::uint8_t keep[kMaxCodeBytes];  // the bits of each stored byte that belong to the code
    // For the carry-less division, used where `carryless` is set (fewer than
    // 128 code bits, messages of whole 64-byte pieces in the most significant
    // first order, a processor with carry-less multiplication); polynomials
    // with their low 64 coefficients first. fold[d][j] = x^(256 (d + 1) + 64j) mod g(x).
    std::uint64_t fold[2][4][2];
    // For the carry-less division of any other code (`folded`): the message
    // in pieces of 8 bytes (the last one shorter when the length is no
    // multiple of 8), piece i of weight x^(8 (messageBytes - end of piece i)).
    // pieceRemainder[i * kFoldWords + j] is word j of x^(that weight + b)
    // mod g, so that the code is the sum of piece(x) times it, reduced once
    // from b + 64 bits by Barrett with gLow (g less x^b) and mu.
    bool folded;
    bool folded512;  // with 512-bit carry-less products
    std::uint64_t gLow[kFoldWords];
    std::uint64_t mu;  // x^(b + 64) div g, less x^64
    std::uint64_t pieceRemainder[kMaxPieces * kFoldWords];
    // For codes of at most 256 bits on processors with 512-bit carry-less
    // products (`packed512`, which takes the place of `carryless` and makes
    // `folded` use it): the same remainders, packedWords (2 or 4) words a
    // piece, laid out so that a register of message pieces meets its
    // remainders in two registers. Two words: each run of eight pieces (64
    // bytes) as its four even pieces, then its four odd ones. Four words:
    // each half run of four pieces as pieces 0 and 2, then 1 and 3. The
    // pieces after the last whole run in order.
    bool packed512;
    unsigned packedWords;
    std::uint64_t packedRemainder[kMaxPieces * 4];
    struct {
        std::uint64_t timesXm[4][2];  // x^(b + 64j) mod g(x)
        std::uint64_t rest[2];        // g(x) less its leading term
        std::uint64_t mu;             // x^(b + 64) div g(x), less x^64
    } reduce;
    // a^i, twice over so that sums of two logs need no reduction, then n
    // zeros: pow[l + zeroLog()] = 0 for any log l, so that a zero coefficient
    // can be kept as the log zeroLog() and multiplied without a test.
    std::uint16_t pow[3 * (1u << kMaxM)];
    std::uint16_t log[1u << kMaxM];
    unsigned zeroLog() const { return 2 * n; }
    // quadratic[p]: a y with y^2 + y = e_p + Tr(e_p) w, e_p = bit p and w a
    // fixed element of trace 1; for k of trace 0, y^2 + y = k is solved by the
    // sum of quadratic[p] over the bits p of k.
    std::uint16_t quadratic[kMaxM];
    // syndromeByte[h][v] = v(a^j), j = 2h + 1: byte v as a polynomial (bit p
    // the coefficient of x^p) at a^j, for the syndromes a byte at a time.
    std::uint16_t syndromeByte[kMaxT][256];
    // remainder[(k * 256 + i) * words + w]: word w of (i(x) x^(8k) x^b) mod
    // g(x), left-aligned: byte i followed by k zero bytes, for encoding four
    // bytes at a time.
    std::uint64_t remainder[4 * 256 * kMaxWords];
};

// Makes the code; Invalid with the reason when the parameters do not make
// one (m out of range, a polynomial that is not primitive of degree m, a
// strength the field cannot take for that message).
nand::Status init(Code *code, const Params &p);

// The stored code of the message at data, into code[0..codeBytes).
void encode(const Code &c, const std::uint8_t *data, std::uint8_t *code);
// The same for a message in two places: its first headBytes bytes at head,
// the rest at tail. Where headBytes is a multiple of 64 and leaves fewer
// than 64 bytes to the tail, neither is copied.
void encode(const Code &c, const std::uint8_t *head, std::size_t headBytes, const std::uint8_t *tail,
            std::uint8_t *code);

// Decodes a message against its stored code and corrects both in place: up
// to t flipped bits anywhere. Returns the number of bits corrected, their
// locations in locs[0..count), or -1 when the step is uncorrectable (then
// nothing is changed). With `strict`, a correction is taken only when the
// corrected message encodes to its corrected code, so that a pattern beyond t
// flips never comes back "corrected" at places that make no codeword;
// without, the answer is Linux's.
int decode(const Code &c, std::uint8_t *data, std::uint8_t *stored, unsigned *locs, bool strict = true);

namespace detail {

// The code bytes of the message at data before the mask, as the byte tables
// make them. Only where c.carryless.
void codeCarryless(const Code &c, const std::uint8_t *data, std::uint8_t *out);
// The same for the codes of c.folded, of a message whose bytes after its
// last whole 64-byte run are at tail (data + that many where they follow).
void codeFolded(const Code &c, const std::uint8_t *data, const std::uint8_t *tail, std::uint8_t *out);
bool hasCarryless();
bool hasCarryless512();
// The degrees d < nbits of the codeword at which the error locator sigma (of
// degree length, sigma[0] = 1) has its roots a^-d, into degrees; the count,
// or -1 unless it has `length` distinct roots there.
int locatorRoots(const Code &c, const unsigned *sigma, unsigned length, unsigned nbits, unsigned *degrees);

}  // namespace detail

}  // namespace bch
