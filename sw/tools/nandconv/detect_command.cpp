// nandconv detect: reads windows spread over a dump, asks the engine
// (detect.h) for the layouts that explain them, and prints the best as a
// layout file, with the evidence on standard error or in the JSON document.
//
// Exit status: 0 a layout under which at least 90% of the sampled non-blank
// steps decode clean or corrected; 1 nothing convincing (the best candidates
// and what was found are reported); 2 trouble.
#include "detect_command.h"

#include "args.h"
#include "detect.h"
#include "io.h"
#include "layout.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int kExitGood = 0;
constexpr int kExitUnsure = 1;
constexpr int kExitTrouble = 2;

// The threads the polynomial search takes at most: this machine's cores.
constexpr unsigned kMaxThreads = 2;

constexpr char kDetectUsage[] =
    "usage: nandconv detect [--page N] [--oob N] [--exhaustive] [--json] [-q] DUMP\n"
    "Finds the layout of a raw dump (pages followed by their OOB): the page and\n"
    "OOB sizes, the code and where its bytes sit, the BCH field, polynomial, bit\n"
    "order and constants, and the bytes the code protects. Prints the layout as\n"
    "a file for --layout-file; the evidence goes to standard error.\n"
    "  --page N        the page size, if known\n"
    "  --oob N         the OOB size, if known\n"
    "  --exhaustive    try every primitive BCH polynomial, not the known ones only\n"
    "  --json          print one JSON document: the layout, its evidence and the\n"
    "                  runners-up\n"
    "  -q, --quiet     no evidence on standard error\n"
    "Exit status: 0 a layout under which at least 90% of the sampled non-blank\n"
    "steps decode clean or corrected, 1 nothing convincing (the best candidates\n"
    "are reported), 2 trouble.\n";

enum : int {
    kPageOption = 256,
    kOobOption,
    kExhaustiveOption,
    kJsonOption,
};

struct DetectArgs {
    nand::DetectOptions options;
    bool json = false;
    bool quiet = false;
    const char *dump = nullptr;
};

int usageError(const char *why)
{
    std::fprintf(stderr, "nandconv: %s (see nandconv detect --help)\n", why);
    return kExitTrouble;
}

int trouble(const char *name, const char *why)
{
    std::fprintf(stderr, "nandconv: %s: %s\n", name, why);
    return kExitTrouble;
}

