// conv: cuts a raw image into 2048-byte NAND pages and writes each page followed
// by a 64-byte spare area that holds the ECC words of the page's four 512-byte
// sectors; with -s or -d it then flips one or two bits of every page's data so
// that the image carries known bit errors beside the codes of the clean data.
//
// Output image: a plain sequence of 2112-byte page records, record p at file
// offset 2112 * p, with no header, trailer or padding between records.
//
//   | offset | size | content                                              |
//   |--------|------|------------------------------------------------------|
//   | 0      | 2048 | page data: input bytes 2048p .. 2048p+2047, the last  |
//   |        |      | page zero-filled; bits flipped in -s and -d modes     |
//   | 2048   | 48   | spare words 0..11, always zero                        |
//   | 2096   | 4    | spare word 12: ECC word of sector 0 (bytes 0..511)    |
//   | 2100   | 4    | spare word 13: ECC word of sector 1 (bytes 512..1023) |
//   | 2104   | 4    | spare word 14: ECC word of sector 2                   |
//   | 2108   | 4    | spare word 15: ECC word of sector 3                   |
//
// Every spare word is stored least significant byte first, whatever the host.
// The bit layout of an ECC word is in ecc.cpp.
//
// Standard output carries the two paths and one progress line per sector;
// standard error carries one line for a failure, which ends with status 1.
#include "ecc.h"

#include <fcntl.h>
#include <poll.h>
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

constexpr std::size_t kPageSize = 2048;
constexpr std::size_t kSectorsPerPage = kPageSize / ecc::kSectorSize;
constexpr std::size_t kSpareWords = 16;
constexpr std::size_t kSpareSize = kSpareWords * sizeof(std::uint32_t);
constexpr std::size_t kRecordSize = kPageSize + kSpareSize;
constexpr std::size_t kFirstEccWord = kSpareWords - kSectorsPerPage;  // word 12

// Pages converted per block: one read and one write each. 512 KiB of page data
// makes the calls cost little beside the copying, and its 512 iovecs stay
// within IOV_MAX (1024).
constexpr std::size_t kBlockPages = 256;
constexpr std::size_t kBlockBytes = kBlockPages * kPageSize;

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;

// Standard output is buffered here rather than through stdio so that the
// progress lines, several per page, cost a few stores each.
char outBuffer[64 * 1024];
std::size_t outLength = 0;
bool outBroken = false;  // once standard output fails, progress is dropped

// A block is read into the page slots in one piece and its records are written
// from iovecs, each page slot followed by its spare area, so that neither the
// read nor the write needs a copy of its own.
std::uint8_t pageSlots[kBlockPages][kPageSize];
std::uint8_t spareSlots[kBlockPages][kSpareSize];
iovec records[2 * kBlockPages];

// Writes the buffered standard output. Its failures (a closed pipe, say) are
// ignored: progress is a report, and losing it must not stop the conversion.
void flushOut()
{
    const char *p = outBuffer;
    std::size_t left = outBroken ? 0 : outLength;
    while (left > 0) {
        const ssize_t n = write(STDOUT_FILENO, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A non-blocking standard output inherited from the caller.
            pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
            (void)poll(&pfd, 1, -1);
        } else {
            outBroken = true;
            break;
        }
    }
    outLength = 0;
}

void printText(const char *text)
{
    const std::size_t len = std::strlen(text);
    for (std::size_t done = 0; done < len;) {
        if (outLength == sizeof(outBuffer)) {
            flushOut();
        }
        std::size_t n = sizeof(outBuffer) - outLength;
        if (n > len - done) {
            n = len - done;
        }
        std::memcpy(outBuffer + outLength, text + done, n);
        outLength += n;
        done += n;
    }
}

// The longest progress lines of one page: "main: page ", 20 digits,
// " spare[15] = 0x", 8 hex digits and a newline, four times.
constexpr std::size_t kMaxPageLines = 4 * (11 + 20 + 15 + 8 + 1);

