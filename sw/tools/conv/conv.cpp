// conv: cuts a raw image into 2048-byte NAND pages and writes each page followed
// by a 64-byte spare area that holds the ECC words of the page's four 512-byte
// sectors; with -s or -d it then flips one or two bits of every page's data so
// that the image carries known bit errors beside the codes of the clean data.
//
// The image layout is in image.h, the bit layout of an ECC word in ecc.h.
//
// Standard output carries the two paths and one progress line per sector;
// standard error carries one line for a failure, which ends with status 1.
#include "ecc.h"
#include "image.h"
#include "io.h"
#include "reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using image::kFirstEccWord;
using image::kPageSize;
using image::kRecordSize;
using image::kSectorsPerPage;
using image::kSpareWords;

// Pages converted per block: one read and one write each. 512 KiB of page data
// makes the calls cost little beside the copying, and its 256 pages stay
// within IOV_MAX (1024) iovecs for the read.
constexpr std::size_t kBlockPages = 256;

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;

// Blocks are read ahead into a ring of record buffers by threads of their
// own, each page straight into its record, and the same threads compute the
// ECC words into the spare areas beside; the page loop then prints and flips
// a block while another thread writes the block before, whole, in one piece.
// Words 0..11 of every spare area are zero from the start (the pipeline's
// buffers start zeroed) and stay so.
constexpr std::size_t kBlocks = 4;

// The longest progress lines of one page: "main: page ", 20 digits,
// " spare[15] = 0x", 8 hex digits and a newline, four times.
constexpr std::size_t kMaxPageLines = std::size_t{4} * (11 + 20 + 15 + 8 + 1);

// Prints "main: page %d spare[%d] = 0x%08x\n" for spare words 12..15 of a page.
// The name is that of the routine that prints them, as the progress format has
// always had it.
void printPageLines(std::uint64_t page, const std::uint32_t *spare)
{
    if (io::outDropped()) {
        return;  // standard output is gone or holds the image: the progress is dropped
    }
    char number[20];
    const std::size_t ndigits = static_cast<std::size_t>(io::formatDecimal(number, page) - number);

    static constexpr char kHex[] = "0123456789abcdef";
    char *p = io::outSpace(kMaxPageLines);
    for (std::size_t k = kFirstEccWord; k < kSpareWords; k++) {
        std::memcpy(p, "main: page ", 11);
        p += 11;
        std::memcpy(p, number, ndigits);
        p += ndigits;
        std::memcpy(p, " spare[", 7);
        p += 7;
        *p++ = static_cast<char>('0' + k / 10);
        *p++ = static_cast<char>('0' + k % 10);
        std::memcpy(p, "] = 0x", 6);
        p += 6;
        for (int shift = 28; shift >= 0; shift -= 4) {
            *p++ = kHex[(spare[k] >> shift) & 0xFu];
        }
        *p++ = '\n';
    }
    io::outCommit(p);
}

void printUsage(const char *self)
{
    io::flushOut();
    std::fprintf(stderr, "usage: %s [-s|-d] file1 file2\n", self);
}

// Reports a failure as "what: why" on standard error, after the progress that
// shows how far the run got, and gives the failure status.
int failWith(const char *what, const char *why)
{
    io::flushOut();
    std::fprintf(stderr, "%s: %s\n", what, why);
    return kExitFail;
}

int fail(const char *what, int err)
{
    return failWith(what, std::strerror(err));
}

// Opens the image: standard output as it stands when the path names it (never
// reopened, emptied or moved, so that what it already holds stays), any other
// file through io::openOutput, refusing the input itself (through another path
// or a link), which would be destroyed before it is read. Returns false after
// reporting the failure.
bool openImage(const char *outfilename, int infile, io::Output *out)
{
    // A closed standard output has /dev/null in its place, where the image
    // would vanish without a word.
    if (io::wasClosed(STDOUT_FILENO) && io::namesStandardStream(outfilename, STDOUT_FILENO)) {
        fail("open", EBADF);
        return false;
    }
    if (io::namesStandardOutput(outfilename)) {
        out->fd = STDOUT_FILENO;
        return true;
    }
    struct stat in = {};
    if (fstat(infile, &in) != 0) {
        fail("open", errno);
        return false;
    }
    const struct stat *avoid[] = {&in};
    const nand::Status opened = io::openOutput(outfilename, out, avoid, 1, nullptr, 0);
    if (opened.kind() == nand::Status::Kind::Invalid) {
        failWith("open", "input and output are the same file");
        return false;
    }
    if (!opened.good()) {
        fail("open", opened.errnum());
        return false;
    }
    return true;
}

// Flips `errors` bits of the page data. Each flip draws the byte, then the bit,
// from random(), which is never seeded: the same input and mode give the same
// image on every run. Flips may cancel, and may land in the zero fill.
void flipBits(std::uint8_t *data, int errors)
{
    for (int e = 0; e < errors; e++) {
        const auto j = static_cast<std::size_t>(random()) & (kPageSize - 1);
        const auto b = static_cast<unsigned>(random()) & 7u;
        data[j] ^= static_cast<std::uint8_t>(1u << b);
    }
}

// The ECC words of block n as read, on the thread that read it: the pages of
// its `bytes` (a short last page is zero-filled first), each word into the
// spare area of its record.
void computeBlock(void * /*context*/, std::size_t /*n*/, std::uint8_t *block, std::size_t bytes)
{
    const std::size_t pages = (bytes + kPageSize - 1) / kPageSize;
    if (const std::size_t rest = bytes % kPageSize; rest != 0) {
        std::memset(block + (pages - 1) * kRecordSize + rest, 0, kPageSize - rest);
    }
    for (std::size_t p = 0; p < pages; p++) {
        std::uint8_t *record = block + p * kRecordSize;
        for (std::size_t s = 0; s < kSectorsPerPage; s++) {
            const std::uint32_t word = computeECC(record + s * ecc::kSectorSize);
            image::storeLE32(record + kPageSize + (kFirstEccWord + s) * sizeof(std::uint32_t), word);
        }
    }
}

