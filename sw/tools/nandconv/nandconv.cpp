// nandconv: NAND page images in the layouts real flash uses. `build` writes
// each page of a raw input followed by its OOB with the codes of its steps,
// `check` reads such an image back as a reader of the flash would, and
// `layouts` lists the presets. This file parses command lines and moves
// bytes; the layouts, codes and the checker are the library's (layout.h,
// record.h, check.h).
//
// Exit status: 0 done; for check, 1 an uncorrectable step or an image that
// ends inside a record; 2 trouble (usage, a layout that cannot work, a file
// that cannot be opened, read or written).
#include "args.h"
#include "check.h"
#include "detect_command.h"
#include "inject.h"
#include "io.h"
#include "layout.h"
#include "reader.h"
#include "record.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <tuple>

namespace {

constexpr int kExitGood = 0;
constexpr int kExitBad = 1;  // check: an uncorrectable step; inject: a cut image
constexpr int kExitTrouble = 2;

constexpr char kLayoutHelp[] =
    "Layout options:\n"
    "  --layout NAME     a preset (default classic); `nandconv layouts` lists them\n"
    "  --layout-file FILE  a layout described as JSON, as `nandconv layouts --json`\n"
    "                    prints it\n"
    "  --page N          page data bytes\n"
    "  --oob N           OOB (spare area) bytes\n"
    "  --step N          the bytes one code covers: 512 for classic, 256 or 512\n"
    "                    for Hamming, 256 to 4096 for BCH\n"
    "  --ecc-offset N    the ECC bytes from OOB byte N on, step after step\n"
    "  --sm-order        Hamming bytes in SmartMedia order\n"
    "  --ecc classic|hamming|bch|none  the code\n"
    "  --strength T      the bits a BCH step corrects, 1 to the field's limit\n"
    "  --m M             the BCH field GF(2^M), 5 to 15 (default: the smallest\n"
    "                    with 2^M > 8 * step)\n"
    "  --poly P          the BCH field's primitive polynomial (default: Linux's)\n"
    "  --bit-order msb-first|lsb-first  the BCH bit order in each byte\n"
    "  --pages-per-block N  pages of an eraseblock (default 64)\n"
    "  --bbm-pages first|first,second|last  the pages whose bad-block marker\n"
    "                    Linux reads (default first)\n"
    "  --soc imx23|imx28|imx6q|imx6sx  imx-gpmi: the SoC, whose BCH engine\n"
    "                    limits the strength to 20, 20, 40 or 62 (default imx6sx)\n"
    "  --soc a10|h6      sunxi: the controller, whose strengths are 16, 24, 28,\n"
    "                    32, 40, 48, 56, 60 and 64 (a10, the default) or 16 to 80\n"
    "  --no-randomizer   sunxi: pages not scrambled; sunxi-boot0: its padding\n"
    "                    0xFF, as its builder without -s (its steps stay scrambled)\n"
    "  --usable-page N   sunxi-boot0: the bytes of each page that hold data\n"
    "                    (default 1k, 4k above 4k pages, 8k above 8k pages)\n"
    "Numbers take 0x hex, and sizes a k suffix (--page 4k).\n";

constexpr char kBuildUsage[] =
    "usage: nandconv build [LAYOUT OPTIONS] [--keep-erased] [--bad-blocks LIST] [--pad-to-block]\n"
    "                      [--blocks N] [--meta FILE] [--seed N] [-q] IN OUT\n"
    "Writes every page of IN followed by its OOB, the codes of its steps in\n"
    "place, as nandwrite --oob and flash programmers take it. IN may be - for\n"
    "standard input, OUT - for standard output.\n"
    "  --keep-erased     write a page of all 0xFF as blank flash, its OOB all 0xFF\n"
    "  --bad-blocks LIST the chip's bad blocks (3,7,100-102): the data skips them,\n"
    "                    as nandwrite does, and each is written as Linux marks one\n"
    "  --pad-to-block    end with blank pages at a whole block\n"
    "  --blocks N        end with blank pages at N blocks, a whole chip; an input\n"
    "                    that does not fit in its good blocks is refused\n"
    "  --meta FILE       imx-gpmi: each page's 10 metadata bytes, page after page\n"
    "                    (default 0xFF); pages of a stream past its end get 0xFF\n"
    "  --seed N          sunxi-boot0: the seed of the fill of its padding (default 0)\n"
    "  -q, --quiet       no progress line on a terminal\n";

constexpr char kCheckUsage[] =
    "usage: nandconv check [LAYOUT OPTIONS] [-q] [--json] [-o RAW] [-f FIXED] [--erased-threshold T]\n"
    "                      [--expect MANIFEST] [--bb skip|pad|keep] [--per-block] [--oob-data FILE] IMAGE\n"
    "Checks every step of every record as a reader of the flash would, and\n"
    "corrects what the code can. IMAGE may be - for standard input, RAW or\n"
    "FIXED - for standard output (the report then goes to standard error).\n"
    "  -q, --quiet   print the summary only\n"
    "      --json    print one JSON document instead of text\n"
    "  -o RAW        write the corrected page data, without OOB, to RAW\n"
    "  -f FIXED      write the image with corrected data and ECC to FIXED\n"
    "      --erased-threshold T\n"
    "                take a record for blank flash when each step and the\n"
    "                rest of the OOB have at most T zero bits (default: the\n"
    "                bits the code corrects)\n"
    "      --expect MANIFEST\n"
    "                compare every step's corrections with the flips of\n"
    "                `nandconv inject --manifest` and report each difference\n"
    "      --bb skip|pad|keep\n"
    "                what -o and -f do with a bad block (a marker byte not 0xFF):\n"
    "                leave it out (the default, as nanddump), write 0xFF, or\n"
    "                write it as read\n"
    "      --oob-data FILE\n"
    "                imx-gpmi: write each page's 10 metadata bytes (as -o takes\n"
    "                the pages) to FILE, as build --meta reads them\n"
    "      --per-block  a line for each block with findings: its most bitflips\n"
    "                in a step, corrected and uncorrectable steps, erased pages\n"
    "Bad blocks are reported, not decoded, and alone do not make status 1.\n"
    "Exit status: 0 every step clean or corrected, 1 an uncorrectable step, a\n"
    "difference from the manifest or an image that ends inside a record, 2 trouble.\n";

constexpr char kInjectUsage[] =
    "usage: nandconv inject [LAYOUT OPTIONS] --seed S (--bits K | --ber R) [--area step|data|ecc|oob]\n"
    "                       [--erased] [--manifest FILE] [--nandflipbits FILE] [--pages A-B] [--blocks A-B]\n"
    "                       [--direction any|0to1|1to0] [--mark-bad LIST] IMAGE OUT\n"
    "Writes IMAGE to OUT with reproducible bit errors: the same seed and image\n"
    "give the same flips on every platform. IMAGE may be - for standard input;\n"
    "one of OUT, the manifest and the address list may be - for standard output.\n"
    "  --seed S           the generator's seed (0 to 2^64-1)\n"
    "  --bits K           flip K distinct bits in every step (1 to 81)\n"
    "  --ber R            flip every bit with probability R (0 to 1)\n"
    "  --area AREA        step (data and code, the default), data, ecc, or oob\n"
    "                     (the whole OOB, K bits per page)\n"
    "  --erased           flip blank pages too\n"
    "  --manifest FILE    the flips as JSON lines {\"page\",\"step\",\"offset\",\"bit\"}\n"
    "  --nandflipbits FILE  the flips as bit@address lines for nandflipbits --oob\n"
    "  --pages A-B        flip only in these pages\n"
    "  --blocks A-B       flip only in these eraseblocks\n"
    "  --direction any|0to1|1to0  flip only bits that read 0 (0to1: charge loss,\n"
    "                     as retention errors mostly are) or 1\n"
    "  --mark-bad LIST    mark these blocks bad (3,7,100-102) as Linux does: the\n"
    "                     first marker byte 0x00 in their marker pages; no flips in\n"
    "                     them;\n"
    "                     {\"block\",\"class\":\"bad-block\"} lines in the manifest\n";

constexpr char kLayoutsUsage[] =
    "usage: nandconv layouts [--json] [LAYOUT OPTIONS]\n"
    "Lists the layout presets: geometry, code, and where the ECC bytes and the\n"
    "bad-block marker sit in the OOB. With --json and layout options, prints the\n"
    "one layout they make, as a file for --layout-file.\n";

constexpr char kUsage[] =
    "usage: nandconv build [LAYOUT OPTIONS] [--keep-erased] [-q] IN OUT\n"
    "       nandconv check [LAYOUT OPTIONS] [-q] [--json] [-o RAW] [-f FIXED] [--erased-threshold T] IMAGE\n"
    "       nandconv inject [LAYOUT OPTIONS] --seed S (--bits K | --ber R) [...] IMAGE OUT\n"
    "       nandconv layouts [--json] [LAYOUT OPTIONS]\n"
    "       nandconv detect [--page N] [--oob N] [--exhaustive] [--json] [-q] DUMP\n"
    "Run `nandconv COMMAND --help` for one command.\n";

// Reports misuse as one line on standard error, naming the help to read.
int usageError(const char *why, const char *usage)
{
    // A command's usage names it as the second word.
    const char *command = usage + std::strlen("usage: nandconv ");
    const int n = usage == kUsage ? 0 : static_cast<int>(std::strcspn(command, " "));
    std::fprintf(stderr, "nandconv: %s (see nandconv %.*s%s--help)\n", why, n, command, n == 0 ? "" : " ");
    return kExitTrouble;
}

int trouble(const char *name, const char *why)
{
    return nand::checkTrouble("nandconv", name, why);
}

// Prints help asked for on standard output; a closed or failing standard
// output is trouble, reported.
int printHelp(const char *text)
{
    io::printText(text);
    io::flushOut();
    return io::outError() == 0 ? kExitGood : trouble("standard output", std::strerror(io::outError()));
}

enum : int {
    // The options that take a number, in the order of kNumberOptions.
    kPage = 256,
    kOob,
    kStep,
    kEccOffset,
    kStrength,
    kErasedThreshold,
    kBits,
    kFieldM,
    kPoly,
    kPagesPerBlock,
    kBlockCount,
    kUsablePage,
    kLayout,
    kLayoutFile,
    kBitOrder,
    kSmOrder,
    kEcc,
    kKeepErased,
    kJson,
    kVersion,
    kSeed,
    kBer,
    kArea,
    kErased,
    kManifest,
    kFlipbits,
    kExpect,
    kMarkerPages,
    kBb,
    kPerBlock,
    kBadBlocks,
    kPadToBlock,
    kPageRange,
    kBlockRange,
    kDirection,
    kMarkBad,
    kSoc,
    kMeta,
    kOobData,
    kNoRandomizer,
};

constexpr int kFirstNumber = kPage;

struct NumberOption {
    const char *name;
    unsigned long min;
    unsigned long max;
    bool layout;  // takes 0x hex, and k for sizes
    bool size;
};

const NumberOption kNumberOptions[] = {
    {"--page", 256, nand::kMaxPageSize, true, true},
    {"--oob", 1, nand::kMaxOobSize, true, true},
    {"--step", nand::kMinStepSize, nand::kMaxStepSize, true, true},
    {"--ecc-offset", 0, nand::kMaxOobSize, true, false},
    {"--strength", 1, bch::kMaxT, true, false},
    {"--erased-threshold", 0, 4096, false, false},
    {"--bits", 1, nand::kMaxInjectBits, false, false},
    {"--m", bch::kMinM, bch::kMaxM, true, false},
    {"--poly", 1, 0xFFFF, true, false},
    {"--pages-per-block", 2, nand::kMaxPagesPerBlock, true, true},
    {"--blocks", 1, 1ul << 30, false, false},
    {"--usable-page", 256, nand::kMaxPageSize, true, true},
};

struct Options {
    const char *layoutName = "classic";
    const char *layoutFile = nullptr;
    const char *raw = nullptr;
    const char *fixed = nullptr;
    long erasedThreshold = -1;
    const char *seed = nullptr;
    long bits = -1;
    const char *ber = nullptr;
    const char *manifest = nullptr;
    const char *flipbits = nullptr;
    const char *expect = nullptr;
    const char *badBlocks = nullptr;
    long blocks = -1;
    const char *pageRange = nullptr;
    const char *blockRange = nullptr;
    const char *markBad = nullptr;
    const char *meta = nullptr;
    const char *oobData = nullptr;
    const char *files[2] = {};
    nand::LayoutChanges changes;
    int fileCount = 0;
    bool layoutGiven = false;  // any layout option
    bool keepErased = false;
    bool quiet = false;
    bool json = false;
    nand::Area area = nand::Area::Step;
    bool erased = false;
    nand::BadBlockOutput bb = nand::BadBlockOutput::Skip;
    bool perBlock = false;
    bool padToBlock = false;
    nand::Direction direction = nand::Direction::Any;
};

// Where the number of option c goes, or null for an option that takes none.
long *numberField(Options *o, int c)
{
    switch (c) {
    case kPage:
        return &o->changes.pageSize;
    case kOob:
        return &o->changes.oobSize;
    case kStep:
        return &o->changes.stepSize;
    case kEccOffset:
        return &o->changes.eccOffset;
    case kStrength:
        return &o->changes.strength;
    case kErasedThreshold:
        return &o->erasedThreshold;
    case kBits:
        return &o->bits;
    case kFieldM:
        return &o->changes.m;
    case kPoly:
        return &o->changes.poly;
    case kPagesPerBlock:
        return &o->changes.pagesPerBlock;
    case kBlockCount:
        return &o->blocks;
    case kUsablePage:
        return &o->changes.usablePage;
    default:
        return nullptr;
    }
}

// --soc NAME into the layout changes. Returns -1 to go on, or the exit status
// of a usage error.
int socOption(const char *name, const char *usage, Options *o)
{
    nand::gpmi::Soc soc{};
    nand::sunxi::Soc sunxiSoc{};
    if (nand::sunxi::socByName(name, &sunxiSoc)) {
        o->changes.sunxiSoc = static_cast<int>(sunxiSoc);
        o->layoutGiven = true;
        return -1;
    }
    if (!nand::gpmi::socByName(name, &soc)) {
        char why[160];
        std::snprintf(why, sizeof why, "--soc takes imx23, imx28, imx6q, imx6sx, a10 or h6, not '%.20s'", name);
        return usageError(why, usage);
    }
    o->changes.soc = static_cast<int>(soc);
    o->layoutGiven = true;
    return -1;
}

// Parses the options of one command; `allowed` lists the long options it
// takes and `shortOptions` its short ones. Returns -1 to go on, or the exit
// status (help, or a usage error).
int parseOptions(int argc, char **argv, const option *allowed, const char *shortOptions, const char *usage,
                 int files, Options *o)
{
    opterr = 0;
    optind = 1;
    for (;;) {
        const int previous = optind;
        const int c = getopt_long(argc, argv, shortOptions, allowed, nullptr);
        if (c == -1) {
            break;
        }
        char why[160] = "";
        if (long *field = numberField(o, c); field != nullptr) {
            const NumberOption &n = kNumberOptions[c - kFirstNumber];
            unsigned long number = 0;
            if (!(n.layout ? args::layoutNumber(n.name, optarg, n.size, n.min, n.max, &number, why, sizeof why)
                           : args::optionNumber(n.name, optarg, n.min, n.max, &number, why, sizeof why))) {
                return usageError(why, usage);
            }
            *field = static_cast<long>(number);
            o->layoutGiven = o->layoutGiven || n.layout;
            continue;
        }
        switch (c) {
        case kLayout:
            if (nand::findPreset(optarg) == nullptr) {
                std::snprintf(why, sizeof why, "no layout named '%.40s'; `nandconv layouts` lists them", optarg);
                return usageError(why, usage);
            }
            o->layoutName = optarg;
            o->layoutFile = nullptr;
            o->layoutGiven = true;
            break;
        case kLayoutFile:
            o->layoutFile = optarg;
            o->layoutGiven = true;
            break;
        case kBitOrder:
            if (std::strcmp(optarg, "msb-first") != 0 && std::strcmp(optarg, "lsb-first") != 0) {
                std::snprintf(why, sizeof why, "--bit-order takes msb-first or lsb-first, not '%.20s'", optarg);
                return usageError(why, usage);
            }
            o->changes.lsbFirst = optarg[0] == 'l' ? 1 : 0;
            o->layoutGiven = true;
            break;
        case kSmOrder:
            o->changes.smOrder = true;
            o->layoutGiven = true;
            break;
        case kMarkerPages: {
            nand::MarkerPages pages{};
            if (!nand::markerPagesByName(optarg, &pages)) {
                std::snprintf(why, sizeof why, "--bbm-pages takes first, first,second or last, not '%.20s'", optarg);
                return usageError(why, usage);
            }
            o->changes.markerPages = static_cast<int>(pages);
            o->layoutGiven = true;
            break;
        }
        case kSoc:
            if (const int status = socOption(optarg, usage, o); status >= 0) {
                return status;
            }
            break;
        case kNoRandomizer:
            o->changes.randomizer = 0;
            o->layoutGiven = true;
            break;
        case kBb:
            if (!nand::badBlockOutputByName(optarg, &o->bb)) {
                std::snprintf(why, sizeof why, "--bb takes skip, pad or keep, not '%.20s'", optarg);
                return usageError(why, usage);
            }
            break;
        case kPerBlock:
            o->perBlock = true;
            break;
        case kBadBlocks:
            o->badBlocks = optarg;
            break;
        case kPadToBlock:
            o->padToBlock = true;
            break;
        case kPageRange:
            o->pageRange = optarg;
            break;
        case kBlockRange:
            o->blockRange = optarg;
            break;
        case kDirection:
            if (!nand::directionByName(optarg, &o->direction)) {
                std::snprintf(why, sizeof why, "--direction takes any, 0to1 or 1to0, not '%.20s'", optarg);
                return usageError(why, usage);
            }
            break;
        case kMarkBad:
            o->markBad = optarg;
            break;
        case kMeta:
            o->meta = optarg;
            break;
        case kOobData:
            o->oobData = optarg;
            break;
        case kEcc: {
            nand::Scheme scheme{};
            if (!nand::schemeByName(optarg, &scheme)) {
                std::snprintf(why, sizeof why, "--ecc takes classic, hamming, bch or none, not '%.20s'", optarg);
                return usageError(why, usage);
            }
            o->changes.scheme = static_cast<int>(scheme);
            o->layoutGiven = true;
            break;
        }
        case kKeepErased:
            o->keepErased = true;
            break;
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
        case kSeed:
            o->seed = optarg;
            break;
        case kBer:
            o->ber = optarg;
            break;
        case kArea:
            if (!nand::areaByName(optarg, &o->area)) {
                std::snprintf(why, sizeof why, "--area takes step, data, ecc or oob, not '%.20s'", optarg);
                return usageError(why, usage);
            }
            break;
        case kErased:
            o->erased = true;
            break;
        case kManifest:
            o->manifest = optarg;
            break;
        case kFlipbits:
            o->flipbits = optarg;
            break;
        case kExpect:
            o->expect = optarg;
            break;
        case 'h':
            if (usage != kLayoutsUsage) {
                io::printText(usage);
                return printHelp(kLayoutHelp);
            }
            return printHelp(usage);
        case kVersion:
            return printHelp("nandconv " CONV_VERSION "\n");
        case ':':
            args::missingValue(why, sizeof why, argv[optind - 1], optopt, "a value");
            return usageError(why, usage);
        default:
            args::optionError(why, sizeof why, args::lastArgument(argv, optind, previous), optopt);
            return usageError(why, usage);
        }
    }
    const int left = argc - optind;
    if (left != files) {
        return usageError(left < files ? "too few file names" : "too many file names", usage);
    }
    for (int i = 0; i < files; i++) {
        o->files[i] = argv[optind + i];
        if (o->files[i][0] == '\0') {
            return usageError("an empty file name", usage);
        }
    }
    o->fileCount = files;
    return -1;
}

#define LAYOUT_OPTIONS                                                                              \
    {"layout", required_argument, nullptr, kLayout}, {"page", required_argument, nullptr, kPage},   \
        {"oob", required_argument, nullptr, kOob}, {"step", required_argument, nullptr, kStep},     \
        {"ecc-offset", required_argument, nullptr, kEccOffset},                                     \
        {"sm-order", no_argument, nullptr, kSmOrder}, {"ecc", required_argument, nullptr, kEcc},    \
        {"strength", required_argument, nullptr, kStrength}, {"help", no_argument, nullptr, 'h'},  \
        {"layout-file", required_argument, nullptr, kLayoutFile},                                   \
        {"m", required_argument, nullptr, kFieldM}, {"poly", required_argument, nullptr, kPoly},    \
        {"bit-order", required_argument, nullptr, kBitOrder},                                       \
        {"pages-per-block", required_argument, nullptr, kPagesPerBlock},                            \
        {"bbm-pages", required_argument, nullptr, kMarkerPages},                                    \
        {"soc", required_argument, nullptr, kSoc},                                                  \
        {"no-randomizer", no_argument, nullptr, kNoRandomizer},                                     \
        {"usable-page", required_argument, nullptr, kUsablePage},                                   \
        {"version", no_argument, nullptr, kVersion}

// The large state of a run (a codec, a chip's blank records, text
// buffers), on the heap; made with malloc, as the tool loads no C++ runtime.
template <class T>
struct Freer {
    void operator()(T *p) const
    {
        p->~T();
        std::free(p);
    }
};
template <class T>
using Owned = std::unique_ptr<T, Freer<T>>;
template <class T>
Owned<T> make()
{
    void *p = std::malloc(sizeof(T));
    return Owned<T>(p == nullptr ? nullptr : new (p) T{});
}

// The layout the options make: a preset or a layout file, changed by the
// other layout options. Returns -1 to go on, or the exit status after
// reporting one that cannot work.
int chooseLayout(const Options &o, nand::Layout *layout)
{
    nand::LayoutSource source;
    (o.layoutFile != nullptr ? source.file : source.name) = o.layoutFile != nullptr ? o.layoutFile : o.layoutName;
    if (const nand::Status s = nand::loadLayout(source, o.changes, layout); !s.good()) {
        std::fprintf(stderr, "nandconv: %s\n", s.message());
        return kExitTrouble;
    }
    return -1;
}

// The run's codec (a run makes one): large, and in static storage, which is
// zero before the program starts, rather than on the heap, where making it
// zero would touch every page of its tables; so only the tables the layout
// uses are ever touched.
nand::Codec runCodec;

// Makes the codec of the chosen layout; refuses one that cannot work.
int makeCodec(const Options &o, const nand::Codec **codec)
{
    nand::Layout layout{};
    if (const int status = chooseLayout(o, &layout); status >= 0) {
        return status;
    }
    nand::makeCodec(layout, &runCodec);
    *codec = &runCodec;
    return -1;
}

// Opens an input: "-" is standard input, which must not have been closed
// (the /dev/null in its place would read as an empty input). Returns -1 to go
// on with *fd set, or the exit status after reporting.
int openInput(const char *path, const char *name, int *fd)
{
    const bool isStdin = std::strcmp(path, "-") == 0 || io::namesStandardStream(path, STDIN_FILENO);
    if (isStdin && io::wasClosed(STDIN_FILENO)) {
        return trouble(name, std::strerror(EBADF));
    }
    *fd = std::strcmp(path, "-") == 0 ? STDIN_FILENO : open(path, O_RDONLY);
    return *fd < 0 ? trouble(name, std::strerror(errno)) : -1;
}

// ---- build ----

// Pages per block: one read into up to 512 iovecs, one write. At most 256 KiB
// of page data and 128 KiB of OOB (128 pages of 2048 + 64): as fast as larger
// blocks, and the whole run stays under 4 MiB.
constexpr std::size_t kBlockData = std::size_t{256} * 1024;
constexpr std::size_t kBlockOob = std::size_t{128} * 1024;
constexpr std::size_t kMaxBlockPages = 512;
// Read ahead into a ring of record buffers, each page straight into its
// record, by a thread that also encodes the OOB beside it; the page loop then
// writes each block whole, in one piece. Two threads at work, as the machine
// has two cores: a third stage (a writing thread, or a second reading one for
// BCH) cost more in switches than it overlapped.
constexpr std::size_t kBlocks = 4;

struct Progress {
    bool shown = false;
    bool open = false;  // a line is on the terminal without its newline
    std::uint64_t total = 0;  // input bytes, 0 when unknown
    timespec start = {};
    timespec last = {};
};

double secondsBetween(const timespec &a, const timespec &b)
{
    return static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
}

// A progress line on a terminal's standard error, at most twice a second.
void showProgress(Progress *p, std::uint64_t done, bool final)
{
    if (!p->shown) {
        return;
    }
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (!final && secondsBetween(p->last, now) < 0.5) {
        return;
    }
    p->last = now;
    const double elapsed = secondsBetween(p->start, now);
    const double mib = static_cast<double>(done) / 1048576.0;
    const double rate = elapsed > 0 ? mib / elapsed : 0;
    p->open = !final;
    if (p->total != 0) {
        const double left = rate > 0 ? (static_cast<double>(p->total) / 1048576.0 - mib) / rate : 0;
        std::fprintf(stderr, "\r%.1f of %.1f MiB, %.1f MiB/s, %.0f s left   %s", mib,
                     static_cast<double>(p->total) / 1048576.0, rate, left > 0 ? left : 0, final ? "\n" : "");
    } else {
        std::fprintf(stderr, "\r%.1f MiB, %.1f MiB/s   %s", mib, rate, final ? "\n" : "");
    }
}

// Ends a progress line left open, so that an error line starts on a line of
// its own.
void endProgress(Progress *p)
{
    if (p->open) {
        std::fputc('\n', stderr);
        p->open = false;
    }
}

// --meta FILE of the build under way: the metadata bytes of every page, read
// whole before the output is opened.
struct Metadata {
    std::uint8_t *bytes = nullptr;
    std::uint64_t pages = 0;
    std::size_t perRead = 0;  // pages of a read of the input

