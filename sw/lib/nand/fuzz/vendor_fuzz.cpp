// Fuzz target for the record engine of the controllers' own layouts (imx-gpmi,
// sunxi, sunxi-boot0): the input picks a valid geometry, a page index and the
// bytes of a record. Every record is read through buffers of exactly its size,
// so that AddressSanitizer catches a read or write past it; a record checked
// and repaired checks the same the second time; a record the quick test calls
// clean is left as it is and reported clean; a page encoded from the input
// checks clean and gives its data back; and up to t bits flipped in one step
// of it are corrected, exactly those.
#include "record.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <utility>
#include <vector>

namespace {

// Stops the run at a broken property, naming its line.
void require(bool ok, unsigned line = __builtin_LINE())
{
    if (!ok) {
        std::fprintf(stderr, "vendor_fuzz: the property at line %u does not hold\n", line);
        __builtin_trap();
    }
}

// A geometry makeLayout accepts: the preset and the changes that make it.
struct Geometry {
    const char *preset;
    nand::LayoutChanges changes;
};

// The page and OOB sizes tried: the large pages of real chips.
struct PageOob {
    long page;
    long oob;
};
constexpr PageOob kPages[] = {{2048, 64},  {2048, 128},  {4096, 224},   {4096, 256},  {8192, 448},
                              {8192, 640}, {8192, 744}, {16384, 1280}, {16384, 1664}};
constexpr long kSteps[] = {512, 1024};
constexpr long kUsable[] = {-1, 1024, 2048, 4096, 8192};  // -1: the builder's default
constexpr unsigned kMinT = 16;
constexpr unsigned kMaxT = 64;  // the sunxi strengths this tool's BCH makes
constexpr unsigned kA10[] = {16, 24, 28, 32, 40, 48, 56, 60, 64};
constexpr unsigned kGpmiMaxT = 62;
constexpr std::uint32_t kPagesPerBlock[] = {64, 2, 128, 256};
constexpr std::size_t kHeader = 16;
constexpr std::size_t kSpread = 7919;  // a prime: spreads the 16-bit picks over a step's bits  // the input's bytes that choose, before the record's

bool a10Strength(unsigned t)
{
    for (unsigned s : kA10) {
        if (s == t) {
            return true;
        }
    }
    return false;
}

void keep(std::vector<Geometry> *out, const char *preset, const nand::LayoutChanges &c)
{
    nand::Layout l;
    char why[256];
    if (nand::makeLayout(*nand::findPreset(preset), c, &l, why, sizeof why)) {
        out->push_back({preset, c});
    }
}

// Every geometry of the table that makeLayout accepts, found once.
const std::vector<Geometry> &geometries()
{
    static const std::vector<Geometry> all = [] {
        std::vector<Geometry> g;
        for (const PageOob &p : kPages) {
            for (int soc = 0; soc <= static_cast<int>(nand::gpmi::Soc::Imx6sx); soc++) {
                for (long t = 0; t <= static_cast<long>(kGpmiMaxT); t += 2) {
                    nand::LayoutChanges c;
                    c.pageSize = p.page;
                    c.oobSize = p.oob;
                    c.soc = soc;
                    c.strength = t == 0 ? -1 : t;  // 0: the driver's own choice
                    keep(&g, "imx-gpmi", c);
                }
            }
            for (long step : kSteps) {
                for (unsigned t = kMinT; t <= kMaxT; t++) {
                    nand::LayoutChanges c;
                    c.pageSize = p.page;
                    c.oobSize = p.oob;
                    c.stepSize = step;
                    c.strength = t;
                    c.sunxiSoc = static_cast<int>(a10Strength(t) ? nand::sunxi::Soc::A10 : nand::sunxi::Soc::H6);
                    keep(&g, "sunxi", c);
                    for (long usable : kUsable) {
                        c.usablePage = usable;
                        keep(&g, "sunxi-boot0", c);
                    }
                }
            }
        }
        return g;
    }();
    return all;
}

std::uint64_t word(const std::uint8_t *p, std::size_t n)
{
    std::uint64_t w = 0;
    for (std::size_t i = 0; i < n; i++) {
        w = w << 8 | p[i];
    }
    return w;
}

// The codec of the last layout, kept while inputs ask for the same one: its
// BCH tables take far longer to make than a record to check.
struct Choice {
    std::size_t geometry;
    int randomizer;
    long pagesPerBlock;
    std::uint64_t fillSeed;
    bool operator==(const Choice &) const = default;
};
nand::Codec codec;
Choice current{std::numeric_limits<std::size_t>::max(), 0, 0, 0};  // none yet
nand::RecordResult first;
nand::RecordResult second;

void useLayout(const Choice &choice, const nand::Layout &l)
{
    if (!(choice == current)) {
        current = choice;
        nand::makeCodec(l, &codec);
    }
}

// The fuzz bytes repeated to n bytes (0xFF where there are none).
std::vector<std::uint8_t> spread(const std::uint8_t *data, std::size_t size, std::size_t n)
{
    std::vector<std::uint8_t> out(n, 0xFF);
    for (std::size_t i = 0; i < n && size != 0; i++) {
        out[i] = data[i % size];
    }
    return out;
}

bool corrected(const nand::StepResult &r)
{
    return r.status == EccStatus::CorrectedBits || r.status == EccStatus::CorrectedData ||
           r.status == EccStatus::CorrectedCode;
}

// An arbitrary record: checked, repaired and read, never past its bytes.
void readRecord(const std::vector<std::uint8_t> &original, std::uint64_t page, unsigned threshold)
{
    std::vector<std::uint8_t> record(original);
    const bool quick = nand::recordIsClean(codec, record.data(), threshold, page);
    require(record == original);
    nand::checkRecord(codec, record.data(), threshold, &first, page);
    if (quick) {
        require(record == original && !first.erased);
        for (std::size_t k = 0; k < codec.steps; k++) {
            require(first.steps[k].status == EccStatus::Clean && !first.steps[k].blank);
        }
    }
    for (std::size_t k = 0; k < codec.steps; k++) {
        require(first.steps[k].count <= nand::kMaxCorrected);
    }
    // The repair holds: a second check corrects nothing and changes nothing.
    std::vector<std::uint8_t> again(record);
    nand::checkRecord(codec, again.data(), threshold, &second, page);
    require(again == record);
    for (std::size_t k = 0; k < codec.steps; k++) {
        require(!corrected(second.steps[k]));
        require((second.steps[k].status == EccStatus::Uncorrectable) ==
                (first.steps[k].status == EccStatus::Uncorrectable));
    }
    std::vector<std::uint8_t> data(codec.layout.pageSize);
    nand::recordData(codec, record.data(), data.data(), page);
}

// The boot0 step whose raw bytes hold byte `at` of the record, or -1.
long boot0StepAt(std::size_t at)
{
    if (codec.layout.vendor != nand::Vendor::SunxiBoot0) {
        return -1;
    }
    const std::size_t span = std::size_t{codec.layout.stepSize} + codec.protBytes + codec.eccBytes;
    for (std::size_t k = 0; k < codec.steps; k++) {
        if (at >= codec.dataPos[k] && at < codec.dataPos[k] + span) {
            return static_cast<long>(k);
        }
    }
    return -1;
}

// A page encoded from the fuzz bytes: checks clean, changes nothing, and
// gives back the bytes that came from the input. Boot0's blank marker bytes
// (raw `page` and `page + 1`, written last as its builder does) may fall in
// a step, which the check then corrects.
std::vector<std::uint8_t> roundTrip(const std::vector<std::uint8_t> &payload, const std::uint8_t *meta,
                                    bool keepErased, std::uint64_t page, std::size_t dataBytes)
{
    const std::size_t pageSize = codec.layout.pageSize;
    const std::size_t marker = codec.layout.rawPage;
    const long hit[2] = {boot0StepAt(marker), boot0StepAt(marker + 1)};
    std::vector<std::uint8_t> record(codec.recordSize);
    std::memcpy(record.data(), payload.data(), pageSize);
    nand::encodeRecordWithMeta(codec, record.data(), meta, keepErased, page, dataBytes);
    std::vector<std::uint8_t> encoded(record);
    nand::checkRecord(codec, record.data(), 0, &first, page);
    bool markerFixed = false;
    for (std::size_t k = 0; k < codec.steps; k++) {
        const nand::StepResult &r = first.steps[k];
        const bool markerStep = std::cmp_equal(hit[0], k) || std::cmp_equal(hit[1], k);
        require(r.flips == 0);
        require(r.status == EccStatus::Clean || (markerStep && r.status == EccStatus::CorrectedBits));
        markerFixed = markerFixed || r.status == EccStatus::CorrectedBits;
    }
    if (markerFixed) {
        // Only the marker bytes change, back to what the step's code holds.
        encoded[marker] = record[marker];
        encoded[marker + 1] = record[marker + 1];
    }
    require(record == encoded);
    require(first.erased || nand::recordIsClean(codec, record.data(), 0, page));
    std::vector<std::uint8_t> data(pageSize);
    nand::recordData(codec, record.data(), data.data(), page);
    const std::size_t kept = dataBytes < pageSize ? dataBytes : pageSize;
    require(std::memcmp(data.data(), payload.data(), kept) == 0);
    return first.erased || markerFixed ? std::vector<std::uint8_t>{} : record;
}

// Up to t distinct bits flipped in one step of a clean record (its data, and
// but for gpmi's packed bits its user bytes and code): the check corrects
// exactly those and gives the record back.
void flipAndCorrect(const std::vector<std::uint8_t> &clean, std::uint64_t page, const std::uint8_t *data,
                    std::size_t size)
{
    const unsigned t = nand::strength(codec.layout);
    const std::size_t dataBits = std::size_t{codec.layout.stepSize} * 8;
    const bool gpmi = codec.layout.vendor == nand::Vendor::Gpmi;
    const std::size_t bits = gpmi ? dataBits : dataBits + (codec.protBytes + codec.codeBytes) * 8;
    const std::size_t step = data[0] % codec.steps;
    const unsigned count = data[1] % (t + 1);
    std::vector<std::uint8_t> record(clean);
    std::vector<std::uint32_t> flipped;
    for (unsigned i = 0; i < count; i++) {
        const std::size_t at = 2 + 2 * std::size_t{i};
        const auto loc = static_cast<unsigned>((std::size_t{data[at % size]} << 8 | data[(at + 1) % size]) * kSpread % bits);
        if (loc >= dataBits + codec.protBytes * 8) {
            const std::size_t b = (loc - dataBits - codec.protBytes * 8) / 8;
            if ((static_cast<unsigned>(codec.eccKeep[b]) >> (loc % 8) & 1u) == 0) {
                continue;  // a spare bit, no part of the code
            }
        }
        const std::uint32_t bit = nand::locationBit(codec, step, loc);
        if (std::find(flipped.begin(), flipped.end(), bit) != flipped.end()) {
            continue;
        }
        flipped.push_back(bit);
        record[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    nand::checkRecord(codec, record.data(), 0, &first, page);
    require(record == clean);
    for (std::size_t k = 0; k < codec.steps; k++) {
        const nand::StepResult &r = first.steps[k];
        if (k != step || flipped.empty()) {
            require(r.status == EccStatus::Clean && !r.blank);
        } else {
            require(r.status == EccStatus::CorrectedBits && r.count == flipped.size());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < kHeader) {
        return 0;
    }
    const std::vector<Geometry> &all = geometries();
    const std::size_t index = word(data, 2) % all.size();
    const Geometry &g = all[index];
    const std::uint8_t flags = data[2];
    nand::LayoutChanges c = g.changes;
    const bool gpmi = std::strcmp(g.preset, "imx-gpmi") == 0;
    c.randomizer = !gpmi && (flags & 1u) != 0 ? 0 : -1;
    c.pagesPerBlock = kPagesPerBlock[(flags >> 1) % std::size(kPagesPerBlock)];
    c.fillSeedGiven = std::strcmp(g.preset, "sunxi-boot0") == 0;
    c.fillSeed = word(data + 3, 2);
    nand::Layout layout;
    char why[256];
    require(nand::makeLayout(*nand::findPreset(g.preset), c, &layout, why, sizeof why));
    useLayout({index, c.randomizer, c.pagesPerBlock, c.fillSeed}, layout);
    const std::uint64_t page = word(data + 5, 8);
    const unsigned threshold = data[13] % (layout.strength + 1u);
    const std::size_t dataBytes = word(data + 14, 2) % (std::size_t{layout.pageSize} + 1);
    const bool keepErased = (flags & 0x10u) != 0;
    // gpmi's 10 metadata bytes, from the header (null: 0xFF)
    const std::uint8_t *meta = gpmi && (flags & 0x20u) != 0 ? data + 3 : nullptr;
    data += kHeader;
    size -= kHeader;

    readRecord(spread(data, size, codec.recordSize), page, threshold);
    std::vector<std::uint8_t> payload = spread(data, size, layout.pageSize);
    if ((flags & 0x40u) != 0) {
        std::memset(payload.data(), 0xFF, payload.size());  // blank input, which boot0 leaves blank
    }
    const std::vector<std::uint8_t> clean = roundTrip(payload, meta, keepErased, page, dataBytes);
    if (!clean.empty() && size >= 2) {
        flipAndCorrect(clean, page, data, size);
    }
    return 0;
}