// Hands the records of the first `bytes` of block number n, their ECC words
// computed, to the writer. For each page: the progress lines, then the bit
// errors.
void convertBlock(io::Pipeline *pipe, std::size_t n, std::uint8_t *block, std::size_t bytes, std::uint64_t *page,
                  int errors, int outfile)
{
    const std::size_t pages = (bytes + kPageSize - 1) / kPageSize;
    for (std::size_t p = 0; p < pages; p++, (*page)++) {
        std::uint8_t *record = block + p * kRecordSize;
        std::uint32_t spare[kSpareWords] = {};
        for (std::size_t k = kFirstEccWord; k < kSpareWords; k++) {
            spare[k] = image::loadLE32(record + kPageSize + k * sizeof(std::uint32_t));
        }
        printPageLines(*page, spare);
        flipBits(record, errors);
    }
    // The write of each block of the ring, beside the buffers.
    iovec *whole = reinterpret_cast<iovec *>(pipe->extra()) + n % kBlocks;
    *whole = {block, pages * kRecordSize};
    const io::WriteJob job = {outfile, whole, 1};
    pipe->submitBlock(&job, 1);
}

// Reserves the blocks of the whole image when its size is known from the
// input's: about a fifth of the write time on ext4. Returns whether it took.
bool reserveImage(int infile, int outfile)
{
    struct stat in = {};
    if (fstat(infile, &in) != 0 || !S_ISREG(in.st_mode) || in.st_size <= 0) {
        return false;
    }
    const auto pages = (static_cast<std::uint64_t>(in.st_size) + kPageSize - 1) / kPageSize;
    return io::reserve(outfile, pages * kRecordSize);
}

// The page loop: converts the input block by block until it ends. A read error
// ends the run after the whole pages read before it have been written; the
// partial page it cut off is not.
int convertPages(int infile, int outfile, int errors)
{
    std::uint64_t page = 0;  // 64 bits: inputs beyond 4 TiB do not wrap
    io::Pipeline pipe;
    if (!pipe.allocate({kPageSize, kRecordSize, kBlockPages}, kBlocks, kBlocks * sizeof(iovec))) {
        return fail("memory", ENOMEM);
    }
    pipe.startReader(infile, computeBlock, nullptr, 1);
    int job = 0;
    for (std::size_t n = 0;; n++) {
        const io::Block b = pipe.nextBlock();
        const std::size_t bytes = b.err != 0 ? b.bytes - b.bytes % kPageSize : b.bytes;
        convertBlock(&pipe, n, b.data, bytes, &page, errors, outfile);
        if (b.err != 0 || b.ended) {
            // The records before a read error are written first.
            if (const int err = pipe.finishWriter(&job)) {
                return fail("write", err);
            }
            if (b.err != 0) {
                return fail("read", b.err);
            }
            pipe.finishReader();
            return kExitOk;
        }
        if (const int err = pipe.writeError(&job)) {
            return fail("write", err);
        }
    }
}

// Converts the whole input; the image replaces its target only when complete.
int convert(int infile, io::Output *out, int errors)
{
    if (out->temp[0] != '\0') {
        out->reserved = reserveImage(infile, out->fd);
    }
    int status = convertPages(infile, out->fd, errors);
    io::flushOut();
    if (status != kExitOk) {
        io::abandonOutput(out);
    } else if (const int err = io::commitOutput(out); err != 0) {
        status = fail("write", err);
    }
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    io::guardStandardDescriptors();
    const char *self = (argc > 0 && argv[0] != nullptr) ? argv[0] : "conv";
    if (argc < 3) {
        printUsage(self);
        return kExitFail;
    }
    // A closed standard output or output pipe, or a file size limit, shows up
    // as a failed write, which the tool reports, rather than as a signal that
    // kills it halfway.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    const char *infilename = argv[1];
    const char *outfilename = argv[2];
    int errors = 0;

    // Standard output appended to the input would feed the progress lines back
    // into the conversion: refused before anything is printed.
    if (struct stat in = {}; stat(infilename, &in) == 0 && S_ISREG(in.st_mode) && io::isStandardOutputFile(in)) {
        return failWith("open", "standard output is the input file");
    }

    // Each path is echoed before its file is opened, so that standard output
    // shows how far a failing run got.
    io::printText(infilename);
    io::printText("\n");
    // A closed standard input has /dev/null in its place, which would read as
    // an empty input and make an empty image.
    if (io::wasClosed(STDIN_FILENO) && io::namesStandardStream(infilename, STDIN_FILENO)) {
        return fail("open", EBADF);
    }
    const int infile = open(infilename, O_RDONLY);
    if (infile < 0) {
        return fail("open", errno);
    }
    io::printText(outfilename);
    io::printText("\n");

    // The mode is checked before the output is opened, so that a typo never
    // touches an existing file. It is taken only in third place.
    if (argc > 3) {
        if (std::strcmp(argv[3], "-s") == 0) {
            errors = 1;
        } else if (std::strcmp(argv[3], "-d") == 0) {
            errors = 2;
        } else {
            printUsage(self);
            close(infile);
            return kExitFail;
        }
    }

    io::Output out;
    if (!openImage(outfilename, infile, &out)) {
        close(infile);
        return kExitFail;
    }
    if (out.fd == STDOUT_FILENO) {
        // The image goes to standard output: the path and progress lines
        // would be mixed into it, so they are left out.
        io::discardOut();
    }
    const int status = convert(infile, &out, errors);
    close(infile);
    return status;
}
