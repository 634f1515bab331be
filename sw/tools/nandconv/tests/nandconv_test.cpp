// nandconv as a user runs it: images built for every layout against the
// independent model's golden images (golden/make_golden.py), checked back,
// corrected and extracted, and misuse refused before any file is touched.
#include "cli.h"

#include <sstream>
#include <string>
#include <vector>

namespace {

using cli::readFile;
using cli::Result;
using cli::sameBytes;
using cli::writeFile;
namespace fs = std::filesystem;

const std::string kGolden = GOLDEN_DIR;

// The cases of golden/make_golden.py: name, arguments, page, OOB and step
// sizes, pad byte.
struct Case {
    std::string name;
    std::vector<std::string> args;
    std::size_t page;
    std::size_t oob;
    std::size_t step;
    char pad;
};

const Case kCases[] = {
    {"classic", {}, 2048, 64, 512, '\0'},
    {"classic-keep-erased", {"--keep-erased"}, 2048, 64, 512, '\0'},
    {"linux-hamming", {"--layout", "linux-hamming"}, 2048, 64, 256, '\xFF'},
    {"linux-hamming-sm", {"--layout", "linux-hamming", "--sm-order"}, 2048, 64, 256, '\xFF'},
    {"linux-hamming-oob128", {"--layout", "linux-hamming", "--oob", "128"}, 2048, 128, 256, '\xFF'},
    {"linux-hamming-512", {"--layout", "linux-hamming-512"}, 2048, 64, 512, '\xFF'},
    {"linux-hamming-4k", {"--layout", "linux-hamming-512", "--page", "4096", "--oob", "224", "--ecc-offset", "200"}, 4096, 224, 512, '\xFF'},
    {"linux-hamming-sp", {"--layout", "linux-hamming-sp"}, 512, 16, 256, '\xFF'},
    {"offset", {"--layout", "linux-hamming-512", "--ecc-offset", "2"}, 2048, 64, 512, '\xFF'},
    {"linux-bch4", {"--layout", "linux-bch4"}, 2048, 64, 512, '\xFF'},
    {"linux-bch8", {"--layout", "linux-bch8"}, 2048, 64, 512, '\xFF'},
    {"linux-bch8-4k", {"--layout", "linux-bch8-4k"}, 4096, 224, 512, '\xFF'},
    {"bch2-on-hamming", {"--layout", "linux-hamming-512", "--ecc", "bch", "--strength", "2"}, 2048, 64, 512, '\xFF'},
};

class NandconvTest : public cli::ToolTest {
protected:
    Result nandconv(const std::string &command, const std::vector<std::string> &layout,
                    const std::vector<std::string> &rest, const cli::Streams &streams = {}) const
    {
        std::vector<std::string> args = {NANDCONV_BIN, command};
        args.insert(args.end(), layout.begin(), layout.end());
        args.insert(args.end(), rest.begin(), rest.end());
        return exec(args, streams);
    }

    void SetUp() override
    {
        ToolTest::SetUp();
        input = readFile(kGolden + "/input.bin");
        writeFile(at("input.bin"), input);
    }

