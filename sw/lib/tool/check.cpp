// The image checker shared by conv-check and `nandconv check`; see check.h.
#include "check.h"

#include "checker.h"
#include "io.h"
#include "manifest.h"
#include "reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

namespace nand {

namespace {

// Records checked per read: about 400 KiB (192 records of 2112 bytes), in
// whole eraseblocks. Reads of 256 records ran 2% to 4% faster, and took the
// run over 4 MiB; of 128, 10% slower.
constexpr std::size_t kReadBytes = std::size_t{192} * 2112;
// Read ahead into a ring of reads while one is checked and the one before is
// written.
constexpr std::size_t kBlocks = 4;

// A step's result as a reading thread keeps it: a StepResult but for its
// corrected bits, which are kept apart in the room the layout needs.
struct AheadStep {
    EccStatus status;
    bool blank;
    std::uint8_t bit;
    std::uint8_t count;
    std::uint32_t byte;
    std::uint32_t flips;
};

// How a read lies in the pipeline's extra bytes: its page data for -o (one
// iovec a record, or one a step where the steps of an interleaved layout part
// it), what -f gets, which records the reading threads found clean; and a
// blank record, what -o and -f take for a page of a bad block with --bb pad.
// The writers may still use them after the run, so they live with the
// buffers.
struct Ring {
    std::size_t records = 0;  // a read
    std::size_t pieces = 0;   // of a record's page data
    iovec *raw = nullptr;     // kBlocks * records * pieces
    iovec *fixed = nullptr;   // kBlocks * (records + 1)
    bool *clean = nullptr;    // kBlocks * records
    std::uint8_t *blank = nullptr;  // a record of 0xFF
    // The page data of a layout that does not keep it in place in the record
    // (a bit-packed vendor layout), gathered through recordData for -o: a
    // page a record of each read; null where not needed.
    bool gather = false;
    std::uint8_t *pages = nullptr;  // kBlocks * records * pageSize
    // The records the reading threads checked ahead, and their steps'
    // results, kept without the room for corrected bits that a step of this
    // layout never fills (`places` a step); a scratch result for each reader;
    // and the results of one eraseblock made whole again for the checker.
    // Null where the results of a read would take more than kMaxAhead bytes:
    // this thread then checks them.
    Predecoded *decoded = nullptr;  // kBlocks * records
    AheadStep *steps = nullptr;     // kBlocks * records * codec->steps
    std::uint16_t *locs = nullptr;  // the same times places
    std::size_t places = 0;
    RecordResult *scratch = nullptr;  // 2
    StepResult *whole = nullptr;      // blockPages * codec->steps
    const Codec *codec = nullptr;
    unsigned threshold = 0;
    const char *tool = nullptr;
};

// The most the results of the records checked ahead may take.
constexpr std::size_t kMaxAhead = std::size_t{4} << 20;

// The extra bytes a ring takes, and where each of its lists lies in them.
std::size_t ringExtra(Ring *r, std::uint8_t *extra)
{
    std::size_t at = 0;
    const auto place = [&](std::size_t bytes) {
        std::uint8_t *p = extra == nullptr ? nullptr : extra + at;
        at += (bytes + alignof(iovec) - 1) / alignof(iovec) * alignof(iovec);
        return p;
    };
    r->raw = reinterpret_cast<iovec *>(place(kBlocks * r->records * r->pieces * sizeof(iovec)));
    r->fixed = reinterpret_cast<iovec *>(place(kBlocks * (r->records + 1) * sizeof(iovec)));
    r->clean = reinterpret_cast<bool *>(place(kBlocks * r->records * sizeof(bool)));
    r->blank = place(r->codec->recordSize);
    r->pages = r->gather ? place(kBlocks * r->records * r->codec->layout.pageSize) : nullptr;
    const std::size_t steps = kBlocks * r->records * r->codec->steps;
    const std::size_t blockPages = r->codec->layout.pagesPerBlock > 1 ? r->codec->layout.pagesPerBlock : 1;
    const std::size_t stepBytes = steps * (sizeof(AheadStep) + r->places * sizeof(std::uint16_t));
    const std::size_t wholeBytes = blockPages * r->codec->steps * sizeof(StepResult);
    if (stepBytes + wholeBytes <= kMaxAhead) {
        r->decoded = reinterpret_cast<Predecoded *>(place(kBlocks * r->records * sizeof(Predecoded)));
        r->steps = reinterpret_cast<AheadStep *>(place(steps * sizeof(AheadStep)));
        r->locs = reinterpret_cast<std::uint16_t *>(place(steps * r->places * sizeof(std::uint16_t)));
        r->scratch = reinterpret_cast<RecordResult *>(place(2 * sizeof(RecordResult)));
        r->whole = reinterpret_cast<StepResult *>(place(wholeBytes));
    }
    return at;
}

// Keeps the steps' results of record i of the ring.
void keepAhead(const Ring &ring, const RecordResult &result, std::size_t i)
{
    const std::size_t steps = ring.codec->steps;
    for (std::size_t k = 0; k < steps; k++) {
        const StepResult &from = result.steps[k];
        if (from.count > ring.places) {
            // The record is corrected in place already: there is no going
            // back to checking it here. Not reached (see ring.places).
            std::fprintf(stderr, "%s: internal error: more corrected bits than a step holds\n", ring.tool);
            std::abort();
        }
        ring.steps[i * steps + k] = {from.status, from.blank, from.bit, from.count, from.byte, from.flips};
        std::memcpy(ring.locs + (i * steps + k) * ring.places, from.locs, from.count * sizeof(from.locs[0]));
    }
}

// The results of records first .. first + count - 1 of the ring, checked
// ahead, made whole for the checker.
void wholeAhead(const Ring &ring, std::size_t first, std::size_t count)
{
    const std::size_t steps = ring.codec->steps;
    for (std::size_t r = 0; r < count; r++) {
        Predecoded &d = ring.decoded[first + r];
        if (!d.done) {
            continue;
        }
        StepResult *whole = ring.whole + r * steps;
        for (std::size_t k = 0; k < steps; k++) {
            const std::size_t i = (first + r) * steps + k;
            const AheadStep &a = ring.steps[i];
            StepResult &to = whole[k];
            to = {a.status, a.blank, a.byte, a.bit, a.count, a.flips, {}};
            std::memcpy(to.locs, ring.locs + i * ring.places, a.count * sizeof(to.locs[0]));
        }
        d.steps = whole;
    }
}

// Marks the clean records of read n, on the thread that read it, and checks
// the others there, in place, where the ring has room for their results: the
// decoding is shared by the reading threads, and this one only reports. The
// records of a bad block are left as read.
void findClean(void *context, std::size_t n, std::uint8_t *data, std::size_t bytes)
{
    const Ring &ring = *static_cast<const Ring *>(context);
    const Codec &c = *ring.codec;
    const std::size_t size = c.recordSize;
    const std::size_t records = bytes / size;
    const std::size_t slot = (n % kBlocks) * ring.records;
    bool *clean = ring.clean + slot;
    const std::size_t blockPages = c.layout.pagesPerBlock > 1 ? c.layout.pagesPerBlock : 1;
    for (std::size_t first = 0; first < records; first += blockPages) {
        const std::size_t count = records - first < blockPages ? records - first : blockPages;
        const bool bad =
            c.layout.markerCount != 0 && count == blockPages && badBlockMarkerPage(c, data + first * size) >= 0;
        for (std::size_t r = first; r < first + count; r++) {
            std::uint8_t *record = data + r * size;
            // Every read but the last holds ring.records records.
            const std::uint64_t page = std::uint64_t{n} * ring.records + r;
            clean[r] = recordIsClean(c, record, ring.threshold, page);
            if (ring.decoded == nullptr) {
                continue;
            }
            Predecoded &d = ring.decoded[slot + r];
            d = {!clean[r] && !bad, false, 0, nullptr};
            if (d.done) {
                // Reader k takes the reads with n % readers == k: a scratch each.
                RecordResult &result = ring.scratch[n % 2];
                checkRecord(c, record, ring.threshold, &result, page);
                keepAhead(ring, result, slot + r);
                d = {true, result.erased, result.bitflips, nullptr};
            }
        }
    }
}

struct Output {
    const char *name = nullptr;
    io::Output file;
};

// The flips of one page that a decoder can correct, by step: flips in OOB
// bytes that hold no code, or in a BCH code's spare bits, are left out.
constexpr std::size_t kMaxPageFlips = 65536;
struct PageFlips {
    std::size_t count;
    std::uint32_t step[kMaxPageFlips];
    std::uint32_t bit[kMaxPageFlips];  // offset in the record * 8 + bit
};

// The manifest of --expect, read whole and checked before the image.
struct Expect {
    bool on = false;
    Manifest manifest;
    struct stat file = {};  // an input: no output may name it
    std::size_t next = 0;  // the first flip of a page not yet compared
    std::size_t nextBad = 0;  // the first block marked bad not yet reached
    std::uint64_t asInjected = 0;
    std::uint64_t differ = 0;
    PageFlips *flips = nullptr;  // one page's, made for the run
};

struct Run {
    const Codec &codec;
    const CheckOptions &o;
    Checker *checker = nullptr;
    std::uint64_t findings = 0;  // lines (or JSON entries) printed so far
    bool begun = false;
    Expect expect;
    // Every block's counts, kept for the JSON document of --per-block.
    BlockCounts *kept = nullptr;
    std::size_t keptCount = 0;
    std::size_t keptCapacity = 0;
};

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
    if (run->o.json && run->findings != 0) {
        io::printText(",");
    }
    io::printBytes(text, static_cast<std::size_t>(n));
    run->findings++;
}

// The JSON list of the bits a multi-bit code corrected.
int bitList(const Codec &codec, std::size_t step, const StepResult &r, char *buf, std::size_t size)
{
    static const char *const keys[] = {"byte", "ecc_byte", "raw_byte"};
    int n = std::snprintf(buf, size, "[");
    for (std::size_t i = 0; i < r.count && n > 0 && static_cast<std::size_t>(n) < size; i++) {
        const unsigned loc = r.locs[i];
        std::uint32_t offset = 0;
        unsigned bit = 0;
        const BitPlace place = correctedBitPlace(codec, step, loc, &offset, &bit);
        n += std::snprintf(buf + n, size - static_cast<std::size_t>(n), "%s{\"%s\":%u,\"bit\":%u}", i == 0 ? "" : ",",
                           keys[static_cast<int>(place)], offset, bit);
    }
    if (n > 0 && static_cast<std::size_t>(n) < size) {
        n += std::snprintf(buf + n, size - static_cast<std::size_t>(n), "]");
    }
    return n;
}

void reportStep(Run *run, const Finding &f)
{
    const StepResult &r = *f.result;
    const auto p = static_cast<unsigned long long>(f.page);
    const auto step = static_cast<std::size_t>(f.step);
    const char *unit = run->o.unit;
    const char *name = findingClassName(f.cls);
    char line[1024];
    int n = 0;
    if (f.cls == FindingClass::CorrectedBits) {
        if (run->o.json) {
            char bits[800];
            bitList(run->codec, step, r, bits, sizeof bits);
            n = std::snprintf(line, sizeof line, "{\"page\":%llu,\"%s\":%zu,\"class\":\"%s\",\"bits\":%s}", p, unit,
                              step, name, bits);
        } else {
            n = std::snprintf(line, sizeof line, "page %llu %s %zu: corrected %u bit%s\n", p, unit, step,
                              static_cast<unsigned>(r.count), r.count == 1 ? "" : "s");
        }
    } else if (run->o.json) {
        if (f.cls == FindingClass::CorrectedData) {
            n = std::snprintf(line, sizeof line, "{\"page\":%llu,\"%s\":%zu,\"class\":\"%s\",\"byte\":%u,\"bit\":%u}", p,
                              unit, step, name, r.byte, static_cast<unsigned>(r.bit));
        } else {
            n = std::snprintf(line, sizeof line, "{\"page\":%llu,\"%s\":%zu,\"class\":\"%s\"}", p, unit, step, name);
        }
    } else if (f.cls == FindingClass::CorrectedData) {
        n = std::snprintf(line, sizeof line, "page %llu %s %zu: corrected byte %u bit %u\n", p, unit, step, r.byte,
                          static_cast<unsigned>(r.bit));
    } else if (f.cls == FindingClass::CorrectedCode) {
        n = std::snprintf(line, sizeof line, "page %llu %s %zu: corrected ECC field\n", p, unit, step);
    } else {
        n = std::snprintf(line, sizeof line, "page %llu %s %zu: uncorrectable\n", p, unit, step);
    }
    printFinding(run, line, n);
}

// Blank flash with flipped bits: a whole erased page (step < 0) or one blank
// step of a page that is not.
void reportErased(Run *run, std::uint64_t page, long step, unsigned bitflips)
{
    const auto p = static_cast<unsigned long long>(page);
    const char *plural = bitflips == 1 ? "" : "s";
    char line[160];
    int n = 0;
    if (run->o.json && step < 0) {
        n = std::snprintf(line, sizeof line, "{\"page\":%llu,\"class\":\"erased-bitflips\",\"bitflips\":%u}", p,
                          bitflips);
    } else if (run->o.json) {
        n = std::snprintf(line, sizeof line, "{\"page\":%llu,\"%s\":%ld,\"class\":\"erased-bitflips\",\"bitflips\":%u}",
                          p, run->o.unit, step, bitflips);
    } else if (step < 0) {
        n = std::snprintf(line, sizeof line, "page %llu: erased, %u bitflip%s\n", p, bitflips, plural);
    } else {
        n = std::snprintf(line, sizeof line, "page %llu %s %ld: erased, %u bitflip%s\n", p, run->o.unit, step,
                          bitflips, plural);
    }
    printFinding(run, line, n);
}

// A block whose marker says it is bad, once, with the first page whose
// marker is set.
void reportBadBlock(Run *run, std::uint64_t block, std::uint64_t page)
{
    const auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
    char line[128];
    const int n = run->o.json ? std::snprintf(line, sizeof line, "{\"block\":%llu,\"class\":\"bad-block\",\"page\":%llu}",
                                              u(block), u(page))
                              : std::snprintf(line, sizeof line, "block %llu: bad\n", u(block));
    printFinding(run, line, n);
}

// The record bit that a corrected location of step s names.
std::uint32_t recordBit(const Codec &c, std::size_t s, unsigned loc)
{
    return locationBit(c, s, loc);
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
    PageFlips &pageFlips = *e.flips;
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

// Passes over the manifest's flips of a page that is not decoded.
void skipManifestPage(Run *run, std::uint64_t page)
{
    Expect &e = run->expect;
    while (e.on && e.next < e.manifest.count && e.manifest.flips[e.next].page == page) {
        e.next++;
    }
}

// A block the manifest marks bad must read as bad; reports it where not.
void compareBadBlock(Run *run, std::uint64_t block, bool bad)
{
    Expect &e = run->expect;
    const Manifest &m = e.manifest;
    while (e.on && e.nextBad < m.badCount && m.badBlocks[e.nextBad] < block) {
        e.nextBad++;
    }
    if (!e.on || e.nextBad == m.badCount || m.badBlocks[e.nextBad] != block || bad) {
        return;
    }
    e.differ++;
    if (run->o.quiet) {
        return;
    }
    const auto b = static_cast<unsigned long long>(block);
    char line[128];
    const int n = run->o.json ? std::snprintf(line, sizeof line,
                                              "{\"block\":%llu,\"class\":\"differs-from-manifest\",\"bad\":false}", b)
                              : std::snprintf(line, sizeof line, "block %llu: marked bad in the manifest, reads good\n", b);
    printFinding(run, line, n);
}

// The checker's events, reported as they come.
void onBlock(void *context, std::uint64_t block, bool bad)
{
    compareBadBlock(static_cast<Run *>(context), block, bad);
}

void onPage(void *context, std::uint64_t page, const RecordResult *result, const std::uint8_t * /*record*/)
{
    auto *run = static_cast<Run *>(context);
    if (!run->expect.on) {
        return;
    }
    if (result == nullptr) {
        skipManifestPage(run, page);
    } else {
        compareWithManifest(run, page, *result);
    }
}

void onFinding(void *context, const Finding &f)
{
    auto *run = static_cast<Run *>(context);
    if (run->o.quiet) {
        return;
    }
    switch (f.cls) {
    case FindingClass::BadBlock:
        reportBadBlock(run, f.block, f.page);
        return;
    case FindingClass::ErasedBitflips:
        reportErased(run, f.page, f.step, f.bitflips);
        return;
    default:
        reportStep(run, f);
        return;
    }
}

// The JSON of one block's counts.
int blockJson(const Codec &c, const BlockCounts &b, char *buf, std::size_t size)
{
    if (b.bad) {
        return std::snprintf(buf, size, "{\"block\":%llu,\"bad\":true}", static_cast<unsigned long long>(b.block));
    }
    return std::snprintf(buf, size,
                         "{\"block\":%llu,\"max_bitflips\":%u,\"corrected\":%u,\"uncorrectable\":%u,\"erased\":%u,"
                         "\"scrub\":%s%s}",
                         static_cast<unsigned long long>(b.block), b.maxFlips, b.corrected, b.uncorrectable, b.erased,
                         needsScrub(c, b.maxFlips) ? "true" : "false",
                         b.pages < c.layout.pagesPerBlock ? ",\"partial\":true" : "");
}

// The "blocks" array of the JSON document, with --per-block.
void printBlocks(Run *run)
{
    if (!run->o.perBlock) {
        return;
    }
    io::printText("\"blocks\":[");
    for (std::size_t i = 0; i < run->keptCount; i++) {
        char entry[256];
        io::printText(i == 0 ? "" : ",");
        io::printBytes(entry, static_cast<std::size_t>(blockJson(run->codec, run->kept[i], entry, sizeof entry)));
    }
    io::printText("],");
}

// Ends a block: its line with --per-block where it has findings, and its
// counts kept for the JSON document. False when out of memory.
bool endBlock(Run *run, const BlockCounts &b)
{
    if (!run->o.perBlock) {
        return true;
    }
    if (run->o.json) {
        if (run->keptCount == run->keptCapacity) {
            const std::size_t capacity = run->keptCapacity == 0 ? 1024 : 2 * run->keptCapacity;
            void *grown = std::realloc(run->kept, capacity * sizeof(BlockCounts));
            if (grown == nullptr) {
                return false;
            }
            run->kept = static_cast<BlockCounts *>(grown);
            run->keptCapacity = capacity;
        }
        run->kept[run->keptCount++] = b;
        return true;
    }
    if (b.bad || run->o.quiet || (b.maxFlips == 0 && b.uncorrectable == 0)) {
        return true;
    }
    char partial[48] = "";
    if (b.pages < run->codec.layout.pagesPerBlock) {
        std::snprintf(partial, sizeof partial, ", partial: %u pages", b.pages);
    }
    char line[256];
    const int n = std::snprintf(line, sizeof line,
                                "block %llu: max %u bitflips in a step, %u corrected steps, %u uncorrectable, %u erased "
                                "pages%s%s\n",
                                static_cast<unsigned long long>(b.block), b.maxFlips, b.corrected, b.uncorrectable,
                                b.erased, needsScrub(run->codec, b.maxFlips) ? ", scrub" : "", partial);
    printFinding(run, line, n);
    return true;
}

void printSummary(Run *run, std::uint64_t trailing)
{
    const CheckCounts &c = run->checker->counts();
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
        io::printText(run->o.quiet ? "" : "],");
        printBlocks(run);
        // A layout without a marker (the classic image) has no bad blocks to count.
        char bad[48] = "";
        if (run->codec.layout.markerCount != 0) {
            std::snprintf(bad, sizeof bad, ",\"bad_blocks\":%llu", u(c.badBlocks));
        }
        n = std::snprintf(line, sizeof line,
                          "\"pages\":%llu,\"erased\":%llu%s,\"%s\":{\"clean\":%llu,\"corrected\":%llu,"
                          "\"uncorrectable\":%llu},\"trailing_bytes\":%llu%s}\n",
                          u(c.pages), u(c.erased), bad, run->o.units, u(c.clean), u(c.corrected), u(c.uncorrectable),
                          u(trailing), manifest);
    } else {
        if (run->expect.on) {
            std::snprintf(manifest, sizeof manifest, "manifest: %llu %s as injected, %llu differ\n",
                          u(run->expect.asInjected), run->o.units, u(run->expect.differ));
        }
        char bad[48] = "";
        if (c.badBlocks != 0) {
            std::snprintf(bad, sizeof bad, ", %llu bad block%s", u(c.badBlocks), c.badBlocks == 1 ? "" : "s");
        }
        n = std::snprintf(line, sizeof line,
                          "%llu pages, %llu erased%s; %s: %llu clean, %llu corrected, %llu uncorrectable\n%s",
                          u(c.pages), u(c.erased), bad, run->o.units, u(c.clean), u(c.corrected), u(c.uncorrectable),
                          manifest);
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
        const Status status = io::openOutput(out->name, &out->file, avoid, avoidCount, opened, others);
        if (status.kind() == Status::Kind::Invalid) {
            return checkTrouble(o.tool, out->name,
                                run.expect.on ? "names the image, the manifest or the other output; not written"
                                              : "names the image or the other output; not written");
        }
        if (!status.good()) {
            return checkTrouble(o.tool, out->name, std::strerror(status.errnum()));
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

// The record reader: checks the image read by read, eraseblock by
// eraseblock, and writes the outputs. Sets *trailing to the bytes past the
// last whole record. Returns kCheckGood or the status of the trouble it
// reported.
int checkImage(Run *run, int in, const char *imageName, const Output &raw, const Output &fixed, std::uint64_t *trailing)
{
    const Codec &codec = run->codec;
    const std::size_t recordSize = codec.recordSize;
    const std::size_t blockPages = codec.layout.pagesPerBlock > 1 ? codec.layout.pagesPerBlock : 1;
    Ring ring;
    ring.codec = &codec;
    ring.threshold = run->o.erasedThreshold;
    ring.tool = run->o.tool;
    // The most bits a step's result lists: a multi-bit code's step (BCH, the
    // vendors') corrects at most the strength; a blank step lists its zero
    // bits, at most the threshold; a one-bit code's corrected code its
    // differing code bits. None lists more than kMaxCorrected.
    const bool oneBit = codec.layout.scheme != Scheme::Bch && codec.layout.vendor == Vendor::None;
    std::size_t places = std::max(strength(codec.layout), ring.threshold);
    places = std::max(places, oneBit ? std::size_t{8} * codec.codeBytes : 0);
    ring.places = std::min(places, kMaxCorrected);
    // A bit-packed layout's page data is gathered, a page a record, for -o.
    ring.gather = codec.layout.vendor != Vendor::None && raw.file.fd >= 0;
    ring.pieces = codec.dataInPlace || ring.gather ? 1 : codec.steps;
    const std::size_t pieceBytes = ring.pieces == 1 ? codec.layout.pageSize : codec.layout.stepSize;
    // Reads of whole eraseblocks, so that a block's marker pages are all at
    // hand before any of its pages is written; at least one eraseblock.
    const std::size_t fit = kReadBytes / recordSize;
    ring.records = fit >= blockPages ? fit / blockPages * blockPages : blockPages;
    const std::size_t readBytes = ring.records * recordSize;
    io::Pipeline pipe;
    if (!pipe.allocate({readBytes, readBytes, 1}, kBlocks, ringExtra(&ring, nullptr))) {
        return checkTrouble(run->o.tool, imageName, std::strerror(ENOMEM));
    }
    ringExtra(&ring, pipe.extra());
    std::memset(ring.blank, 0xFF, recordSize);
    // Most records are clean: the reading threads find which, and this one
    // decodes and reports the rest. A run that compares with a manifest
    // looks at every record itself.
    const bool quick = !run->expect.on;
    pipe.startReader(in, quick ? findClean : nullptr, &ring);
    pipe.startWriter((raw.file.fd >= 0 ? 1 : 0) + (fixed.file.fd >= 0 ? 1 : 0));
    const CheckEvents events = {run, onBlock, onPage, onFinding};
    const Output *outputs[2] = {};
    // Reports the first failed write of the outputs, if any.
    const auto writeTrouble = [&](int err, int job) {
        return checkTrouble(run->o.tool, outputs[job]->name, std::strerror(err));
    };
    for (std::size_t n = 0;; n++) {
        const io::Block b = pipe.nextBlock();
        std::uint8_t *data = b.data;
        const std::size_t got = b.bytes;
        const std::size_t records = got / recordSize;
        iovec *pages = ring.raw + (n % kBlocks) * ring.records * ring.pieces;
        iovec *whole = ring.fixed + (n % kBlocks) * (ring.records + 1);
        const bool *clean = ring.clean + (n % kBlocks) * ring.records;
        std::size_t rawCount = 0;
        std::size_t fixedCount = 0;
        // Adds bytes to the writes of -f, joined to the last where they
        // follow it in the read.
        const auto toFixed = [&](std::uint8_t *p, std::size_t bytes) {
            if (fixedCount != 0 && static_cast<std::uint8_t *>(whole[fixedCount - 1].iov_base) +
                                           whole[fixedCount - 1].iov_len ==
                                       p) {
                whole[fixedCount - 1].iov_len += bytes;
            } else {
                whole[fixedCount++] = {p, bytes};
            }
        };
        // The reads hold whole eraseblocks, but for a partial one at the end.
        for (std::size_t first = 0; first < records; first += blockPages) {
            const std::size_t count = records - first < blockPages ? records - first : blockPages;
            std::uint8_t *block = data + first * recordSize;
            const Predecoded *ahead = nullptr;
            if (quick && ring.decoded != nullptr) {
                wholeAhead(ring, (n % kBlocks) * ring.records + first, count);
                ahead = ring.decoded + (n % kBlocks) * ring.records + first;
            }
            const BlockCounts counts =
                run->checker->checkBlock(block, block, count, quick ? clean + first : nullptr, events, ahead);
            if (!counts.bad || run->o.bb != BadBlockOutput::Skip) {
                const bool pad = counts.bad && run->o.bb == BadBlockOutput::Pad;
                for (std::size_t r = 0; r < count; r++) {
                    std::uint8_t *record = block + r * recordSize;
                    if (run->o.onPage != nullptr) {
                        run->o.onPage(run->o.onPageContext, codec, pad ? ring.blank : record);
                    }
                    std::uint8_t *own = nullptr;
                    if (ring.pages != nullptr && !pad) {
                        own = ring.pages + ((n % kBlocks) * ring.records + first + r) * codec.layout.pageSize;
                        recordData(codec, record, own, std::uint64_t{n} * ring.records + first + r);
                    }
                    for (std::size_t s = 0; s < ring.pieces; s++) {
                        std::uint8_t *from = own != nullptr ? own : record + codec.dataPos[s];
                        pages[rawCount++] = {pad ? ring.blank : from, pieceBytes};
                    }
                    toFixed(pad ? ring.blank : record, recordSize);
                }
            }
            if (!endBlock(run, counts)) {
                int job = 0;
                pipe.finishWriter(&job);  // out of memory already: the writes' own error is second
                return checkTrouble(run->o.tool, imageName, std::strerror(ENOMEM));
            }
        }
        io::WriteJob jobs[2];
        int count = 0;
        if (raw.file.fd >= 0) {
            outputs[count] = &raw;
            jobs[count++] = {raw.file.fd, pages, static_cast<int>(rawCount)};
        }
        // Bytes past the last whole record go to -f as they are, so that
        // nothing of the image is lost; -o holds whole pages only.
        if (fixed.file.fd >= 0) {
            if (b.err == 0 && got > records * recordSize) {
                toFixed(data + records * recordSize, got - records * recordSize);
            }
            outputs[count] = &fixed;
            jobs[count++] = {fixed.file.fd, whole, static_cast<int>(fixedCount)};
        }
        pipe.submitBlock(jobs, count);
        int job = 0;
        if (b.err != 0 || b.ended) {
            if (const int err = pipe.finishWriter(&job)) {
                return writeTrouble(err, job);
            }
            if (b.err != 0) {
                return checkTrouble(run->o.tool, imageName, std::strerror(b.err));
            }
            *trailing = got - records * recordSize;
            pipe.finishReader();
            return kCheckGood;
        }
        if (const int err = pipe.writeError(&job)) {
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
    const Status parsed = err == 0 ? parseManifest(text, size, run->codec, pages, &run->expect.manifest) : Status{};
    std::free(text);
    if (err != 0 || !parsed.good()) {
        freeManifest(&run->expect.manifest);
        return checkTrouble(o.tool, o.expect, err != 0 ? std::strerror(err) : parsed.message());
    }
    run->expect.flips = static_cast<PageFlips *>(std::malloc(sizeof(PageFlips)));
    if (run->expect.flips == nullptr) {
        freeManifest(&run->expect.manifest);
        return checkTrouble(o.tool, o.expect, std::strerror(ENOMEM));
    }
    run->expect.on = true;
    return -1;
}

}  // namespace

bool badBlockOutputByName(const char *text, BadBlockOutput *out)
{
    static const struct {
        const char *name;
        BadBlockOutput value;
    } names[] = {{"skip", BadBlockOutput::Skip}, {"pad", BadBlockOutput::Pad}, {"keep", BadBlockOutput::Keep}};
    for (const auto &n : names) {
        if (std::strcmp(text, n.name) == 0) {
            *out = n.value;
            return true;
        }
    }
    return false;
}

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
    Run run = {codec, o, nullptr, 0, false, {}, nullptr, 0, 0};
    // What the run holds on the heap, freed however it ends.
    struct Held {
        Run *run;
        explicit Held(Run *r) : run(r) {}
        Held(const Held &) = delete;
        Held &operator=(const Held &) = delete;
        ~Held()
        {
            std::free(run->kept);
            std::free(run->expect.flips);
            if (run->checker != nullptr) {
                run->checker->~Checker();
                std::free(run->checker);
            }
        }
    };
    const Held held(&run);
    // Made with malloc: the tools load no C++ runtime.
    void *place = std::malloc(sizeof(Checker));
    if (place == nullptr) {
        return checkTrouble(o.tool, imageName, std::strerror(ENOMEM));
    }
    run.checker = new (place) Checker;
    run.checker->begin(codec, o.erasedThreshold);
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
        if (const std::size_t i = firstFlipPast(run.expect.manifest, run.checker->counts().pages); i < run.expect.manifest.count) {
            char why[128];
            std::snprintf(why, sizeof why, "line %llu: page %llu is past the end of the image (%llu pages)",
                          static_cast<unsigned long long>(run.expect.manifest.flips[i].line),
                          static_cast<unsigned long long>(run.expect.manifest.flips[i].page),
                          static_cast<unsigned long long>(run.checker->counts().pages));
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
                     static_cast<unsigned long long>(run.checker->counts().pages) * codec.recordSize);
        return kCheckBad;
    }
    return run.checker->counts().uncorrectable != 0 || run.expect.differ != 0 ? kCheckBad : kCheckGood;
}

}  // namespace nand