    Metadata() = default;
    Metadata(const Metadata &) = delete;
    Metadata &operator=(const Metadata &) = delete;
    ~Metadata() { std::free(bytes); }
};
// A build laid out for one chip (--bad-blocks, --pad-to-block, --blocks):
// the data skips the chip's bad blocks, as nandwrite does, and the image may
// end with blank pages at a whole block or chip.
struct Chip {
    const nand::Codec *codec = nullptr;
    // The pages of each block that the reading thread encodes; the writing
    // one encodes the rest before it writes them.
    std::size_t readerPages = 0;
    bool keepErased = false;  // --keep-erased
    bool on = false;
    std::uint64_t *bad = nullptr;  // the bad blocks, in order
    std::size_t badCount = 0;
    std::size_t nextBad = 0;       // the first of them not behind the output yet
    std::uint64_t blocks = 0;      // --blocks; 0 for none
    bool padToBlock = false;
    std::uint64_t page = 0;        // records written
    // A blank page, and a blank page with its marker set, as Linux leaves the
    // marker pages of a block it marks bad: the first marker byte 0x00.
    std::uint8_t blank[nand::kMaxPageSize + nand::kMaxOobSize] = {};
    std::uint8_t marked[nand::kMaxPageSize + nand::kMaxOobSize] = {};
    Metadata metadata;  // --meta