// Prints "main: page %d spare[%d] = 0x%08x\n" for spare words 12..15 of a page.
// The name is that of the routine that prints them, as the progress format has
// always had it.
void printPageLines(std::uint64_t page, const std::uint32_t *spare)
{
    if (outBroken) {
        return;
    }
    if (sizeof(outBuffer) - outLength < kMaxPageLines) {
        flushOut();
    }
    char digits[20];
    std::size_t ndigits = 0;
    do {
        digits[ndigits++] = static_cast<char>('0' + page % 10);
        page /= 10;
    } while (page != 0);

    static constexpr char kHex[] = "0123456789abcdef";
    char *p = outBuffer + outLength;
    for (std::size_t k = kFirstEccWord; k < kSpareWords; k++) {
        std::memcpy(p, "main: page ", 11);
        p += 11;
        for (std::size_t i = ndigits; i-- > 0;) {
            *p++ = digits[i];
        }
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
    outLength = static_cast<std::size_t>(p - outBuffer);
}

void printUsage(const char *self)
{
    flushOut();
    std::fprintf(stderr, "usage: %s [-s|-d] file1 file2\n", self);
}

// Reports a failure as "what: why" on standard error, after the progress that
// shows how far the run got, and gives the failure status.
int failWith(const char *what, const char *why)
{
    flushOut();
    std::fprintf(stderr, "%s: %s\n", what, why);
    return kExitFail;
}

int fail(const char *what, int err)
{
    return failWith(what, std::strerror(err));
}

// Gives a closed standard input, output or error /dev/null, so that the files
// this tool opens never take descriptors 0 to 2 and receive its reports.
void guardStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                close(null);  // fd is taken by something else; leave it
            }
        }
    }
}

// Opens the output for writing. It is truncated only after it is known not to
// be the input itself (through another path or a link), which opening it with
// truncation would destroy before it is read. Returns the descriptor, or -1
// after reporting the failure.
int openOutput(const char *outfilename, int infile)
{
    const int outfile = open(outfilename, O_WRONLY | O_CREAT, 0666);
    if (outfile < 0) {
        fail("open", errno);
        return -1;
    }
    struct stat in = {};
    struct stat out = {};
    if (fstat(infile, &in) != 0 || fstat(outfile, &out) != 0) {
        fail("open", errno);
        return -1;
    }
    if (S_ISREG(out.st_mode)) {
        if (S_ISREG(in.st_mode) && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
            failWith("open", "input and output are the same file");
            return -1;
        }
        // An empty file is left as it is: truncating it anyway would make ext4
        // flush the whole image when it is closed, as it does for every file
        // truncated to zero, which costs about as much as the conversion.
        if (out.st_size != 0 && ftruncate(outfile, 0) != 0) {
            fail("open", errno);
            return -1;
        }
    }
    return outfile;
}

// Reads from the input until `want` bytes have arrived at buf, the input ends
// (*ended) or a read fails (*err). Returns the bytes read.
std::size_t readFully(int infile, std::uint8_t *buf, std::size_t want, bool *ended, int *err)
{
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = read(infile, buf + got, want - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0) {
            *ended = true;
            break;
        } else if (errno != EINTR) {
            *err = errno;
            break;
        }
    }
    return got;
}

// Writes the records of a block, going on after partial writes.
int writeRecords(int fd, iovec *iov, int count)
{
    while (count > 0) {
        const ssize_t n = writev(fd, iov, count);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;
        }
        auto done = static_cast<std::size_t>(n);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            iov++;
            count--;
        }
        if (count > 0) {
            iov->iov_base = static_cast<std::uint8_t *>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return 0;
}

