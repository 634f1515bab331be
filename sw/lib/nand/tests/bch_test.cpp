// BCH codes as Linux's lib/bch.c makes them: the independent model's vectors
// (golden/make_bch_vectors.py) for any field, polynomial and bit order,
// blank flash as a codeword, correction of up to t flips anywhere in the data
// and the code, and never a "correction" that leaves something other than a
// codeword.
#include "bch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes lcgBytes(std::uint32_t seed, std::size_t n)
{
    Bytes out(n);
    for (auto &b : out) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    return out;
}

struct Shape {
    unsigned m;
    unsigned t;
    unsigned poly;  // 0: Linux's default
    bool swap;
    bool mask;
    std::size_t bytes;
};

std::unique_ptr<bch::Code> makeCode(const Shape &s)
{
    auto code = std::make_unique<bch::Code>();
    const nand::Status made = bch::init(code.get(), {s.m, s.t, s.poly, s.swap, s.mask, s.bytes});
    EXPECT_TRUE(made.good()) << made.message();
    return code;
}

// Linux's NAND BCH over GF(2^13) on 512-byte steps.
const bch::Code &codeFor(unsigned t)
{
    static std::unique_ptr<bch::Code> codes[bch::kMaxT + 1];
    if (!codes[t]) {
        codes[t] = makeCode({13, t, 0, false, true, 512});
    }
    return *codes[t];
}

Bytes encoded(const bch::Code &c, const Bytes &data)
{
    Bytes code(c.codeBytes);
    bch::encode(c, data.data(), code.data());
    return code;
}

// The code of a message given in two places: its first headBytes bytes,
// followed by other bytes that are no part of it, and the rest from a
// buffer of their own.
Bytes encodedApart(const bch::Code &c, const Bytes &data, std::size_t headBytes)
{
    const auto split = data.begin() + static_cast<std::ptrdiff_t>(headBytes);
    Bytes head(data.begin(), split);
    head.resize(data.size() + 64, 0xA5);
    const Bytes tail(split, data.end());
    Bytes code(c.codeBytes);
    bch::encode(c, head.data(), headBytes, tail.data(), code.data());
    return code;
}

Bytes fromHex(const std::string &hex)
{
    Bytes out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

TEST(Bch, MatchesTheIndependentModel)
{
    std::ifstream f(GOLDEN_DIR "/bch_vectors.txt");
    ASSERT_TRUE(f.good());
    std::string line;
    int lines = 0;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        std::uint32_t seed = 0;
        unsigned t = 0;
        std::string hex;
        in >> seed >> t >> hex;
        const Bytes data = seed == 0 ? Bytes(512, 0xFF) : lcgBytes(seed, 512);
        EXPECT_EQ(encoded(codeFor(t), data), fromHex(hex)) << line;
        lines++;
    }
    EXPECT_EQ(lines, 54);
}

// Any field, polynomial, bit order and mask, and messages of any length.
TEST(Bch, GenericCodesMatchTheIndependentModel)
{
    std::ifstream f(GOLDEN_DIR "/bch_generic_vectors.txt");
    ASSERT_TRUE(f.good());
    std::string line;
    int lines = 0;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        Shape s{};
        std::string poly;
        std::string hex;
        std::uint32_t seed = 0;
        in >> s.m >> s.t >> poly >> s.swap >> s.mask >> s.bytes >> seed >> hex;
        s.poly = static_cast<unsigned>(std::stoul(poly, nullptr, 16));
        const auto code = makeCode(s);
        const Bytes data = seed == 0 ? Bytes(s.bytes, 0xFF) : lcgBytes(seed, s.bytes);
        EXPECT_EQ(encoded(*code, data), fromHex(hex)) << line;
        lines++;
    }
    EXPECT_EQ(lines, 76);
}