    std::string input;
};

std::string summary(std::size_t pages, std::size_t erased, std::size_t clean, std::size_t corrected,
                    std::size_t uncorrectable)
{
    return std::to_string(pages) + " pages, " + std::to_string(erased) + " erased; steps: " + std::to_string(clean) +
           " clean, " + std::to_string(corrected) + " corrected, " + std::to_string(uncorrectable) + " uncorrectable\n";
}

// Every layout: the image is byte for byte the model's, checks clean, and -o
// gives the input back padded to whole pages.
TEST_F(NandconvTest, GoldenImagesBuildAndCheckClean)
{
    for (const Case &c : kCases) {
        Result r = nandconv("build", c.args, {"input.bin", "out.img"});
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        const std::string golden = readFile(kGolden + "/" + c.name + ".img");
        EXPECT_TRUE(sameBytes(readFile(at("out.img")), golden)) << c.name;

        writeFile(at("golden.img"), golden);
        std::vector<std::string> layout = c.args;
        if (!layout.empty() && layout[0] == "--keep-erased") {
            layout.erase(layout.begin());  // an option of build alone
        }
        r = nandconv("check", layout, {"-o", "raw.out", "golden.img"});
        const std::size_t pages = golden.size() / (c.page + c.oob);
        const std::size_t steps = c.page / c.step;
        // Blank pages: the input's third 2048 bytes are 0xFF, which the Linux
        // layouts (and --keep-erased) write as blank flash.
        const bool blank = c.pad == '\xFF' || c.name == "classic-keep-erased";
        const std::size_t erased = blank ? 2048 / c.page : 0;
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(r.out, summary(pages, erased, (pages - erased) * steps, 0, 0)) << c.name;
        std::string padded = input;
        padded.resize(pages * c.page, c.pad);
        EXPECT_TRUE(sameBytes(readFile(at("raw.out")), padded)) << c.name;
    }
}

// Input from standard input, image to standard output, for build and
// inject; the manifest may not share standard output with the image.
TEST_F(NandconvTest, StandardStreams)
{
    Result r = nandconv("build", {"--layout", "linux-hamming"}, {"-", "-"}, {cli::Stdout::File, "input.bin", false});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sameBytes(r.out, readFile(kGolden + "/linux-hamming.img")));

    writeFile(at("img"), readFile(kGolden + "/linux-bch4.img"));
    const std::vector<std::string> inject = {"--layout", "linux-bch4", "--seed", "42", "--bits", "4"};
    r = nandconv("inject", inject, {"-", "-"}, {cli::Stdout::File, "img", false});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sameBytes(r.out, readFile(kGolden + "/linux-bch4-inject.img")));

    r = nandconv("inject", inject, {"--manifest", "/dev/stdout", "img", "-"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "nandconv: /dev/stdout: standard output takes one output only; not written\n");
}

