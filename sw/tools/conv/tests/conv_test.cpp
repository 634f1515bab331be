// Tests of the converter as a user runs it: the built binary in a scratch
// folder, its standard output, standard error, exit status and image bytes.
#include "cli.h"
#include "ecc.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using cli::randomBytes;
using cli::readFile;
using cli::Result;
using cli::sameBytes;
using cli::Stdout;
using cli::writeFile;
namespace fs = std::filesystem;

using cli::kPage;
using cli::kRecord;
const std::string kUsage = std::string("usage: ") + CONV_BIN + " [-s|-d] file1 file2\n";

// The image and progress lines of a plain conversion, assembled page by page
// from the reference ECC, with the progress lines formatted by printf's own rules.
struct Expected {
    std::string image;
    std::string progress;
};

Expected expectedConversion(const std::string &raw)
{
    Expected e;
    for (std::size_t start = 0, page = 0; start < raw.size(); start += kPage, page++) {
        std::string data = raw.substr(start, kPage);
        data.resize(kPage, '\0');
        std::string spare(64, '\0');
        for (std::size_t s = 0; s < 4; s++) {
            const std::uint32_t word =
                computeECCReference(reinterpret_cast<const std::uint8_t *>(data.data()) + 512 * s);
            for (std::size_t i = 0; i < 4; i++) {
                spare[48 + 4 * s + i] = static_cast<char>(word >> (8 * i));
            }
            char line[64];
            std::snprintf(line, sizeof line, "%s: page %d spare[%d] = 0x%08x\n", "main",
                          static_cast<int>(page), static_cast<int>(12 + s), word);
            e.progress += line;
        }
        e.image += data + spare;
    }
    return e;
}

class ConvTest : public cli::ToolTest {
protected:
    Result conv(std::vector<std::string> args, Stdout out = Stdout::File) const
    {
        args.insert(args.begin(), CONV_BIN);
        return exec(args, {out, "", false});
    }
};

TEST_F(ConvTest, TooFewArgumentsPrintUsage)
{
    for (const auto &args : std::vector<std::vector<std::string>>{{}, {"in.bin"}}) {
        const Result r = conv(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kUsage);
    }
}

