// conv-check: reads a NAND page image as a reader of the flash would, decodes
// every sector against the ECC word in its spare area, reports the sectors
// that are not clean, and can write the corrected page data (-o) or the
// corrected image with rewritten ECC fields (-f). The image layout is in
// image.h, the decoding rules in ecc.h.
//
// Exit status, as cmp and diff have it: 0 when every sector is clean or
// corrected and the image is whole, 1 when a sector is uncorrectable or the
// image ends inside a record, 2 for trouble (usage, a file that cannot be
// opened, read or written).
#include "ecc.h"
#include "image.h"
#include "io.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

using image::kPageSize;
using image::kRecordSize;
using image::kSectorsPerPage;

constexpr int kExitGood = 0;
constexpr int kExitBad = 1;
constexpr int kExitTrouble = 2;

constexpr char kUsage[] =
    "usage: conv-check [-q] [--json] [-o RAW] [-f FIXED] IMAGE\n"
    "Checks a NAND page image (2112-byte records: 2048 bytes of page data and a\n"
    "64-byte spare area with the ECC words of the four 512-byte sectors) and\n"
    "corrects what the codes can correct. IMAGE may be - for standard input.\n"
    "  -q, --quiet   print the summary only, not the sectors that are not clean\n"
    "      --json    print one JSON document instead of text\n"
    "  -o RAW        write the corrected page data, without spare areas, to RAW\n"
    "  -f FIXED      write the image with corrected data and ECC fields to FIXED\n"
    "  -h, --help    print this help\n"
    "      --version print the version\n"
    "Exit status: 0 every sector clean or corrected, 1 an uncorrectable sector\n"
    "or an image that ends inside a record, 2 trouble.\n";

// Records checked per read: 540 KiB, and 256 iovecs for the page data of -o.
constexpr std::size_t kBlockRecords = 256;
std::uint8_t block[kBlockRecords * kRecordSize];
iovec rawPages[kBlockRecords];

struct Options {
    bool quiet = false;
    bool json = false;
    const char *raw = nullptr;    // -o
    const char *fixed = nullptr;  // -f
    const char *image = nullptr;
};

struct Counts {
    std::uint64_t pages = 0;
    std::uint64_t erased = 0;
    std::uint64_t clean = 0;
    std::uint64_t corrected = 0;
    std::uint64_t uncorrectable = 0;
    std::uint64_t findings = 0;  // lines (or JSON entries) printed so far
};

struct Output {
    const char *name;
    int fd;
    bool reserved;
};

// Reports "conv-check: name: why" on standard error, after the report so far.
int trouble(const char *name, const char *why)
{
    io::flushOut();
    std::fprintf(stderr, "conv-check: %s: %s\n", name, why);
    return kExitTrouble;
}

int usageError(const char *why)
{
    std::fprintf(stderr, "conv-check: %s\n%s", why, kUsage);
    return kExitTrouble;
}