// Parses the arguments; -1 to go on, else the status to end with.
int parse(int argc, char **argv, DetectArgs *a)
{
    static const option longOptions[] = {
        {"page", required_argument, nullptr, kPageOption},
        {"oob", required_argument, nullptr, kOobOption},
        {"exhaustive", no_argument, nullptr, kExhaustiveOption},
        {"json", no_argument, nullptr, kJsonOption},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    optind = 1;
    char why[160];
    for (;;) {
        const int previous = optind;
        const int c = getopt_long(argc, argv, ":qh", longOptions, nullptr);
        if (c == -1) {
            break;
        }
        unsigned long n = 0;
        switch (c) {
        case kPageOption:
        case kOobOption: {
            const bool page = c == kPageOption;
            if (!args::layoutNumber(page ? "--page" : "--oob", optarg, true, page ? nand::kMinStepSize : 1,
                                    page ? nand::kMaxPageSize : nand::kMaxOobSize, &n, why, sizeof why)) {
                return usageError(why);
            }
            (page ? a->options.pageSize : a->options.oobSize) = static_cast<std::uint32_t>(n);
            break;
        }
        case kExhaustiveOption:
            a->options.exhaustive = true;
            break;
        case kJsonOption:
            a->json = true;
            break;
        case 'q':
            a->quiet = true;
            break;
        case 'h':
            io::printText(kDetectUsage);
            io::flushOut();
            return io::outError() == 0 ? kExitGood : trouble("standard output", std::strerror(io::outError()));
        case ':':
            args::missingValue(why, sizeof why, argv[optind - 1], optopt, "a value");
            return usageError(why);
        default:
            args::optionError(why, sizeof why, args::lastArgument(argv, optind, previous), optopt);
            return usageError(why);
        }
    }
    if (argc - optind != 1) {
        return usageError(argc - optind < 1 ? "no dump named" : "one dump at a time");
    }
    a->dump = argv[optind];
    if (a->dump[0] == '\0') {
        return usageError("an empty file name");
    }
    return -1;
}

// Reads windows spread over the file (the whole of a small one); false with
// errno on failure.
bool readWindows(int fd, std::uint64_t size, std::vector<std::uint8_t> *buffer, std::vector<nand::DumpWindow> *windows)
{
    const nand::WindowPlan plan = nand::planWindows(size);
    const std::size_t each = plan.each;
    buffer->resize(plan.count * each);
    for (std::size_t w = 0; w < plan.count; w++) {
        const std::uint64_t offset = plan.offset(w);
        std::size_t got = 0;
        while (got < each) {
            const ssize_t n = pread(fd, buffer->data() + w * each + got, each - got, static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return false;
            }
            if (n == 0) {
                errno = EIO;  // the file shrank while read
                return false;
            }
            got += static_cast<std::size_t>(n);
        }
        windows->push_back({buffer->data() + w * each, offset, each});
    }
    return true;
}

// One line on a layout for people: its geometry, code and places.
void summarize(const nand::Layout &l, char *buf, std::size_t size)
{
    int n = std::snprintf(buf, size, "%u+%u, %s", l.pageSize, l.oobSize, nand::schemeName(l.scheme));
    // Where the next piece goes and the room left (none once full); each piece
    // is a literal format, as the compiler checks them.
    const auto end = [&] { return n >= 0 && static_cast<std::size_t>(n) < size ? buf + n : nullptr; };
    const auto room = [&] { return size - static_cast<std::size_t>(n); };
    if (char *at = end(); at != nullptr && l.scheme == nand::Scheme::Bch) {
        n += std::snprintf(at, room(), "-%u over GF(2^%u), poly 0x%x, %s%s", l.strength, nand::bchField(l),
                           nand::bchPoly(l), l.lsbFirst ? "lsb-first" : "msb-first",
                           l.erasedMask ? ", erased mask" : "");
    }
    if (char *at = end()) {
        n += std::snprintf(at, room(), ", %u-byte steps", l.stepSize);
    }
    nand::Region r[nand::kMaxRegions];
    if (char *at = end(); at != nullptr && l.interleaved) {
        n += std::snprintf(at, room(), ", interleaved (prepad %u, postpad %u)", l.prepad, l.postpad);
    } else if (at != nullptr && nand::eccRegions(l, r) != 0) {
        n += std::snprintf(at, room(), ", ECC at OOB %u", r[0].offset);
    }
    if (char *at = end(); at != nullptr && nand::protectedBytesPerStep(l) != 0) {
        n += std::snprintf(at, room(), ", %zu protected bytes a step", nand::protectedBytesPerStep(l));
    }
    if (char *at = end(); at != nullptr && l.eccXorLength != 0) {
        n += std::snprintf(at, room(), ", ecc_xor");
    }
}

void printScoreJson(const nand::DetectScore &s)
{
    char json[nand::kMaxLayoutJson];
    nand::describeJson(s.layout, json, sizeof json);
    char line[nand::kMaxLayoutJson + 160];
    std::snprintf(line, sizeof line, "{\"layout\":%s,\"records\":%u,\"clean\":%u,\"corrected\":%u,\"uncorrectable\":%u}",
                  json, s.records, s.clean, s.corrected, s.uncorrectable);
    io::printText(line);
}

// What is missing when nothing convinces, for the report.
const char *missing(const nand::DetectResult &r)
{
    if (!r.geometryFound) {
        return "no record size: the dump shows no periodic structure (random, blank, or no OOB)";
    }
    if (r.count == 0) {
        return "no code: no step's code was found in its record (try --exhaustive, or give --page and --oob)";
    }
    return "no layout decodes 90% of the sampled steps";
}

}  // namespace

