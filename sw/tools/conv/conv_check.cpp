// conv-check: reads a NAND page image as a reader of the flash would, decodes
// every sector against the ECC word in its spare area, reports the sectors
// that are not clean, and can write the corrected page data (-o) or the
// corrected image with rewritten ECC fields (-f). It parses the command line;
// the checking is the library's (check.h), with conv's layout, image.h.
//
// Exit status, as cmp and diff have it: 0 when every sector is clean or
// corrected and the image is whole, 1 when a sector is uncorrectable or the
// image ends inside a record, 2 for trouble (usage, a file that cannot be
// opened, read or written).
#include "args.h"
#include "check.h"
#include "io.h"
#include "layout.h"

#include <getopt.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kExitGood = 0;
constexpr int kExitTrouble = 2;

constexpr char kUsage[] =
    "usage: conv-check [-q] [--json] [-o RAW] [-f FIXED] [--erased-threshold T] IMAGE\n"
    "Checks a NAND page image (2112-byte records: 2048 bytes of page data and a\n"
    "64-byte spare area with the ECC words of the four 512-byte sectors) and\n"
    "corrects what the codes can correct. IMAGE may be - for standard input,\n"
    "RAW or FIXED - for standard output (the report then goes to standard error).\n"
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

struct Options {
    bool quiet = false;
    bool json = false;
    const char *raw = nullptr;    // -o
    const char *fixed = nullptr;  // -f
    const char *image = nullptr;
    unsigned erasedThreshold = 1;  // the strength of the code
};

// Above this, most records of random data would pass for erased.
constexpr unsigned long kMaxErasedThreshold = 4096;

// Reports misuse as one line on standard error, naming the help to read.
int usageError(const char *why)
{
    std::fprintf(stderr, "conv-check: %s (see conv-check --help)\n", why);
    return kExitTrouble;
}

// Prints help asked for on standard output; a closed or failing standard
// output is trouble, reported.
int printHelp(const char *text)
{
    io::printText(text);
    io::flushOut();
    if (io::outError() != 0) {
        return nand::checkTrouble("conv-check", "standard output", std::strerror(io::outError()));
    }
    return kExitGood;
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
        char why[96];
        unsigned long number = 0;
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
            if (!args::optionNumber("--erased-threshold", optarg, 0, kMaxErasedThreshold, &number, why, sizeof why)) {
                return usageError(why);
            }
            o->erasedThreshold = static_cast<unsigned>(number);
            break;
        case 'h':
            return printHelp(kUsage);
        case kVersion:
            return printHelp("conv-check " CONV_VERSION "\n");
        case ':':
            args::missingValue(why, sizeof why, argv[optind - 1], optopt,
                               optopt == kErasedThreshold ? "a number" : "a file name");
            return usageError(why);
        default:
            args::optionError(why, sizeof why, args::lastArgument(argv, optind, previous), optopt);
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

nand::Codec codec;  // large: not on the stack

int run(const Options &o)
{
    nand::makeCodec(*nand::findPreset("classic"), &codec);
    nand::CheckOptions c = {"conv-check", "sector", "sectors", false};
    c.quiet = o.quiet;
    c.json = o.json;
    c.raw = o.raw;
    c.fixed = o.fixed;
    c.image = o.image;
    c.erasedThreshold = o.erasedThreshold;
    return nand::runCheck(codec, c);
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
        return nand::checkTrouble("conv-check", "standard output", std::strerror(EBADF));
    }
    return run(o);
}