TEST(Bch, ParametersThatMakeNoCode)
{
    const struct {
        Shape shape;
        const char *why;
    } cases[] = {
        {{4, 1, 0, false, true, 1}, "a BCH field GF(2^m) takes m from 5 to 15, not 4"},
        {{13, 8, 0x201d, false, true, 512}, "0x201d is not a primitive polynomial of degree 13"},
        {{13, 8, 0x402b, false, true, 512}, "0x402b is not a primitive polynomial of degree 13"},
        {{13, 81, 0, false, true, 512}, "a BCH strength from 1 to 80 over GF(2^13) with 512 bytes a step, not 81"},
        {{13, 8, 0, false, true, 1024}, "GF(2^13) cannot protect 1024 bytes a step"},
        {{14, 0, 0, false, true, 1024}, "a BCH strength from 1 to 80 over GF(2^14) with 1024 bytes a step, not 0"},
        {{10, 60, 0, false, true, 64}, "a BCH strength from 1 to 51 over GF(2^10) with 64 bytes a step, not 60"},
    };
    for (const auto &c : cases) {
        bch::Code code;
        const nand::Status made =
            bch::init(&code, {c.shape.m, c.shape.t, c.shape.poly, c.shape.swap, c.shape.mask, c.shape.bytes});
        EXPECT_EQ(made.kind(), nand::Status::Kind::Invalid);
        EXPECT_STREQ(made.message(), c.why);
    }
    EXPECT_EQ(bch::defaultM(512), 13u);
    EXPECT_EQ(bch::defaultM(1024), 14u);
    EXPECT_EQ(bch::defaultM(2048), 15u);
    EXPECT_EQ(bch::maxStrength(13, 512), 80u);
    EXPECT_EQ(bch::maxStrength(8, 16), 15u);  // (255 - 128) / 8
}

// The carry-less divisions against the byte tables, for every code they
// serve: the short codes' fold, and the sums of pieces in 128-bit and (where
// the processor has them) 512-bit products, with both bit orders and a length
// that is no multiple of 8. Random steps, and a single set bit at each of
// many positions (each lands in another piece or word).
TEST(Bch, CarrylessDivisionsAgreeWithTheTables)
{
    if (!bch::detail::hasCarryless()) {
        GTEST_SKIP() << "no carry-less multiplication on this processor";
    }
    for (const Shape base : {Shape{13, 0, 0, false, true, 512}, Shape{14, 0, 0, false, true, 1024},
                             Shape{15, 0, 0, false, false, 2048}, Shape{13, 0, 0, true, true, 518},
                             Shape{14, 0, 0, true, false, 1024}, Shape{14, 0, 0, true, false, 1028}}) {
        std::vector<Bytes> steps;
        for (std::uint32_t seed = 1; seed <= 10; seed++) {
            steps.push_back(lcgBytes(seed, base.bytes));
        }
        for (std::size_t bit = 0; bit < base.bytes * 8; bit += 97) {
            Bytes step(base.bytes, 0);
            step[bit / 8] = static_cast<std::uint8_t>(1u << (bit % 8));
            steps.push_back(step);
        }
        // 64 to 80: remainders of 16 to 19 words, a third 512-bit register.
        for (const unsigned t : {1u, 2u, 5u, 8u, 9u, 10u, 16u, 24u, 40u, 64u, 65u, 69u, 73u, 80u}) {
            Shape s = base;
            s.t = t;
            if (t > bch::maxStrength(s.m, s.bytes)) {
                continue;
            }
            const auto fast = makeCode(s);
            const bool shortFold = s.m * t < 128 && !s.swap && s.bytes % 64 == 0;
            const bool packed = fast->codeBits <= 256 && bch::detail::hasCarryless512();
            EXPECT_EQ(fast->packed512, packed) << "m " << s.m << " t " << t;
            EXPECT_EQ(fast->carryless, shortFold && !packed) << "m " << s.m << " t " << t;
            EXPECT_EQ(fast->folded, !fast->carryless) << "m " << s.m << " t " << t;
            auto tables = std::make_unique<bch::Code>(*fast);
            tables->carryless = tables->folded = false;
            // Every other division the code can take: the fold of the short
            // codes, and the sums of pieces in 512-bit products (wide) or in
            // 128-bit ones (narrow).
            std::vector<std::unique_ptr<bch::Code>> others;
            if (shortFold) {
                others.push_back(std::make_unique<bch::Code>(*fast));
                others.back()->carryless = true;
            }
            others.push_back(std::make_unique<bch::Code>(*fast));
            others.back()->packed512 = others.back()->carryless = false;
            others.back()->folded = true;
            others.push_back(std::make_unique<bch::Code>(*others.back()));
            others.back()->folded512 = false;
            // A message in two places: apart after its whole 64-byte runs
            // (read where it lies), or anywhere else (gathered first).
            const std::size_t runs = s.bytes / 64 * 64;
            for (const Bytes &step : steps) {
                const Bytes expected = encoded(*tables, step);
                EXPECT_EQ(encoded(*fast, step), expected) << "m " << s.m << " t " << t << " swap " << s.swap;
                for (const std::size_t head : {runs, s.bytes - 5}) {
                    EXPECT_EQ(encodedApart(*fast, step, head), expected) << "m " << s.m << " t " << t << " head " << head;
                }
                for (const auto &other : others) {
                    EXPECT_EQ(encoded(*other, step), expected) << "m " << s.m << " t " << t << " swap " << s.swap;
                    EXPECT_EQ(encodedApart(*other, step, runs), expected) << "m " << s.m << " t " << t;
                }
            }
        }
    }
}

