// The manifests of `nandconv inject` and `check --expect` as a user meets
// them: every fault of a manifest is one line and status 2 before anything is
// reported or written, the comparison leaves out flips no decoder corrects,
// and inject's outputs, standard output among them, say what was flipped.
#include "cli.h"

#include <sstream>
#include <string>
#include <vector>

namespace {

using cli::readFile;
using cli::Result;
using cli::sameBytes;
using cli::writeFile;

const std::string kGolden = GOLDEN_DIR;
constexpr std::size_t kRecord = 2112;

class ManifestTest : public cli::ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        writeFile(at("img"), readFile(kGolden + "/linux-bch4.img"));  // 5 pages, page 2 blank
    }

    Result nandconv(const std::vector<std::string> &args, const cli::Streams &streams = {}) const
    {
        std::vector<std::string> argv = {NANDCONV_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return exec(argv, streams);
    }
    Result sh(const std::string &script) const { return exec({"/bin/sh", "-c", script}); }
};

struct Flip {
    std::size_t page, offset, bit;
};

// The flips of a manifest, read with a parser of its own.
std::vector<Flip> flipsOf(const std::string &manifest)
{
    std::vector<Flip> flips;
    std::istringstream lines(manifest);
    std::string line;
    const auto number = [&line](const std::string &key) {
        return std::stoul(line.substr(line.find("\"" + key + "\":") + key.size() + 3));
    };
    while (std::getline(lines, line)) {
        flips.push_back({number("page"), number("offset"), number("bit")});
    }
    return flips;
}

// Every fault of a manifest is trouble before a finding is printed or an
// output written: one line naming the line of the manifest.
TEST_F(ManifestTest, FaultsAreTroubleBeforeAnyReport)
{
    const std::string good = "{\"page\":0,\"step\":0,\"offset\":5,\"bit\":1}\n";
    const struct {
        std::string manifest;
        std::string err;
    } cases[] = {
        {"{\"page\":0,\"step\":0,\"offset\":5}\n", "line 1 is no {\"page\",\"step\",\"offset\",\"bit\"} object of numbers"},
        {good + "page 0 offset 5\n", "line 2 is no {\"page\",\"step\",\"offset\",\"bit\"} object of numbers"},
        {"{\"page\":0,\"step\":0,\"offset\":5,\"bit\":1,\"bit\":2}\n",
         "line 1 is no {\"page\",\"step\",\"offset\",\"bit\"} object of numbers"},
        {"{\"page\":-1,\"step\":0,\"offset\":5,\"bit\":1}\n",
         "line 1 is no {\"page\",\"step\",\"offset\",\"bit\"} object of numbers"},
        {good + "{\"page\":5,\"step\":0,\"offset\":5,\"bit\":1}\n",
         "line 2: page 5 is past the end of the image (5 pages)"},
        {"{\"page\":0,\"step\":0,\"offset\":2112,\"bit\":1}\n", "line 1: offset 2112 is past the 2112-byte record"},
        {"{\"page\":0,\"step\":0,\"offset\":536870912,\"bit\":1}\n",
         "line 1: offset 536870912 is past the 2112-byte record"},
        {"{\"page\":0,\"step\":0,\"offset\":5,\"bit\":8}\n", "line 1: bit 8 is not 0 to 7"},
        {"{\"page\":0,\"step\":4,\"offset\":5,\"bit\":1}\n", "line 1: offset 5 belongs to step 0"},
        {"{\"page\":0,\"step\":null,\"offset\":600,\"bit\":1}\n", "line 1: offset 600 belongs to step 1"},
        {"{\"page\":0,\"step\":0,\"offset\":2050,\"bit\":1}\n", "line 1: offset 2050 belongs to no step"},
        {"{\"page\":1,\"step\":0,\"offset\":5,\"bit\":1}\n" + good, "line 2: page 0 comes after page 1"},
        {good + "\n" + good, "line 3 repeats the flip of line 1"},
        {"{\"page\":0,\"step\":0,\"offset\":05,\"bit\":1}\n",
         "line 1 is no {\"page\",\"step\",\"offset\",\"bit\"} object of numbers"},
        // Within a page, inject writes step after step.
        {"{\"page\":0,\"step\":1,\"offset\":600,\"bit\":1}\n" + good, "line 2: step 0 comes after step 1 of page 0"},
        {"{\"page\":0,\"step\":null,\"offset\":2050,\"bit\":1}\n" + good,
         "line 2: step 0 comes after step null of page 0"},
    };
    for (const auto &c : cases) {
        writeFile(at("m.jsonl"), c.manifest);
        const Result r = nandconv({"check", "--layout", "linux-bch4", "--json", "--expect", "m.jsonl", "-o", "raw.out",
                                   "img"});
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.out, "") << c.err;
        EXPECT_EQ(r.err, "nandconv: m.jsonl: " + c.err + "\n");
        EXPECT_FALSE(cli::fs::exists(at("raw.out"))) << c.err;
    }

    // A folder or a missing file, and a manifest that an output names (by
    // another path, a symbolic or a hard link), are refused too.
    cli::fs::create_directory(at("dir"));
    writeFile(at("m.jsonl"), good);
    cli::fs::create_symlink("m.jsonl", at("link"));
    cli::fs::create_hard_link(at("m.jsonl"), at("hard"));
    const struct {
        std::vector<std::string> args;
        std::string err;
    } inputs[] = {
        {{"--expect", "dir"}, "dir: Is a directory"},
        {{"--expect", "missing.jsonl"}, "missing.jsonl: No such file or directory"},
        {{"--expect", "m.jsonl", "-f", "./m.jsonl"}, "./m.jsonl: names the manifest; not written"},
        {{"--expect", "m.jsonl", "-o", "link"}, "link: names the manifest; not written"},
        {{"--expect", "link", "-o", "raw.out", "-f", "hard"}, "hard: names the manifest; not written"},
    };
    for (const auto &c : inputs) {
        std::vector<std::string> args = {"check", "--layout", "linux-bch4"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("img");
        const Result r = nandconv(args);
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.out, "") << c.err;
        EXPECT_EQ(r.err, "nandconv: " + c.err + "\n");
        EXPECT_EQ(readFile(at("m.jsonl")), good) << c.err;
        EXPECT_FALSE(cli::fs::exists(at("raw.out"))) << c.err;
    }

    // Read from a pipe, the image's length is known only at its end: a page
    // past it is still trouble, and the outputs keep what they held.
    writeFile(at("m.jsonl"), "{\"page\":7,\"step\":0,\"offset\":5,\"bit\":1}\n");
    writeFile(at("raw.out"), "keep");
    const Result r = sh("cat img | '" NANDCONV_BIN "' check --layout linux-bch4 -q --expect m.jsonl -o raw.out -");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "nandconv: m.jsonl: line 1: page 7 is past the end of the image (5 pages)\n");
    EXPECT_EQ(readFile(at("raw.out")), "keep");
}