// A dump with faults: one flipped data bit, one flipped ECC bit, two flips in
// one step, and blank flash with one flip, in text and in JSON; -o and -f
// undo what can be undone.
TEST_F(NandconvTest, CheckFindsAndCorrects)
{
    const std::string golden = readFile(kGolden + "/linux-hamming.img");
    const std::size_t rec = 2112;
    std::string image = golden;
    image[3 * 256 + 10] ^= 0x20;               // page 0 step 3: byte 778 bit 5
    image[rec + 2048 + 40 + 15 + 1] ^= 0x01;  // page 1 step 5: its ECC
    image[3 * rec + 100] ^= 0x01;                  // page 3 step 0: two bits
    image[3 * rec + 200] ^= 0x04;
    image[2 * rec + 7] ^= 0x08;                    // page 2 is blank flash
    writeFile(at("dump.img"), image);
    const std::vector<std::string> layout = {"--layout", "linux-hamming"};

    Result r = nandconv("check", layout, {"dump.img", "-o", "raw.out", "-f", "fixed.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "page 0 step 3: corrected byte 778 bit 5\n"
                     "page 1 step 5: corrected ECC field\n"
                     "page 2: erased, 1 bitflip\n"
                     "page 3 step 0: uncorrectable\n" +
                         summary(5, 1, 29, 2, 1));
    std::string expectedFixed = golden;
    expectedFixed[3 * rec + 100] ^= 0x01;  // the uncorrectable step keeps its bytes
    expectedFixed[3 * rec + 200] ^= 0x04;
    EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), expectedFixed));
    std::string expectedRaw;
    for (std::size_t p = 0; p < 5; p++) {
        expectedRaw += expectedFixed.substr(p * rec, 2048);
    }
    EXPECT_TRUE(sameBytes(readFile(at("raw.out")), expectedRaw));

    r = nandconv("check", layout, {"--json", "dump.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "{\"layout\":{\"name\":\"linux-hamming\",\"page\":2048,\"oob\":64,\"step\":256,\"scheme\":\"hamming\",\"strength\":1,"
              "\"sm_order\":false,\"ecc_bytes_per_step\":3,\"ecc\":[{\"offset\":40,\"length\":24}],\"placement\":\"oob\","
              "\"bad_block_marker\":[0,1],\"free_fill\":255,\"pad_fill\":255},\"findings\":["
              "{\"page\":0,\"step\":3,\"class\":\"corrected-data\",\"byte\":778,\"bit\":5},"
              "{\"page\":1,\"step\":5,\"class\":\"corrected-ecc-field\"},"
              "{\"page\":2,\"class\":\"erased-bitflips\",\"bitflips\":1},"
              "{\"page\":3,\"step\":0,\"class\":\"uncorrectable\"}],"
              "\"pages\":5,\"erased\":1,\"steps\":{\"clean\":29,\"corrected\":2,\"uncorrectable\":1},"
              "\"trailing_bytes\":0}\n");
}

// Blank flash under Linux's codes, where blank is a codeword: a step is
// decoded first, and an erased page is one whose steps all decode to 0xFF
// with at most the threshold of corrections, which defaults to the strength.
// A blank step in a page that is not erased is a correction like any other.
TEST_F(NandconvTest, BlankStepsOfLinuxCodes)
{
    const std::string golden = readFile(kGolden + "/linux-bch8.img");
    const std::size_t rec = 2112;
    std::string image = golden;
    for (const std::size_t byte : {std::size_t{515}, std::size_t{552}, std::size_t{553}}) {  // page 2 (blank) step 1: three flips
        image[2 * rec + byte] ^= 0x10;
    }
    writeFile(at("dump.img"), image);
    const std::vector<std::string> layout = {"--layout", "linux-bch8"};
    const struct {
        std::vector<std::string> options;
        std::string out;
    } cases[] = {
        {{}, "page 2: erased, 3 bitflips\n" + summary(5, 1, 16, 0, 0)},
        {{"--erased-threshold", "8"}, "page 2: erased, 3 bitflips\n" + summary(5, 1, 16, 0, 0)},
        {{"--erased-threshold", "2"}, "page 2 step 1: corrected 3 bits\n" + summary(5, 0, 19, 1, 0)},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"dump.img", "-f", "fixed.img"});
        const Result r = nandconv("check", layout, args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, c.out);
        EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), golden));
    }
}

