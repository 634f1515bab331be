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

// The bit number of bit b of a record's byte n.
constexpr std::size_t bitAt(std::size_t n, std::size_t b)
{
    return n * 8 + b;
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
        EXPECT_EQ(r.out.rfind("usage: conv-check [-q] [--json] [-o RAW] [-f FIXED] [--erased-threshold T] IMAGE\n", 0), 0u) << opt;
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
        {{"--json=1", "img"}, "option --json takes no argument"},
        {{"--quiet=yes", "img"}, "option --quiet takes no argument"},
        {{"img", "--erased-threshold"}, "option --erased-threshold needs a number"},
        {{"--erased-threshold", "1x", "img"}, "--erased-threshold takes a number from 0 to 4096, not '1x'"},
        {{"--erased-threshold=-1", "img"}, "--erased-threshold takes a number from 0 to 4096, not '-1'"},
        {{"--erased-threshold=4097", "img"}, "--erased-threshold takes a number from 0 to 4096, not '4097'"},
    };
    for (const auto &c : cases) {
        const Result r = check(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "conv-check: " + c.message + " (see conv-check --help)\n");
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

    // Standard input is read from where it stands, and left after what was
    // read, for whatever shares it next.
    const Result shared = exec({"/bin/sh", "-c",
                                "{ dd bs=2112 count=1 of=/dev/null 2>/dev/null; " + std::string(CONV_CHECK_BIN) +
                                    " -q -; echo left $(wc -c); } < img"});
    EXPECT_EQ(shared.status, 0);
    EXPECT_EQ(shared.out, summary(20, 0, 80, 0, 0) + "left 0\n");
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

// Blank flash, with and without flipped bits, whole records and single
// sectors of written records, against records that only look blank. Each
// image is one record between two plain ones. A blank sector reads back as
// 0xFF in -o and -f and is never decoded: the classic word of 0xFF data is 0,
// so a blank sector with one flip would decode as a "correction" at the
// mirror place of the flip. Free spare bytes never decide what is blank and
// are copied as they are.
TEST_F(CheckTest, ErasedPages)
{
    const std::string raw = randomBytes(2 * kPage, 5);
    const std::string plain = convert(raw);
    const std::string blank(kRecord, '\xFF');
    const auto flip = [](std::string r, const std::vector<std::size_t> &bits) {
        for (const std::size_t b : bits) {
            r[b / 8] = static_cast<char>(r[b / 8] ^ (1 << (b % 8)));
        }
        return r;
    };
    const auto fill = [](std::string r, std::size_t from, std::size_t n) { return r.replace(from, n, n, '\xFF'); };
    const std::string ffConverted = convert(std::string(kPage, '\xFF'));  // data 0xFF, spare zero
    // A written record whose sector 0 was never programmed: data and word 0xFF.
    const std::string subpage = fill(fill(plain.substr(kRecord, kRecord), 0, kSector), 2096, 4);
    const struct {
        std::string name;
        std::string record;
        std::vector<std::string> options;
        std::string lines;
        std::size_t erased, clean, corrected, uncorrectable;
        std::string fixed;  // the record as -f writes it
    } cases[] = {
        {"all 0xFF", blank, {}, "", 1, 8, 0, 0, blank},
        {"one flip in the data", flip(blank, {bitAt(411, 2)}), {}, "page 1: erased, 1 bitflip\n", 1, 8, 0, 0, blank},
        {"one flip in an ECC field", flip(blank, {bitAt(2097, 0)}), {}, "page 1: erased, 1 bitflip\n", 1, 8, 0, 0, blank},
        {"one flip in each sector; free spare flips copied",
         flip(blank, {bitAt(100, 0), bitAt(600, 1), bitAt(1100, 7), bitAt(1600, 3), bitAt(2050, 0)}), {},
         "page 1: erased, 4 bitflips\n", 1, 8, 0, 0, flip(blank, {bitAt(2050, 0)})},
        {"a data flip and two free spare flips", flip(blank, {bitAt(100, 2), bitAt(2053, 0), bitAt(2053, 1)}), {},
         "page 1: erased, 1 bitflip\n", 1, 8, 0, 0, flip(blank, {bitAt(2053, 0), bitAt(2053, 1)})},
        {"a data flip and an unused bit of the word", flip(blank, {bitAt(100, 2), bitAt(2096, 4)}), {},
         "page 1 sector 0: uncorrectable\n", 0, 11, 0, 1, flip(blank, {bitAt(100, 2), bitAt(2096, 4)})},
        {"two flips in one sector", flip(blank, {bitAt(10, 0), bitAt(20, 0)}), {}, "page 1 sector 0: uncorrectable\n",
         0, 11, 0, 1, flip(blank, {bitAt(10, 0), bitAt(20, 0)})},
        {"two flips in one sector under threshold 2", flip(blank, {bitAt(10, 0), bitAt(20, 0)}),
         {"--erased-threshold", "2"}, "page 1: erased, 2 bitflips\n", 1, 8, 0, 0, blank},
        {"threshold 0 takes only all 0xFF", flip(blank, {bitAt(2, 0)}), {"--erased-threshold=0"},
         "page 1 sector 0: uncorrectable\n", 0, 11, 0, 1, flip(blank, {bitAt(2, 0)})},
        {"a blank sector of a written page", subpage, {}, "", 0, 12, 0, 0, subpage},
        {"a blank sector of a written page with a flip", flip(subpage, {bitAt(100, 2)}), {},
         "page 1 sector 0: erased, 1 bitflip\n", 0, 12, 0, 0, subpage},
        {"the same under threshold 0", flip(subpage, {bitAt(100, 2)}), {"--erased-threshold", "0"},
         "page 1 sector 0: uncorrectable\n", 0, 11, 0, 1, flip(subpage, {bitAt(100, 2)})},
        {"conv's record of 0xFF data", ffConverted, {}, "", 0, 12, 0, 0, ffConverted},
    };
    for (const auto &c : cases) {
        writeFile(at("img"), plain.substr(0, kRecord) + c.record + plain.substr(kRecord));
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"img", "-o", "raw.out", "-f", "fixed.img"});
        const Result r = check(args);
        EXPECT_EQ(r.status, c.uncorrectable == 0 ? 0 : 1) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(r.out, c.lines + summary(3, c.erased, c.clean, c.corrected, c.uncorrectable)) << c.name;
        EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), plain.substr(0, kRecord) + c.fixed + plain.substr(kRecord)))
            << c.name;
        EXPECT_TRUE(sameBytes(readFile(at("raw.out")), raw.substr(0, kPage) + c.fixed.substr(0, kPage) +
                                                           raw.substr(kPage)))
            << c.name;
    }
    // The blank sector's finding in JSON.
    writeFile(at("img"), flip(subpage, {bitAt(100, 2)}));
    const Result r = check({"--json", "img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"findings\":[{\"page\":0,\"sector\":0,\"class\":\"erased-bitflips\",\"bitflips\":1}],"
                     "\"pages\":1,\"erased\":0,\"sectors\":{\"clean\":4,\"corrected\":0,\"uncorrectable\":0},"
                     "\"trailing_bytes\":0}\n");
}

