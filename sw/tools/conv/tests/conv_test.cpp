// Tests of the converter as a user runs it: the built binary in a scratch
// folder, its standard output, standard error, exit status and image bytes.
#include "cli.h"
#include "ecc.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Runs that are refused: the message, the status, how far the path lines got,
// and an existing image left exactly as it was, with no temporary beside it.
TEST_F(ConvTest, RefusedRunsLeaveTheImageAlone)
{
    writeFile(at("in.bin"), "x");
    fs::create_directory(at("adir"));
    const struct {
        std::vector<std::string> args;
        std::string out;
        std::string err;
    } cases[] = {
        {{}, "", kUsage},
        {{"in.bin"}, "", kUsage},
        {{"missing.bin", "out.img"}, "missing.bin\n", "open: No such file or directory\n"},
        // The mode, shown first in the usage line, is only taken in third place.
        {{"-s", "in.bin", "out.img"}, "-s\n", "open: No such file or directory\n"},
        {{"in.bin", "no/such/dir/out.img"}, "in.bin\nno/such/dir/out.img\n", "open: No such file or directory\n"},
        {{"in.bin", "adir"}, "in.bin\nadir\n", "open: Is a directory\n"},
        {{"in.bin", "out.img", "-x"}, "in.bin\nout.img\n", kUsage},
        {{"in.bin", "out.img", "-S"}, "in.bin\nout.img\n", kUsage},
        {{"in.bin", "out.img", "-sd"}, "in.bin\nout.img\n", kUsage},
        {{"in.bin", "out.img", ""}, "in.bin\nout.img\n", kUsage},
        {{"in.bin", "out.img", "--"}, "in.bin\nout.img\n", kUsage},
        {{"adir", "out.img"}, "adir\nout.img\n", "read: Is a directory\n"},
    };
    for (const auto &c : cases) {
        writeFile(at("out.img"), "keep");
        const Result r = conv(c.args);
        const std::string what = c.args.empty() ? "no arguments" : c.args.back();
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(r.out, c.out) << what;
        EXPECT_EQ(r.err, c.err) << what;
        EXPECT_EQ(readFile(at("out.img")), "keep") << what;
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3) << what;
    }
    fs::remove(at("out.img"));
    EXPECT_EQ(conv({"missing.bin", "new.img"}).status, 1);
    EXPECT_FALSE(fs::exists(at("new.img")));
}