int runDetect(int argc, char **argv)
{
    DetectArgs a;
    if (const int status = parse(argc, argv, &a); status >= 0) {
        return status;
    }
    const int fd = open(a.dump, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return trouble(a.dump, std::strerror(errno));
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int e = errno;
        close(fd);
        return trouble(a.dump, S_ISREG(st.st_mode) ? std::strerror(e) : "not a regular file: detect samples it");
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size == 0) {
        close(fd);
        return trouble(a.dump, "an empty file");
    }
    std::vector<std::uint8_t> buffer;
    std::vector<nand::DumpWindow> windows;
    const bool read = readWindows(fd, size, &buffer, &windows);
    const int readError = errno;
    close(fd);
    if (!read) {
        return trouble(a.dump, std::strerror(readError));
    }
    a.options.threads = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    nand::DetectResult result{};
    char why[160];
    if (!nand::detectLayout(windows.data(), windows.size(), size, a.options, &result, why, sizeof why)) {
        return trouble(a.dump, why);
    }
    const bool found = result.count != 0 && nand::convincing(result.candidates[0]);
    const int status = found ? kExitGood : kExitUnsure;
    char json[nand::kMaxLayoutJson];
    char line[512];
    if (a.json) {
        io::printText("{\"status\":");
        io::printText(found ? "0,\"layout\":" : "1,\"layout\":");
        if (found) {
            io::printBytes(json, nand::describeJson(result.candidates[0].layout, json, sizeof json));
        } else {
            io::printText("null");
        }
        std::snprintf(line, sizeof line,
                      ",\"evidence\":{\"dump_bytes\":%llu,\"records_sampled\":%u,\"blank_records\":%u,"
                      "\"polynomials\":%u,\"geometry\":",
                      static_cast<unsigned long long>(size), result.recordsSampled, result.blankRecords,
                      result.polynomials);
        io::printText(line);
        if (result.geometryFound) {
            std::snprintf(line, sizeof line, "{\"page\":%u,\"oob\":%u}", result.pageSize, result.oobSize);
            io::printText(line);
        } else {
            io::printText("null");
        }
        io::printText(",\"candidates\":[");
        for (std::size_t i = 0; i < result.count; i++) {
            io::printText(i == 0 ? "" : ",");
            printScoreJson(result.candidates[i]);
        }
        io::printText("]");
        if (!found) {
            io::printText(",\"missing\":\"");
            io::printText(missing(result));
            io::printText("\"");
        }
        io::printText("}}\n");
    } else if (found) {
        io::printBytes(json, nand::describeJson(result.candidates[0].layout, json, sizeof json));
        io::printText("\n");
    }
    io::flushOut();
    if (io::outError() != 0) {
        return trouble("standard output", std::strerror(io::outError()));
    }
    if (!a.json && !a.quiet) {
        if (result.geometryFound) {
            std::fprintf(stderr, "nandconv: detect: %u records of %u+%u bytes sampled, %u of them blank\n",
                         result.recordsSampled, result.pageSize, result.oobSize, result.blankRecords);
        } else {
            std::fprintf(stderr, "nandconv: detect: %llu bytes, no record size found\n",
                         static_cast<unsigned long long>(size));
        }
        for (std::size_t i = 0; i < result.count; i++) {
            const nand::DetectScore &s = result.candidates[i];
            summarize(s.layout, line, sizeof line);
            std::fprintf(stderr, "nandconv: detect: %s: %s; steps: %u clean, %u corrected, %u uncorrectable\n",
                         i == 0 ? (found ? "found" : "best") : "runner-up", line, s.clean, s.corrected,
                         s.uncorrectable);
        }
        if (!found) {
            std::fprintf(stderr, "nandconv: detect: nothing convincing: %s\n", missing(result));
        }
    } else if (!found && !a.json) {
        std::fprintf(stderr, "nandconv: detect: nothing convincing: %s\n", missing(result));
    }
    return status;
}
