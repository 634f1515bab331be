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
#include <cstdlib>
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
    "usage: conv-check [-q] [--json] [-o RAW] [-f FIXED] [--erased-threshold T] IMAGE\n"
    "Checks a NAND page image (2112-byte records: 2048 bytes of page data and a\n"
    "64-byte spare area with the ECC words of the four 512-byte sectors) and\n"
    "corrects what the codes can correct. IMAGE may be - for standard input.\n"
    "  -q, --quiet   print the summary only, not the sectors that are not clean\n"
    "      --json    print one JSON document instead of text\n"
    "  -o RAW        write the corrected page data, without spare areas, to RAW\n"
    "  -f FIXED      write the image with corrected data and ECC fields to FIXED\n"
    "      --erased-threshold T\n"
    "                take a record for erased flash when each sector and the\n"
    "                rest of the spare area have at most T zero bits (default 1)\n"
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
    unsigned erasedThreshold = image::kDefaultErasedThreshold;
};

// Above this, most records of random data would pass for erased.
constexpr unsigned long kMaxErasedThreshold = 4096;

struct Counts {
    std::uint64_t pages = 0;
    std::uint64_t erased = 0;
    std::uint64_t clean = 0;
    std::uint64_t corrected = 0;
    std::uint64_t uncorrectable = 0;
    std::uint64_t findings = 0;  // lines (or JSON entries) printed so far
};

struct Output {
    const char *name = nullptr;
    io::Output file;
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

// The name of the option that getopt_long found fault with, as it was given.
void describeOption(char *buf, std::size_t size, const char *arg, int opt)
{
    if (std::strncmp(arg, "--", 2) == 0) {
        const std::size_t n = std::strcspn(arg, "=");
        std::snprintf(buf, size, "%.*s", static_cast<int>(n < 40 ? n : 40), arg);
    } else {
        std::snprintf(buf, size, "-%c", opt);
    }
}

bool parseThreshold(const char *text, unsigned *value)
{
    if (text[0] < '0' || text[0] > '9') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > kMaxErasedThreshold) {
        return false;
    }
    *value = static_cast<unsigned>(v);
    return true;
}

