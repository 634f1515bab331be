// Tests of the sector ECC: known answers and the single-bit property that makes
// the code correcting, run against every version; then the fast versions
// against the reference over large sets of sectors.
#include "ecc.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <ostream>
#include <random>
#include <vector>

namespace {

using Sector = std::array<std::uint8_t, ecc::kSectorSize>;
using Version = std::uint32_t (*)(const std::uint8_t *);

struct NamedVersion {
    const char *name;
    Version compute;
};

void PrintTo(const NamedVersion &v, std::ostream *os)
{
    *os << v.name;
}

// Every version this processor runs; computeECC is whichever it picked.
std::vector<NamedVersion> versions()
{
    std::vector<NamedVersion> v = {
        {"Reference", computeECCReference},
        {"Portable", computeECCPortable},
        {"Dispatched", computeECC},
    };
    if (eccHasAvx2()) {
        v.push_back({"Avx2", computeECCAvx2});
    }
    return v;
}

class EveryVersion : public testing::TestWithParam<NamedVersion> {};

INSTANTIATE_TEST_SUITE_P(ECC, EveryVersion, testing::ValuesIn(versions()),
                         [](const auto &p) { return std::string(p.param.name); });

struct KnownAnswer {
    const char *name;
    std::vector<std::pair<std::size_t, std::uint8_t>> bytes;  // offset, value; rest zero
    std::uint32_t expected;
};

// Known answers of the code's definition, each checked against the independent
// bit-by-bit model in golden/make_golden.py.
const KnownAnswer kKnownAnswers[] = {
    {"all zero", {}, 0x00000000},
    {"0x01 at offset 0", {{0, 0x01}}, 0xE70F1800},
    {"0x80 at offset 0", {{0, 0x80}}, 0xE00F1F00},
    {"0x01 at offset 3", {{3, 0x01}}, 0xFF0F0000},
    {"0x01 at offset 256", {{256, 0x01}}, 0xE7071808},
    {"0x80 at offset 511", {{511, 0x80}}, 0x1800E70F},
    {"abc at offset 0", {{0, 'a'}, {1, 'b'}, {2, 'c'}}, 0x0B000B00},
};

TEST_P(EveryVersion, KnownAnswers)
{
    for (const auto &c : kKnownAnswers) {
        Sector sector{};
        for (const auto &[offset, value] : c.bytes) {
            sector[offset] = value;
        }
        EXPECT_EQ(GetParam().compute(sector.data()), c.expected) << c.name;
    }
    Sector ones;
    ones.fill(0xFF);
    EXPECT_EQ(GetParam().compute(ones.data()), 0u) << "all 0xFF";
}

// parity[k] and parity_p[k] of an ECC word, read through its bit layout.
unsigned parityBit(std::uint32_t word, int k)
{
    return k < 8 ? (word >> (8 + k)) & 1u : (word >> (k - 8)) & 1u;
}

unsigned parityPBit(std::uint32_t word, int k)
{
    return k < 8 ? (word >> (24 + k)) & 1u : (word >> (16 + k - 8)) & 1u;
}

Sector randomSector(std::mt19937 &rng)
{
    Sector s;
    for (auto &b : s) {
        b = static_cast<std::uint8_t>(rng());
    }
    return s;
}

TEST_P(EveryVersion, UnusedBitsAreZero)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 1000; i++) {
        const Sector s = randomSector(rng);
        EXPECT_EQ(GetParam().compute(s.data()) & ~0xFF0FFF0Fu, 0u);
    }
}

// Every single-bit change flips exactly one bit of each of the twelve pairs, and
// the parity half names the bit (pairs 0..2) and the byte index of the
// four-byte-reversed sector (pairs 3..11), which is the offset XOR 3.
TEST_P(EveryVersion, SingleBitChangeNamesTheBit)
{
    std::mt19937 rng(2024);
    Sector zero{};
    std::vector<Sector> sectors = {zero, randomSector(rng), randomSector(rng), randomSector(rng)};
    for (Sector &s : sectors) {
        const std::uint32_t clean = GetParam().compute(s.data());
        for (std::size_t offset = 0; offset < ecc::kSectorSize; offset++) {
            for (unsigned bit = 0; bit < 8; bit++) {
                s[offset] ^= static_cast<std::uint8_t>(1u << bit);
                const std::uint32_t diff = GetParam().compute(s.data()) ^ clean;
                s[offset] ^= static_cast<std::uint8_t>(1u << bit);

                unsigned position = 0;
                for (int k = 0; k < 12; k++) {
                    ASSERT_EQ(parityBit(diff, k) + parityPBit(diff, k), 1u)
                        << "pair " << k << " offset " << offset << " bit " << bit;
                    position |= parityBit(diff, k) << k;
                }
                ASSERT_EQ(position & 7u, bit) << "offset " << offset;
                ASSERT_EQ(position >> 3, offset ^ 3u) << "bit " << bit;
            }
        }
    }
}

// The fast versions give the reference's word for every sector below: each
// single set bit, each single non-zero byte, one 0xFF byte among zeros and one
// zero byte among 0xFF at every offset, and many random sectors.
std::vector<NamedVersion> fastVersions()
{
    std::vector<NamedVersion> v = versions();
    v.erase(v.begin());  // the reference itself
    return v;
}

void expectSameAsReference(const Sector &s, const char *what)
{
    const std::uint32_t want = computeECCReference(s.data());
    for (const auto &v : fastVersions()) {
        ASSERT_EQ(v.compute(s.data()), want) << v.name << " on " << what;
    }
}

TEST(FastVersions, MatchTheReferenceOnSparseSectors)
{
    for (std::size_t offset = 0; offset < ecc::kSectorSize; offset++) {
        for (unsigned value = 1; value < 256; value++) {
            Sector s{};
            s[offset] = static_cast<std::uint8_t>(value);
            expectSameAsReference(s, "one non-zero byte");
        }
        Sector ones;
        ones.fill(0xFF);
        ones[offset] = 0;
        expectSameAsReference(ones, "one zero byte among 0xFF");
    }
}

TEST(FastVersions, MatchTheReferenceOnRandomSectors)
{
    std::mt19937 rng(1);
    for (int i = 0; i < 100000; i++) {
        expectSameAsReference(randomSector(rng), "a random sector");
    }
}

// The fast versions load the sector unaligned.
TEST(FastVersions, MatchTheReferenceAtEveryAlignment)
{
    std::mt19937 rng(3);
    alignas(64) std::uint8_t buffer[ecc::kSectorSize + 64];
    for (auto &b : buffer) {
        b = static_cast<std::uint8_t>(rng());
    }
    for (std::size_t shift = 0; shift < 64; shift++) {
        const std::uint32_t want = computeECCReference(buffer + shift);
        for (const auto &v : fastVersions()) {
            EXPECT_EQ(v.compute(buffer + shift), want) << v.name << " at shift " << shift;
        }
    }
}

}  // namespace