// A page whose flips all lie in the OOB may name its steps in any order, as
// --area oob draws them; they are compared as any others.
TEST_F(ManifestTest, OobFlipsInAnyStepOrder)
{
    // linux-bch4: step s's code at OOB 36 + 7 s .. 42 + 7 s, OOB 2 free.
    std::string image = readFile(at("img"));
    image[2048 + 57] ^= 0x04;  // step 3's first code byte, bit 2
    image[2048 + 2] ^= 0x02;   // a free byte, bit 1: no decoder sees it
    image[2048 + 36] ^= 0x01;  // step 0's first code byte, bit 0
    writeFile(at("oob.img"), image);
    writeFile(at("m.jsonl"), "{\"page\":0,\"step\":3,\"offset\":2105,\"bit\":2}\n"
                             "{\"page\":0,\"step\":null,\"offset\":2050,\"bit\":1}\n"
                             "{\"page\":0,\"step\":0,\"offset\":2084,\"bit\":0}\n");
    const Result r = nandconv({"check", "--layout", "linux-bch4", "-q", "--expect", "m.jsonl", "oob.img"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "5 pages, 1 erased; steps: 14 clean, 2 corrected, 0 uncorrectable\n"
                     "manifest: 2 steps as injected, 0 differ\n");
}

// Any JSON spacing and key order is a manifest; a step that corrects more bits
// than were injected differs from it, even when the injected ones are among
// them.
TEST_F(ManifestTest, ComparesEveryCorrection)
{
    std::string image = readFile(at("img"));
    image[5] ^= 0x02;
    image[300] ^= 0x10;  // not in the manifest
    writeFile(at("two.img"), image);
    writeFile(at("m.jsonl"), "{ \"bit\" : 1, \"offset\":5 ,\"step\": 0,\"page\" :0 }\r\n");
    Result r = nandconv({"check", "--layout", "linux-bch4", "--expect", "m.jsonl", "two.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "page 0 step 0: 1 bits injected, 2 corrected, 1 of them as injected\n"
                     "page 0 step 0: corrected 2 bits\n"
                     "5 pages, 1 erased; steps: 15 clean, 1 corrected, 0 uncorrectable\n"
                     "manifest: 0 steps as injected, 1 differ\n");
    image[300] ^= 0x10;
    writeFile(at("one.img"), image);
    r = nandconv({"check", "--layout", "linux-bch4", "-q", "--expect", "m.jsonl", "one.img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "5 pages, 1 erased; steps: 15 clean, 1 corrected, 0 uncorrectable\n"
                     "manifest: 1 steps as injected, 0 differ\n");
}

// Flips no decoder corrects (free OOB bytes, a BCH code's spare bits) are left
// out of the comparison; blank pages are compared step by step.
TEST_F(ManifestTest, LeavesOutWhatNoDecoderCorrects)
{
    for (const std::vector<std::string> &area : {std::vector<std::string>{"--area", "oob", "--bits", "3"},
                                                std::vector<std::string>{"--area", "step", "--bits", "2"}}) {
        std::vector<std::string> args = {"inject", "--layout", "linux-bch4", "--seed", "9", "--erased", "--manifest",
                                         "m.jsonl"};
        args.insert(args.end(), area.begin(), area.end());
        args.insert(args.end(), {"img", "out.img"});
        Result r = nandconv(args);
        ASSERT_EQ(r.status, 0) << r.err;
        r = nandconv({"check", "--layout", "linux-bch4", "-q", "--expect", "m.jsonl", "out.img"});
        EXPECT_EQ(r.status, 0) << area[1] << r.out;
        EXPECT_NE(r.out.find(", 0 differ\n"), std::string::npos) << area[1] << r.out;
    }
    // Another seed's flips differ on every step, the blank page's too, and
    // each difference names its step.
    Result r = nandconv({"inject", "--layout", "linux-bch4", "--seed", "10", "--erased", "--bits", "2", "img", "other.img"});
    ASSERT_EQ(r.status, 0);
    r = nandconv({"check", "--layout", "linux-bch4", "--json", "--expect", "m.jsonl", "other.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("{\"page\":2,\"step\":3,\"class\":\"differs-from-manifest\""), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("-1"), std::string::npos) << r.out;
}

// A BCH correction in JSON: data bits by their offset in the page data, code
// bits by their offset in the OOB.
TEST_F(ManifestTest, BchCorrectionsInJson)
{
    std::string image = readFile(kGolden + "/linux-bch8.img");  // ECC at OOB 12..63, 13 bytes a step
    image[kRecord + 600] ^= 0x02;          // page 1 step 1: data byte 600 bit 1
    image[kRecord + 2048 + 12 + 13 + 2] ^= 0x08;  // its code: OOB byte 27 bit 3
    writeFile(at("dump.img"), image);
    const Result r = nandconv({"check", "--layout", "linux-bch8", "--json", "dump.img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\"findings\":[{\"page\":1,\"step\":1,\"class\":\"corrected-bits\","
                         "\"bits\":[{\"byte\":600,\"bit\":1},{\"ecc_byte\":27,\"bit\":3}]}]"),
              std::string::npos)
        << r.out;
}

// inject's outputs: the address list has a line for every flip at its place
// in the whole image; any one output may be standard output; a cut image is
// copied whole but ends with status 1, as check says of it.
TEST_F(ManifestTest, InjectOutputs)
{
    const std::vector<std::string> inject = {"inject", "--layout", "linux-bch4", "--seed", "3", "--bits", "2"};
    auto args = inject;
    args.insert(args.end(), {"--manifest", "m.jsonl", "--nandflipbits", "flips.txt", "img", "out.img"});
    Result r = nandconv(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string manifest = readFile(at("m.jsonl"));
    std::string expected;
    for (const Flip &f : flipsOf(manifest)) {
        expected += std::to_string(f.bit) + "@" + std::to_string(f.page * kRecord + f.offset) + "\n";
    }
    EXPECT_EQ(readFile(at("flips.txt")), expected);
    EXPECT_GT(flipsOf(manifest).size(), 10u);

    const struct {
        std::vector<std::string> outputs;
        std::string stdoutFile;  // what standard output must hold, by the file of the run above
    } cases[] = {
        {{"--manifest", "-", "img", "o.img"}, "m.jsonl"},
        {{"--nandflipbits", "/dev/stdout", "img", "o.img"}, "flips.txt"},
        {{"--nandflipbits", "-", "img", "o.img"}, "flips.txt"},
        {{"--manifest", "m2.jsonl", "img", "-"}, "out.img"},
    };
    for (const auto &c : cases) {
        args = inject;
        args.insert(args.end(), c.outputs.begin(), c.outputs.end());
        r = nandconv(args);
        EXPECT_EQ(r.status, 0) << c.stdoutFile << r.err;
        EXPECT_TRUE(sameBytes(r.out, readFile(at(c.stdoutFile)))) << c.stdoutFile;
        EXPECT_FALSE(cli::fs::exists(at("-"))) << c.stdoutFile;
    }
    args = inject;
    args.insert(args.end(), {"--manifest", "-", "--nandflipbits", "/dev/stdout", "img", "new.img"});
    r = nandconv(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "nandconv: /dev/stdout: standard output takes one output only; not written\n");
    EXPECT_FALSE(cli::fs::exists(at("new.img")));
    args = inject;
    args.insert(args.end(), {"--manifest", "-", "img", "new.img"});
    r = nandconv(args, {cli::Stdout::Closed, "", false});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "nandconv: standard output: Bad file descriptor\n");
    EXPECT_FALSE(cli::fs::exists(at("new.img")));

    writeFile(at("cut.img"), readFile(at("img")) + std::string(100, 'x'));
    args = inject;
    args.insert(args.end(), {"cut.img", "cut.out"});
    r = nandconv(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "nandconv: cut.img: 100 trailing bytes at offset 10560 are not a whole record\n");
    EXPECT_TRUE(sameBytes(readFile(at("cut.out")), readFile(at("out.img")) + std::string(100, 'x')));
    r = nandconv({"check", "--layout", "linux-bch4", "-q", "cut.out"});
    EXPECT_EQ(r.status, 1);
}

}  // namespace
