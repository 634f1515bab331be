// Records of every preset: where the ECC bytes sit, an encoded record checks
// clean, one flipped bit anywhere in the data or the ECC is corrected at that
// bit, two in one step are never taken for one, and blank flash is erased.
#include "record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using nand::Codec;
using nand::Layout;
using nand::Region;

// The OOB bytes that hold ECC, as the layouts are documented.
struct Placement {
    const char *preset;
    std::vector<std::pair<unsigned, unsigned>> ecc;  // first, last
};

const Placement kPlacements[] = {
    {"classic", {{48, 63}}},
    {"linux-hamming", {{40, 63}}},
    {"linux-hamming-512", {{40, 51}}},
    {"linux-hamming-sp", {{0, 3}, {6, 7}}},
    {"linux-bch4", {{36, 63}}},
    {"linux-bch8", {{12, 63}}},
    {"linux-bch8-4k", {{120, 223}}},
};

Codec &codecFor(const Layout &l)
{
    static Codec c;
    nand::makeCodec(l, &c);
    return c;
}

TEST(Layouts, EccBytesSitWhereDocumented)
{
    for (const auto &p : kPlacements) {
        const Layout *l = nand::findPreset(p.preset);
        ASSERT_NE(l, nullptr) << p.preset;
        const Codec &c = codecFor(*l);
        std::vector<bool> expected(l->oobSize, false);
        for (const auto &[first, last] : p.ecc) {
            for (unsigned i = first; i <= last; i++) {
                expected[i] = true;
            }
        }
        std::vector<bool> isEcc(l->oobSize, false);
        for (std::size_t k = 0; k < c.steps * c.eccBytes; k++) {
            isEcc[c.eccPos[k] - l->pageSize] = true;
        }
        for (unsigned i = 0; i < l->oobSize; i++) {
            EXPECT_EQ(isEcc[i], expected[i]) << p.preset << " OOB byte " << i;
        }
    }
}