// Injection: the model's manifest and image for a seed (the generator is
// documented, so golden/make_golden.py reproduces it); check corrects t flips
// a step exactly as injected, and t + 1 flips come out uncorrectable, never
// as a wrong correction.
TEST_F(NandconvTest, InjectAndExpect)
{
    const std::string golden = readFile(kGolden + "/linux-bch4.img");
    writeFile(at("img"), golden);
    const std::vector<std::string> layout = {"--layout", "linux-bch4"};
    Result r = nandconv("inject", layout,
                        {"--seed", "42", "--bits", "4", "--manifest", "m.jsonl", "--nandflipbits", "flips.txt", "img",
                         "out.img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sameBytes(readFile(at("out.img")), readFile(kGolden + "/linux-bch4-inject.img")));
    const std::string manifest = readFile(at("m.jsonl"));
    EXPECT_EQ(manifest, readFile(kGolden + "/linux-bch4-inject.jsonl"));
    // The same flips as bit@address lines, the address counting the OOB.
    EXPECT_EQ(readFile(at("flips.txt")).substr(0, 6), "1@384\n");

    r = nandconv("check", layout, {"-q", "--expect", "m.jsonl", "-o", "raw.out", "out.img"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, summary(5, 1, 0, 16, 0) + "manifest: 16 steps as injected, 0 differ\n");
    std::string padded = input;
    padded.resize(std::size_t{5} * 2048, '\xFF');
    EXPECT_TRUE(sameBytes(readFile(at("raw.out")), padded));

    // The manifest of another seed differs step by step.
    r = nandconv("inject", layout, {"--seed", "43", "--bits", "4", "img", "other.img"});
    EXPECT_EQ(r.status, 0);
    r = nandconv("check", layout, {"-q", "--expect", "m.jsonl", "other.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, summary(5, 1, 0, 16, 0) + "manifest: 0 steps as injected, 16 differ\n");

    r = nandconv("inject", layout, {"--seed", "42", "--bits", "5", "--manifest", "m5.jsonl", "img", "five.img"});
    EXPECT_EQ(r.status, 0);
    r = nandconv("check", layout, {"--expect", "m5.jsonl", "five.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("page 0 step 0: 5 bits injected, uncorrectable\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(summary(5, 1, 0, 0, 16) + "manifest: 0 steps as injected, 16 differ\n"), std::string::npos);
}

// The areas: every flip lands where asked, blank pages only with --erased,
// and a rate flips bits of the whole area.
TEST_F(NandconvTest, InjectAreas)
{
    writeFile(at("img"), readFile(kGolden + "/linux-bch4.img"));
    const std::vector<std::string> layout = {"--layout", "linux-bch4"};
    const struct {
        std::vector<std::string> args;
        std::size_t low, high;  // the record offsets flips may take
        bool blankToo;
    } cases[] = {
        {{"--bits", "3", "--area", "data"}, 0, 2047, false},
        {{"--bits", "3", "--area", "ecc"}, 2048 + 36, 2048 + 63, false},
        {{"--bits", "3", "--area", "oob", "--erased"}, 2048, 2111, true},
        {{"--ber", "0.01", "--area", "step"}, 0, 2111, false},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"--seed", "5", "--manifest", "m.jsonl"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"img", "out.img"});
        const Result r = nandconv("inject", layout, args);
        ASSERT_EQ(r.status, 0) << c.args[2] << r.err;
        std::istringstream lines(readFile(at("m.jsonl")));
        std::string line;
        std::size_t count = 0;
        bool blankHit = false;
        while (std::getline(lines, line)) {
            const std::size_t offset = std::stoul(line.substr(line.find("\"offset\":") + 9));
            const std::size_t page = std::stoul(line.substr(line.find("\"page\":") + 7));
            const unsigned bit = static_cast<unsigned>(std::stoul(line.substr(line.find("\"bit\":") + 6)));
            EXPECT_GE(offset, c.low) << line;
            EXPECT_LE(offset, c.high) << line;
            // The last code byte of a BCH-4 step keeps its 4 spare bits.
            const bool spare = offset >= 2048 + 36 && (offset - 2048 - 36) % 7 == 6 && bit < 4;
            EXPECT_TRUE(!spare || c.args[2] == "oob") << line;
            blankHit = blankHit || page == 2;
            count++;
        }
        EXPECT_EQ(blankHit, c.blankToo) << c.args[2];
        EXPECT_GT(count, 0u) << c.args[2];
    }
}

// A layout that does not match the image is caught: a 512-byte-step image
// read as 256-byte steps has uncorrectable steps. (Some come out "corrected":
// a field of FF FF FF over data of odd parity differs in every pair, which is
// the mark of one flipped bit; that is the code's nature, not a fault.)
TEST_F(NandconvTest, WrongLayoutIsCaught)
{
    writeFile(at("img"), readFile(kGolden + "/linux-hamming-512.img"));
    const Result r = nandconv("check", {"--layout", "linux-hamming"}, {"img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("page 0 step 0: uncorrectable\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(", 0 uncorrectable\n"), std::string::npos) << r.out;
}

// Linux places its Hamming code by the OOB size, whatever the preset: a
// 512+16 page takes the small-page layout, a 2048+64 page the large-page one.
TEST_F(NandconvTest, LinuxPlacesByOobSize)
{
    const struct {
        std::vector<std::string> args;
        std::string golden;
    } cases[] = {
        {{"--layout", "linux-hamming", "--page", "512", "--oob", "16"}, "linux-hamming-sp"},
        {{"--layout", "linux-hamming-sp", "--page", "2048", "--oob", "64"}, "linux-hamming"},
    };
    for (const auto &c : cases) {
        const Result r = nandconv("build", c.args, {"input.bin", "out.img"});
        EXPECT_EQ(r.status, 0) << c.golden << r.err;
        EXPECT_TRUE(sameBytes(readFile(at("out.img")), readFile(kGolden + "/" + c.golden + ".img"))) << c.golden;
    }
}

// Misuse and layouts that cannot work: one line, status 2, nothing written.
TEST_F(NandconvTest, Refusals)
{
    writeFile(at("out.img"), "keep");
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, "nandconv: no command given (see nandconv --help)\n"},
        {{"frob"}, "nandconv: unknown command 'frob' (see nandconv --help)\n"},
        {{"build", "--nope", "input.bin", "out.img"}, "nandconv: unknown option --nope (see nandconv build --help)\n"},
        {{"build", "input.bin"}, "nandconv: too few file names (see nandconv build --help)\n"},
        {{"build", "--page", "2kb", "input.bin", "out.img"},
         "nandconv: --page takes a number from 256 to 65536, not '2kb' (see nandconv build --help)\n"},
        {{"build", "--page", "0x10000k", "input.bin", "out.img"},
         "nandconv: --page takes a number from 256 to 65536, not '0x10000k' (see nandconv build --help)\n"},
        {{"build", "--page", "64k", "--oob", "0x1001", "input.bin", "out.img"},
         "nandconv: --oob takes a number from 1 to 4096, not '0x1001' (see nandconv build --help)\n"},
        {{"build", "--layout", "nope", "input.bin", "out.img"},
         "nandconv: no layout named 'nope'; `nandconv layouts` lists them (see nandconv build --help)\n"},
        {{"check", "--json=1", "out.img"}, "nandconv: option --json takes no argument (see nandconv check --help)\n"},
        {{"layouts", "extra"}, "nandconv: too many file names (see nandconv layouts --help)\n"},
        {{"build", "--layout", "linux-hamming", "--oob", "16", "input.bin", "out.img"},
         "nandconv: the ECC (20 bytes from OOB byte 6) runs past the 16-byte OOB\n"},
        {{"build", "--layout", "linux-hamming", "--ecc-offset", "0", "input.bin", "out.img"},
         "nandconv: the ECC (OOB bytes 0..23) covers the bad-block marker at OOB bytes 0..1\n"},
        {{"build", "--layout", "linux-hamming-sp", "--page", "600", "input.bin", "out.img"},
         "nandconv: a page of 600 bytes is not a whole number of 256-byte steps (at most 65536 bytes)\n"},
        {{"build", "--step", "256", "input.bin", "out.img"},
         "nandconv: the classic code covers 512-byte steps, not 256\n"},
        {{"build", "--layout", "linux-bch8", "--strength", "65", "input.bin", "out.img"},
         "nandconv: --strength takes a number from 1 to 64, not '65' (see nandconv build --help)\n"},
        {{"build", "--layout", "linux-bch8", "--strength", "17", "input.bin", "out.img"},
         "nandconv: the ECC (112 bytes from OOB byte 0) runs past the 64-byte OOB\n"},
        {{"build", "--layout", "linux-bch8", "--page", "3840", "--step", "960", "--m", "13", "--strength", "40", "input.bin",
          "out.img"},
         "nandconv: BCH over GF(2^13) takes a strength from 1 to 39 bits with 960-byte steps (--strength)\n"},
        {{"build", "--layout", "linux-bch8", "--step", "2k", "--m", "15", "--poly", "0x8005", "input.bin", "out.img"},
         "nandconv: 0x8005 is not a primitive polynomial of degree 15\n"},
        {{"build", "--layout", "linux-hamming", "--poly", "0x201b", "input.bin", "out.img"},
         "nandconv: the field, polynomial and bit order are for BCH\n"},
        {{"build", "--bit-order", "middle", "input.bin", "out.img"},
         "nandconv: --bit-order takes msb-first or lsb-first, not 'middle' (see nandconv build --help)\n"},
        {{"layouts", "--layout", "linux-bch8"},
         "nandconv: layout options print one layout, as JSON: give --json (see nandconv layouts --help)\n"},
        {{"build", "--layout", "linux-bch8", "--oob", "32", "input.bin", "out.img"},
         "nandconv: Linux's BCH takes large pages, an OOB of 64 bytes or more, not 32\n"},
        {{"build", "--ecc", "reed-solomon", "input.bin", "out.img"},
         "nandconv: --ecc takes classic, hamming, bch or none, not 'reed-solomon' (see nandconv build --help)\n"},
        {{"inject", "--bits", "4", "input.bin", "out.img"}, "nandconv: --seed is needed (see nandconv inject --help)\n"},
        {{"inject", "--seed", "1", "input.bin", "out.img"},
         "nandconv: give one of --bits and --ber (see nandconv inject --help)\n"},
        {{"inject", "--seed", "1", "--ber", "2", "input.bin", "out.img"},
         "nandconv: --ber takes a probability from 0 to 1 (see nandconv inject --help)\n"},
        {{"inject", "--seed", "1", "--bits", "65", "input.bin", "out.img"},
         "nandconv: --bits takes a number from 1 to 64, not '65' (see nandconv inject --help)\n"},
        {{"inject", "--seed", "1", "--bits", "0", "input.bin", "out.img"},
         "nandconv: --bits takes a number from 1 to 64, not '0' (see nandconv inject --help)\n"},
        {{"inject", "--seed", "1", "--bits", "40", "--area", "ecc", "input.bin", "out.img"},
         "nandconv: --bits 40: the area holds 32 bits (see nandconv inject --help)\n"},
        {{"inject", "--seed", "1", "--bits", "1", "--manifest", "input.bin", "input.bin", "out.img"},
         "nandconv: input.bin: names the image or another output; not written\n"},
        {{"build", "input.bin", "input.bin"}, "nandconv: input.bin: names the input; not written\n"},
        {{"build", "missing.bin", "out.img"}, "nandconv: missing.bin: No such file or directory\n"},
        {{"check", "missing.img"}, "nandconv: missing.img: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {NANDCONV_BIN};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = exec(args);
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.out, "") << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(readFile(at("out.img")), "keep") << c.err;
        EXPECT_EQ(readFile(at("input.bin")), input) << c.err;
    }
}

TEST_F(NandconvTest, HelpVersionAndLayouts)
{
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--help"}, {"build", "--help"}, {"check", "-h"}, {"layouts", "--help"}}) {
        std::vector<std::string> argv = {NANDCONV_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        const Result r = exec(argv);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.out.rfind("usage: nandconv ", 0), 0u) << args[0];
        EXPECT_EQ(r.err, "");
    }
    for (const std::string command : {"--version", "build", "check"}) {
        std::vector<std::string> argv = {NANDCONV_BIN, command};
        if (command != "--version") {
            argv.push_back("--version");
        }
        EXPECT_EQ(exec(argv).out, "nandconv " CONV_VERSION "\n") << command;
    }
    Result r = exec({NANDCONV_BIN, "layouts"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("linux-hamming-sp     512+16   256-byte steps, hamming 3 bytes each, ECC at OOB 0..3,6..7, "
                         "marker 5\n"),
              std::string::npos)
        << r.out;
    r = exec({NANDCONV_BIN, "layouts", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("{\"name\":\"linux-hamming-sp\",\"page\":512,\"oob\":16,\"step\":256,\"scheme\":\"hamming\",\"strength\":1,"
                         "\"sm_order\":false,\"ecc_bytes_per_step\":3,\"ecc\":[{\"offset\":0,\"length\":4},"
                         "{\"offset\":6,\"length\":2}],\"placement\":\"oob\",\"bad_block_marker\":[5],\"free_fill\":255,"
                         "\"pad_fill\":255}"),
              std::string::npos)
        << r.out;
}

}  // namespace
