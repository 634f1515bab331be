// Tests of conv-check as a user runs it: images made by the built converter,
// checked, corrected and extracted by the built checker.
#include "cli.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using cli::randomBytes;
using cli::readFile;
using cli::Result;
using cli::sameBytes;
using cli::writeFile;

using cli::kPage;
using cli::kRecord;
constexpr std::size_t kSector = 512;

std::string summary(std::size_t pages, std::size_t erased, std::size_t clean, std::size_t corrected,
                    std::size_t uncorrectable)
{
    char line[160];
    std::snprintf(line, sizeof line, "%zu pages, %zu erased; sectors: %zu clean, %zu corrected, %zu uncorrectable\n",
                  pages, erased, clean, corrected, uncorrectable);
    return line;
}

std::string zeroFilled(std::string raw)
{
    raw.resize((raw.size() + kPage - 1) / kPage * kPage, '\0');
    return raw;
}

// The data bits (page, bit offset in the page data) where two images differ.
std::vector<std::pair<std::size_t, std::size_t>> flippedBits(const std::string &a, const std::string &b)
{
    std::vector<std::pair<std::size_t, std::size_t>> bits;
    for (std::size_t i = 0; i < a.size() && i < b.size(); i++) {
        const auto x = static_cast<unsigned char>(a[i] ^ b[i]);
        for (std::size_t bit = 0; bit < 8; bit++) {
            if ((x >> bit) & 1u) {
                bits.push_back({i / kRecord, (i % kRecord) * 8 + bit});
            }
        }
    }
    return bits;
}

class CheckTest : public cli::ToolTest {
protected:
    Result check(std::vector<std::string> args, const cli::Streams &streams = {}) const
    {
        args.insert(args.begin(), CONV_CHECK_BIN);
        return exec(args, streams);
    }

    // The image the converter makes of raw, plainly or with "-s" or "-d".
    std::string convert(const std::string &raw, const std::string &mode = "")
    {
        writeFile(at("raw.bin"), raw);
        std::vector<std::string> args = {CONV_BIN, "raw.bin", "made.img"};
        if (!mode.empty()) {
            args.push_back(mode);
        }
        EXPECT_EQ(exec(args).status, 0);
        return readFile(at("made.img"));
    }
};

TEST_F(CheckTest, HelpAndVersion)
{
    for (const std::string opt : {"-h", "--help"}) {
        const Result r = check({opt});
        EXPECT_EQ(r.status, 0) << opt;
        EXPECT_EQ(r.out.rfind("usage: conv-check [-q] [--json] [-o RAW] [-f FIXED] IMAGE\n", 0), 0u) << opt;
        EXPECT_EQ(r.err, "");
    }
    const Result r = check({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "conv-check " CONV_VERSION "\n");
}

// Misuse is refused with status 2 before any file is opened or created.
TEST_F(CheckTest, UsageErrors)
{
    writeFile(at("img"), "");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "no image given"},
        {{"img", "img"}, "more than one image given"},
        {{"-x", "img"}, "unknown option -x"},
        {{"--nope", "img"}, "unknown option --nope"},
        {{"img", "-o"}, "option -o needs a file name"},
        {{"-o", "", "img"}, "an empty output name"},
        {{"-o", "out", "-f", "out", "img"}, "-o and -f name the same file"},
    };
    for (const auto &c : cases) {
        const Result r = check(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("conv-check: " + c.message + "\nusage: conv-check", 0), 0u) << r.err;
        EXPECT_FALSE(cli::fs::exists(at("out"))) << c.message;
    }
}

TEST_F(CheckTest, PlainImageIsCleanAndGivesItsInputBack)
{
    const std::string raw = randomBytes(20 * kPage + 100, 1);
    writeFile(at("img"), convert(raw));
    const Result r = check({"-o", "raw.out", "-f", "fixed.img", "img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, summary(21, 0, 84, 0, 0));
    EXPECT_TRUE(sameBytes(readFile(at("raw.out")), zeroFilled(raw)));
    EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), readFile(at("img"))));

    const Result quiet = check({"-q", "-"}, {cli::Stdout::File, "img", false});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, summary(21, 0, 84, 0, 0));
}

// One flipped bit per page: each is named where the image differs from the
// plain conversion, and both outputs undo it.
TEST_F(CheckTest, SingleErrorsAreCorrected)
{
    const std::string raw = randomBytes(300 * kPage + 5, 2);
    const std::string plain = convert(raw);
    writeFile(at("img"), convert(raw, "-s"));

    std::string expected;
    const auto bits = flippedBits(plain, readFile(at("img")));
    ASSERT_EQ(bits.size(), 301u);
    for (const auto &[page, bit] : bits) {
        expected += "page " + std::to_string(page) + " sector " + std::to_string(bit / 8 / kSector) +
                    ": corrected byte " + std::to_string(bit / 8) + " bit " + std::to_string(bit % 8) + "\n";
    }
    const Result r = check({"img", "-o", "raw.out", "-f", "fixed.img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, expected + summary(301, 0, 301 * 4 - 301, 301, 0));
    EXPECT_TRUE(sameBytes(readFile(at("raw.out")), zeroFilled(raw)));
    EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), plain));
}

