// Tests of sector decoding, in the manner of classic ECC test suites: a table
// of injected faults, each tried at every position, with the class it must
// get. Two injected faults never coincide, and every double must come out
// uncorrectable, never as a wrong correction.
#include "ecc.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using Sector = std::array<std::uint8_t, ecc::kSectorSize>;

constexpr int kDataBits = 8 * static_cast<int>(ecc::kSectorSize);

// The 24 code bits of an ECC word, by bit number.
std::vector<int> codeBits()
{
    std::vector<int> bits;
    for (int b = 0; b < 32; b++) {
        if ((kEccCodeBits >> b) & 1u) {
            bits.push_back(b);
        }
    }
    return bits;
}

void flipDataBit(Sector &s, int bit)
{
    s[static_cast<std::size_t>(bit / 8)] ^= static_cast<std::uint8_t>(1u << (bit % 8));
}

struct Case {
    const char *name;
    int dataFlips;  // distinct data bits flipped
    int codeFlips;  // distinct code bits flipped in the stored word
    EccStatus expected;
};

const Case kCases[] = {
    {"no error", 0, 0, EccStatus::Clean},
    {"one bit in the data", 1, 0, EccStatus::CorrectedData},
    {"one bit in the code", 0, 1, EccStatus::CorrectedCode},
    {"two bits in the data", 2, 0, EccStatus::Uncorrectable},
    {"one bit in the data and one in the code", 1, 1, EccStatus::Uncorrectable},
    {"two bits in the code", 0, 2, EccStatus::Uncorrectable},
};

// Calls visit(dataBitsFlipped, storedWordMask) for every choice of distinct
// positions the case asks for.
template <typename Visit>
void forEachInjection(const Case &c, Visit visit)
{
    const std::vector<int> code = codeBits();
    std::vector<std::uint32_t> stored;
    if (c.codeFlips == 0) {
        stored.push_back(0);
    }
    if (c.codeFlips == 1) {
        for (const int b : code) {
            stored.push_back(1u << b);
        }
    }
    if (c.codeFlips == 2) {
        for (std::size_t i = 0; i < code.size(); i++) {
            for (std::size_t j = i + 1; j < code.size(); j++) {
                stored.push_back((1u << code[i]) | (1u << code[j]));
            }
        }
    }
    for (const std::uint32_t mask : stored) {
        if (c.dataFlips == 0) {
            visit(-1, -1, mask);
        } else if (c.dataFlips == 1) {
            for (int a = 0; a < kDataBits; a++) {
                visit(a, -1, mask);
            }
        } else {
            for (int a = 0; a < kDataBits; a++) {
                for (int b = a + 1; b < kDataBits; b++) {
                    visit(a, b, mask);
                }
            }
        }
    }
}

TEST(DecodeECC, InjectedFaults)
{
    std::mt19937 rng(42);
    Sector clean;
    for (auto &b : clean) {
        b = static_cast<std::uint8_t>(rng());
    }
    const std::uint32_t good = computeECC(clean.data());

    for (const Case &c : kCases) {
        std::size_t tried = 0;
        std::size_t wrong = 0;
        Sector s = clean;
        forEachInjection(c, [&](int a, int b, std::uint32_t mask) {
            if (a >= 0) {
                flipDataBit(s, a);
            }
            if (b >= 0) {
                flipDataBit(s, b);
            }
            const EccDecode d = correctECC(s.data(), good ^ mask, computeECC(s.data()));
            tried++;
            bool ok = d.status == c.expected;
            if (ok && d.status == EccStatus::CorrectedData) {
                // The named bit is the flipped one, and it has been flipped back.
                ok = d.offset * 8 + d.bit == a && s == clean;
                s = clean;
            } else {
                if (a >= 0) {
                    flipDataBit(s, a);
                }
                if (b >= 0) {
                    flipDataBit(s, b);
                }
                ok = ok && s == clean;  // nothing but a data correction touches the data
            }
            if (!ok && wrong++ < 5) {
                ADD_FAILURE() << c.name << ": data bits " << a << ", " << b << ", stored mask 0x"
                              << std::hex << mask << std::dec << " gave class "
                              << static_cast<int>(d.status);
            }
        });
        EXPECT_EQ(wrong, 0u) << c.name << " (" << tried << " tried)";
        EXPECT_GT(tried, 0u) << c.name;
    }
}

// Bits 4..7 and 20..23 carry no code: set over clean data they mark a damaged
// field, which a correction rewrites; they do not hide a data correction.
TEST(DecodeECC, BitsOutsideTheCode)
{
    Sector s{};
    s[10] = 0x5A;
    const std::uint32_t good = computeECC(s.data());
    for (int b : {4, 5, 6, 7, 20, 21, 22, 23}) {
        EXPECT_EQ(decodeECC(good | (1u << b), good).status, EccStatus::CorrectedCode) << b;
        Sector bad = s;
        bad[100] ^= 0x10;
        const EccDecode d = decodeECC(good | (1u << b), computeECC(bad.data()));
        EXPECT_EQ(d.status, EccStatus::CorrectedData) << b;
        EXPECT_EQ(d.offset, 100);
        EXPECT_EQ(d.bit, 4);
    }
}

}  // namespace