// Parses the command line; all of it is checked before any file is opened.
// Returns -1 to go on, or the exit status.
int parseOptions(int argc, char **argv, Options *o)
{
    enum { kJson = 256, kVersion };
    static const option longOptions[] = {
        {"quiet", no_argument, nullptr, 'q'},  {"json", no_argument, nullptr, kJson},
        {"help", no_argument, nullptr, 'h'},   {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (;;) {
        const int c = getopt_long(argc, argv, ":qo:f:h", longOptions, nullptr);
        if (c == -1) {
            break;
        }
        char why[64];
        switch (c) {
        case 'q':
            o->quiet = true;
            break;
        case kJson:
            o->json = true;
            break;
        case 'o':
            o->raw = optarg;
            break;
        case 'f':
            o->fixed = optarg;
            break;
        case 'h':
            io::printText(kUsage);
            io::flushOut();
            return io::outError() == 0 ? kExitGood : kExitTrouble;
        case kVersion:
            io::printText("conv-check " CONV_VERSION "\n");
            io::flushOut();
            return io::outError() == 0 ? kExitGood : kExitTrouble;
        case ':':
            std::snprintf(why, sizeof why, "option -%c needs a file name", optopt);
            return usageError(why);
        default:
            if (optopt != 0) {
                std::snprintf(why, sizeof why, "unknown option -%c", optopt);
            } else {
                std::snprintf(why, sizeof why, "unknown option %.40s", argv[optind - 1]);
            }
            return usageError(why);
        }
    }
    if (argc - optind != 1) {
        return usageError(argc - optind == 0 ? "no image given" : "more than one image given");
    }
    o->image = argv[optind];
    if ((o->raw != nullptr && o->raw[0] == '\0') || (o->fixed != nullptr && o->fixed[0] == '\0')) {
        return usageError("an empty output name");
    }
    if (o->raw != nullptr && o->fixed != nullptr && std::strcmp(o->raw, o->fixed) == 0) {
        return usageError("-o and -f name the same file");
    }
    return -1;
}

const char *className(EccStatus status)
{
    switch (status) {
    case EccStatus::CorrectedData:
        return "corrected-data";
    case EccStatus::CorrectedCode:
        return "corrected-ecc-field";
    default:
        return "uncorrectable";
    }
}

void reportSector(const Options &o, Counts *counts, std::uint64_t page, std::size_t sector, const EccDecode &d)
{
    if (o.quiet) {
        return;
    }
    const auto p = static_cast<unsigned long long>(page);
    const std::size_t byte = sector * ecc::kSectorSize + d.offset;
    char line[160];
    int n = 0;
    if (o.json) {
        const char *sep = counts->findings == 0 ? "" : ",";
        if (d.status == EccStatus::CorrectedData) {
            n = std::snprintf(line, sizeof line, "%s{\"page\":%llu,\"sector\":%zu,\"class\":\"%s\",\"byte\":%zu,\"bit\":%u}",
                              sep, p, sector, className(d.status), byte, static_cast<unsigned>(d.bit));
        } else {
            n = std::snprintf(line, sizeof line, "%s{\"page\":%llu,\"sector\":%zu,\"class\":\"%s\"}", sep, p, sector,
                              className(d.status));
        }
    } else if (d.status == EccStatus::CorrectedData) {
        n = std::snprintf(line, sizeof line, "page %llu sector %zu: corrected byte %zu bit %u\n", p, sector, byte,
                          static_cast<unsigned>(d.bit));
    } else if (d.status == EccStatus::CorrectedCode) {
        n = std::snprintf(line, sizeof line, "page %llu sector %zu: corrected ECC field\n", p, sector);
    } else {
        n = std::snprintf(line, sizeof line, "page %llu sector %zu: uncorrectable\n", p, sector);
    }
    io::printBytes(line, static_cast<std::size_t>(n));
    counts->findings++;
}

void checkRecord(const Options &o, Counts *counts, std::uint8_t *record)
{
    const std::uint64_t page = counts->pages++;
    EccDecode sectors[kSectorsPerPage];
    if (!image::checkRecord(record, sectors)) {
        counts->erased++;
        return;
    }
    for (std::size_t s = 0; s < kSectorsPerPage; s++) {
        switch (sectors[s].status) {
        case EccStatus::Clean:
            counts->clean++;
            continue;
        case EccStatus::Uncorrectable:
            counts->uncorrectable++;
            break;
        default:
            counts->corrected++;
            break;
        }
        reportSector(o, counts, page, s, sectors[s]);
    }
}

void printSummary(const Options &o, const Counts &c, std::uint64_t trailing)
{
    char line[256];
    const auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
    int n = 0;
    if (o.json) {
        n = std::snprintf(line, sizeof line,
                          "%s\"pages\":%llu,\"erased\":%llu,\"sectors\":{\"clean\":%llu,\"corrected\":%llu,"
                          "\"uncorrectable\":%llu},\"trailing_bytes\":%llu}\n",
                          o.quiet ? "" : "],", u(c.pages), u(c.erased), u(c.clean), u(c.corrected),
                          u(c.uncorrectable), u(trailing));
    } else {
        n = std::snprintf(line, sizeof line, "%llu pages, %llu erased; sectors: %llu clean, %llu corrected, %llu uncorrectable\n",
                          u(c.pages), u(c.erased), u(c.clean), u(c.corrected), u(c.uncorrectable));
    }
    io::printBytes(line, static_cast<std::size_t>(n));
}

// Opens -o or -f, refusing the files in `avoid`.
int openOutput(const char *name, const struct stat *const *avoid, std::size_t count, Output *out)
{
    out->name = name;
    out->fd = io::openOutput(name, avoid, count);
    if (out->fd == io::kSameFile) {
        return trouble(name, "names the image or the other output; not written");
    }
    if (out->fd < 0) {
        return trouble(name, std::strerror(errno));
    }
    return -1;
}

int finishOutput(Output *out)
{
    int err = out->reserved ? io::releaseReserve(out->fd) : 0;
    if (close(out->fd) != 0 && err == 0) {
        err = errno;
    }
    out->fd = -1;
    return err;
}

// Opens -o and -f. An output that already exists as the image or as standard
// output is refused before anything is opened for writing; opening then
// refuses the image and the other output again, race-free. Returns -1 to go
// on, or the exit status.
int openOutputs(const Options &o, const struct stat &imageStat, Output *raw, Output *fixed)
{
    struct stat outStat = {};
    const bool haveOut = fstat(STDOUT_FILENO, &outStat) == 0;
    for (const char *name : {o.raw, o.fixed}) {
        struct stat st = {};
        if (name == nullptr || stat(name, &st) != 0) {
            continue;
        }
        if (S_ISREG(st.st_mode) && S_ISREG(imageStat.st_mode) && st.st_dev == imageStat.st_dev &&
            st.st_ino == imageStat.st_ino) {
            return trouble(name, "names the image; not written");
        }
        if (haveOut && st.st_dev == outStat.st_dev && st.st_ino == outStat.st_ino) {
            return trouble(name, "is standard output, which carries the report; not written");
        }
    }
    const struct stat *avoid[2] = {&imageStat, nullptr};
    struct stat rawStat = {};
    if (o.raw != nullptr) {
        if (const int status = openOutput(o.raw, avoid, 1, raw); status >= 0) {
            return status;
        }
        if (fstat(raw->fd, &rawStat) != 0) {
            return trouble(o.raw, std::strerror(errno));
        }
        avoid[1] = &rawStat;
    }
    if (o.fixed != nullptr) {
        if (const int status = openOutput(o.fixed, avoid, o.raw != nullptr ? 2 : 1, fixed); status >= 0) {
            return status;
        }
    }
    if (S_ISREG(imageStat.st_mode)) {
        const auto size = static_cast<std::uint64_t>(imageStat.st_size);
        raw->reserved = raw->fd >= 0 && io::reserve(raw->fd, size / kRecordSize * kPageSize);
        fixed->reserved = fixed->fd >= 0 && io::reserve(fixed->fd, size);
    }
    return -1;
}

// The record reader: checks the image block by block and writes the outputs.
// Sets *trailing to the bytes past the last whole record. Returns kExitGood or
// the status of the trouble it reported.
int checkImage(const Options &o, int in, const char *imageName, const Output &raw, const Output &fixed,
               Counts *counts, std::uint64_t *trailing)
{
    for (bool ended = false; !ended;) {
        int readErr = 0;
        const std::size_t got = io::readFully(in, block, sizeof block, &ended, &readErr);
        const std::size_t records = got / kRecordSize;
        for (std::size_t r = 0; r < records; r++) {
            checkRecord(o, counts, block + r * kRecordSize);
            rawPages[r] = {block + r * kRecordSize, kPageSize};
        }
        if (raw.fd >= 0) {
            if (const int err = io::writeAll(raw.fd, rawPages, static_cast<int>(records))) {
                return trouble(raw.name, std::strerror(err));
            }
        }
        // Bytes past the last whole record go to -f as they are, so that
        // nothing of the image is lost; -o holds whole pages only.
        if (fixed.fd >= 0) {
            if (const int err = io::writeAll(fixed.fd, block, readErr == 0 ? got : records * kRecordSize)) {
                return trouble(fixed.name, std::strerror(err));
            }
        }
        if (readErr != 0) {
            return trouble(imageName, std::strerror(readErr));
        }
        *trailing = got - records * kRecordSize;
    }
    return kExitGood;
}

int run(const Options &o)
{
    const bool fromStdin = std::strcmp(o.image, "-") == 0;
    const char *imageName = fromStdin ? "standard input" : o.image;
    const int in = fromStdin ? STDIN_FILENO : open(o.image, O_RDONLY);
    if (in < 0) {
        return trouble(imageName, std::strerror(errno));
    }
    struct stat imageStat = {};
    if (fstat(in, &imageStat) != 0) {
        return trouble(imageName, std::strerror(errno));
    }
    Output raw = {nullptr, -1, false};
    Output fixed = {nullptr, -1, false};
    if (const int status = openOutputs(o, imageStat, &raw, &fixed); status >= 0) {
        return status;
    }

    if (o.json) {
        io::printText(o.quiet ? "{" : "{\"findings\":[");
    }
    Counts counts;
    std::uint64_t trailing = 0;
    int status = checkImage(o, in, imageName, raw, fixed, &counts, &trailing);
    for (Output *out : {&raw, &fixed}) {
        if (out->fd >= 0) {
            if (const int err = finishOutput(out); err != 0 && status == kExitGood) {
                status = trouble(out->name, std::strerror(err));
            }
        }
    }
    printSummary(o, counts, trailing);
    io::flushOut();
    if (io::outError() != 0 && status == kExitGood) {
        status = trouble("standard output", std::strerror(io::outError()));
    }
    if (status != kExitGood) {
        return status;
    }
    if (trailing != 0) {
        std::fprintf(stderr, "conv-check: %s: %llu trailing bytes at offset %llu are not a whole record\n",
                     imageName, static_cast<unsigned long long>(trailing),
                     static_cast<unsigned long long>(counts.pages) * kRecordSize);
        return kExitBad;
    }
    return counts.uncorrectable != 0 ? kExitBad : kExitGood;
}

}  // namespace

int main(int argc, char **argv)
{
    io::guardStandardDescriptors();
    // A closed output pipe or a file size limit shows up as a failed write,
    // which is reported, rather than as a signal that kills the tool halfway.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    Options o;
    if (const int status = parseOptions(argc, argv, &o); status >= 0) {
        return status;
    }
    return run(o);
}