    Chip() = default;
    Chip(const Chip &) = delete;
    Chip &operator=(const Chip &) = delete;
    ~Chip() { std::free(bad); }
};

// The metadata of page p of read n, or null for the layout's default.
const std::uint8_t *pageMetadata(const Metadata &metadata, std::size_t n, std::size_t p)
{
    const std::uint64_t page = std::uint64_t{n} * metadata.perRead + p;
    return page < metadata.pages ? metadata.bytes + page * nand::gpmi::kMetadataBytes : nullptr;
}

// Makes pages from .. to - 1 of block n (got bytes read) records: its steps
// in place, its codes and fills.
void encodePages(const Chip &chip, std::size_t n, std::uint8_t *block, std::size_t got, std::size_t from,
                 std::size_t to)
{
    const nand::Codec &codec = *chip.codec;
    const nand::Layout &l = codec.layout;
    const std::size_t pages = (got + l.pageSize - 1) / l.pageSize;
    for (std::size_t p = from; p < to && p < pages; p++) {
        std::uint8_t *record = block + p * codec.recordSize;
        // The input bytes of the page: a short last page's fill is the
        // layout's own where it has one (sunxi-boot0).
        const std::size_t data = p + 1 == pages && got % l.pageSize != 0 ? got % l.pageSize : l.pageSize;
        nand::encodeRecordWithMeta(codec, record, pageMetadata(chip.metadata, n, p), chip.keepErased,
                                   std::uint64_t{n} * chip.metadata.perRead + p, data);
    }
}

// Pads a short last page of a block with the layout's fill and makes the
// reading thread's share of its pages records, on that thread.
void encodeBlock(void *context, std::size_t n, std::uint8_t *block, std::size_t got)
{
    const Chip &chip = *static_cast<const Chip *>(context);
    const nand::Codec &codec = *chip.codec;
    const nand::Layout &l = codec.layout;
    const std::size_t pages = (got + l.pageSize - 1) / l.pageSize;
    if (const std::size_t rest = got % l.pageSize; rest != 0) {
        std::memset(block + (pages - 1) * codec.recordSize + rest, l.padFill, l.pageSize - rest);
    }
    encodePages(chip, n, block, got, 0, chip.readerPages);
}

// Reads --meta FILE, checked against the layout and, where its size is
// known, the input's pages. Returns -1 to go on, or the exit status.
int loadMetadata(Chip *chip, const char *path, const struct stat &inStat)
{
    const nand::Codec &codec = *chip->codec;
    Metadata &metadata = chip->metadata;
    if (codec.layout.vendor != nand::Vendor::Gpmi) {
        return usageError("--meta is for the imx-gpmi layout", kBuildUsage);
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st = {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        const int err = errno;
        if (fd >= 0) {
            close(fd);
        }
        return trouble(path, std::strerror(err));
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    metadata.bytes = static_cast<std::uint8_t *>(std::malloc(size != 0 ? size : 1));
    bool ended = false;
    int err = metadata.bytes == nullptr ? ENOMEM : 0;
    const std::size_t got = err == 0 ? io::readFully(fd, metadata.bytes, size, &ended, &err) : 0;
    close(fd);
    if (err != 0) {
        return trouble(path, std::strerror(err));
    }
    char why[160];
    metadata.pages = got / nand::gpmi::kMetadataBytes;
    const std::uint64_t inPages = (static_cast<std::uint64_t>(inStat.st_size) + codec.layout.pageSize - 1) /
                                  codec.layout.pageSize;
    if (got != size || got % nand::gpmi::kMetadataBytes != 0) {
        std::snprintf(why, sizeof why, "%zu bytes: not %u metadata bytes a page", got, nand::gpmi::kMetadataBytes);
        return trouble(path, why);
    }
    if (S_ISREG(inStat.st_mode) && metadata.pages != inPages) {
        std::snprintf(why, sizeof why, "metadata for %llu pages; the input has %llu",
                      static_cast<unsigned long long>(metadata.pages), static_cast<unsigned long long>(inPages));
        return trouble(path, why);
    }
    return -1;
}

// Reads a list of blocks ("3,7,100-102") into chip->bad, in order; false
// with the reason.
bool parseBlockList(Chip *chip, const char *text, char *why, std::size_t size)
{
    constexpr std::size_t kMaxListed = std::size_t{1} << 20;
    std::size_t capacity = 0;
    for (const char *p = text;;) {
        char *end = nullptr;
        errno = 0;
        const unsigned long long first = std::isdigit(static_cast<unsigned char>(*p)) != 0 ? std::strtoull(p, &end, 0) : 0;
        unsigned long long last = first;
        if (end != nullptr && *end == '-' && std::isdigit(static_cast<unsigned char>(end[1])) != 0) {
            last = std::strtoull(end + 1, &end, 0);
        }
        if (end == nullptr || errno != 0 || last < first || (*end != ',' && *end != '\0') ||
            last - first >= kMaxListed) {
            std::snprintf(why, size, "--bad-blocks takes a list such as 3,7,100-102, not '%.40s'", text);
            return false;
        }
        for (unsigned long long b = first; b <= last; b++) {
            if (chip->badCount == kMaxListed) {
                std::snprintf(why, size, "--bad-blocks lists more than %zu blocks", kMaxListed);
                return false;
            }
            if (chip->badCount == capacity) {
                capacity = capacity == 0 ? 64 : 2 * capacity;
                void *grown = std::realloc(chip->bad, capacity * sizeof chip->bad[0]);
                if (grown == nullptr) {
                    std::snprintf(why, size, "%s", std::strerror(ENOMEM));
                    return false;
                }
                chip->bad = static_cast<std::uint64_t *>(grown);
            }
            chip->bad[chip->badCount++] = b;
        }
        if (*end == '\0') {
            break;
        }
        p = end + 1;
    }
    std::sort(chip->bad, chip->bad + chip->badCount);
    chip->badCount = static_cast<std::size_t>(std::unique(chip->bad, chip->bad + chip->badCount) - chip->bad);
    return true;
}

// A range "A-B" or "A" of numbers, inclusive; false for anything else.
bool parseRange(const char *text, std::uint64_t *range)
{
    char *end = nullptr;
    errno = 0;
    if (std::isdigit(static_cast<unsigned char>(*text)) == 0) {
        return false;
    }
    range[0] = range[1] = std::strtoull(text, &end, 10);
    if (*end == '-' && std::isdigit(static_cast<unsigned char>(end[1])) != 0) {
        range[1] = std::strtoull(end + 1, &end, 10);
    }
    return errno == 0 && *end == '\0' && range[0] <= range[1];
}

// Whether block b is listed bad (the chip's, or the blocks to mark); moves
// past the listed blocks behind it.
bool blockIsBad(Chip *chip, std::uint64_t b)
{
    while (chip->nextBad < chip->badCount && chip->bad[chip->nextBad] < b) {
        chip->nextBad++;
    }
    return chip->nextBad < chip->badCount && chip->bad[chip->nextBad] == b;
}

// Writes n copies of one record; 0 or the errno.
int writeRepeated(Chip *chip, int out, const std::uint8_t *record, std::size_t n)
{
    const nand::Codec &codec = *chip->codec;
    constexpr std::size_t kAtOnce = 64;
    iovec iov[kAtOnce];
    while (n != 0) {
        const std::size_t k = n < kAtOnce ? n : kAtOnce;
        for (std::size_t i = 0; i < k; i++) {
            iov[i] = {const_cast<std::uint8_t *>(record), codec.recordSize};
        }
        if (const int err = io::writeAll(out, iov, static_cast<int>(k))) {
            return err;
        }
        n -= k;
        chip->page += k;
    }
    return 0;
}

// Writes a bad block as Linux leaves one it marks bad: blank pages, the
// first marker byte 0x00 in its marker pages (Linux writes one byte on a chip
// of 8-bit bus). 0 or the errno.
int writeBadBlock(Chip *chip, int out)
{
    const nand::Codec &codec = *chip->codec;
    const std::size_t pages = codec.layout.pagesPerBlock;
    for (std::size_t i = 0; i < pages; i++) {
        if (const int err = writeRepeated(chip, out, nand::isMarkerPage(codec.layout, i) ? chip->marked : chip->blank, 1)) {
            return err;
        }
    }
    return 0;
}

// Writes the records of one read as a chip takes them: a bad block wherever
// the next page would land in one. 0, or the errno (*tooBig when the data
// overran --blocks).
int writeChipRecords(Chip *chip, int out, std::uint8_t *data, std::size_t records, bool *tooBig)
{
    const nand::Codec &codec = *chip->codec;
    const std::size_t ppb = codec.layout.pagesPerBlock;
    for (std::size_t r = 0; r < records;) {
        if (chip->page % ppb == 0 && blockIsBad(chip, chip->page / ppb)) {
            if (const int err = writeBadBlock(chip, out)) {
                return err;
            }
            continue;
        }
        const std::size_t run = std::min(records - r, ppb - chip->page % ppb);
        if (chip->blocks != 0 && chip->page + run > chip->blocks * ppb) {
            *tooBig = true;
            return 0;
        }
        if (const int err = io::writeAll(out, data + r * codec.recordSize, run * codec.recordSize)) {
            return err;
        }
        chip->page += run;
        r += run;
    }
    return 0;
}

// The blank pages that end the image at a whole block or at --blocks; bad
// blocks among them are written as such. 0 or the errno.
int padChip(Chip *chip, int out)
{
    const nand::Codec &codec = *chip->codec;
    const std::size_t ppb = codec.layout.pagesPerBlock;
    std::uint64_t end = chip->blocks * ppb;
    if (chip->blocks == 0) {
        end = chip->padToBlock ? (chip->page + ppb - 1) / ppb * ppb : chip->page;
    }
    while (chip->page < end) {
        if (chip->page % ppb == 0 && blockIsBad(chip, chip->page / ppb)) {
            if (const int err = writeBadBlock(chip, out)) {
                return err;
            }
            continue;
        }
        if (const int err = writeRepeated(chip, out, chip->blank, static_cast<std::size_t>(ppb - chip->page % ppb))) {
            return err;
        }
    }
    return 0;
}

// The page loop: a reading thread reads the blocks of pages and encodes
// them (encodeBlock); this one writes the records. Where the codes cost more
// than the copies (BCH), this one encodes half of each block's pages before
// it writes them, so that the two threads share the work as the two cores
// can: two reading threads beside the writing one ran slower.
int buildPages(Chip *chip, int in, int out, const char *inName, const char *outName, Progress *progress)
{
    const nand::Codec &codec = *chip->codec;
    const nand::Layout &l = codec.layout;
    std::size_t perBlock = kBlockData / l.pageSize;
    perBlock = perBlock < kBlockOob / l.oobSize ? perBlock : kBlockOob / l.oobSize;
    perBlock = perBlock < kMaxBlockPages ? perBlock : kMaxBlockPages;
    // A record may hold more than its page and OOB (boot0's usable part).
    const std::size_t fit = (kBlockData + kBlockOob) / codec.recordSize;
    perBlock = perBlock < fit ? perBlock : fit;
    std::uint64_t done = 0;
    const auto fail = [progress](const char *name, int err) {
        endProgress(progress);
        return trouble(name, std::strerror(err));
    };
    io::Pipeline pipe;
    if (!pipe.allocate({l.pageSize, codec.recordSize, perBlock}, kBlocks, kBlocks * sizeof(iovec))) {
        return fail(inName, ENOMEM);
    }
    chip->metadata.perRead = perBlock;
    chip->readerPages = l.scheme == nand::Scheme::Bch ? perBlock / 2 : perBlock;
    pipe.startReader(in, encodeBlock, chip, 1);
    const auto encodeRest = [chip](std::size_t n, const io::Block &b) {
        encodePages(*chip, n, b.data, b.bytes, chip->readerPages, SIZE_MAX);
    };
    if (chip->on) {
        // Written here, block by block, as the chip's bad blocks fall.
        for (std::size_t n = 0;; n++) {
            const io::Block b = pipe.nextBlock();
            if (b.err != 0) {
                return fail(inName, b.err);
            }
            encodeRest(n, b);
            bool tooBig = false;
            const std::size_t pages = (b.bytes + l.pageSize - 1) / l.pageSize;
            if (const int err = writeChipRecords(chip, out, b.data, pages, &tooBig)) {
                return fail(outName, err);
            }
            if (tooBig) {
                endProgress(progress);
                char why[160];
                std::snprintf(why, sizeof why, "does not fit in the %llu good blocks of %llu",
                              static_cast<unsigned long long>(chip->blocks - chip->badCount),
                              static_cast<unsigned long long>(chip->blocks));
                return trouble(inName, why);
            }
            done += b.bytes;
            pipe.releaseBlock();
            if (b.ended) {
                break;
            }
            showProgress(progress, done, false);
        }
        pipe.finishReader();
        if (const int err = padChip(chip, out)) {
            return fail(outName, err);
        }
        showProgress(progress, done, true);
        return kExitGood;
    }
    int job = 0;
    for (std::size_t n = 0;; n++) {
        const io::Block b = pipe.nextBlock();
        const std::size_t got = b.bytes;
        // A read error ends the run; the image is then abandoned anyway.
        if (b.err != 0) {
            return fail(inName, b.err);
        }
        encodeRest(n, b);
        const std::size_t pages = (got + l.pageSize - 1) / l.pageSize;
        iovec *whole = reinterpret_cast<iovec *>(pipe.extra()) + n % kBlocks;
        *whole = {b.data, pages * codec.recordSize};
        const io::WriteJob write = {out, whole, 1};
        pipe.submitBlock(&write, 1);
        done += got;
        if (b.ended) {
            break;
        }
        if (const int err = pipe.writeError(&job)) {
            return fail(outName, err);
        }
        showProgress(progress, done, false);
    }
    if (const int err = pipe.finishWriter(&job)) {
        return fail(outName, err);
    }
    pipe.finishReader();
    showProgress(progress, done, true);
    return kExitGood;
}

bool parseSeed(const char *text, std::uint64_t *seed);

int runBuild(int argc, char **argv)
{
    static const option longOptions[] = {
        LAYOUT_OPTIONS,
        {"seed", required_argument, nullptr, kSeed},
        {"keep-erased", no_argument, nullptr, kKeepErased},
        {"bad-blocks", required_argument, nullptr, kBadBlocks},
        {"pad-to-block", no_argument, nullptr, kPadToBlock},
        {"blocks", required_argument, nullptr, kBlockCount},
        {"meta", required_argument, nullptr, kMeta},
        {"quiet", no_argument, nullptr, 'q'},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    if (const int status = parseOptions(argc, argv, longOptions, ":qh", kBuildUsage, 2, &o); status >= 0) {
        return status;
    }
    if (o.seed != nullptr) {
        if (!parseSeed(o.seed, &o.changes.fillSeed)) {
            return usageError("--seed takes a number from 0 to 2^64-1", kBuildUsage);
        }
        o.changes.fillSeedGiven = true;
    }
    const nand::Codec *codecMade = nullptr;
    if (const int status = makeCodec(o, &codecMade); status >= 0) {
        return status;
    }
    const nand::Codec &codec = *codecMade;
    if (o.badBlocks != nullptr && codec.layout.vendor == nand::Vendor::Sunxi && codec.layout.randomizer) {
        return usageError("--bad-blocks moves pages onto other pages' randomizer seeds: not for sunxi with its "
                          "randomizer",
                          kBuildUsage);
    }
    const Owned<Chip> chipMade = make<Chip>();
    if (chipMade == nullptr) {
        return trouble("nandconv", std::strerror(ENOMEM));
    }
    Chip &chip = *chipMade;
    chip.codec = &codec;
    chip.keepErased = o.keepErased;
    chip.on = o.badBlocks != nullptr || o.padToBlock || o.blocks >= 0;
    if (chip.on) {
        char why[160];
        if (o.badBlocks != nullptr && !parseBlockList(&chip, o.badBlocks, why, sizeof why)) {
            return usageError(why, kBuildUsage);
        }
        if (o.badBlocks != nullptr && codec.layout.markerCount == 0) {
            return usageError("the layout has no bad-block marker to mark bad blocks with", kBuildUsage);
        }
        chip.blocks = o.blocks >= 0 ? static_cast<std::uint64_t>(o.blocks) : 0;
        chip.padToBlock = o.padToBlock;
        if (chip.blocks != 0 && chip.badCount != 0 && chip.bad[chip.badCount - 1] >= chip.blocks) {
            std::snprintf(why, sizeof why, "bad block %llu is past the %llu blocks of --blocks",
                          static_cast<unsigned long long>(chip.bad[chip.badCount - 1]),
                          static_cast<unsigned long long>(chip.blocks));
            return usageError(why, kBuildUsage);
        }
        std::memset(chip.blank, 0xFF, codec.recordSize);
        std::memset(chip.marked, 0xFF, codec.recordSize);
        chip.marked[nand::markerByte(codec, 0)] = 0x00;
    }
    const char *inName = std::strcmp(o.files[0], "-") == 0 ? "standard input" : o.files[0];
    int in = -1;
    if (const int status = openInput(o.files[0], inName, &in); status >= 0) {
        return status;
    }
    struct stat inStat = {};
    if (fstat(in, &inStat) != 0) {
        return trouble(inName, std::strerror(errno));
    }
    if (o.meta != nullptr) {
        if (const int status = loadMetadata(&chip, o.meta, inStat); status >= 0) {
            return status;
        }
    }
    if (chip.blocks != 0 && S_ISREG(inStat.st_mode)) {
        const auto pages = (static_cast<std::uint64_t>(inStat.st_size) + codec.layout.pageSize - 1) /
                           codec.layout.pageSize;
        const std::uint64_t good = chip.blocks - chip.badCount;
        if (pages > good * codec.layout.pagesPerBlock) {
            char why[160];
            std::snprintf(why, sizeof why, "%llu pages do not fit in the %llu good blocks of %llu",
                          static_cast<unsigned long long>(pages), static_cast<unsigned long long>(good),
                          static_cast<unsigned long long>(chip.blocks));
            return trouble(inName, why);
        }
    }
    io::Output out;
    const bool toStdout = io::meansStandardOutput(o.files[1]);
    const char *outName = std::strcmp(o.files[1], "-") == 0 ? "standard output" : o.files[1];
    if (toStdout && io::wasClosed(STDOUT_FILENO)) {
        return trouble(outName, std::strerror(EBADF));
    }
    if (toStdout) {
        if (S_ISREG(inStat.st_mode) && io::isStandardOutputFile(inStat)) {
            return trouble(outName, "is the input; not written");
        }
        out.fd = STDOUT_FILENO;  // as it stands: never reopened or emptied
    } else {
        const struct stat *avoid[] = {&inStat};
        const nand::Status opened = io::openOutput(o.files[1], &out, avoid, 1, nullptr, 0);
        if (opened.kind() == nand::Status::Kind::Invalid) {
            return trouble(o.files[1], "names the input; not written");
        }
        if (!opened.good()) {
            return trouble(o.files[1], std::strerror(opened.errnum()));
        }
        if (out.temp[0] != '\0' && S_ISREG(inStat.st_mode) && inStat.st_size > 0 && !chip.on) {
            const auto pages = (static_cast<std::uint64_t>(inStat.st_size) + codec.layout.pageSize - 1) /
                               codec.layout.pageSize;
            out.reserved = io::reserve(out.fd, pages * codec.recordSize);
        }
    }
    Progress progress;
    progress.shown = !o.quiet && isatty(STDERR_FILENO) == 1;
    progress.total = S_ISREG(inStat.st_mode) ? static_cast<std::uint64_t>(inStat.st_size) : 0;
    clock_gettime(CLOCK_MONOTONIC, &progress.start);
    progress.last = progress.start;

    int status = buildPages(&chip, in, out.fd, inName, outName, &progress);
    if (status != kExitGood) {
        io::abandonOutput(&out);
    } else if (const int err = io::commitOutput(&out); err != 0) {
        endProgress(&progress);
        status = trouble(outName, std::strerror(err));
    }
    return status;
}

// ---- check ----

// check --oob-data FILE: each page's metadata, gathered as the check goes
// and written whole when it ends with a result.
struct OobData {
    std::uint8_t *bytes = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
    bool outOfMemory = false;

    OobData() = default;
    OobData(const OobData &) = delete;
    OobData &operator=(const OobData &) = delete;
    ~OobData() { std::free(bytes); }
};

void gatherOobData(void *context, const nand::Codec &c, const std::uint8_t *record)
{
    OobData &oobData = *static_cast<OobData *>(context);
    constexpr std::size_t kFirst = std::size_t{64} * 1024;
    if (!oobData.outOfMemory && oobData.size + nand::gpmi::kMetadataBytes > oobData.capacity) {
        const std::size_t capacity = oobData.capacity == 0 ? kFirst : 2 * oobData.capacity;
        auto *grown = static_cast<std::uint8_t *>(std::realloc(oobData.bytes, capacity));
        oobData.outOfMemory = grown == nullptr;
        oobData.bytes = grown != nullptr ? grown : oobData.bytes;
        oobData.capacity = grown != nullptr ? capacity : oobData.capacity;
    }
    if (!oobData.outOfMemory) {
        nand::gpmi::recordMetadata(c, record, oobData.bytes + oobData.size);
        oobData.size += nand::gpmi::kMetadataBytes;
    }
}

// Runs the check with --oob-data FILE: the target, refused where it names
// the image, the manifest or another output, is replaced when the check ends
// with 0 or 1 and all the metadata is written, and never after trouble.
int checkWithOobData(const nand::Codec &codec, const char *path, nand::CheckOptions c)
{
    if (codec.layout.vendor != nand::Vendor::Gpmi) {
        return usageError("--oob-data is for the imx-gpmi layout", kCheckUsage);
    }
    if (path[0] == '\0' || io::meansStandardOutput(path)) {
        return usageError("--oob-data takes a file name", kCheckUsage);
    }
    for (const char *other : {c.raw, c.fixed}) {
        if (other != nullptr && std::strcmp(other, path) == 0) {
            return usageError("--oob-data and -o or -f name the same file", kCheckUsage);
        }
    }
    struct stat files[2] = {};
    const struct stat *avoid[2] = {};
    std::size_t count = 0;
    for (const char *name : {c.image, c.expect}) {
        if (name != nullptr && std::strcmp(name, "-") != 0 && stat(name, &files[count]) == 0) {
            avoid[count] = &files[count];
            count++;
        }
    }
    io::Output out;
    if (const nand::Status opened = io::openOutput(path, &out, avoid, count, nullptr, 0); !opened.good()) {
        return trouble(path, opened.kind() == nand::Status::Kind::Invalid ? "names an input of the check; not written"
                                                                           : std::strerror(opened.errnum()));
    }
    OobData oobData;
    c.onPage = gatherOobData;
    c.onPageContext = &oobData;
    int status = nand::runCheck(codec, c);
    if (status != nand::kCheckGood && status != nand::kCheckBad) {
        io::abandonOutput(&out);
        return status;
    }
    int err = oobData.outOfMemory ? ENOMEM : io::writeAll(out.fd, oobData.bytes, oobData.size);
    if (err == 0) {
        err = io::commitOutput(&out);
    } else {
        io::abandonOutput(&out);
    }
    return err == 0 ? status : trouble(path, std::strerror(err));
}

int runCheckCommand(int argc, char **argv, unsigned closed)
{
    static const option longOptions[] = {
        LAYOUT_OPTIONS,
        {"quiet", no_argument, nullptr, 'q'},
        {"json", no_argument, nullptr, kJson},
        {"erased-threshold", required_argument, nullptr, kErasedThreshold},
        {"expect", required_argument, nullptr, kExpect},
        {"bb", required_argument, nullptr, kBb},
        {"per-block", no_argument, nullptr, kPerBlock},
        {"oob-data", required_argument, nullptr, kOobData},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    if (const int status = parseOptions(argc, argv, longOptions, ":qo:f:h", kCheckUsage, 1, &o); status >= 0) {
        return status;
    }
    if ((o.raw != nullptr && o.raw[0] == '\0') || (o.fixed != nullptr && o.fixed[0] == '\0')) {
        return usageError("an empty output name", kCheckUsage);
    }
    if (o.raw != nullptr && o.fixed != nullptr && std::strcmp(o.raw, o.fixed) == 0) {
        return usageError("-o and -f name the same file", kCheckUsage);
    }
    const nand::Codec *codec = nullptr;
    if (const int status = makeCodec(o, &codec); status >= 0) {
        return status;
    }
    if ((closed & 2u) != 0) {
        return trouble("standard output", std::strerror(EBADF));
    }
    nand::CheckOptions c = {"nandconv", "step", "steps", true};
    c.quiet = o.quiet;
    c.json = o.json;
    c.raw = o.raw;
    c.fixed = o.fixed;
    c.image = o.files[0];
    c.expect = o.expect;
    c.bb = o.bb;
    c.perBlock = o.perBlock;
    c.erasedThreshold =
        o.erasedThreshold >= 0 ? static_cast<unsigned>(o.erasedThreshold) : nand::strength(codec->layout);
    if (o.oobData != nullptr) {
        return checkWithOobData(*codec, o.oobData, c);
    }
    return nand::runCheck(*codec, c);
}

// ---- inject ----

// A text output (the manifest, the nandflipbits list) written in pieces.
struct TextOut {
    const char *name = nullptr;
    io::Output file;
    char buf[64 * 1024];
    std::size_t len = 0;
    int err = 0;
};

void flushText(TextOut *t)
{
    if (t->err == 0 && t->len != 0) {
        t->err = io::writeAll(t->file.fd, reinterpret_cast<const std::uint8_t *>(t->buf), t->len);
    }
    t->len = 0;
}

void putText(TextOut *t, const char *text, int n)
{
    if (t->name == nullptr || n <= 0) {
        return;
    }
    if (t->len + static_cast<std::size_t>(n) > sizeof t->buf) {
        flushText(t);
    }
    std::memcpy(t->buf + t->len, text, static_cast<std::size_t>(n));
    t->len += static_cast<std::size_t>(n);
}

struct InjectRun {
    std::size_t recordSize = 0;
    std::uint64_t page = 0;
    std::uint64_t flips = 0;
    TextOut manifest;
    TextOut flipbits;
};

void emitFlip(void *context, const nand::Flip &f)
{
    auto *run = static_cast<InjectRun *>(context);
    const auto page = static_cast<unsigned long long>(run->page);
    char line[128];
    const int n = f.step >= 0 ? std::snprintf(line, sizeof line, "{\"page\":%llu,\"step\":%d,\"offset\":%u,\"bit\":%u}\n",
                                              page, f.step, f.offset, static_cast<unsigned>(f.bit))
                              : std::snprintf(line, sizeof line, "{\"page\":%llu,\"step\":null,\"offset\":%u,\"bit\":%u}\n",
                                              page, f.offset, static_cast<unsigned>(f.bit));
    putText(&run->manifest, line, n);
    const int m = std::snprintf(line, sizeof line, "%u@%llu\n", static_cast<unsigned>(f.bit),
                                page * run->recordSize + f.offset);
    putText(&run->flipbits, line, m);
    run->flips++;
}

bool parseSeed(const char *text, std::uint64_t *seed)
{
    if (text[0] < '0' || text[0] > '9') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    *seed = v;
    return errno == 0 && *end == '\0';
}

bool parseRate(const char *text, std::uint64_t *rate)
{
    char *end = nullptr;
    errno = 0;
    const double r = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(r >= 0.0 && r <= 1.0)) {
        return false;
    }
    // R * 2^64 exactly, as the draws are compared with it.
    *rate = r >= 1.0 ? ~std::uint64_t{0} : static_cast<std::uint64_t>(r * 18446744073709551616.0);
    return true;
}

int runInject(int argc, char **argv)
{
    static const option longOptions[] = {
        LAYOUT_OPTIONS,
        {"seed", required_argument, nullptr, kSeed},
        {"bits", required_argument, nullptr, kBits},
        {"ber", required_argument, nullptr, kBer},
        {"area", required_argument, nullptr, kArea},
        {"erased", no_argument, nullptr, kErased},
        {"manifest", required_argument, nullptr, kManifest},
        {"nandflipbits", required_argument, nullptr, kFlipbits},
        {"pages", required_argument, nullptr, kPageRange},
        {"blocks", required_argument, nullptr, kBlockRange},
        {"direction", required_argument, nullptr, kDirection},
        {"mark-bad", required_argument, nullptr, kMarkBad},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    if (const int status = parseOptions(argc, argv, longOptions, ":h", kInjectUsage, 2, &o); status >= 0) {
        return status;
    }
    nand::InjectOptions inject;
    inject.area = o.area;
    inject.erased = o.erased;
    inject.direction = o.direction;
    std::uint64_t pages[2] = {0, ~std::uint64_t{0}};
    std::uint64_t blocks[2] = {0, ~std::uint64_t{0}};
    for (const auto &[text, range, name] : {std::tuple{o.pageRange, pages, "--pages"},
                                            std::tuple{o.blockRange, blocks, "--blocks"}}) {
        if (text != nullptr && !parseRange(text, range)) {
            char why[96];
            std::snprintf(why, sizeof why, "%s takes A-B or A, not '%.20s'", name, text);
            return usageError(why, kInjectUsage);
        }
    }
    const Owned<Chip> marks = make<Chip>();  // the blocks of --mark-bad
    const Owned<InjectRun> runMade = make<InjectRun>();
    if (marks == nullptr || runMade == nullptr) {
        return trouble("nandconv", std::strerror(ENOMEM));
    }
    InjectRun &run = *runMade;
    if (o.markBad != nullptr) {
        char why[160];
        if (!parseBlockList(marks.get(), o.markBad, why, sizeof why)) {
            return usageError(why, kInjectUsage);
        }
    }
    std::uint64_t seed = 0;
    if (o.seed == nullptr || !parseSeed(o.seed, &seed)) {
        return usageError(o.seed == nullptr ? "--seed is needed" : "--seed takes a number from 0 to 2^64-1",
                          kInjectUsage);
    }
    if ((o.bits > 0) == (o.ber != nullptr)) {
        return usageError("give one of --bits and --ber", kInjectUsage);
    }
    if (o.ber != nullptr && !parseRate(o.ber, &inject.rate)) {
        return usageError("--ber takes a probability from 0 to 1", kInjectUsage);
    }
    inject.bits = o.bits > 0 ? static_cast<unsigned>(o.bits) : 0;
    const nand::Codec *codecMade = nullptr;
    if (const int status = makeCodec(o, &codecMade); status >= 0) {
        return status;
    }
    const nand::Codec &codec = *codecMade;
    run.recordSize = codec.recordSize;
    if (o.markBad != nullptr && codec.layout.markerCount == 0) {
        return usageError("the layout has no bad-block marker to mark bad blocks with", kInjectUsage);
    }
    if (inject.bits > nand::areaBits(codec, inject.area)) {
        char why[96];
        std::snprintf(why, sizeof why, "--bits %u: the area holds %zu bits", inject.bits,
                      nand::areaBits(codec, inject.area));
        return usageError(why, kInjectUsage);
    }

    const char *inName = std::strcmp(o.files[0], "-") == 0 ? "standard input" : o.files[0];
    int in = -1;
    if (const int status = openInput(o.files[0], inName, &in); status >= 0) {
        return status;
    }
    struct stat inStat = {};
    if (fstat(in, &inStat) != 0) {
        return trouble(inName, std::strerror(errno));
    }
    // All outputs are opened, and checked against the image and each other,
    // before anything is written. One of them may be standard output ("-" or
    // a name of it), written as it stands: never reopened or emptied.
    io::Output out;
    run.manifest.name = o.manifest;
    run.flipbits.name = o.flipbits;
    const struct stat *avoid[] = {&inStat};
    const io::Output *opened[3] = {};
    std::size_t openedCount = 0;
    struct Target {
        const char *name;
        io::Output *file;
    } targets[] = {{o.files[1], &out}, {o.manifest, &run.manifest.file}, {o.flipbits, &run.flipbits.file}};
    const Target *onStdout = nullptr;
    int status = kExitGood;
    for (const Target &t : targets) {
        if (t.name == nullptr || status != kExitGood || !io::meansStandardOutput(t.name)) {
            continue;
        }
        if (onStdout != nullptr) {
            status = trouble(t.name, "standard output takes one output only; not written");
        } else if (io::wasClosed(STDOUT_FILENO)) {
            status = trouble("standard output", std::strerror(EBADF));
        } else if (S_ISREG(inStat.st_mode) && io::isStandardOutputFile(inStat)) {
            status = trouble(t.name, "is standard output, which is the input; not written");
        }
        onStdout = &t;
    }
    for (const Target &t : targets) {
        if (t.name == nullptr || status != kExitGood) {
            continue;
        }
        if (&t == onStdout) {
            t.file->fd = STDOUT_FILENO;
            continue;
        }
        const nand::Status r = io::openOutput(t.name, t.file, avoid, 1, opened, openedCount);
        if (r.kind() == nand::Status::Kind::Invalid) {
            status = trouble(t.name, "names the image or another output; not written");
        } else if (!r.good()) {
            status = trouble(t.name, std::strerror(r.errnum()));
        } else {
            opened[openedCount++] = t.file;
        }
    }
    const char *outName = onStdout == &targets[0] ? "standard output" : o.files[1];

    nand::Rng rng(seed);
    const std::size_t perBlock = kBlockData / codec.recordSize;
    const std::unique_ptr<std::uint8_t, Freer<std::uint8_t>> buffer(
        static_cast<std::uint8_t *>(std::malloc(perBlock * codec.recordSize)));
    std::uint8_t *dataBuffer = buffer.get();
    if (dataBuffer == nullptr && status == kExitGood) {
        status = trouble("nandconv", std::strerror(ENOMEM));
    }
    std::size_t trailing = 0;  // bytes past the last whole record
    for (bool ended = false; !ended && status == kExitGood;) {
        int readErr = 0;
        const std::size_t got = io::readFully(in, dataBuffer, perBlock * codec.recordSize, &ended, &readErr);
        if (readErr != 0) {
            status = trouble(inName, std::strerror(readErr));
            break;
        }
        const std::size_t whole = got / codec.recordSize;
        trailing = got - whole * codec.recordSize;
        const std::size_t ppb = codec.layout.pagesPerBlock;
        for (std::size_t r = 0; r < whole; r++, run.page++) {
            std::uint8_t *record = dataBuffer + r * codec.recordSize;
            const std::uint64_t block = run.page / ppb;
            if (o.markBad != nullptr && blockIsBad(marks.get(), block)) {
                // Marked as Linux marks a block bad: the first marker byte
                // of its marker pages 0x00; no flips in it.
                const std::size_t at = run.page % ppb;
                if (at == 0) {
                    char line[96];
                    putText(&run.manifest, line,
                            std::snprintf(line, sizeof line, "{\"block\":%llu,\"class\":\"bad-block\"}\n",
                                          static_cast<unsigned long long>(block)));
                }
                if (nand::isMarkerPage(codec.layout, at)) {
                    record[nand::markerByte(codec, 0)] = 0x00;
                }
                continue;
            }
            if (run.page < pages[0] || run.page > pages[1] || block < blocks[0] || block > blocks[1]) {
                continue;
            }
            nand::injectRecord(codec, record, inject, &rng, emitFlip, &run);
        }
        // Bytes past the last whole record are copied as they are.
        if (const int err = io::writeAll(out.fd, dataBuffer, got)) {
            status = trouble(outName, std::strerror(err));
        }
    }
    for (TextOut *t : {&run.manifest, &run.flipbits}) {
        if (t->name != nullptr) {
            flushText(t);
            if (t->err != 0 && status == kExitGood) {
                status = trouble(t->name, std::strerror(t->err));
            }
        }
    }
    for (const Target &t : targets) {
        if (t.name == nullptr) {
            continue;
        }
        if (status != kExitGood) {
            io::abandonOutput(t.file);
        } else if (const int err = io::commitOutput(t.file); err != 0) {
            status = trouble(t.file == &out ? outName : t.name, std::strerror(err));
        }
    }
    if (status == kExitGood && trailing != 0) {
        // Copied as they are, but not a record: a cut image, as check says.
        std::fprintf(stderr, "nandconv: %s: %zu trailing bytes at offset %llu are not a whole record\n", inName,
                     trailing, static_cast<unsigned long long>(run.page) * codec.recordSize);
        status = kExitBad;
    }
    return status;
}

// ---- layouts ----

int runLayouts(int argc, char **argv)
{
    static const option longOptions[] = {
        {"json", no_argument, nullptr, kJson},
        LAYOUT_OPTIONS,
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    if (const int status = parseOptions(argc, argv, longOptions, ":h", kLayoutsUsage, 0, &o); status >= 0) {
        return status;
    }
    char line[nand::kMaxLayoutJson];
    if (o.layoutGiven) {
        if (!o.json) {
            return usageError("layout options print one layout, as JSON: give --json", kLayoutsUsage);
        }
        nand::Layout l{};
        if (const int status = chooseLayout(o, &l); status >= 0) {
            return status;
        }
        io::printBytes(line, nand::describeJson(l, line, sizeof line));
        io::printText("\n");
        io::flushOut();
        return io::outError() == 0 ? kExitGood : trouble("standard output", std::strerror(io::outError()));
    }
    std::size_t count = 0;
    const nand::Layout *presets = nand::presets(&count);
    if (o.json) {
        io::printText("{\"layouts\":[");
    }
    for (std::size_t i = 0; i < count; i++) {
        const nand::Layout &l = presets[i];
        if (o.json) {
            io::printText(i == 0 ? "" : ",");
            io::printBytes(line, nand::describeJson(l, line, sizeof line));
            continue;
        }
        nand::Region r[nand::kMaxRegions];
        const std::size_t n = nand::eccRegions(l, r);
        char where[64] = "(bit-packed with the data)";  // a vendor layout's: no OOB range
        if (l.vendor == nand::Vendor::Sunxi) {
            std::snprintf(where, sizeof where, "after 4 user bytes, step after step");
        } else if (l.vendor == nand::Vendor::SunxiBoot0) {
            std::snprintf(where, sizeof where, "(interleaved, in %u of %u bytes)", l.pageSize, l.rawPage);
        }
        int len = 0;
        for (std::size_t k = 0; k < n; k++) {
            len += std::snprintf(where + len, sizeof where - static_cast<std::size_t>(len), "%s%u..%u",
                                 k == 0 ? "" : ",", r[k].offset, r[k].offset + r[k].length - 1);
        }
        std::snprintf(line, sizeof line, "%-18s %5u+%-4u %u-byte steps, %s %zu bytes each, ECC at OOB %s, marker %d\n  %s\n",
                      l.name, l.vendor == nand::Vendor::SunxiBoot0 ? l.rawPage : l.pageSize, l.oobSize, l.stepSize,
                      nand::schemeName(l.scheme), nand::eccBytesPerStep(l), where,
                      l.markerCount == 0 ? -1
                      : l.vendor == nand::Vendor::SunxiBoot0 ? l.markers[0] + static_cast<int>(l.pageSize - l.rawPage)
                                                             : l.markers[0],
                      l.about);
        io::printText(line);
    }
    if (o.json) {
        io::printText("]}\n");
    }
    io::flushOut();
    return io::outError() == 0 ? kExitGood : trouble("standard output", std::strerror(io::outError()));
}

}  // namespace

int main(int argc, char **argv)
{
    const unsigned closed = io::guardStandardDescriptors();
    // A closed output pipe or a file size limit shows up as a failed write,
    // which is reported, rather than as a signal that kills the tool halfway.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    if (argc < 2) {
        return usageError("no command given", kUsage);
    }
    const char *command = argv[1];
    if (std::strcmp(command, "build") == 0) {
        return runBuild(argc - 1, argv + 1);
    }
    if (std::strcmp(command, "check") == 0) {
        return runCheckCommand(argc - 1, argv + 1, closed);
    }
    if (std::strcmp(command, "layouts") == 0) {
        return runLayouts(argc - 1, argv + 1);
    }
    if (std::strcmp(command, "inject") == 0) {
        return runInject(argc - 1, argv + 1);
    }
    if (std::strcmp(command, "detect") == 0) {
        return runDetect(argc - 1, argv + 1);
    }
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
        return printHelp(kUsage);
    }
    if (std::strcmp(command, "--version") == 0) {
        return printHelp("nandconv " CONV_VERSION "\n");
    }
    char why[96];
    std::snprintf(why, sizeof why, "unknown command '%.40s'", command);
    return usageError(why, kUsage);
}