// Two flips per page: cancelled (nothing to see), in two sectors (two
// corrections) or in one sector (uncorrectable, never a wrong correction).
TEST_F(CheckTest, DoubleErrors)
{
    const std::string raw = randomBytes(200 * kPage, 3);
    const std::string plain = convert(raw);
    writeFile(at("img"), convert(raw, "-d"));

    std::vector<std::vector<std::size_t>> perPage(200);
    for (const auto &[page, bit] : flippedBits(plain, readFile(at("img")))) {
        perPage[page].push_back(bit);
    }
    std::string text;
    std::string json;
    std::size_t corrected = 0;
    std::size_t uncorrectable = 0;
    std::size_t shapes[3] = {};  // pages with no flip, two sectors, one sector
    for (std::size_t page = 0; page < perPage.size(); page++) {
        const auto &bits = perPage[page];
        ASSERT_TRUE(bits.empty() || bits.size() == 2) << "page " << page;
        const std::string where = "page " + std::to_string(page) + " sector ";
        const std::string jwhere = "{\"page\":" + std::to_string(page) + ",\"sector\":";
        if (bits.empty()) {
            shapes[0]++;
        } else if (bits[0] / 8 / kSector == bits[1] / 8 / kSector) {
            shapes[2]++;
            uncorrectable++;
            text += where + std::to_string(bits[0] / 8 / kSector) + ": uncorrectable\n";
            json += (json.empty() ? "" : ",") + jwhere + std::to_string(bits[0] / 8 / kSector) +
                    ",\"class\":\"uncorrectable\"}";
        } else {
            shapes[1]++;
            for (const std::size_t bit : bits) {
                corrected++;
                text += where + std::to_string(bit / 8 / kSector) + ": corrected byte " + std::to_string(bit / 8) +
                        " bit " + std::to_string(bit % 8) + "\n";
                json += (json.empty() ? "" : ",") + jwhere + std::to_string(bit / 8 / kSector) +
                        ",\"class\":\"corrected-data\",\"byte\":" + std::to_string(bit / 8) +
                        ",\"bit\":" + std::to_string(bit % 8) + "}";
            }
        }
    }
    EXPECT_GT(shapes[1], 0u);
    EXPECT_GT(shapes[2], 0u) << "no page with both flips in one sector; pick another seed";

    const std::size_t clean = 800 - corrected - uncorrectable;
    Result r = check({"img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, text + summary(200, 0, clean, corrected, uncorrectable));

    r = check({"--json", "img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{\"findings\":[" + json + "],\"pages\":200,\"erased\":0,\"sectors\":{\"clean\":" +
                         std::to_string(clean) + ",\"corrected\":" + std::to_string(corrected) +
                         ",\"uncorrectable\":" + std::to_string(uncorrectable) + "},\"trailing_bytes\":0}\n");
}

// A flipped bit in a stored ECC field, or junk in its unused bits, leaves the
// data alone; -f rewrites the field.
TEST_F(CheckTest, DamagedEccFields)
{
    const std::string plain = convert(randomBytes(3 * kPage, 4));
    std::string damaged = plain;
    damaged[0 * kRecord + 2096 + 1] ^= 0x04;  // page 0, sector 0: a code bit
    damaged[2 * kRecord + 2108 + 0] ^= 0x40;  // page 2, sector 3: bit 6, outside the code
    writeFile(at("img"), damaged);
    const Result r = check({"img", "-f", "fixed.img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "page 0 sector 0: corrected ECC field\npage 2 sector 3: corrected ECC field\n" +
                         summary(3, 0, 10, 2, 0));
    EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), plain));
}

// A record of all 0xFF is blank flash: counted, not decoded, kept as it is.
TEST_F(CheckTest, ErasedPages)
{
    const std::string raw = randomBytes(2 * kPage, 5);
    const std::string plain = convert(raw);
    const std::string erased(kRecord, '\xFF');
    writeFile(at("img"), plain.substr(0, kRecord) + erased + plain.substr(kRecord));
    const Result r = check({"img", "-o", "raw.out", "-f", "fixed.img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(3, 1, 8, 0, 0));
    EXPECT_TRUE(sameBytes(readFile(at("raw.out")), raw.substr(0, kPage) + std::string(kPage, '\xFF') + raw.substr(kPage)));
    EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), readFile(at("img"))));
}

// The whole records are checked; the rest is reported, kept by -f, and the
// status says the image is not whole.
TEST_F(CheckTest, ImageEndingInsideARecord)
{
    const std::string plain = convert(randomBytes(3 * kPage, 6));
    const std::string cut = plain.substr(0, plain.size() - 100);
    writeFile(at("img"), cut);
    const Result r = check({"img", "-f", "fixed.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, summary(2, 0, 8, 0, 0));
    EXPECT_EQ(r.err, "conv-check: img: 2012 trailing bytes at offset 4224 are not a whole record\n");
    EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), cut));
}

TEST_F(CheckTest, Trouble)
{
    const std::string image = convert(randomBytes(kPage, 7));
    writeFile(at("img"), image);
    cli::fs::create_directory(at("adir"));
    cli::fs::create_symlink("img", at("link"));
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"missing.img"}, "conv-check: missing.img: No such file or directory\n"},
        {{"adir"}, "conv-check: adir: Is a directory\n"},
        {{"-o", "img", "img"}, "conv-check: img: names the image; not written\n"},
        {{"-f", "./img", "img"}, "conv-check: ./img: names the image; not written\n"},
        {{"-f", "link", "img"}, "conv-check: link: names the image; not written\n"},
        {{"-o", "/dev/full", "img"}, "conv-check: /dev/full: No space left on device\n"},
    };
    for (const auto &c : cases) {
        const Result r = check(c.args);
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(sameBytes(readFile(at("img")), image)) << c.err;
    }
}

}  // namespace