TEST(Bch, CodeSizes)
{
    for (unsigned t = 1; t <= 16; t++) {
        EXPECT_EQ(codeFor(t).codeBytes, (13 * t + 7) / 8) << t;
        // Blank flash is a codeword: its code is all 0xFF, spare bits included.
        EXPECT_EQ(encoded(codeFor(t), Bytes(512, 0xFF)), Bytes(codeFor(t).codeBytes, 0xFF)) << t;
    }
    // Linux's 1 KiB steps: 24 bits over GF(2^14) in 42 bytes.
    EXPECT_EQ(makeCode({14, 24, 0, false, true, 1024})->codeBytes, 42u);
}

// The bits of a message that flips may hit: the data, then the code bits,
// not the spare bits of the last code byte.
std::size_t codewordBits(const bch::Code &c)
{
    return c.p.messageBytes * 8 + c.codeBits;
}

// Flips bit k of message-then-code, in the order the division takes them,
// and gives its location as the decoder reports it.
unsigned flipAt(const bch::Code &c, Bytes &data, Bytes &code, std::size_t k)
{
    const std::size_t dataBits = c.p.messageBytes * 8;
    const std::size_t i = k < dataBits ? k : k - dataBits;
    const unsigned bit = c.p.swapBits ? static_cast<unsigned>(i % 8) : static_cast<unsigned>(7 - i % 8);
    Bytes &bytes = k < dataBits ? data : code;
    bytes[i / 8] ^= static_cast<std::uint8_t>(1u << bit);
    return static_cast<unsigned>((k < dataBits ? 0 : dataBits) + (i & ~std::size_t{7}) + bit);
}

Bytes randomBytes(std::mt19937 &rng, std::size_t n)
{
    Bytes out(n);
    for (auto &b : out) {
        b = static_cast<std::uint8_t>(rng());
    }
    return out;
}

// Flips `flips` distinct random bits of message-then-code; their locations
// as the decoder reports them.
std::set<unsigned> flipRandom(const bch::Code &c, std::mt19937 &rng, std::size_t flips, Bytes &data, Bytes &code)
{
    std::set<std::size_t> picked;
    while (picked.size() < flips) {
        picked.insert(rng() % codewordBits(c));
    }
    std::set<unsigned> locations;
    for (const std::size_t k : picked) {
        locations.insert(flipAt(c, data, code, k));
    }
    return locations;
}

const Shape kDecodeShapes[] = {
    {13, 1, 0, false, true, 512},  {13, 2, 0, false, true, 512},       {13, 4, 0, false, true, 512},
    {13, 8, 0, false, true, 512},  {13, 13, 0, false, true, 512},      {13, 16, 0, false, true, 512},
    {13, 8, 0, true, false, 512},  {14, 24, 0, false, true, 1024},     {14, 40, 0x5803, true, false, 1024},
    {15, 8, 0, false, true, 2048}, {15, 64, 0, false, true, 2048},     {8, 4, 0x11d, true, true, 16},
    {5, 1, 0, false, true, 2},     {13, 4, 0, false, true, 518},
};