// Geometry changes and the combinations that cannot work.
// Linux's rules for the OOB: small pages (8 or 16 bytes of OOB) take the
// small-page layout with the marker at byte 5, large pages keep bytes 0 and 1
// for the marker; a Hamming layout for another OOB size, or BCH on a small
// page, has no Linux place and is refused.
TEST(Layouts, ChangesAndRefusals)
{
    const long bch = static_cast<int>(nand::Scheme::Bch);
    const struct {
        const char *preset;
        nand::LayoutChanges changes;
        const char *why;  // empty: accepted
        std::vector<Region> ecc;
        int marker;  // the first marker byte; -1 for none
    } cases[] = {
        {"linux-hamming", {2048, 128, -1, -1, false}, "", {{80, 24}}, 0},
        {"linux-hamming", {4096, 128, -1, -1, false}, "", {{80, 48}}, 0},
        {"linux-hamming", {512, 16, -1, -1, false}, "", {{0, 4}, {6, 2}}, 5},
        {"linux-hamming-sp", {2048, 64, -1, -1, false}, "", {{40, 24}}, 0},
        {"linux-hamming-sp", {256, 8, -1, -1, false}, "", {{0, 3}}, 5},
        {"linux-hamming-512", {4096, 224, -1, 200, false}, "", {{200, 24}}, 0},
        {"linux-hamming-512", {-1, -1, -1, 2, false}, "", {{2, 12}}, 0},
        {"classic", {4096, 128, -1, -1, false}, "", {{96, 32}}, -1},  // conv's image has no marker
        {"linux-bch8", {-1, 128, -1, -1, false, -1, 16}, "", {{24, 104}}, 0},
        {"linux-hamming-512", {-1, -1, -1, -1, false, bch, 4}, "", {{36, 28}}, 0},
        {"linux-hamming", {4096, 224, -1, -1, false},
         "Linux's Hamming layouts take an OOB of 8, 16, 64 or 128 bytes, not 224; give --ecc-offset", {}, 0},
        {"linux-hamming", {-1, 32, -1, -1, false},
         "Linux's Hamming layouts take an OOB of 8, 16, 64 or 128 bytes, not 32; give --ecc-offset", {}, 0},
        {"linux-hamming", {-1, 16, -1, -1, false}, "the ECC (20 bytes from OOB byte 6) runs past the 16-byte OOB", {}, 0},
        {"linux-hamming", {-1, -1, -1, 50, false}, "the ECC (24 bytes from OOB byte 50) runs past the 64-byte OOB", {}, 0},
        {"linux-hamming", {-1, -1, -1, 0, false},
         "the ECC (OOB bytes 0..23) covers the bad-block marker at OOB bytes 0..1", {}, 0},
        {"linux-hamming-512", {-1, -1, -1, 1, false},
         "the ECC (OOB bytes 1..12) covers the bad-block marker at OOB bytes 0..1", {}, 0},
        {"linux-bch8", {-1, 53, -1, -1, false}, "Linux's BCH takes large pages, an OOB of 64 bytes or more, not 53", {}, 0},
        {"linux-bch8", {-1, -1, -1, 1, false},
         "the ECC (OOB bytes 1..52) covers the bad-block marker at OOB bytes 0..1", {}, 0},
        {"linux-hamming", {2000, -1, -1, -1, false},
         "a page of 2000 bytes is not a whole number of 256-byte steps (at most 65536 bytes)", {}, 0},
        {"classic", {-1, -1, 256, -1, false}, "the classic code covers 512-byte steps, not 256", {}, 0},
        {"linux-hamming", {-1, -1, 1024, -1, false}, "a step of 1024 bytes: steps are 256 or 512 bytes", {}, 0},
        {"linux-bch8", {-1, -1, 128, -1, false}, "a step of 128 bytes: steps are 256 to 4096 bytes", {}, 0},
        {"linux-bch8", {-1, -1, -1, -1, false, -1, 16}, "the ECC (104 bytes from OOB byte 0) runs past the 64-byte OOB", {}, 0},
        {"linux-hamming", {-1, -1, -1, -1, false, bch, 4}, "", {{16, 48}}, 0},  // GF(2^12), 6 bytes a step
        {"linux-bch4", {-1, -1, 1024, -1, false, -1, 8}, "", {{36, 28}}, 0},    // GF(2^14), 14 bytes a step
        {"linux-bch4", {-1, -1, -1, -1, false, -1, 17}, "the ECC (112 bytes from OOB byte 0) runs past the 64-byte OOB",
         {}, 0},
        {"linux-bch4", {-1, -1, 1024, -1, false, -1, 81},
         "BCH over GF(2^14) takes a strength from 1 to 80 bits with 1024-byte steps (--strength)", {}, 0},
        {"linux-bch4", {-1, -1, -1, -1, false, -1, 4, 12},
         "GF(2^12) is too small for 512-byte steps", {}, 0},
        {"linux-bch4", {-1, -1, -1, -1, false, -1, 4, -1, 0x201d},
         "0x201d is not a primitive polynomial of degree 13", {}, 0},
        {"linux-hamming", {-1, -1, 4096, -1, false}, "a step of 4096 bytes: steps are 256 or 512 bytes", {}, 0},
        {"linux-hamming", {-1, -1, -1, -1, false, -1, 4}, "--strength is for BCH; the hamming code corrects one bit", {}, 0},
    };
    for (const auto &c : cases) {
        Layout l{};
        char why[160] = "";
        const bool ok = nand::makeLayout(*nand::findPreset(c.preset), c.changes, &l, why, sizeof why);
        EXPECT_EQ(ok, c.why[0] == '\0') << c.preset << ": " << why;
        EXPECT_STREQ(why, c.why);
        if (ok) {
            nand::Region r[nand::kMaxRegions];
            const std::size_t n = nand::eccRegions(l, r);
            ASSERT_EQ(n, c.ecc.size()) << c.preset;
            for (std::size_t i = 0; i < n; i++) {
                EXPECT_EQ(r[i].offset, c.ecc[i].offset) << c.preset;
                EXPECT_EQ(r[i].length, c.ecc[i].length) << c.preset;
            }
            ASSERT_EQ(l.markerCount != 0, c.marker >= 0) << c.preset;
            EXPECT_TRUE(c.marker < 0 || l.markers[0] == c.marker) << c.preset;
        }
    }
}

std::vector<std::uint8_t> encoded(const Codec &c, std::mt19937 &rng)
{
    std::vector<std::uint8_t> r(c.recordSize);
    for (std::size_t i = 0; i < c.layout.pageSize; i++) {
        r[i] = static_cast<std::uint8_t>(rng());
    }
    nand::encodeRecord(c, r.data(), false);
    return r;
}

// The bit of the record that a corrected location of step s names.
std::size_t recordBit(const Codec &c, std::size_t s, unsigned loc)
{
    return nand::locationBit(c, s, loc);
}