// Every class in JSON, the quiet document, and the erased finding.
TEST_F(CheckTest, JsonDocument)
{
    std::string image = convert(randomBytes(3 * kPage, 14));
    image[2096 + 1] = static_cast<char>(image[2096 + 1] ^ 0x04);  // page 0 sector 0: a code bit
    image[kRecord + 700] = static_cast<char>(image[kRecord + 700] ^ 0x10);  // page 1 sector 1: byte 700 bit 4
    image[2 * kRecord + 1600] = static_cast<char>(image[2 * kRecord + 1600] ^ 0x01);  // page 2 sector 3: two bits
    image[2 * kRecord + 1601] = static_cast<char>(image[2 * kRecord + 1601] ^ 0x01);
    std::string blank(kRecord, '\xFF');
    blank[5] = '\xFE';
    writeFile(at("img"), image + blank);
    const std::string counts =
        "\"pages\":4,\"erased\":1,\"sectors\":{\"clean\":9,\"corrected\":2,\"uncorrectable\":1},\"trailing_bytes\":0}\n";
    Result r = check({"--json", "img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{\"findings\":[{\"page\":0,\"sector\":0,\"class\":\"corrected-ecc-field\"},"
                     "{\"page\":1,\"sector\":1,\"class\":\"corrected-data\",\"byte\":700,\"bit\":4},"
                     "{\"page\":2,\"sector\":3,\"class\":\"uncorrectable\"},"
                     "{\"page\":3,\"class\":\"erased-bitflips\",\"bitflips\":1}]," +
                         counts);
    r = check({"-q", "--json", "img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{" + counts);
}

// Images from the independent model of the format (golden/make_golden.py)
// check clean and give their input back, zero-filled to whole pages.
TEST_F(CheckTest, GoldenImages)
{
    for (const std::string name : {"empty", "one", "abc", "ff", "exact", "partial"}) {
        const std::string golden = std::string(GOLDEN_DIR) + "/" + name;
        const std::string img = readFile(golden + ".img");
        writeFile(at("img"), img);
        const Result r = check({"-o", "raw.out", "img"});
        const std::size_t pages = img.size() / kRecord;
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.out, summary(pages, 0, 4 * pages, 0, 0)) << name;
        EXPECT_TRUE(sameBytes(readFile(at("raw.out")), zeroFilled(readFile(golden + ".in")))) << name;
    }
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

// Trouble: one line, status 2, no summary, the image untouched, and existing
// outputs exactly as they were.
TEST_F(CheckTest, Trouble)
{
    const std::string image = convert(randomBytes(kPage, 7));
    writeFile(at("img"), image);
    cli::fs::create_directory(at("adir"));
    cli::fs::create_symlink("img", at("link"));
    cli::fs::create_symlink("keep.raw", at("rawlink"));
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"missing.img"}, "conv-check: missing.img: No such file or directory\n"},
        {{"adir"}, "conv-check: adir: Is a directory\n"},
        {{"--json", "-o", "keep.raw", "adir"}, "conv-check: adir: Is a directory\n"},
        {{"-o", "img", "img"}, "conv-check: img: names the image; not written\n"},
        {{"-f", "./img", "img"}, "conv-check: ./img: names the image; not written\n"},
        {{"-f", "link", "img"}, "conv-check: link: names the image; not written\n"},
        {{"-o", "keep.raw", "-f", "rawlink", "img"}, "conv-check: rawlink: names the image or the other output; not written\n"},
        {{"-o", "keep.raw", "-f", "./keep.raw", "img"}, "conv-check: ./keep.raw: names the image or the other output; not written\n"},
        {{"-o", "keep.raw", "-f", "/no/dir/x", "img"}, "conv-check: /no/dir/x: No such file or directory\n"},
        {{"-o", "keep.raw", "-f", "/dev/full", "img"}, "conv-check: /dev/full: No space left on device\n"},
        {{"-o", "/dev/full", "-f", "keep.raw", "img"}, "conv-check: /dev/full: No space left on device\n"},
    };
    for (const auto &c : cases) {
        writeFile(at("keep.raw"), "keep");
        const Result r = check(c.args);
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.out, "") << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(sameBytes(readFile(at("img")), image)) << c.err;
        EXPECT_EQ(readFile(at("keep.raw")), "keep") << c.err;
    }
    EXPECT_TRUE(cli::fs::is_symlink(at("rawlink")));
}

// An image of whole blocks (256 records are read at a time) ends on an empty
// read; -f must not take it for a failed write.
TEST_F(CheckTest, ImageOfWholeBlocks)
{
    const std::string plain = convert(randomBytes(512 * kPage, 15));
    writeFile(at("img"), plain);
    writeFile(at("fixed.img"), std::string(plain.size() + 5000, 'x'));
    const Result r = check({"-q", "-f", "fixed.img", "-o", "raw.out", "img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), plain));
    EXPECT_EQ(readFile(at("raw.out")).size(), 512 * kPage);
}

// Standard output only refuses an output that is its own regular file or
// pipe; /dev/null as both is fine. A closed standard output loses the report.
TEST_F(CheckTest, OutputsBesideStandardOutput)
{
    writeFile(at("img"), convert(randomBytes(kPage, 16)));
    Result r = exec({"/bin/sh", "-c", std::string(CONV_CHECK_BIN) + " -f /dev/null img > /dev/null"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    r = check({"-f", "fixed.img", "img"}, {cli::Stdout::Closed, "", false});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "conv-check: standard output: Bad file descriptor\n");
    EXPECT_FALSE(cli::fs::exists(at("fixed.img")));
}

}  // namespace