// Parses the command line; all of it is checked before any file is opened.
// Returns -1 to go on, or the exit status.
int parseOptions(int argc, char **argv, Options *o)
{
    enum { kJson = 256, kVersion, kErasedThreshold };
    static const option longOptions[] = {
        {"quiet", no_argument, nullptr, 'q'},
        {"json", no_argument, nullptr, kJson},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {"erased-threshold", required_argument, nullptr, kErasedThreshold},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (;;) {
        const int previous = optind;
        const int c = getopt_long(argc, argv, ":qo:f:h", longOptions, nullptr);
        if (c == -1) {
            break;
        }
        // The argument getopt_long last looked at: the one it stopped in, or
        // the one before when it took a whole argument.
        const char *arg = argv[optind > previous ? optind - 1 : previous];
        char name[48];
        char why[96];
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
        case kErasedThreshold:
            if (!parseThreshold(optarg, &o->erasedThreshold)) {
                std::snprintf(why, sizeof why, "--erased-threshold takes a number from 0 to %lu, not '%.20s'",
                              kMaxErasedThreshold, optarg);
                return usageError(why);
            }
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
            describeOption(name, sizeof name, argv[optind - 1], optopt);
            std::snprintf(why, sizeof why, "option %s needs %s", name,
                          optopt == kErasedThreshold ? "a number" : "a file name");
            return usageError(why);
        default:
            describeOption(name, sizeof name, arg, optopt);
            if (optopt != 0 && std::strchr(arg, '=') != nullptr && std::strncmp(arg, "--", 2) == 0) {
                std::snprintf(why, sizeof why, "option %s takes no argument", name);
            } else {
                std::snprintf(why, sizeof why, "unknown option %s", name);
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

// Starts the JSON document at its first line, so that a run that ends in
// trouble before any finding prints none of it.
void beginReport(const Options &o, const Counts &counts)
{
    if (o.json && counts.findings == 0) {
        io::printText(o.quiet ? "{" : "{\"findings\":[");
    }
}

void printFinding(const Options &o, Counts *counts, const char *text, int n)
{
    beginReport(o, *counts);
    if (o.json && counts->findings != 0) {
        io::printText(",");
    }
    io::printBytes(text, static_cast<std::size_t>(n));
    counts->findings++;
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
        if (d.status == EccStatus::CorrectedData) {
            n = std::snprintf(line, sizeof line, "{\"page\":%llu,\"sector\":%zu,\"class\":\"%s\",\"byte\":%zu,\"bit\":%u}",
                              p, sector, className(d.status), byte, static_cast<unsigned>(d.bit));
        } else {
            n = std::snprintf(line, sizeof line, "{\"page\":%llu,\"sector\":%zu,\"class\":\"%s\"}", p, sector,
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
    printFinding(o, counts, line, n);
}

void reportErased(const Options &o, Counts *counts, std::uint64_t page, unsigned bitflips)
{
    if (o.quiet || bitflips == 0) {
        return;
    }
    const auto p = static_cast<unsigned long long>(page);
    char line[96];
    const int n = o.json ? std::snprintf(line, sizeof line, "{\"page\":%llu,\"class\":\"erased-bitflips\",\"bitflips\":%u}",
                                         p, bitflips)
                         : std::snprintf(line, sizeof line, "page %llu: erased, %u bitflip%s\n", p, bitflips,
                                         bitflips == 1 ? "" : "s");
    printFinding(o, counts, line, n);
}

void checkRecord(const Options &o, Counts *counts, std::uint8_t *record)
{
    const std::uint64_t page = counts->pages++;
    image::RecordCheck result;
    image::checkRecord(record, o.erasedThreshold, &result);
    if (result.erased) {
        counts->erased++;
        reportErased(o, counts, page, result.bitflips);
        return;
    }
    for (std::size_t s = 0; s < kSectorsPerPage; s++) {
        const EccDecode &d = result.sectors[s];
        switch (d.status) {
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
        reportSector(o, counts, page, s, d);
    }
}

void printSummary(const Options &o, const Counts &c, std::uint64_t trailing)
{
    char line[256];
    const auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
    int n = 0;
    if (o.json) {
        beginReport(o, c);
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

// Opens -o and -f before anything is written. An output that already exists
// as the image or as the file or pipe of standard output is refused first,
// with its own message; opening then refuses the image and the other output
// again, race-free. Returns -1 to go on, or the exit status.
int openOutputs(const Options &o, const struct stat &imageStat, Output *raw, Output *fixed)
{
    raw->name = o.raw;
    fixed->name = o.fixed;
    for (const char *name : {o.raw, o.fixed}) {
        struct stat st = {};
        if (name == nullptr || stat(name, &st) != 0) {
            continue;
        }
        if (S_ISREG(st.st_mode) && S_ISREG(imageStat.st_mode) && st.st_dev == imageStat.st_dev &&
            st.st_ino == imageStat.st_ino) {
            return trouble(name, "names the image; not written");
        }
        if (io::isStandardOutputFile(st)) {
            return trouble(name, "is standard output, which carries the report; not written");
        }
    }
    const struct stat *avoid[] = {&imageStat};
    const io::Output *opened[] = {&raw->file};
    for (Output *out : {raw, fixed}) {
        if (out->name == nullptr) {
            continue;
        }
        const std::size_t others = out == fixed && raw->name != nullptr ? 1 : 0;
        const int status = io::openOutput(out->name, &out->file, avoid, 1, opened, others);
        if (status == io::kSameFile) {
            return trouble(out->name, "names the image or the other output; not written");
        }
        if (status != 0) {
            return trouble(out->name, std::strerror(errno));
        }
    }
    if (S_ISREG(imageStat.st_mode)) {
        const auto size = static_cast<std::uint64_t>(imageStat.st_size);
        for (Output *out : {raw, fixed}) {
            if (out->file.temp[0] != '\0') {
                out->file.reserved =
                    io::reserve(out->file.fd, out == raw ? size / kRecordSize * kPageSize : size);
            }
        }
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
        if (raw.file.fd >= 0) {
            if (const int err = io::writeAll(raw.file.fd, rawPages, static_cast<int>(records))) {
                return trouble(raw.name, std::strerror(err));
            }
        }
        // Bytes past the last whole record go to -f as they are, so that
        // nothing of the image is lost; -o holds whole pages only.
        if (fixed.file.fd >= 0) {
            if (const int err = io::writeAll(fixed.file.fd, block, readErr == 0 ? got : records * kRecordSize)) {
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

// Replaces the targets of the outputs by what was written, or, after trouble,
// leaves them as they were. Returns the status.
int finishOutputs(int status, Output *raw, Output *fixed)
{
    for (Output *out : {raw, fixed}) {
        if (out->name == nullptr) {
            continue;
        }
        if (status != kExitGood) {
            io::abandonOutput(&out->file);
        } else if (const int err = io::commitOutput(&out->file); err != 0) {
            status = trouble(out->name, std::strerror(err));
        }
    }
    return status;
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
    Output raw;
    Output fixed;
    if (const int status = openOutputs(o, imageStat, &raw, &fixed); status >= 0) {
        return finishOutputs(status, &raw, &fixed);
    }

    Counts counts;
    std::uint64_t trailing = 0;
    int status = checkImage(o, in, imageName, raw, fixed, &counts, &trailing);
    // An uncorrectable sector or a cut image is a result, not trouble: the
    // outputs hold everything that was read and replace their targets.
    status = finishOutputs(status, &raw, &fixed);
    if (status != kExitGood) {
        return status;  // trouble: no summary, no JSON document
    }
    printSummary(o, counts, trailing);
    io::flushOut();
    if (io::outError() != 0) {
        return trouble("standard output", std::strerror(io::outError()));
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
    const unsigned closed = io::guardStandardDescriptors();
    // A closed output pipe or a file size limit shows up as a failed write,
    // which is reported, rather than as a signal that kills the tool halfway.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    Options o;
    if (const int status = parseOptions(argc, argv, &o); status >= 0) {
        return status;
    }
    if ((closed & 2u) != 0) {
        // The report is the product: with nowhere to put it, the run is trouble.
        return trouble("standard output", std::strerror(EBADF));
    }
    return run(o);
}
