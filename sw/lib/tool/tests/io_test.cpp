// Tests of the shared I/O helpers that the command-line tests cannot reach:
// page numbers far past what a test image can hold, and block pipelines run
// side by side or ended early.
#include "io.h"
#include "reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(FormatDecimal, WholeRangeOf64Bits)
{
    const struct {
        std::uint64_t value;
        const char *text;
    } cases[] = {
        {0, "0"},
        {7, "7"},
        {1048576, "1048576"},
        {2147483647, "2147483647"},  // the last page number a 32-bit int holds
        {2147483648, "2147483648"},  // and the first it would wrap on (4 TiB)
        {4294967296, "4294967296"},
        {UINT64_MAX, "18446744073709551615"},
    };
    for (const auto &c : cases) {
        char buf[24];
        const char *end = io::formatDecimal(buf, c.value);
        EXPECT_EQ(std::string(static_cast<const char *>(buf), end), c.text);
    }
}

// A file of n bytes, each its offset's low byte plus `salt`, removed when done.
struct TempFile {
    std::string path;
    TempFile(std::size_t n, unsigned salt)
    {
        char name[] = "/tmp/pipelineXXXXXX";
        const int fd = mkstemp(name);
        path = name;
        std::vector<std::uint8_t> bytes(n);
        for (std::size_t i = 0; i < n; i++) {
            bytes[i] = static_cast<std::uint8_t>(i + salt);
        }
        EXPECT_EQ(write(fd, bytes.data(), n), static_cast<ssize_t>(n));
        close(fd);
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() { std::remove(path.c_str()); }
};

// Copies a file through a pipeline whose readers add `salt` back out of
// every byte (prepare, with the salt as its context); returns what was
// written.
std::vector<std::uint8_t> copyThrough(const std::string &in, unsigned salt)
{
    constexpr std::size_t kPiece = 4096 + 17;  // blocks that straddle pages
    constexpr std::size_t kBuffers = 4;
    char outName[] = "/tmp/pipelineOutXXXXXX";
    const int out = mkstemp(outName);
    const int fd = open(in.c_str(), O_RDONLY);
    {
        io::Pipeline pipe;
        EXPECT_TRUE(pipe.allocate({kPiece, kPiece, 1}, kBuffers, kBuffers * sizeof(iovec)));
        pipe.startReader(fd, [](void *context, std::size_t, std::uint8_t *data, std::size_t bytes) {
            const unsigned s = *static_cast<const unsigned *>(context);
            for (std::size_t i = 0; i < bytes; i++) {
                data[i] = static_cast<std::uint8_t>(data[i] - s);
            }
        }, &salt);
        pipe.startWriter(1);
        for (std::size_t n = 0;; n++) {
            const io::Block b = pipe.nextBlock();
            iovec *iov = reinterpret_cast<iovec *>(pipe.extra()) + n % kBuffers;
            *iov = {b.data, b.bytes};
            const io::WriteJob job = {out, iov, 1};
            pipe.submitBlock(&job, 1);
            if (b.ended || b.err != 0) {
                break;
            }
        }
        int job = 0;
        EXPECT_EQ(pipe.finishWriter(&job), 0);
        pipe.finishReader();
    }
    close(fd);
    std::vector<std::uint8_t> got(static_cast<std::size_t>(lseek(out, 0, SEEK_END)));
    EXPECT_EQ(pread(out, got.data(), got.size(), 0), static_cast<ssize_t>(got.size()));
    close(out);
    std::remove(outName);
    return got;
}

TEST(Threads, PipelinesRunSideBySide)
{
    constexpr std::size_t kBytes = 300000;
    constexpr unsigned kRuns = 4;
    std::vector<std::vector<std::uint8_t>> got(kRuns);
    {
        std::vector<std::unique_ptr<TempFile>> files;
        for (unsigned k = 0; k < kRuns; k++) {
            files.push_back(std::make_unique<TempFile>(kBytes + k, k + 1));
        }
        std::vector<std::thread> threads;
        for (unsigned k = 0; k < kRuns; k++) {
            threads.emplace_back([&, k] { got[k] = copyThrough(files[k]->path, k + 1); });
        }
        for (std::thread &t : threads) {
            t.join();
        }
    }
    for (unsigned k = 0; k < kRuns; k++) {
        ASSERT_EQ(got[k].size(), kBytes + k);
        for (std::size_t i = 0; i < got[k].size(); i++) {
            ASSERT_EQ(got[k][i], static_cast<std::uint8_t>(i)) << "run " << k << " byte " << i;
        }
    }
}

TEST(Threads, PipelineEndsWhileItsReaderWaitsOnAPipe)
{
    // A caller that stops early (a write failed) ends its pipeline while the
    // reader is blocked on a pipe that nobody writes: the end must not wait
    // for it, and the reader, once the pipe closes, ends without touching
    // what the caller has freed.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        io::Pipeline p;
        ASSERT_TRUE(p.allocate({4096, 4096, 1}, 2, 0));
        p.startReader(fds[0]);
        ASSERT_EQ(write(fds[1], "x", 1), 1);  // the reader takes it and waits for more
    }
    // Reaching here is the test: a destructor that waited would hang (and
    // the test time out). The reader sees the end and lets go of the memory;
    // its descriptor stays open, as it may still be reading it.
    close(fds[1]);
}

}  // namespace
