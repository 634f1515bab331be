// The standard streams and output names of all three tools, as a shell hands
// them over: closed streams, full and closed outputs for help and listings,
// names that are folders or the same FIFO twice. Each case: one line on
// standard error, a failure status, and no file made or replaced.
#include "cli.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using cli::readFile;
using cli::Result;
using cli::writeFile;

class StreamsTest : public cli::ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        writeFile(at("in.bin"), cli::randomBytes(3 * cli::kPage + 5, 3));
        ASSERT_EQ(exec({CONV_BIN, "in.bin", "img"}).status, 0);
    }

    Result sh(const std::string &script) const { return exec({"/bin/sh", "-c", script}); }
};

TEST_F(StreamsTest, ClosedAndFailingStreamsAreTrouble)
{
    const std::string nandconv = NANDCONV_BIN;
    const std::string check = CONV_CHECK_BIN;
    const std::string conv = CONV_BIN;
    const struct {
        std::string script;
        int status;
        std::string err;
    } cases[] = {
        // A closed standard input is no empty input.
        {nandconv + " build - out <&-", 2, "nandconv: standard input: Bad file descriptor\n"},
        {nandconv + " check - <&-", 2, "nandconv: standard input: Bad file descriptor\n"},
        {check + " - <&-", 2, "conv-check: standard input: Bad file descriptor\n"},
        {conv + " /dev/stdin out <&- >/dev/null", 1, "open: Bad file descriptor\n"},
        {nandconv + " inject --seed 1 --bits 1 - out <&-", 2, "nandconv: standard input: Bad file descriptor\n"},
        // An image for a closed standard output is not written anywhere.
        {nandconv + " build in.bin - >&-", 2, "nandconv: standard output: Bad file descriptor\n"},
        {conv + " in.bin /dev/stdout >&-", 1, "open: Bad file descriptor\n"},
        {nandconv + " inject --seed 1 --bits 1 img - >&-", 2, "nandconv: standard output: Bad file descriptor\n"},
        // Help, version and listings are output like any other.
        {nandconv + " --help >/dev/full", 2, "nandconv: standard output: No space left on device\n"},
        {nandconv + " build --help >&-", 2, "nandconv: standard output: Bad file descriptor\n"},
        {nandconv + " --version >&-", 2, "nandconv: standard output: Bad file descriptor\n"},
        {nandconv + " layouts >&-", 2, "nandconv: standard output: Bad file descriptor\n"},
        {nandconv + " layouts --json >/dev/full", 2, "nandconv: standard output: No space left on device\n"},
        {check + " --help >/dev/full", 2, "conv-check: standard output: No space left on device\n"},
        {check + " --version >&-", 2, "conv-check: standard output: Bad file descriptor\n"},
        // A name ending in '/' is a folder, never a file to create.
        {nandconv + " build in.bin out/", 2, "nandconv: out/: Is a directory\n"},
        {check + " -o out/ img", 2, "conv-check: out/: Is a directory\n"},
        {conv + " in.bin out/ >/dev/null", 1, "open: Is a directory\n"},
        // Two outputs through one FIFO would garble each other.
        {"mkfifo f && (cat f > /dev/null &) && " + check + " -q -o f -f ./f img", 2,
         "conv-check: ./f: names the image or the other output; not written\n"},
    };
    for (const auto &c : cases) {
        const Result r = sh(c.script);
        EXPECT_EQ(r.status, c.status) << c.script;
        EXPECT_EQ(r.err, c.err) << c.script;
        for (const char *name : {"out", "./out"}) {
            EXPECT_FALSE(cli::fs::exists(at(name))) << c.script;
        }
        cli::fs::remove(at("f"));
    }
}

// On a terminal, build shows a progress line without a newline; an error
// after it starts on a line of its own. The input stalls past the half second
// before the first progress line, then a file size limit stops the image.
TEST_F(StreamsTest, ErrorAfterProgressStartsOnItsOwnLine)
{
    if (std::system("command -v script > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no script(1) to give the tool a terminal";
    }
    const Result r = sh("script -qec \"sh -c '(head -c 1048576 /dev/zero; sleep 1.2; head -c 3145728 /dev/zero) | "
                        "(ulimit -f 4096; " NANDCONV_BIN " build - out)'\" /dev/null");
    EXPECT_NE(r.out.find(" MiB/s"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\r\nnandconv: out: File too large\r\n"), std::string::npos) << r.out;
    EXPECT_FALSE(cli::fs::exists(at("out")));
}

// The same streams in working order: the image, the data and the listing
// arrive, and the report moves out of their way.
TEST_F(StreamsTest, StandardStreamsInWorkingOrder)
{
    const std::string nandconv = NANDCONV_BIN;
    Result r = sh(nandconv + " build - - < in.bin > built.img");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(at("built.img")), readFile(at("img")));
    r = sh(nandconv + " check -q -o - img > raw.out");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "4 pages, 0 erased; steps: 16 clean, 0 corrected, 0 uncorrectable\n");
    std::string padded = readFile(at("in.bin"));
    padded.resize(4 * cli::kPage, '\0');
    EXPECT_EQ(readFile(at("raw.out")), padded);
}

}  // namespace