TEST(Bch, CorrectsUpToT)
{
    std::mt19937 rng(77);
    for (const Shape &s : kDecodeShapes) {
        const auto code = makeCode(s);
        const bch::Code &c = *code;
        for (int trial = 0; trial < 100; trial++) {
            Bytes data = randomBytes(rng, s.bytes);
            const Bytes clean = data;
            const Bytes cleanCode = encoded(c, data);
            Bytes stored = cleanCode;
            const unsigned flips = 1 + static_cast<unsigned>(rng() % s.t);
            const std::set<unsigned> expected = flipRandom(c, rng, flips, data, stored);
            unsigned locs[bch::kMaxT];
            // Linux's answer (not strict) corrects in place as well.
            const int n = bch::decode(c, data.data(), stored.data(), locs, trial % 2 == 0);
            ASSERT_EQ(n, static_cast<int>(flips)) << "m " << s.m << " t " << s.t << " trial " << trial;
            EXPECT_EQ(std::set<unsigned>(locs, locs + n), expected) << "m " << s.m << " t " << s.t;
            EXPECT_EQ(data, clean) << "m " << s.m << " t " << s.t;
            EXPECT_EQ(stored, cleanCode) << "m " << s.m << " t " << s.t;
        }
    }
}

// The root finder on locators made from chosen positions: every number of
// errors from 1 to 12 (the closed forms up to 4, the trace splits above),
// positions past the codeword, and repeated positions.
TEST(Bch, LocatorRootsAreThePositions)
{
    const bch::Code &c = codeFor(8);
    const unsigned nbits = 512 * 8 + c.codeBits;
    // sigma(x) = prod over the positions d of (1 + a^d x).
    const auto found = [&c](const std::vector<unsigned> &positions, unsigned limit) {
        unsigned sigma[bch::kMaxT + 1] = {1};
        for (std::size_t k = 0; k < positions.size(); k++) {
            const unsigned a = c.pow[positions[k]];
            for (std::size_t i = k + 1; i > 0; i--) {
                sigma[i] ^= sigma[i - 1] == 0 ? 0 : c.pow[c.log[sigma[i - 1]] + c.log[a]];
            }
        }
        unsigned degrees[bch::kMaxT];
        const int n = bch::detail::locatorRoots(c, sigma, static_cast<unsigned>(positions.size()), limit, degrees);
        return n < 0 ? std::set<unsigned>{} : std::set<unsigned>(degrees, degrees + n);
    };
    std::mt19937 rng(5);
    for (int trial = 0; trial < 1200; trial++) {
        const unsigned count = 1 + static_cast<unsigned>(trial % 12);
        std::set<unsigned> chosen;
        while (chosen.size() < count) {
            chosen.insert(static_cast<unsigned>(rng() % nbits));
        }
        ASSERT_EQ(found(std::vector<unsigned>(chosen.begin(), chosen.end()), nbits), chosen) << "trial " << trial;
    }
    EXPECT_EQ(found({10, 20, 30}, 25), std::set<unsigned>{});  // a position past the codeword
    for (const std::vector<unsigned> &repeated :
         {std::vector<unsigned>{7, 7}, {10, 20, 20}, {10, 20, 20, 30}, {1, 2, 3, 4, 5, 5}}) {
        EXPECT_EQ(found(repeated, nbits), std::set<unsigned>{}) << repeated.size();
    }
}

// t + 1 flips: uncorrectable (nothing changed), or a true codeword.
TEST(Bch, BeyondTNeverMiscorrects)
{
    std::mt19937 rng(78);
    for (const Shape &s : {Shape{13, 1, 0, false, true, 512}, Shape{13, 4, 0, false, true, 512},
                           Shape{13, 8, 0, false, true, 512}, Shape{14, 24, 0, true, false, 1024}}) {
        const auto code = makeCode(s);
        const bch::Code &c = *code;
        int uncorrectable = 0;
        const int trials = 1000;
        for (int trial = 0; trial < trials; trial++) {
            Bytes data = randomBytes(rng, s.bytes);
            Bytes stored = encoded(c, data);
            flipRandom(c, rng, s.t + 1, data, stored);
            const Bytes damaged = data;
            const Bytes damagedCode = stored;
            unsigned locs[bch::kMaxT];
            const int n = bch::decode(c, data.data(), stored.data(), locs);
            if (n < 0) {
                uncorrectable++;
                EXPECT_EQ(data, damaged);
                EXPECT_EQ(stored, damagedCode);
            } else {
                Bytes again = encoded(c, data);
                for (std::size_t k = 0; k < again.size(); k++) {
                    again[k] &= c.keep[k];
                    stored[k] &= c.keep[k];
                }
                EXPECT_EQ(again, stored) << "t " << s.t << ": a correction that is no codeword";
            }
        }
        // At t = 1 (distance 3) two flips usually sit next to another
        // codeword; from t = 4 on, t + 1 flips are almost always detected.
        if (s.t >= 4) {
            EXPECT_GT(uncorrectable, trials * 95 / 100) << "t " << s.t;
        }
    }
}

