// Faults as users meet them, for both tools: FIFOs on either side, readers
// that go away, a standard output that fails. In each case a clear message,
// the right status, the input untouched, and never status 0 for lost data.
#include "cli.h"

#include <string>
#include <vector>

namespace {

using cli::randomBytes;
using cli::readFile;
using cli::Result;
using cli::sameBytes;
using cli::writeFile;

using cli::kPage;

class FaultTest : public cli::ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        // Larger than a pipe's buffer, so that a reader that goes away is noticed.
        raw = randomBytes(300 * kPage + 9, 8);
        writeFile(at("in.bin"), raw);
        ASSERT_EQ(exec({CONV_BIN, "in.bin", "plain.img"}).status, 0);
        plain = readFile(at("plain.img"));
        ASSERT_EQ(exec({CONV_BIN, "in.bin", "single.img", "-s"}).status, 0);
    }

    Result sh(const std::string &script) const { return exec({"/bin/sh", "-c", script}); }

    const std::string conv = CONV_BIN;
    const std::string check = CONV_CHECK_BIN;
    std::string raw;
    std::string plain;
};

// A caller may hand down pipes in non-blocking mode (the flag belongs to the
// pipe, not to the process). The tools wait on such a pipe as on any other,
// here with the other end late, rather than failing on EAGAIN.
TEST_F(FaultTest, NonBlockingPipes)
{
    writeFile(at("nonblock.py"), "import fcntl, os, sys\n"
                                 "for fd in (0, 1):\n"
                                 "    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)\n"
                                 "os.execv(sys.argv[1], sys.argv[1:])\n");
    const Result expected = sh("cat single.img | " + check + " -");
    ASSERT_EQ(expected.status, 0);
    Result r = sh("(sleep 0.2; cat single.img) | python3 nonblock.py " + check + " - | (sleep 0.2; cat)");
    EXPECT_EQ(r.out, expected.out);
    EXPECT_EQ(r.err, "");

    r = sh("{ python3 nonblock.py " + conv + " in.bin /dev/stdout < /dev/null; echo $? > status; } |"
           " (sleep 0.2; cat > piped.img)");
    EXPECT_EQ(readFile(at("status")), "0\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sameBytes(readFile(at("piped.img")), plain));
}

TEST_F(FaultTest, FifoAsInput)
{
    Result r = sh("mkfifo f && (cat in.bin > f &) && " + conv + " f out.img > /dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sameBytes(readFile(at("out.img")), plain));

    r = sh("mkfifo g && (cat single.img > g &) && " + check + " -q -f fixed.img g");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "301 pages, 0 erased; sectors: 903 clean, 301 corrected, 0 uncorrectable\n");
    EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), plain));
}

TEST_F(FaultTest, FifoAsOutput)
{
    // The reader is waited for, so that the whole image has landed.
    Result r = sh("mkfifo f && { cat f > out.img & } && " + conv + " in.bin f > /dev/null; s=$?; wait; exit $s");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    r = sh("mkfifo g && { cat g > raw.out & } && " + check + " -q -o g single.img > /dev/null; s=$?; wait; exit $s");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string zeroFilled = raw;
    zeroFilled.resize(301 * kPage, '\0');
    EXPECT_TRUE(sameBytes(readFile(at("raw.out")), zeroFilled));
}

// A reader that stops early must not make a cut image look complete.
TEST_F(FaultTest, OutputReaderGoesAway)
{
    const struct {
        std::string tool;
        std::string run;
        int status;
        std::string err;
    } cases[] = {
        {"conv", conv + " in.bin f > /dev/null", 1, "write: Broken pipe\n"},
        {"conv-check -o", check + " -q -o f single.img > /dev/null", 2, "conv-check: f: Broken pipe\n"},
        {"conv-check -f", check + " -q -f f single.img > /dev/null", 2, "conv-check: f: Broken pipe\n"},
    };
    for (const auto &c : cases) {
        const Result r = sh("rm -f f && mkfifo f && (head -c 100 f > /dev/null &) && " + c.run);
        EXPECT_EQ(r.status, c.status) << c.tool;
        EXPECT_EQ(r.err, c.err) << c.tool;
    }
    EXPECT_EQ(readFile(at("in.bin")), raw);
}

