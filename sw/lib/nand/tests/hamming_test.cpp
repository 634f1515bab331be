// Linux's software Hamming code: the known answers of its definition, the
// vectors of the independent model (golden/make_vectors.py) for the fast
// version and the reference, and decoding of every single and double fault.
#include "hamming.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Code = std::vector<std::uint8_t>;
using Compute = void (*)(const std::uint8_t *, std::size_t, bool, std::uint8_t *);

Code codeOf(Compute compute, const std::vector<std::uint8_t> &data, bool sm)
{
    Code c(3);
    compute(data.data(), data.size(), sm, c.data());
    return c;
}

std::vector<std::uint8_t> lcgBytes(std::uint32_t seed, std::size_t n)
{
    std::vector<std::uint8_t> out(n);
    for (auto &b : out) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    return out;
}

const Compute kVersions[] = {hamming::compute, hamming::computeReference};

// Known answers: all 0x00 and all 0xFF give FF FF FF at both step sizes; 0x01
// at offset 0 of a 512-byte step gives AA AA AA; "abc" at 0..2 of a 512-byte
// step gives FF FC C3, and FC FF C3 in SmartMedia order.
TEST(Hamming, KnownAnswers)
{
    for (const Compute compute : kVersions) {
        for (const std::size_t size : {256u, 512u}) {
            EXPECT_EQ(codeOf(compute, std::vector<std::uint8_t>(size, 0x00), false), (Code{0xFF, 0xFF, 0xFF}));
            EXPECT_EQ(codeOf(compute, std::vector<std::uint8_t>(size, 0xFF), false), (Code{0xFF, 0xFF, 0xFF}));
        }
        std::vector<std::uint8_t> one(512, 0);
        one[0] = 0x01;
        EXPECT_EQ(codeOf(compute, one, false), (Code{0xAA, 0xAA, 0xAA}));
        std::vector<std::uint8_t> abc(512, 0);
        abc[0] = 'a';
        abc[1] = 'b';
        abc[2] = 'c';
        EXPECT_EQ(codeOf(compute, abc, false), (Code{0xFF, 0xFC, 0xC3}));
        EXPECT_EQ(codeOf(compute, abc, true), (Code{0xFC, 0xFF, 0xC3}));
    }
}

TEST(Hamming, MatchesTheIndependentModel)
{
    std::ifstream f(GOLDEN_DIR "/hamming_vectors.txt");
    ASSERT_TRUE(f.good());
    std::string line;
    int lines = 0;
    while (std::getline(f, line)) {
        std::istringstream in(line);
        std::uint32_t seed = 0;
        std::size_t size = 0;
        int sm = 0;
        std::string hex;
        in >> seed >> size >> sm >> hex;
        const Code want = {static_cast<std::uint8_t>(std::stoul(hex.substr(0, 2), nullptr, 16)),
                           static_cast<std::uint8_t>(std::stoul(hex.substr(2, 2), nullptr, 16)),
                           static_cast<std::uint8_t>(std::stoul(hex.substr(4, 2), nullptr, 16))};
        for (const Compute compute : kVersions) {
            EXPECT_EQ(codeOf(compute, lcgBytes(seed, size), sm != 0), want) << line;
        }
        lines++;
    }
    EXPECT_EQ(lines, 256);
}

// The fast version against the reference on random steps, both sizes.
TEST(Hamming, FastMatchesReference)
{
    std::mt19937 rng(5);
    for (int i = 0; i < 20000; i++) {
        const std::size_t size = i % 2 == 0 ? 256 : 512;
        std::vector<std::uint8_t> data(size);
        for (auto &b : data) {
            b = static_cast<std::uint8_t>(rng());
        }
        ASSERT_EQ(codeOf(hamming::compute, data, i % 4 < 2), codeOf(hamming::computeReference, data, i % 4 < 2));
    }
}

// Every single flipped data bit is named; every single flipped code bit is a
// damaged code; two flipped bits (data, code or one of each) are never
// taken for one, at both sizes and in both orders.
TEST(Hamming, DecodesEverySingleAndDoubleFault)
{
    std::mt19937 rng(9);
    for (const std::size_t size : {256u, 512u}) {
        for (const bool sm : {false, true}) {
            std::vector<std::uint8_t> data(size);
            for (auto &b : data) {
                b = static_cast<std::uint8_t>(rng());
            }
            const Code stored = codeOf(hamming::compute, data, sm);
            const std::size_t dataBits = size * 8;
            // Bits 0..dataBits-1 are data, the next 24 the code.
            auto decodeWith = [&](std::size_t a, std::size_t b) {
                std::vector<std::uint8_t> d = data;
                Code s = stored;
                for (const std::size_t bit : {a, b}) {
                    if (bit == SIZE_MAX) {
                        continue;
                    }
                    if (bit < dataBits) {
                        d[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
                    } else {
                        s[(bit - dataBits) / 8] ^= static_cast<std::uint8_t>(1u << ((bit - dataBits) % 8));
                    }
                }
                return hamming::decode(s.data(), codeOf(hamming::compute, d, sm).data(), size, sm);
            };
            for (std::size_t a = 0; a < dataBits + 24; a++) {
                const EccDecode one = decodeWith(a, SIZE_MAX);
                if (a < dataBits) {
                    ASSERT_EQ(one.status, EccStatus::CorrectedData) << a;
                    ASSERT_EQ(one.offset, a / 8);
                    ASSERT_EQ(one.bit, a % 8);
                } else {
                    ASSERT_EQ(one.status, EccStatus::CorrectedCode) << a;
                }
            }
            // Pairs: every code bit with every bit, and a sample of data pairs.
            for (std::size_t a = 0; a < dataBits + 24; a++) {
                for (std::size_t b = a + 1; b < dataBits + 24; b++) {
                    if (b < dataBits && (a + b) % 61 != 0) {
                        continue;
                    }
                    const EccDecode two = decodeWith(a, b);
                    // Linux leaves the two fixed bits of a 256-byte step's code
                    // out of the data test: a data flip beside one of them is
                    // still that data flip.
                    const bool fixedBit = size == 256 && b >= dataBits + 16 && b < dataBits + 18 && a < dataBits;
                    if (fixedBit) {
                        ASSERT_EQ(two.status, EccStatus::CorrectedData) << a << " " << b;
                        ASSERT_EQ(two.offset, a / 8);
                    } else {
                        ASSERT_EQ(two.status, EccStatus::Uncorrectable) << a << " " << b;
                    }
                }
            }
        }
    }
}

}  // namespace