// The strongest codes, every t from 65 to 80: over GF(2^14) as the sunxi
// controllers use it (1024 data and 4 user bytes, bit-reversed, no mask) and
// as Linux's 1 KiB steps, and over GF(2^15) on 2 KiB steps in both bit
// orders. Exactly t flips anywhere in data and code come back corrected at
// their places; t + 1 are uncorrectable with nothing changed (a random
// syndrome of a binary BCH code decodes about once in t! tries, never in
// these).
TEST(Bch, StrongCodesCorrectTAndNoMore)
{
    std::mt19937 rng(80);
    constexpr int kTrials = 8;
    for (unsigned t = 65; t <= 80; t++) {
        for (const Shape &s : {Shape{14, t, 0x5803, true, false, 1028}, Shape{14, t, 0, false, true, 1024},
                               Shape{15, t, 0, t % 2 == 0, true, 2048}}) {
            const auto code = makeCode(s);
            const bch::Code &c = *code;
            const std::string name = "m " + std::to_string(s.m) + " t " + std::to_string(t) + " swap " +
                                     std::to_string(static_cast<int>(s.swap));
            for (int trial = 0; trial < 2 * kTrials; trial++) {
                const unsigned flips = trial < kTrials ? t : t + 1;
                Bytes data = randomBytes(rng, s.bytes);
                const Bytes clean = data;
                const Bytes cleanCode = encoded(c, data);
                Bytes stored = cleanCode;
                const std::set<unsigned> expected = flipRandom(c, rng, flips, data, stored);
                const Bytes damaged = data;
                const Bytes damagedCode = stored;
                unsigned locs[bch::kMaxT];
                const int n = bch::decode(c, data.data(), stored.data(), locs);
                if (flips == t) {
                    ASSERT_EQ(n, static_cast<int>(t)) << name;
                    EXPECT_EQ(std::set<unsigned>(locs, locs + n), expected) << name;
                    EXPECT_EQ(data, clean) << name;
                    EXPECT_EQ(stored, cleanCode) << name;
                } else {
                    EXPECT_EQ(n, -1) << name;
                    EXPECT_EQ(data, damaged) << name;
                    EXPECT_EQ(stored, damagedCode) << name;
                }
            }
        }
    }
}

// Flips in the spare bits of the last code byte are no part of the code.
TEST(Bch, SpareBitsAreIgnored)
{
    const bch::Code &c = codeFor(4);  // 52 bits: the low 4 bits of byte 6 are spare
    Bytes data = lcgBytes(3, 512);
    Bytes code = encoded(c, data);
    code[6] ^= 0x0F;
    unsigned locs[bch::kMaxT];
    EXPECT_EQ(bch::decode(c, data.data(), code.data(), locs), 0);
}

}  // namespace

namespace {

// Codes made first on other threads, all at once, encode as those made here:
// nothing a code needs is built on a first call that two threads could race.
TEST(Bch, CodesMadeOnManyThreadsAgree)
{
    const Bytes data = lcgBytes(77, 512);
    constexpr unsigned kStrengths = 16;
    std::vector<Bytes> fromThreads(kStrengths + 1);
    std::vector<std::thread> threads;
    for (unsigned t = 1; t <= kStrengths; t++) {
        threads.emplace_back([t, &data, &fromThreads] {
            auto code = std::make_unique<bch::Code>();
            (void)bch::init(code.get(), {13, t, 0, t % 2 == 0, true, 512});
            fromThreads[t].resize(code->codeBytes);
            bch::encode(*code, data.data(), fromThreads[t].data());
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    for (unsigned t = 1; t <= kStrengths; t++) {
        const auto here = makeCode({13, t, 0, t % 2 == 0, true, 512});
        EXPECT_EQ(fromThreads[t], encoded(*here, data)) << "t = " << t;
    }
}

}  // namespace
