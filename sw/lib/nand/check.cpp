// The image checker shared by conv-check and `nandconv check`; see check.h.
#include "check.h"

#include "io.h"
#include "manifest.h"
#include "reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace nand {

namespace {

// Records checked per read: 540 KiB, 256 records of 2112 bytes, and at most
// 256 iovecs for the page data of -o (one a record, or one a step where the
// steps of an interleaved layout part it).
constexpr std::size_t kBlockRecords = 256;
constexpr std::size_t kBlockBytes = kBlockRecords * 2112;
static_assert(kBlockBytes >= kMaxPageSize + kMaxOobSize, "a block holds at least one record");
// Read ahead into a ring of blocks while a block is checked and the one
// before is written.
constexpr std::size_t kBlocks = 4;
std::uint8_t blocks[kBlocks * kBlockBytes];
// The writes of each block of the ring: its page data for -o, all of it for -f.
iovec rawPages[kBlocks][kBlockRecords];
iovec fixedBlocks[kBlocks];
// Which records of each block of the ring the reading threads found clean,
// with what they test them against.
bool cleanRecords[kBlocks][kBlockRecords];
const Codec *cleanCodec = nullptr;
unsigned cleanThreshold = 0;

// Marks the clean records of block n, on the thread that read it.
void findClean(std::size_t n, std::uint8_t *data, std::size_t bytes)
{
    const std::size_t size = cleanCodec->recordSize;
    bool *clean = cleanRecords[n % kBlocks];
    for (std::size_t r = 0; r < bytes / size; r++) {
        clean[r] = recordIsClean(*cleanCodec, data + r * size, cleanThreshold);
    }
}

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

// The manifest of --expect, read whole and checked before the image.
struct Expect {
    bool on = false;
    Manifest manifest;
    struct stat file = {};  // an input: no output may name it
    std::size_t next = 0;  // the first flip of a page not yet compared
    std::uint64_t asInjected = 0;
    std::uint64_t differ = 0;
};

struct Run {
    const Codec &codec;
    const CheckOptions &o;
    Counts counts;
    bool begun = false;
    Expect expect;
};

const char *className(EccStatus status)
{
    switch (status) {
    case EccStatus::CorrectedData:
        return "corrected-data";
    case EccStatus::CorrectedCode:
        return "corrected-ecc-field";
    case EccStatus::CorrectedBits:
        return "corrected-bits";
    default:
        return "uncorrectable";
    }
}

// Starts the JSON document at its first line, so that a run that ends in
// trouble before any finding prints none of it.
void beginReport(Run *run)
{
    if (!run->o.json || run->begun) {
        return;
    }
    run->begun = true;
    io::printText("{");
    if (run->o.layoutInJson) {
        char layout[kMaxLayoutJson];
        io::printText("\"layout\":");
        io::printBytes(layout, describeJson(run->codec.layout, layout, sizeof layout));
        io::printText(",");
    }
    if (!run->o.quiet) {
        io::printText("\"findings\":[");
    }
}

void printFinding(Run *run, const char *text, int n)
{
    beginReport(run);
    if (run->o.json && run->counts.findings != 0) {
        io::printText(",");
    }
    io::printBytes(text, static_cast<std::size_t>(n));
    run->counts.findings++;
}

// The JSON list of the bits a multi-bit code corrected: data bits by their
// offset in the page data, code bits in the OOB by their offset in the OOB,
// other bits (protected bytes, codes of an interleaved layout) by their
// offset in the record.
int bitList(const Codec &codec, std::size_t step, const StepResult &r, char *buf, std::size_t size)
{
    const std::uint32_t dataBits = codec.layout.stepSize * 8;
    const auto messageBits = static_cast<std::uint32_t>(dataBits + codec.protBytes * 8);
    int n = std::snprintf(buf, size, "[");
    for (std::size_t i = 0; i < r.count && n > 0 && static_cast<std::size_t>(n) < size; i++) {
        const unsigned loc = r.locs[i];
        const char *sep = i == 0 ? "" : ",";
        const std::uint32_t at = locationByte(codec, step, loc);
        if (loc < dataBits) {
            n += std::snprintf(buf + n, size - static_cast<std::size_t>(n), "%s{\"byte\":%zu,\"bit\":%u}", sep,
                               step * codec.layout.stepSize + loc / 8, loc % 8);
        } else if (loc >= messageBits && codec.dataInPlace) {
            n += std::snprintf(buf + n, size - static_cast<std::size_t>(n), "%s{\"ecc_byte\":%u,\"bit\":%u}", sep,
                               at - codec.layout.pageSize, loc % 8);
        } else {
            n += std::snprintf(buf + n, size - static_cast<std::size_t>(n), "%s{\"raw_byte\":%u,\"bit\":%u}", sep,
                               at, loc % 8);
        }
    }
    if (n > 0 && static_cast<std::size_t>(n) < size) {
        n += std::snprintf(buf + n, size - static_cast<std::size_t>(n), "]");
    }
    return n;
}

void reportStep(Run *run, std::uint64_t page, std::size_t step, const StepResult &r)
{
    if (run->o.quiet) {
        return;
    }
    const auto p = static_cast<unsigned long long>(page);
    const char *unit = run->o.unit;
    char line[1024];
    int n = 0;
    if (r.status == EccStatus::CorrectedBits) {
        if (run->o.json) {
            char bits[800];
            bitList(run->codec, step, r, bits, sizeof bits);
            n = std::snprintf(line, sizeof line, "{\"page\":%llu,\"%s\":%zu,\"class\":\"%s\",\"bits\":%s}", p, unit,
                              step, className(r.status), bits);
        } else {
            n = std::snprintf(line, sizeof line, "page %llu %s %zu: corrected %u bit%s\n", p, unit, step,
                              static_cast<unsigned>(r.count), r.count == 1 ? "" : "s");
        }
    } else if (run->o.json) {
        if (r.status == EccStatus::CorrectedData) {
            n = std::snprintf(line, sizeof line, "{\"page\":%llu,\"%s\":%zu,\"class\":\"%s\",\"byte\":%u,\"bit\":%u}", p,
                              unit, step, className(r.status), r.byte, static_cast<unsigned>(r.bit));
        } else {
            n = std::snprintf(line, sizeof line, "{\"page\":%llu,\"%s\":%zu,\"class\":\"%s\"}", p, unit, step,
                              className(r.status));
        }
    } else if (r.status == EccStatus::CorrectedData) {
        n = std::snprintf(line, sizeof line, "page %llu %s %zu: corrected byte %u bit %u\n", p, unit, step, r.byte,
                          static_cast<unsigned>(r.bit));
    } else if (r.status == EccStatus::CorrectedCode) {
        n = std::snprintf(line, sizeof line, "page %llu %s %zu: corrected ECC field\n", p, unit, step);
    } else {
        n = std::snprintf(line, sizeof line, "page %llu %s %zu: uncorrectable\n", p, unit, step);
    }
    printFinding(run, line, n);
}

// Blank flash with flipped bits: a whole erased page (step < 0) or one blank
// step of a page that is not.
void reportErased(Run *run, std::uint64_t page, long long step, unsigned bitflips)
{
    if (run->o.quiet || bitflips == 0) {
        return;
    }
    const auto p = static_cast<unsigned long long>(page);
    const char *plural = bitflips == 1 ? "" : "s";
    char line[160];
    int n = 0;
    if (run->o.json && step < 0) {
        n = std::snprintf(line, sizeof line, "{\"page\":%llu,\"class\":\"erased-bitflips\",\"bitflips\":%u}", p,
                          bitflips);
    } else if (run->o.json) {
        n = std::snprintf(line, sizeof line, "{\"page\":%llu,\"%s\":%lld,\"class\":\"erased-bitflips\",\"bitflips\":%u}",
                          p, run->o.unit, step, bitflips);
    } else if (step < 0) {
        n = std::snprintf(line, sizeof line, "page %llu: erased, %u bitflip%s\n", p, bitflips, plural);
    } else {
        n = std::snprintf(line, sizeof line, "page %llu %s %lld: erased, %u bitflip%s\n", p, run->o.unit, step,
                          bitflips, plural);
    }
    printFinding(run, line, n);
}

RecordResult result;  // per record; large, so not on the stack

// The flips of one page that a decoder can correct, by step: flips in OOB
// bytes that hold no code, or in a BCH code's spare bits, are left out.
constexpr std::size_t kMaxPageFlips = 65536;
struct PageFlips {
    std::size_t count;
    std::uint32_t step[kMaxPageFlips];
    std::uint32_t bit[kMaxPageFlips];  // offset in the record * 8 + bit
};
PageFlips pageFlips;

// The record bit that a corrected location of step s names.
std::uint32_t recordBit(const Codec &c, std::size_t s, unsigned loc)
{
    return locationByte(c, s, loc) * 8 + loc % 8;
}

void reportDifference(Run *run, std::uint64_t page, long long step, std::size_t injected, const StepResult *r,
                      std::size_t matching)
{
    run->expect.differ++;
    if (run->o.quiet) {
        return;
    }
    const auto p = static_cast<unsigned long long>(page);
    char line[256];
    int n = 0;
    const bool bad = r != nullptr && r->status == EccStatus::Uncorrectable;
    const unsigned corrected = r == nullptr ? 0 : (r->blank ? r->flips : r->count);
    if (run->o.json) {
        n = std::snprintf(line, sizeof line,
                          "{\"page\":%llu,\"%s\":%lld,\"class\":\"differs-from-manifest\",\"injected\":%zu,"
                          "\"corrected\":%u,\"as_injected\":%zu,\"uncorrectable\":%s}",
                          p, run->o.unit, step, injected, bad ? 0u : corrected, bad ? 0 : matching,
                          bad ? "true" : "false");
    } else if (bad) {
        n = std::snprintf(line, sizeof line, "page %llu %s %lld: %zu bits injected, uncorrectable\n", p, run->o.unit,
                          step, injected);
    } else {
        n = std::snprintf(line, sizeof line, "page %llu %s %lld: %zu bits injected, %u corrected, %zu of them as injected\n",
                          p, run->o.unit, step, injected, corrected, matching);
    }
    printFinding(run, line, n);
}

// Compares the corrections of one page with the manifest's flips for it. A
// blank step's flips are its zero bits, given as its corrections are.
void compareWithManifest(Run *run, std::uint64_t page, const RecordResult &r)
{
    Expect &e = run->expect;
    pageFlips.count = 0;
    for (; e.next < e.manifest.count && e.manifest.flips[e.next].page == page; e.next++) {
        const ManifestFlip &f = e.manifest.flips[e.next];
        if (f.correctable && pageFlips.count < kMaxPageFlips) {
            pageFlips.step[pageFlips.count] = static_cast<std::uint32_t>(f.step);
            pageFlips.bit[pageFlips.count] = f.offset * 8 + f.bit;
            pageFlips.count++;
        }
    }
    for (std::size_t s = 0; s < run->codec.steps; s++) {
        const StepResult &st = r.steps[s];
        std::size_t injected = 0;
        std::size_t matching = 0;
        for (std::size_t i = 0; i < pageFlips.count; i++) {
            if (pageFlips.step[i] != s) {
                continue;
            }
            injected++;
            for (unsigned k = 0; k < st.count && st.status != EccStatus::Uncorrectable; k++) {
                matching += recordBit(run->codec, s, st.locs[k]) == pageFlips.bit[i];
            }
        }
        const std::size_t corrected = st.blank ? st.flips : st.count;
        if (injected == 0 && corrected == 0 && st.status != EccStatus::Uncorrectable) {
            continue;
        }
        if (st.status != EccStatus::Uncorrectable && matching == injected && corrected == injected) {
            e.asInjected++;
        } else {
            reportDifference(run, page, static_cast<long long>(s), injected, &st, matching);
        }
    }
}

void checkOne(Run *run, std::uint8_t *record)
{
    Counts &counts = run->counts;
    const std::uint64_t page = counts.pages++;
    checkRecord(run->codec, record, run->o.erasedThreshold, &result);
    if (run->expect.on) {
        compareWithManifest(run, page, result);
    }
    if (result.erased) {
        counts.erased++;
        reportErased(run, page, -1, result.bitflips);
        return;
    }
    for (std::size_t s = 0; s < run->codec.steps; s++) {
        const StepResult &r = result.steps[s];
        if (r.blank) {
            // Blank flash in a page that is not: it reads back as such.
            counts.clean++;
            reportErased(run, page, static_cast<long long>(s), r.flips);
            continue;
        }
        switch (r.status) {
        case EccStatus::Clean:
            counts.clean++;
            continue;
        case EccStatus::Uncorrectable:
            counts.uncorrectable++;
            break;
        default:
            counts.corrected++;
            break;
        }
        reportStep(run, page, s, r);
    }
}

void printSummary(Run *run, std::uint64_t trailing)
{
    const Counts &c = run->counts;
    char line[256];
    const auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
    int n = 0;
    char manifest[128] = "";
    if (run->o.json) {
        beginReport(run);
        if (run->expect.on) {
            std::snprintf(manifest, sizeof manifest, ",\"manifest\":{\"as_injected\":%llu,\"differ\":%llu}",
                          u(run->expect.asInjected), u(run->expect.differ));
        }
        n = std::snprintf(line, sizeof line,
                          "%s\"pages\":%llu,\"erased\":%llu,\"%s\":{\"clean\":%llu,\"corrected\":%llu,"
                          "\"uncorrectable\":%llu},\"trailing_bytes\":%llu%s}\n",
                          run->o.quiet ? "" : "],", u(c.pages), u(c.erased), run->o.units, u(c.clean),
                          u(c.corrected), u(c.uncorrectable), u(trailing), manifest);
    } else {
        if (run->expect.on) {
            std::snprintf(manifest, sizeof manifest, "manifest: %llu %s as injected, %llu differ\n",
                          u(run->expect.asInjected), run->o.units, u(run->expect.differ));
        }
        n = std::snprintf(line, sizeof line,
                          "%llu pages, %llu erased; %s: %llu clean, %llu corrected, %llu uncorrectable\n%s", u(c.pages),
                          u(c.erased), run->o.units, u(c.clean), u(c.corrected), u(c.uncorrectable), manifest);
    }
    io::printBytes(line, static_cast<std::size_t>(n));
}

// Opens -o and -f before anything is written. One of them may be standard
// output, written as it stands; the report then goes to standard error. An
// output that is the image is refused first, with its own message; opening
// then refuses the image and the other output again, race-free. Returns -1 to
// go on, or the exit status.
int openOutputs(const Run &run, const struct stat &imageStat, Output *raw, Output *fixed)
{
    const CheckOptions &o = run.o;
    raw->name = o.raw;
    fixed->name = o.fixed;
    const Output *onStdout = nullptr;
    for (Output *out : {raw, fixed}) {
        if (out->name == nullptr || !io::meansStandardOutput(out->name)) {
            continue;
        }
        if (onStdout != nullptr) {
            return checkTrouble(o.tool, out->name, "standard output takes one output only; not written");
        }
        if (io::wasClosed(STDOUT_FILENO)) {
            return checkTrouble(o.tool, "standard output", std::strerror(EBADF));
        }
        if (S_ISREG(imageStat.st_mode) && io::isStandardOutputFile(imageStat)) {
            return checkTrouble(o.tool, out->name, "names the image; not written");
        }
        onStdout = out;
    }
    const auto same = [](const struct stat &a, const struct stat &b) {
        return S_ISREG(a.st_mode) && S_ISREG(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    };
    for (const char *name : {o.raw, o.fixed}) {
        struct stat st = {};
        if (name == nullptr || io::meansStandardOutput(name) || stat(name, &st) != 0) {
            continue;
        }
        if (same(st, imageStat)) {
            return checkTrouble(o.tool, name, "names the image; not written");
        }
        if (run.expect.on && same(st, run.expect.file)) {
            return checkTrouble(o.tool, name, "names the manifest; not written");
        }
    }
    const struct stat *avoid[] = {&imageStat, &run.expect.file};
    const std::size_t avoidCount = run.expect.on ? 2 : 1;
    const io::Output *opened[] = {&raw->file};
    for (Output *out : {raw, fixed}) {
        if (out->name == nullptr) {
            continue;
        }
        if (out == onStdout) {
            out->name = "standard output";
            out->file.fd = STDOUT_FILENO;  // as it stands: never reopened or emptied
            io::reportToStandardError();
            continue;
        }
        const std::size_t others = out == fixed && raw->name != nullptr ? 1 : 0;
        const int status = io::openOutput(out->name, &out->file, avoid, avoidCount, opened, others);
        if (status == io::kSameFile) {
            return checkTrouble(o.tool, out->name,
                                run.expect.on ? "names the image, the manifest or the other output; not written"
                                              : "names the image or the other output; not written");
        }
        if (status != 0) {
            return checkTrouble(o.tool, out->name, std::strerror(errno));
        }
    }
    if (S_ISREG(imageStat.st_mode)) {
        const auto records = static_cast<std::uint64_t>(imageStat.st_size) / run.codec.recordSize;
        for (Output *out : {raw, fixed}) {
            if (out->file.temp[0] != '\0') {
                out->file.reserved = io::reserve(
                    out->file.fd, out == raw ? records * run.codec.layout.pageSize
                                             : static_cast<std::uint64_t>(imageStat.st_size));
            }
        }
    }
    return -1;
}

// The record reader: checks the image block by block and writes the outputs.
// Sets *trailing to the bytes past the last whole record. Returns kCheckGood
// or the status of the trouble it reported.
int checkImage(Run *run, int in, const char *imageName, const Output &raw, const Output &fixed, std::uint64_t *trailing)
{
    const std::size_t recordSize = run->codec.recordSize;
    const std::size_t pieces = run->codec.dataInPlace ? 1 : run->codec.steps;  // of a record's page data
    const std::size_t most = kBlockRecords / pieces;
    const std::size_t perBlock = kBlockBytes / recordSize < most ? kBlockBytes / recordSize : most;
    // Most records are clean: the reading threads find which, and this one
    // decodes and reports the rest. A run that compares with a manifest
    // looks at every record itself.
    const bool quick = !run->expect.on;
    cleanCodec = &run->codec;
    cleanThreshold = run->o.erasedThreshold;
    const io::Shape shape = {perBlock * recordSize, perBlock * recordSize, 1};
    io::startReader(in, blocks, shape, kBlocks, quick ? findClean : nullptr);
    io::startWriter((raw.file.fd >= 0 ? 1 : 0) + (fixed.file.fd >= 0 ? 1 : 0));
    const Output *outputs[2] = {};
    // Reports the first failed write of the outputs, if any.
    const auto writeTrouble = [&](int err, int job) {
        return checkTrouble(run->o.tool, outputs[job]->name, std::strerror(err));
    };
    for (std::size_t n = 0;; n++) {
        const io::Block b = io::nextBlock();
        std::uint8_t *block = b.data;
        const std::size_t got = b.bytes;
        const std::size_t records = got / recordSize;
        iovec *pages = rawPages[n % kBlocks];
        const bool *clean = cleanRecords[n % kBlocks];
        for (std::size_t r = 0; r < records; r++) {
            if (quick && clean[r]) {
                run->counts.pages++;
                run->counts.clean += run->codec.steps;
            } else {
                checkOne(run, block + r * recordSize);
            }
            for (std::size_t s = 0; s < pieces; s++) {
                const std::size_t bytes = pieces == 1 ? run->codec.layout.pageSize : run->codec.layout.stepSize;
                pages[r * pieces + s] = {block + r * recordSize + run->codec.dataPos[s], bytes};
            }
        }
        io::WriteJob jobs[2];
        int count = 0;
        if (raw.file.fd >= 0) {
            outputs[count] = &raw;
            jobs[count++] = {raw.file.fd, pages, static_cast<int>(records * pieces)};
        }
        // Bytes past the last whole record go to -f as they are, so that
        // nothing of the image is lost; -o holds whole pages only.
        if (fixed.file.fd >= 0) {
            iovec &whole = fixedBlocks[n % kBlocks];
            whole = {block, b.err == 0 ? got : records * recordSize};
            outputs[count] = &fixed;
            jobs[count++] = {fixed.file.fd, &whole, 1};
        }
        io::submitBlock(jobs, count);
        int job = 0;
        if (b.err != 0 || b.ended) {
            if (const int err = io::finishWriter(&job)) {
                return writeTrouble(err, job);
            }
            if (b.err != 0) {
                return checkTrouble(run->o.tool, imageName, std::strerror(b.err));
            }
            *trailing = got - records * recordSize;
            io::finishReader();
            return kCheckGood;
        }
        if (const int err = io::writeError(&job)) {
            return writeTrouble(err, job);
        }
    }
}

// Replaces the targets of the outputs by what was written, or, after trouble,
// leaves them as they were. Returns the status.
int finishOutputs(const char *tool, int status, Output *raw, Output *fixed)
{
    for (Output *out : {raw, fixed}) {
        if (out->name == nullptr) {
            continue;
        }
        if (status == kCheckTrouble) {
            io::abandonOutput(&out->file);
        } else if (const int err = io::commitOutput(&out->file); err != 0) {
            status = checkTrouble(tool, out->name, std::strerror(err));
        }
    }
    return status;
}

// Reads the manifest of --expect whole and checks every line against the
// layout and, when its length is known, the image, before anything is
// printed. Returns -1 to go on, or the status after reporting.
int loadManifest(Run *run, int in, const struct stat &imageStat)
{
    const CheckOptions &o = run->o;
    const int fd = open(o.expect, O_RDONLY);
    if (fd < 0) {
        return checkTrouble(o.tool, o.expect, std::strerror(errno));
    }
    char *text = nullptr;
    std::size_t size = 0;
    int err = fstat(fd, &run->expect.file) == 0 ? 0 : errno;
    for (bool ended = false; !ended && err == 0;) {
        constexpr std::size_t kChunk = 1 << 20;
        char *grown = static_cast<char *>(std::realloc(text, size + kChunk));
        if (grown == nullptr) {
            err = ENOMEM;
            break;
        }
        text = grown;
        size += io::readFully(fd, reinterpret_cast<std::uint8_t *>(text + size), kChunk, &ended, &err);
    }
    close(fd);
    std::uint64_t pages = kUnknownPages;
    if (const off_t at = lseek(in, 0, SEEK_CUR); S_ISREG(imageStat.st_mode) && at >= 0 && at <= imageStat.st_size) {
        pages = static_cast<std::uint64_t>(imageStat.st_size - at) / run->codec.recordSize;
    }
    char why[160];
    const bool good = err == 0 && parseManifest(text, size, run->codec, pages, &run->expect.manifest, why, sizeof why);
    std::free(text);
    if (!good) {
        freeManifest(&run->expect.manifest);
        return checkTrouble(o.tool, o.expect, err != 0 ? std::strerror(err) : why);
    }
    run->expect.on = true;
    return -1;
}

}  // namespace

int checkTrouble(const char *tool, const char *name, const char *why)
{
    io::flushOut();
    std::fprintf(stderr, "%s: %s: %s\n", tool, name, why);
    return kCheckTrouble;
}

int runCheck(const Codec &codec, const CheckOptions &o)
{
    const bool fromStdin = std::strcmp(o.image, "-") == 0;
    const char *imageName = fromStdin ? "standard input" : o.image;
    if (fromStdin && io::wasClosed(STDIN_FILENO)) {
        return checkTrouble(o.tool, imageName, std::strerror(EBADF));
    }
    const int in = fromStdin ? STDIN_FILENO : open(o.image, O_RDONLY);
    if (in < 0) {
        return checkTrouble(o.tool, imageName, std::strerror(errno));
    }
    struct stat imageStat = {};
    if (fstat(in, &imageStat) != 0) {
        return checkTrouble(o.tool, imageName, std::strerror(errno));
    }
    Run run = {codec, o, {}, false, {}};
    if (o.expect != nullptr) {
        if (const int status = loadManifest(&run, in, imageStat); status >= 0) {
            return status;
        }
    }
    Output raw;
    Output fixed;
    if (const int status = openOutputs(run, imageStat, &raw, &fixed); status >= 0) {
        freeManifest(&run.expect.manifest);
        return finishOutputs(o.tool, status, &raw, &fixed);
    }

    std::uint64_t trailing = 0;
    int status = checkImage(&run, in, imageName, raw, fixed, &trailing);
    if (status == kCheckGood && run.expect.on) {
        // Read from a pipe, the image's length was not known up front.
        if (const std::size_t i = firstFlipPast(run.expect.manifest, run.counts.pages); i < run.expect.manifest.count) {
            char why[128];
            std::snprintf(why, sizeof why, "line %llu: page %llu is past the end of the image (%llu pages)",
                          static_cast<unsigned long long>(run.expect.manifest.flips[i].line),
                          static_cast<unsigned long long>(run.expect.manifest.flips[i].page),
                          static_cast<unsigned long long>(run.counts.pages));
            status = checkTrouble(o.tool, o.expect, why);
        }
    }
    freeManifest(&run.expect.manifest);
    if (status != kCheckGood) {
        return finishOutputs(o.tool, status, &raw, &fixed);  // trouble: no summary, no JSON document
    }
    // The report is complete before any output replaces its target: a report
    // that cannot be written is trouble, and the targets stay as they were.
    printSummary(&run, trailing);
    io::flushOut();
    if (io::outError() != 0) {
        const char *stream = raw.file.fd == STDOUT_FILENO || fixed.file.fd == STDOUT_FILENO ? "standard error"
                                                                                          : "standard output";
        return finishOutputs(o.tool, checkTrouble(o.tool, stream, std::strerror(io::outError())), &raw, &fixed);
    }
    // An uncorrectable step or a cut image is a result, not trouble: the
    // outputs hold everything that was read and replace their targets.
    if (finishOutputs(o.tool, kCheckGood, &raw, &fixed) != kCheckGood) {
        return kCheckTrouble;
    }
    if (trailing != 0) {
        std::fprintf(stderr, "%s: %s: %llu trailing bytes at offset %llu are not a whole record\n", o.tool, imageName,
                     static_cast<unsigned long long>(trailing),
                     static_cast<unsigned long long>(run.counts.pages) * codec.recordSize);
        return kCheckBad;
    }
    return run.counts.uncorrectable != 0 || run.expect.differ != 0 ? kCheckBad : kCheckGood;
}

}  // namespace nand