// conv-check's report is its product: losing it is trouble, and the outputs
// then stay as they were.
TEST_F(FaultTest, CheckerStdoutFails)
{
    // The report comes before the outputs replace their targets: a report
    // that cannot be written leaves them as they were.
    writeFile(at("fixed.img"), "keep");
    Result r = exec({CONV_CHECK_BIN, "-f", "fixed.img", "single.img"}, {cli::Stdout::BrokenPipe, "", false});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "conv-check: standard output: Broken pipe\n");
    EXPECT_EQ(readFile(at("fixed.img")), "keep");
    r = sh(check + " -o raw.out single.img > /dev/full");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "conv-check: standard output: No space left on device\n");
    EXPECT_FALSE(cli::fs::exists(at("raw.out")));
}

TEST_F(FaultTest, CheckerHitsAFileSizeLimit)
{
    const Result r = sh("ulimit -f 100 && " + check + " -q -f fixed.img single.img");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "conv-check: fixed.img: File too large\n");
}

// With standard output closed the report would be lost: trouble, before any
// output is written, even with standard input closed too.
TEST_F(FaultTest, CheckerWithStandardStreamsClosed)
{
    const Result r = exec({CONV_CHECK_BIN, "-f", "fixed.img", "single.img"}, {cli::Stdout::Closed, "", true});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "conv-check: standard output: Bad file descriptor\n");
    EXPECT_FALSE(cli::fs::exists(at("fixed.img")));
}

// An image sent to standard output must not get report lines mixed into it:
// conv leaves them out, conv-check sends its report to standard error.
TEST_F(FaultTest, DataToStandardOutput)
{
    Result r = exec({CONV_BIN, "in.bin", "/dev/stdout"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(sameBytes(r.out, plain));

    r = sh(conv + " in.bin /dev/stdout | cat > piped.img");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(sameBytes(readFile(at("piped.img")), plain));

    // conv-check: "-" (or a name of standard output) takes the data, and the
    // report goes to standard error; one output at most.
    std::string rawData = raw;
    rawData.resize(301 * kPage, '\0');
    const std::string report = "301 pages, 0 erased; sectors: 903 clean, 301 corrected, 0 uncorrectable\n";
    const struct {
        std::string args;
        std::string data;
    } cases[] = {
        {"-q -o - single.img", rawData},
        {"-q -f - single.img", plain},
        {"-q -o /dev/stdout -f fixed.img single.img", rawData},
    };
    for (const auto &c : cases) {
        writeFile(at("data.out"), "keep");
        r = sh(check + " " + c.args + " >> data.out");
        EXPECT_EQ(r.status, 0) << c.args;
        EXPECT_EQ(r.err, report) << c.args;
        EXPECT_TRUE(sameBytes(readFile(at("data.out")), "keep" + c.data)) << c.args;
    }
    EXPECT_TRUE(sameBytes(readFile(at("fixed.img")), plain));
    r = exec({CONV_CHECK_BIN, "-o", "-", "-f", "/dev/stdout", "single.img"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "conv-check: /dev/stdout: standard output takes one output only; not written\n");
    EXPECT_EQ(r.out, "");
    r = exec({CONV_CHECK_BIN, "-o", "-", "single.img"}, {cli::Stdout::Closed, "", false});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "conv-check: standard output: Bad file descriptor\n");
    // Standard output appended to the image: refused before it is touched.
    writeFile(at("copy.img"), plain);
    r = sh(check + " -f - copy.img >> copy.img");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "conv-check: -: names the image; not written\n");
    EXPECT_TRUE(sameBytes(readFile(at("copy.img")), plain));
}

}  // namespace