void flip(std::vector<std::uint8_t> &r, std::size_t bit)
{
    r[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
}

TEST(Records, SingleFlipsAreCorrectedDoubleFlipsNeverMistaken)
{
    std::mt19937 rng(21);
    static nand::RecordResult result;
    std::size_t presetCount = 0;
    const Layout *presets = nand::presets(&presetCount);
    for (std::size_t p = 0; p < presetCount; p++) {
        const Codec &c = codecFor(presets[p]);
        const std::vector<std::uint8_t> clean = encoded(c, rng);
        std::vector<std::uint8_t> r = clean;
        nand::checkRecord(c, r.data(), 1, &result);
        ASSERT_FALSE(result.erased);
        for (std::size_t s = 0; s < c.steps; s++) {
            EXPECT_EQ(result.steps[s].status, EccStatus::Clean) << presets[p].name;
        }
        // Every bit of the data and of the ECC bytes, one at a time.
        std::vector<std::size_t> bits;
        for (std::size_t b = 0; b < std::size_t{c.layout.pageSize} * 8; b += 7) {
            bits.push_back(b);
        }
        for (std::size_t k = 0; k < c.steps * c.eccBytes; k++) {
            for (std::size_t b = 0; b < 8; b++) {
                if (((static_cast<unsigned>(c.eccKeep[k % c.eccBytes]) >> b) & 1u) == 0) {
                    continue;  // a spare bit of a BCH code's last byte: no part of the code
                }
                bits.push_back(std::size_t{c.eccPos[k]} * 8 + b);
            }
        }
        for (const std::size_t bit : bits) {
            r = clean;
            flip(r, bit);
            nand::checkRecord(c, r.data(), 1, &result);
            ASSERT_EQ(r, clean) << presets[p].name << " bit " << bit;
            std::size_t corrected = 0;
            for (std::size_t s = 0; s < c.steps; s++) {
                const auto &st = result.steps[s];
                if (st.status == EccStatus::CorrectedData) {
                    EXPECT_EQ(st.byte * 8 + st.bit, bit) << presets[p].name;
                }
                if (st.status == EccStatus::CorrectedBits) {
                    ASSERT_EQ(st.count, 1u) << presets[p].name;
                    EXPECT_EQ(recordBit(c, s, st.locs[0]), bit) << presets[p].name;
                }
                corrected += st.status != EccStatus::Clean;
            }
            EXPECT_EQ(corrected, 1u) << presets[p].name << " bit " << bit;
        }
        // Two flips in the data of one step: beyond a one-bit code, within
        // a BCH code of t >= 2.
        for (int i = 0; i < 200; i++) {
            const std::size_t step = rng() % c.steps;
            const std::size_t stepBits = std::size_t{c.layout.stepSize} * 8;
            const std::size_t a = recordBit(c, step, static_cast<unsigned>(rng() % stepBits));
            std::size_t b = a;
            while (b == a) {
                b = recordBit(c, step, static_cast<unsigned>(rng() % stepBits));
            }
            r = clean;
            flip(r, a);
            flip(r, b);
            const std::vector<std::uint8_t> damaged = r;
            nand::checkRecord(c, r.data(), 1, &result);
            if (c.layout.scheme == nand::Scheme::Bch) {
                EXPECT_EQ(result.steps[step].status, EccStatus::CorrectedBits) << presets[p].name;
                EXPECT_EQ(result.steps[step].count, 2u) << presets[p].name;
                EXPECT_EQ(r, clean) << presets[p].name;
                continue;
            }
            EXPECT_EQ(result.steps[step].status, EccStatus::Uncorrectable) << presets[p].name;
            EXPECT_EQ(r, damaged) << presets[p].name << ": an uncorrectable step keeps its bytes";
        }
    }
}

// Blank flash with up to the threshold of zero bits per step is erased and
// reads back blank; for the Linux layouts an encoded page of 0xFF is blank
// flash itself, for the classic one it never is.
TEST(Records, ErasedPages)
{
    for (const char *name : {"linux-hamming", "linux-hamming-sp", "linux-bch8", "classic"}) {
        const Codec &c = codecFor(*nand::findPreset(name));
        std::vector<std::uint8_t> r(c.recordSize, 0xFF);
        nand::encodeRecord(c, r.data(), false);
        const bool linux = std::strcmp(name, "classic") != 0;
        EXPECT_EQ(r == std::vector<std::uint8_t>(c.recordSize, 0xFF), linux) << name;
        static nand::RecordResult result;
        nand::checkRecord(c, r.data(), 1, &result);
        EXPECT_EQ(result.erased, linux) << name;

        r.assign(c.recordSize, 0xFF);
        flip(r, 5 * 8 + 3);
        flip(r, std::size_t{c.eccPos[c.eccBytes * (c.steps - 1)]} * 8);  // last step's ECC
        nand::checkRecord(c, r.data(), 1, &result);
        EXPECT_TRUE(result.erased) << name;
        EXPECT_EQ(result.bitflips, 2u) << name;
        EXPECT_EQ(r, std::vector<std::uint8_t>(c.recordSize, 0xFF)) << name;
    }
}

}  // namespace