// An existing image is replaced by the whole new one: a larger old file leaves
// nothing behind, its permission bits stay, and a symlink stays a symlink to
// the file it named.
TEST_F(ConvTest, ExistingImageIsReplacedWhole)
{
    const std::string raw = randomBytes(3 * kPage + 5, 12);
    writeFile(at("in.bin"), raw);
    const std::string image = expectedConversion(raw).image;
    writeFile(at("out.img"), std::string(image.size() * 2, 'o'));
    fs::permissions(at("out.img"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("out.img", at("link.img"));
    for (const std::string target : {"out.img", "link.img"}) {
        const Result r = conv({"in.bin", target});
        EXPECT_EQ(r.status, 0) << target;
        EXPECT_TRUE(sameBytes(readFile(at("out.img")), image)) << target;
        EXPECT_EQ(fs::status(at("out.img")).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
            << target;
        writeFile(at("out.img"), "old");
    }
    EXPECT_TRUE(fs::is_symlink(at("link.img")));
    // An empty input gives an empty image, even over an empty file.
    writeFile(at("empty.bin"), "");
    writeFile(at("out.img"), "");
    EXPECT_EQ(conv({"empty.bin", "out.img"}).status, 0);
    EXPECT_EQ(fs::file_size(at("out.img")), 0u);
}

// A run stopped by a signal half way leaves the old image and no temporary.
TEST_F(ConvTest, InterruptedRunLeavesTheOldImage)
{
    ASSERT_EQ(mkfifo(at("f").c_str(), 0600), 0);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        writeFile(at("out.img"), "keep");
        const pid_t pid = fork();
        if (pid == 0) {
            signal(sig, SIG_DFL);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            if (chdir(dir.c_str()) == 0) {
                execl(CONV_BIN, CONV_BIN, "f", "out.img", static_cast<char *>(nullptr));
            }
            _exit(127);
        }
        // The FIFO holds conv in its page loop: once a write larger than the
        // pipe returns, conv has opened its output and is reading.
        const int fifo = open(at("f").c_str(), O_WRONLY);
        const std::string chunk(std::size_t{256} * 1024, 'x');
        EXPECT_EQ(write(fifo, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
        kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        close(fifo);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
        EXPECT_EQ(readFile(at("out.img")), "keep") << strsignal(sig);
        for (const auto &entry : fs::directory_iterator(dir)) {
            EXPECT_NE(entry.path().filename().string()[0], '.') << strsignal(sig) << ": " << entry.path();
        }
    }
}

// An image in a folder that takes no new file is refused, the old file
// untouched: written in place, a run that failed part way would leave it
// neither old nor new. An image the user may not write is refused too, though
// its folder would let a new file take its place. Root may write anything, so
// as root the tool runs as nobody.
TEST_F(ConvTest, FolderThatTakesNoNewFileIsRefused)
{
    std::vector<std::string> prefix;
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (uid == 0) {
        passwd entry = {};
        passwd *nobody = nullptr;
        char names[1024];
        if (getpwnam_r("nobody", &entry, names, sizeof names, &nobody) != 0 || nobody == nullptr ||
            access("/usr/bin/setpriv", X_OK) != 0) {
            GTEST_SKIP() << "no user nobody, or no setpriv, to run as other than root";
        }
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
        prefix = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(gid),
                  "--clear-groups"};
        fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    }
    const auto run = [&](const std::string &out) {
        std::vector<std::string> argv = prefix;
        argv.insert(argv.end(), {CONV_BIN, "in.bin", out});
        return exec(argv);
    };
    writeFile(at("in.bin"), "x");
    fs::create_directory(at("ro"));
    writeFile(at("ro/out.img"), "old");
    ASSERT_EQ(chown(at("ro").c_str(), uid, gid), 0);
    ASSERT_EQ(chown(at("ro/out.img").c_str(), uid, gid), 0);
    fs::permissions(at("ro"), fs::perms::owner_read | fs::perms::owner_exec);
    const Result r = run("ro/out.img");
    fs::permissions(at("ro"), fs::perms::owner_all);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "open: Permission denied\n");
    EXPECT_EQ(readFile(at("ro/out.img")), "old");

    writeFile(at("locked.img"), "keep");
    ASSERT_EQ(chown(at("locked.img").c_str(), uid, gid), 0);
    fs::permissions(at("locked.img"), fs::perms::owner_read);
    const Result locked = run("locked.img");
    EXPECT_EQ(locked.status, 1);
    EXPECT_EQ(locked.err, "open: Permission denied\n");
    EXPECT_EQ(readFile(at("locked.img")), "keep");

    // The same run into a folder it may write replaces the file.
    ASSERT_EQ(chown(dir.c_str(), uid, gid), 0);
    writeFile(at("out.img"), "old");
    ASSERT_EQ(chown(at("out.img").c_str(), uid, gid), 0);
    const Result good = run("out.img");
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_TRUE(sameBytes(readFile(at("out.img")), expectedConversion("x").image));
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

TEST_F(ConvTest, FullDiskFails)
{
    writeFile(at("in.bin"), randomBytes(5000, 9));
    const Result r = conv({"in.bin", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "write: No space left on device\n");
}

// A write that fails part way (here at a file size limit) or a read that
// fails part way ends with status 1 and leaves the old image as it was. Sent
// down a pipe, the image holds the whole pages read before a read error, and
// not the partial page it cut off.
TEST_F(ConvTest, FailuresPartWayKeepTheOldImage)
{
    const std::string raw = randomBytes(600 * kPage, 6);
    writeFile(at("in.bin"), raw);
    writeFile(at("out.img"), "keep");
    Result r = exec({"/bin/sh", "-c", std::string("ulimit -f 1000 && ") + CONV_BIN + " in.bin out.img"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "write: File too large\n");
    EXPECT_EQ(readFile(at("out.img")), "keep");

    const std::string preload = "LD_PRELOAD=" READ_FAIL_SHIM " ASAN_OPTIONS=verify_asan_link_order=0 ";
    r = exec({"/bin/sh", "-c", preload + "READ_FAIL_AFTER=" + std::to_string(5 * kPage + 100) + " " + CONV_BIN +
                                   " in.bin out.img > /dev/null"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "read: Input/output error\n");
    EXPECT_EQ(readFile(at("out.img")), "keep");

    // In the first block read, and in the second, which another thread reads.
    for (const std::size_t pages : {std::size_t{5}, std::size_t{300}}) {
        r = exec({"/bin/sh", "-c", "{ " + preload + "READ_FAIL_AFTER=" + std::to_string(pages * kPage + 100) + " " +
                                       CONV_BIN + " in.bin /dev/stdout; echo $? > status; } | cat > piped.img"});
        EXPECT_EQ(readFile(at("status")), "1\n");
        EXPECT_TRUE(sameBytes(readFile(at("piped.img")), expectedConversion(raw.substr(0, pages * kPage)).image))
            << pages;
    }
}

// Standard output as the image is written as it stands: never reopened,
// emptied or moved, so what it already holds stays. Standard output that is
// the input is refused before anything is printed into it.
TEST_F(ConvTest, StandardOutputAsTheImage)
{
    const std::string raw = randomBytes(2 * kPage + 3, 13);
    writeFile(at("in.bin"), raw);
    const std::string image = expectedConversion(raw).image;
    Result r = exec({"/bin/sh", "-c", std::string("{ echo HEADER; ") + CONV_BIN + " in.bin /dev/stdout; } > out"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(sameBytes(readFile(at("out")), "HEADER\n" + image));

    writeFile(at("log.img"), "LOG\n");
    r = exec({"/bin/sh", "-c", std::string(CONV_BIN) + " in.bin /dev/stdout >> log.img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(sameBytes(readFile(at("log.img")), "LOG\n" + image));

    r = exec({"/bin/sh", "-c", std::string(CONV_BIN) + " in.bin out.img >> in.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "open: standard output is the input file\n");
    EXPECT_EQ(readFile(at("in.bin")), raw);
    EXPECT_FALSE(fs::exists(at("out.img")));
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