void storeLE32(std::uint8_t *dst, std::uint32_t word)
{
    dst[0] = static_cast<std::uint8_t>(word);
    dst[1] = static_cast<std::uint8_t>(word >> 8);
    dst[2] = static_cast<std::uint8_t>(word >> 16);
    dst[3] = static_cast<std::uint8_t>(word >> 24);
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

// Converts the first `bytes` of the page slots (at most a block; a short last
// page is zero-filled) and writes their records. For each page: the ECC words
// of the data as read into the spare area and the progress lines, then the
// bit errors. Returns 0 or the errno of the failed write.
int convertBlock(std::size_t bytes, std::uint64_t *page, int errors, int outfile)
{
    const std::size_t pages = (bytes + kPageSize - 1) / kPageSize;
    if (const std::size_t rest = bytes % kPageSize; rest != 0) {
        std::memset(pageSlots[pages - 1] + rest, 0, kPageSize - rest);
    }
    for (std::size_t p = 0; p < pages; p++, (*page)++) {
        std::uint8_t *data = pageSlots[p];
        std::uint32_t spare[kSpareWords] = {};
        for (std::size_t s = 0; s < kSectorsPerPage; s++) {
            spare[kFirstEccWord + s] = computeECC(data + s * ecc::kSectorSize);
        }
        printPageLines(*page, spare);
        flipBits(data, errors);
        for (std::size_t k = 0; k < kSpareWords; k++) {
            storeLE32(spareSlots[p] + k * sizeof(std::uint32_t), spare[k]);
        }
        records[2 * p] = {data, kPageSize};
        records[2 * p + 1] = {spareSlots[p], kSpareSize};
    }
    return writeRecords(outfile, records, static_cast<int>(2 * pages));
}

// Reserves the blocks of the whole image when its size is known from the
// input's: the file system then allocates them at once instead of page by page
// as the writes arrive, about a fifth of the write time on ext4. Only a hint:
// where it fails nothing changes. Returns the bytes reserved.
std::uint64_t reserveImage(int infile, int outfile)
{
#ifdef __linux__
    struct stat in = {};
    if (fstat(infile, &in) == 0 && S_ISREG(in.st_mode) && in.st_size > 0) {
        const auto pages = (static_cast<std::uint64_t>(in.st_size) + kPageSize - 1) / kPageSize;
        const std::uint64_t bytes = pages * kRecordSize;
        if (fallocate(outfile, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) == 0) {
            return bytes;
        }
    }
#endif
    (void)infile;
    (void)outfile;
    return 0;
}

// The page loop: converts the input block by block until it ends. A read error
// ends the run after the whole pages read before it have been written; the
// partial page it cut off is not.
int convertPages(int infile, int outfile, int errors, std::uint64_t *page)
{
    bool eof = false;
    while (!eof) {
        int readErr = 0;
        const std::size_t status = readFully(infile, pageSlots[0], kBlockBytes, &eof, &readErr);
        const std::size_t bytes = readErr != 0 ? status - status % kPageSize : status;
        if (const int err = convertBlock(bytes, page, errors, outfile)) {
            return fail("write", err);
        }
        if (readErr != 0) {
            return fail("read", readErr);
        }
    }
    return kExitOk;
}

int convert(int infile, int outfile, int errors)
{
    const std::uint64_t reserved = reserveImage(infile, outfile);
    std::uint64_t page = 0;  // 64 bits: inputs beyond 4 TiB do not wrap
    int status = convertPages(infile, outfile, errors, &page);

    // An input that ended early, or a failed run, leaves part of the
    // reservation beyond the end of the image; give it back.
    struct stat out = {};
    if (reserved != 0 && fstat(outfile, &out) == 0 && static_cast<std::uint64_t>(out.st_size) < reserved &&
        ftruncate(outfile, out.st_size) != 0 && status == kExitOk) {
        status = fail("write", errno);
    }
    flushOut();
    if (close(outfile) != 0 && status == kExitOk) {
        status = fail("write", errno);
    }
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    guardStandardDescriptors();
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

    // Each path is echoed before its file is opened, so that standard output
    // shows how far a failing run got.
    printText(infilename);
    printText("\n");
    const int infile = open(infilename, O_RDONLY);
    if (infile < 0) {
        return fail("open", errno);
    }
    printText(outfilename);
    printText("\n");

    // The mode is checked before the output is opened, so that a typo never
    // empties an existing file. It is taken only in third place.
    if (argc > 3) {
        if (std::strcmp(argv[3], "-s") == 0) {
            errors = 1;
        } else if (std::strcmp(argv[3], "-d") == 0) {
            errors = 2;
        } else {
            printUsage(self);
            return kExitFail;
        }
    }

    const int outfile = openOutput(outfilename, infile);
    if (outfile < 0) {
        return kExitFail;
    }
    return convert(infile, outfile, errors);
}