TEST_F(ConvTest, MissingInputStopsBeforeTheOutput)
{
    const Result r = conv({"missing.bin", "out.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "missing.bin\n");
    EXPECT_EQ(r.err, "open: No such file or directory\n");
    EXPECT_FALSE(fs::exists(at("out.img")));
}

// The mode, shown first in the usage line, is only taken in third place.
TEST_F(ConvTest, ModeGivenFirstIsTakenAsTheInputPath)
{
    writeFile(at("in.bin"), "x");
    const Result r = conv({"-s", "in.bin", "out.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "-s\n");
    EXPECT_EQ(r.err, "open: No such file or directory\n");
}

TEST_F(ConvTest, OutputThatCannotBeOpened)
{
    writeFile(at("in.bin"), "x");
    fs::create_directory(at("adir"));
    const struct {
        std::string out;
        std::string err;
    } cases[] = {
        {"no/such/dir/out.img", "open: No such file or directory\n"},
        {"adir", "open: Is a directory\n"},
    };
    for (const auto &c : cases) {
        const Result r = conv({"in.bin", c.out});
        EXPECT_EQ(r.status, 1) << c.out;
        EXPECT_EQ(r.out, "in.bin\n" + c.out + "\n");
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(ConvTest, BadModeLeavesAnExistingOutputAlone)
{
    writeFile(at("in.bin"), "x");
    for (const std::string mode : {"-x", "-S", "-D", "-sd", "", "s", "--"}) {
        writeFile(at("out.img"), "keep");
        const Result r = conv({"in.bin", "out.img", mode});
        EXPECT_EQ(r.status, 1) << "mode '" << mode << "'";
        EXPECT_EQ(r.out, "in.bin\nout.img\n");
        EXPECT_EQ(r.err, kUsage);
        EXPECT_EQ(readFile(at("out.img")), "keep");
    }
}

// Fixtures from the independent model in golden/make_golden.py.
TEST_F(ConvTest, GoldenImages)
{
    for (const std::string name : {"empty", "one", "abc", "ff", "exact", "partial"}) {
        const fs::path golden = fs::path(GOLDEN_DIR) / name;
        fs::copy_file(golden.string() + ".in", at(name + ".in"));
        const Result r = conv({name + ".in", name + ".img"});
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.err, "") << name;
        EXPECT_EQ(r.out, readFile(golden.string() + ".out")) << name;
        EXPECT_TRUE(sameBytes(readFile(at(name + ".img")), readFile(golden.string() + ".img"))) << name;
    }
}

// Inputs of several blocks (a regular file is mapped a block at a time), with
// and without a partial last page, and the same input arriving through a pipe
// in pieces that do not line up with pages.
TEST_F(ConvTest, LargeAndPipedInputs)
{
    for (const std::size_t size : {512 * kPage, 600 * kPage + 777}) {
        const std::string raw = randomBytes(size, 11);
        writeFile(at("in.bin"), raw);
        const Expected e = expectedConversion(raw);

        Result r = conv({"in.bin", "out.img"});
        EXPECT_EQ(r.status, 0) << size;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "in.bin\nout.img\n" + e.progress) << size;
        EXPECT_TRUE(sameBytes(readFile(at("out.img")), e.image)) << size;

        r = exec({"/bin/sh", "-c",
                  std::string("dd if=in.bin bs=1000 status=none | ") + CONV_BIN + " /dev/stdin piped.img"});
        EXPECT_EQ(r.status, 0) << size;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "/dev/stdin\npiped.img\n" + e.progress) << size;
        EXPECT_TRUE(sameBytes(readFile(at("piped.img")), e.image)) << size;
    }
}

// Error modes: the codes and progress describe the clean data; the page data
// carries the flips drawn from random() in its default state (the state of
// seed 1), byte then bit, in page order.
TEST_F(ConvTest, ErrorModesFlipTheDrawnBits)
{
    const std::string raw = randomBytes(300 * kPage + 100, 5);
    writeFile(at("in.bin"), raw);
    const Expected e = expectedConversion(raw);
    const std::size_t pages = e.image.size() / kRecord;

    for (const auto &[mode, errors] : {std::pair<std::string, int>{"-s", 1}, {"-d", 2}}) {
        const Result r = conv({"in.bin", "out.img", mode, "ignored", "args"});
        EXPECT_EQ(r.status, 0) << mode;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "in.bin\nout.img\n" + e.progress) << mode;
        const std::string image = readFile(at("out.img"));
        ASSERT_EQ(image.size(), e.image.size());

        std::string expected = e.image;
        srandom(1);
        std::size_t changedPages = 0;
        for (std::size_t p = 0; p < pages; p++) {
            for (int k = 0; k < errors; k++) {
                const auto j = static_cast<std::size_t>(random()) & 0x7FF;
                const auto b = static_cast<unsigned>(random()) & 7;
                expected[p * kRecord + j] = static_cast<char>(expected[p * kRecord + j] ^ (1 << b));
            }
            changedPages += expected.compare(p * kRecord, kRecord, e.image, p * kRecord, kRecord) != 0;
        }
        EXPECT_TRUE(sameBytes(image, expected)) << mode;
        EXPECT_GT(changedPages, pages / 2) << mode;

        EXPECT_EQ(conv({"in.bin", "again.img", mode}).status, 0);
        EXPECT_TRUE(sameBytes(readFile(at("again.img")), image)) << mode << " is not repeatable";
    }
}

TEST_F(ConvTest, OutputNamingTheInputIsRefused)
{
    const std::string raw = randomBytes(3000, 3);
    writeFile(at("in.bin"), raw);
    fs::create_hard_link(at("in.bin"), at("hard.bin"));
    fs::create_symlink("in.bin", at("soft.bin"));
    for (const std::string out : {"in.bin", "./in.bin", "hard.bin", "soft.bin"}) {
        const Result r = conv({"in.bin", out});
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_EQ(r.out, "in.bin\n" + out + "\n");
        EXPECT_EQ(r.err, "open: input and output are the same file\n");
        EXPECT_TRUE(sameBytes(readFile(at("in.bin")), raw)) << out;
    }
}

TEST_F(ConvTest, UnreadableInputFails)
{
    fs::create_directory(at("adir"));
    const Result r = conv({"adir", "out.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "adir\nout.img\n");
    EXPECT_EQ(r.err, "read: Is a directory\n");
}

TEST_F(ConvTest, FullDiskFails)
{
    writeFile(at("in.bin"), randomBytes(5000, 9));
    const Result r = conv({"in.bin", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "write: No space left on device\n");
}

// A write that fails part way through a regular file (here at a file size
// limit) ends the run with the records written so far, and no disk space
// reserved beyond them.
TEST_F(ConvTest, WriteFailureMidImage)
{
    const std::string raw = randomBytes(600 * kPage, 6);
    writeFile(at("in.bin"), raw);
    const Result r = exec({"/bin/sh", "-c", std::string("ulimit -f 1000 && ") + CONV_BIN + " in.bin out.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "write: File too large\n");
    const std::string image = readFile(at("out.img"));
    EXPECT_EQ(image.size(), 1000u * 512u);
    EXPECT_TRUE(sameBytes(image, expectedConversion(raw).image.substr(0, image.size())));
    struct stat st = {};
    ASSERT_EQ(stat(at("out.img").c_str(), &st), 0);
    EXPECT_LE(static_cast<std::size_t>(st.st_blocks) * 512, image.size() + std::size_t{64} * 1024);
}

// Losing the progress output must not lose the image.
TEST_F(ConvTest, FailingStdoutStillWritesTheImage)
{
    const std::string raw = randomBytes(100 * kPage + 1, 4);
    writeFile(at("in.bin"), raw);
    const std::string image = expectedConversion(raw).image;
    for (const Stdout mode : {Stdout::BrokenPipe, Stdout::Closed}) {
        fs::remove(at("out.img"));
        const Result r = conv({"in.bin", "out.img"}, mode);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(sameBytes(readFile(at("out.img")), image));
    }
    // With standard input closed too, the files would take descriptors 0 and 1
    // and the progress lines would land in the image.
    const Result r = exec({CONV_BIN, "in.bin", "out2.img"}, {Stdout::Closed, "", true});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(sameBytes(readFile(at("out2.img")), image));
}

}  // namespace
