// Linux's software BCH code: the independent model's vectors
// (golden/make_bch_vectors.py), blank flash as a codeword, correction of up
// to t flips anywhere in the data and the code, and never a "correction"
// that leaves something other than a codeword.
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

const bch::Code &codeFor(unsigned t)
{
    static bch::Code codes[bch::kMaxT + 1];
    static bool made[bch::kMaxT + 1];
    if (!made[t]) {
        bch::init(&codes[t], t);
        made[t] = true;
    }
    return codes[t];
}

Bytes encoded(const bch::Code &c, const Bytes &data)
{
    Bytes code(c.codeBytes);
    bch::encode(c, data.data(), code.data());
    return code;
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
        Bytes want;
        for (std::size_t i = 0; i < hex.size(); i += 2) {
            want.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
        EXPECT_EQ(encoded(codeFor(t), data), want) << line;
        lines++;
    }
    EXPECT_EQ(lines, 54);
}

// The carry-less division against the byte tables, for every strength it
// serves: random steps, and a single set bit at each of many positions (each
// lands in another word of the fold).
TEST(Bch, CarrylessDivisionAgreesWithTheTables)
{
    if (!bch::detail::hasCarryless()) {
        GTEST_SKIP() << "no carry-less multiplication on this processor";
    }
    std::vector<Bytes> steps;
    for (std::uint32_t seed = 1; seed <= 20; seed++) {
        steps.push_back(lcgBytes(seed, 512));
    }
    for (std::size_t bit = 0; bit < std::size_t{512} * 8; bit += 37) {
        Bytes step(512, 0);
        step[bit / 8] = static_cast<std::uint8_t>(1u << (bit % 8));
        steps.push_back(step);
    }
    for (unsigned t = 1; t <= bch::kMaxT; t++) {
        bch::Code fast{};
        bch::init(&fast, t);
        EXPECT_EQ(fast.carryless, fast.codeBits < 128) << "t " << t;
        bch::Code tables = fast;
        tables.carryless = false;
        for (const Bytes &step : steps) {
            EXPECT_EQ(encoded(fast, step), encoded(tables, step)) << "t " << t;
        }
    }
}

TEST(Bch, CodeSizes)
{
    for (unsigned t = 1; t <= bch::kMaxT; t++) {
        EXPECT_EQ(codeFor(t).codeBytes, (13 * t + 7) / 8) << t;
        // Blank flash is a codeword: its code is all 0xFF, spare bits included.
        EXPECT_EQ(encoded(codeFor(t), Bytes(512, 0xFF)), Bytes(codeFor(t).codeBytes, 0xFF)) << t;
    }
}

// The bits of a step that flips may hit: the data, then the code bits, not
// the spare bits of the last code byte.
std::size_t codewordBits(const bch::Code &c)
{
    return 512 * 8 + c.codeBits;
}

// Flips bit k of data-then-code (code bits most significant first) and gives
// its location as the decoder reports it.
unsigned flipAt(const bch::Code &c, Bytes &data, Bytes &code, std::size_t k)
{
    if (k < 4096) {
        data[k / 8] ^= static_cast<std::uint8_t>(1u << (k % 8));
        return static_cast<unsigned>(k);
    }
    const std::size_t i = k - 4096;  // most significant first
    code[i / 8] ^= static_cast<std::uint8_t>(0x80u >> (i % 8));
    (void)c;
    return static_cast<unsigned>(4096 + (i & ~std::size_t{7}) + (7 - i % 8));
}

TEST(Bch, CorrectsUpToT)
{
    std::mt19937 rng(77);
    for (const unsigned t : {1u, 2u, 4u, 8u, 13u, 16u}) {
        const bch::Code &c = codeFor(t);
        for (int trial = 0; trial < 300; trial++) {
            Bytes data(512);
            for (auto &b : data) {
                b = static_cast<std::uint8_t>(rng());
            }
            const Bytes clean = data;
            const Bytes cleanCode = encoded(c, data);
            Bytes code = cleanCode;
            const unsigned flips = 1 + static_cast<unsigned>(rng() % t);
            std::set<std::size_t> picked;
            while (picked.size() < flips) {
                picked.insert(rng() % codewordBits(c));
            }
            std::set<unsigned> expected;
            for (const std::size_t k : picked) {
                expected.insert(flipAt(c, data, code, k));
            }
            unsigned locs[bch::kMaxT];
            const int n = bch::decode(c, data.data(), code.data(), locs);
            ASSERT_EQ(n, static_cast<int>(flips)) << "t " << t << " trial " << trial;
            EXPECT_EQ(std::set<unsigned>(locs, locs + n), expected) << "t " << t;
            EXPECT_EQ(data, clean) << "t " << t;
            EXPECT_EQ(code, cleanCode) << "t " << t;
        }
    }
}

// t + 1 flips: uncorrectable (nothing changed), or a true codeword.
TEST(Bch, BeyondTNeverMiscorrects)
{
    std::mt19937 rng(78);
    for (const unsigned t : {1u, 4u, 8u}) {
        const bch::Code &c = codeFor(t);
        int uncorrectable = 0;
        for (int trial = 0; trial < 2000; trial++) {
            Bytes data(512);
            for (auto &b : data) {
                b = static_cast<std::uint8_t>(rng());
            }
            Bytes code = encoded(c, data);
            std::set<std::size_t> picked;
            while (picked.size() < t + 1) {
                picked.insert(rng() % codewordBits(c));
            }
            for (const std::size_t k : picked) {
                flipAt(c, data, code, k);
            }
            const Bytes damaged = data;
            const Bytes damagedCode = code;
            unsigned locs[bch::kMaxT];
            const int n = bch::decode(c, data.data(), code.data(), locs);
            if (n < 0) {
                uncorrectable++;
                EXPECT_EQ(data, damaged);
                EXPECT_EQ(code, damagedCode);
            } else {
                Bytes again = encoded(c, data);
                again.back() = static_cast<std::uint8_t>(again.back() & (0xFF00u >> (c.codeBits % 8 == 0 ? 8 : c.codeBits % 8)));
                code.back() = static_cast<std::uint8_t>(code.back() & (0xFF00u >> (c.codeBits % 8 == 0 ? 8 : c.codeBits % 8)));
                EXPECT_EQ(again, code) << "t " << t << ": a correction that is no codeword";
            }
        }
        // At t = 1 (distance 3) two flips usually sit next to another
        // codeword; from t = 4 on, t + 1 flips are almost always detected.
        if (t >= 4) {
            EXPECT_GT(uncorrectable, 1900) << "t " << t;
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
    const Bytes data = lcgBytes(77, bch::kStepSize);
    std::vector<Bytes> fromThreads(bch::kMaxT + 1);
    std::vector<std::thread> threads;
    for (unsigned t = 1; t <= bch::kMaxT; t++) {
        threads.emplace_back([t, &data, &fromThreads] {
            auto code = std::make_unique<bch::Code>();
            bch::init(code.get(), t);
            fromThreads[t].resize(code->codeBytes);
            bch::encode(*code, data.data(), fromThreads[t].data());
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    for (unsigned t = 1; t <= bch::kMaxT; t++) {
        Bytes here(codeFor(t).codeBytes);
        bch::encode(codeFor(t), data.data(), here.data());
        EXPECT_EQ(fromThreads[t], here) << "t = " << t;
    }
}

}  // namespace
