// Allwinner's NAND controller layouts: strengths, randomizer and fill, and
// records encoded and checked; see sunxi.h for the pages.
#include "sunxi.h"

#include "record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace nand::sunxi {

namespace {

constexpr unsigned kByteBits = 8;
constexpr unsigned kStateBits = 15;  // the LFSR's
constexpr std::uint32_t kStateMask = (1u << kStateBits) - 1;
constexpr std::uint8_t kSpare = 0x00;  // the byte that rounds E up to even
constexpr unsigned kNewMinStrength = 16;
constexpr unsigned kNewMaxStrength = 80;
static_assert(kNewMaxStrength <= bch::kMaxT, "the engine makes every strength the newer controllers take");
// The strengths the older controllers take (the ECC mode field's table).
constexpr unsigned kStrengths[] = {16, 24, 28, 32, 40, 48, 56, 60, 64};
constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15;  // SplitMix64's increment
constexpr std::uint64_t kMix1 = 0xBF58476D1CE4E5B9;
constexpr std::uint64_t kMix2 = 0x94D049BB133111EB;
constexpr unsigned kShift1 = 30;
constexpr unsigned kShift2 = 27;
constexpr unsigned kShift3 = 31;
// The longest stream a page needs: a step's bytes, or sunxi's OOB tail.
constexpr std::size_t kMaxStream = std::max(std::size_t{kStep} + kUserBytes + kMaxEccBytes, kMaxOobSize);

// The LFSR's output x_0, x_1, ... from the state 1 (x_0..x_14 the state's
// bits, x_(i+15) = x_i ^ x_(i+1)): x^15 + x + 1 is primitive, so every other
// state comes once in its period of 2^15 - 1 bits, and a stream from any seed
// is bits of this one sequence, read from the seed's place on. Kept a whole
// stream past the period so that no read wraps, and in bytes from each of
// the eight bit offsets, so that a stream is a copy; built by the compiler.
constexpr std::uint32_t kPeriod = kStateMask;
constexpr std::size_t kSequenceBits = kPeriod + kStateBits + (kMaxStream + 1) * kByteBits;
// The bytes of each offset: a stream starts at most kPeriod + 14 bits in.
constexpr std::size_t kShiftedBytes = (kPeriod + kStateBits) / kByteBits + kMaxStream;

struct Sequence {
    std::uint8_t bits[kSequenceBits / kByteBits + 1];  // x_i at bit i % 8 of byte i / 8
    std::uint16_t place[kPeriod + 1];                  // the i whose x_i..x_(i+14) make the index
    std::uint32_t states;                              // the states met in a period
};

constexpr Sequence makeSequence()
{
    Sequence q{};
    std::uint32_t s = 1;
    for (std::size_t i = 0; i < kSequenceBits; i++) {
        if (i < kPeriod) {
            q.states += q.place[s] == 0 && s != 1 ? 1u : 0u;
            q.place[s] = static_cast<std::uint16_t>(i);
        }
        q.bits[i / kByteBits] = static_cast<std::uint8_t>(q.bits[i / kByteBits] | (s & 1u) << (i % kByteBits));
        s = (s >> 1) | (((s ^ (s >> 1)) & 1u) << (kStateBits - 1));
    }
    return q;
}

constexpr Sequence kSequence = makeSequence();

// shifted[s][k]: x_(8k + s + b) at bit b.
struct Shifted {
    std::uint8_t shifted[kByteBits][kShiftedBytes];
};

constexpr Shifted makeShifted()
{
    Shifted q{};
    for (unsigned shift = 0; shift < kByteBits; shift++) {
        for (std::size_t k = 0; k < kShiftedBytes; k++) {
            const unsigned two = kSequence.bits[k] | static_cast<unsigned>(kSequence.bits[k + 1]) << kByteBits;
            q.shifted[shift][k] = static_cast<std::uint8_t>(two >> shift);
        }
    }
    return q;
}

constexpr Shifted kShifted = makeShifted();
static_assert(kSequence.states + 1 == kPeriod, "every nonzero state in one period");

// The page randomizer's seeds, by page within the eraseblock modulo 128, as
// Linux's driver and U-Boot's builder list them.
constexpr std::uint16_t kSeeds[kSeedCount] = {
    0x2b75, 0x0bd0, 0x5ca3, 0x62d1, 0x1c93, 0x07e9, 0x2162, 0x3a72, 0x0d67, 0x67f9, 0x1be7, 0x077d, 0x032f,
    0x0dac, 0x2716, 0x2436, 0x7922, 0x1510, 0x3860, 0x5287, 0x480f, 0x4252, 0x1789, 0x5a2d, 0x2a49, 0x5e10,
    0x437f, 0x4b4e, 0x2f45, 0x216e, 0x5cb7, 0x7130, 0x2a3f, 0x60e4, 0x4dc9, 0x0ef0, 0x0f52, 0x1bb9, 0x6211,
    0x7a56, 0x226d, 0x4ea7, 0x6f36, 0x3692, 0x38bf, 0x0c62, 0x05eb, 0x4c55, 0x60f4, 0x728c, 0x3b6f, 0x2037,
    0x7f69, 0x0936, 0x651a, 0x4ceb, 0x6218, 0x79f3, 0x383f, 0x18d9, 0x4f05, 0x5c82, 0x2912, 0x6f17, 0x6856,
    0x5938, 0x1007, 0x61ab, 0x3e7f, 0x57c2, 0x542f, 0x4f62, 0x7454, 0x2eac, 0x7739, 0x42d4, 0x2f90, 0x435a,
    0x2e52, 0x2064, 0x637c, 0x66ad, 0x2c90, 0x0bad, 0x759c, 0x0029, 0x0986, 0x7126, 0x1ca7, 0x1605, 0x386a,
    0x27f5, 0x1380, 0x6d75, 0x24c3, 0x0f8e, 0x2b7a, 0x1418, 0x1fd1, 0x7dc1, 0x2d8e, 0x43af, 0x2267, 0x7da3,
    0x4e3d, 0x1338, 0x50db, 0x454d, 0x764d, 0x40a3, 0x42e6, 0x262b, 0x2d2e, 0x1aea, 0x2e17, 0x173d, 0x3a6e,
    0x71bf, 0x25f9, 0x0a5d, 0x7c57, 0x0fbe, 0x46ce, 0x4939, 0x6b17, 0x37bb, 0x3e91, 0x76db,
};

struct SocRow {
    const char *name;
    Soc soc;
};
constexpr SocRow kSocs[] = {{"a10", Soc::A10}, {"h6", Soc::H6}};

template <typename... Args>
bool refuse(char *why, std::size_t whySize, const char *format, Args... args)
{
    std::snprintf(why, whySize, format, args...);
    return false;
}

// SplitMix64: a counter-based generator, so that every page has its own.
struct Fill {
    std::uint64_t state;
    std::uint64_t word = 0;
    unsigned left = 0;

    std::uint8_t next()
    {
        if (left == 0) {
            state += kGolden;
            std::uint64_t z = state;
            z = (z ^ (z >> kShift1)) * kMix1;
            z = (z ^ (z >> kShift2)) * kMix2;
            word = z ^ (z >> kShift3);
            left = kByteBits;
        }
        const auto b = static_cast<std::uint8_t>(word);
        word >>= kByteBits;
        left--;
        return b;
    }
};

bool isBoot0(const Codec &c)
{
    return c.layout.vendor == Vendor::SunxiBoot0;
}

// The raw bytes of a step's data, and of its user bytes and code (which
// follow one another in both layouts).
std::size_t dataAt(const Codec &c, std::size_t k)
{
    return c.dataPos[k];
}

std::size_t oobAt(const Codec &c, std::size_t k)
{
    return c.protPos[k * kUserBytes];
}

// The stream from seed, kMaxStream bytes of it, where it lies in the tables.
const std::uint8_t *streamOf(std::uint16_t seed)
{
    static constexpr std::uint8_t kZeros[kMaxStream] = {};
    const std::uint32_t state = seed & kStateMask;
    if (state == 0) {
        return kZeros;  // the LFSR stays at zero
    }
    // Byte k holds bits 15 + 8k .. 22 + 8k after the seed's place.
    const std::size_t first = kSequence.place[state] + std::size_t{kStateBits};
    return kShifted.shifted[first % kByteBits] + first / kByteBits;
}

// The page's stream where it is scrambled; null where it is not.
const std::uint8_t *pageStream(const Codec &c, std::uint64_t page)
{
    if (isBoot0(c)) {
        return streamOf(kBoot0Seed);
    }
    return c.layout.randomizer ? streamOf(pageSeed(c.layout.pagesPerBlock, page)) : nullptr;
}

void scramble(std::uint8_t *p, const std::uint8_t *ks, std::size_t n)
{
    for (std::size_t i = 0; i < n; i++) {
        p[i] ^= ks[i];
    }
}

// Step k's message (data, then user bytes) and stored code, de-scrambled.
void gather(const Codec &c, const std::uint8_t *record, std::size_t k, const std::uint8_t *ks, std::uint8_t *msg,
            std::uint8_t *code)
{
    const std::size_t step = c.layout.stepSize;
    std::memcpy(msg, record + dataAt(c, k), step);
    std::memcpy(msg + step, record + oobAt(c, k), kUserBytes);
    std::memcpy(code, record + oobAt(c, k) + kUserBytes, c.codeBytes);
    if (ks != nullptr) {
        scramble(msg, ks, step + kUserBytes);
        scramble(code, ks + step + kUserBytes, c.codeBytes);
    }
}

// The zero bits of step k as read (data, user bytes and the whole stored
// code, as Linux counts them); stops once above limit.
unsigned stepZeros(const Codec &c, const std::uint8_t *record, std::size_t k, unsigned limit)
{
    unsigned zeros = zeroBits(record + dataAt(c, k), c.layout.stepSize, limit);
    if (zeros <= limit) {
        zeros += zeroBits(record + oobAt(c, k), kUserBytes + c.eccBytes, limit - zeros);
    }
    return zeros;
}

// Makes step k blank flash, all its bits 1, and reports its zero bits.
void markBlank(const Codec &c, std::uint8_t *record, std::size_t k, unsigned zeros, StepResult *r)
{
    r->status = EccStatus::Clean;
    r->blank = true;
    r->flips = zeros;
    r->count = 0;
    const auto clear = [&](std::size_t from, std::size_t n, unsigned loc) {
        for (std::size_t i = 0; i < n * kByteBits; i++) {
            std::uint8_t &b = record[from + i / kByteBits];
            if ((static_cast<unsigned>(b) >> (i % kByteBits) & 1u) == 0) {
                if (r->count < kMaxCorrected) {
                    r->locs[r->count++] = static_cast<std::uint16_t>(loc + i);
                }
                b = static_cast<std::uint8_t>(b | 1u << (i % kByteBits));
            }
        }
    };
    clear(dataAt(c, k), c.layout.stepSize, 0);
    clear(oobAt(c, k), kUserBytes + c.eccBytes, c.layout.stepSize * kByteBits);
}

}  // namespace

const char *socName(Soc s)
{
    for (const SocRow &r : kSocs) {
        if (r.soc == s) {
            return r.name;
        }
    }
    return "a10";
}

bool socByName(const char *text, Soc *s)
{
    for (const SocRow &r : kSocs) {
        if (std::strcmp(text, r.name) == 0) {
            *s = r.soc;
            return true;
        }
    }
    return false;
}

bool strengthAllowed(Soc s, unsigned t, char *why, std::size_t whySize)
{
    if (s == Soc::H6) {
        if (t < kNewMinStrength || t > kNewMaxStrength) {
            return refuse(why, whySize, "a strength of %u bits: the h6 controller takes 16 to 80 (--strength)", t);
        }
        return true;
    }
    if (std::find(std::begin(kStrengths), std::end(kStrengths), t) == std::end(kStrengths)) {
        return refuse(why, whySize,
                      "a strength of %u bits: the controller takes 16, 24, 28, 32, 40, 48, 56, 60 or 64 "
                      "(--strength; --soc h6 for others)",
                      t);
    }
    return true;
}

std::size_t pageSeedIndex(std::uint32_t pagesPerBlock, std::uint64_t page)
{
    const std::uint64_t mod = std::min<std::uint64_t>(pagesPerBlock, kSeedCount);
    return static_cast<std::size_t>(page % mod);
}

std::uint16_t pageSeed(std::uint32_t pagesPerBlock, std::uint64_t page)
{
    return kSeeds[pageSeedIndex(pagesPerBlock, page)];
}

bool checkLayout(const Layout &l, char *why, std::size_t whySize)
{
    if (l.stepSize != kStep && l.stepSize != kSmallStep) {
        return refuse(why, whySize, "steps of %u bytes: the controller takes 512 or 1024 (--step)", l.stepSize);
    }
    if (!strengthAllowed(static_cast<Soc>(l.soc), l.strength, why, whySize)) {
        return false;
    }
    const std::uint64_t e = eccBytes(l.strength);
    if (l.vendor == Vendor::Sunxi) {
        if (l.pageSize == 0 || l.pageSize % l.stepSize != 0) {
            return refuse(why, whySize, "a page of %u bytes is no whole number of %u-byte steps", l.pageSize,
                          l.stepSize);
        }
        const std::uint64_t need = l.pageSize / l.stepSize * (kUserBytes + e);
        if (need > l.oobSize) {
            return refuse(why, whySize,
                          "strength %u needs %llu OOB bytes (4 user and %llu code bytes a step), more than %u",
                          l.strength, static_cast<unsigned long long>(need), static_cast<unsigned long long>(e),
                          l.oobSize);
        }
        return true;
    }
    if (l.pageSize == 0 || l.pageSize % l.stepSize != 0) {
        return refuse(why, whySize, "a usable page of %u bytes is no whole number of %u-byte steps (--usable-page)",
                      l.pageSize, l.stepSize);
    }
    const std::uint64_t need = l.pageSize / l.stepSize * (std::uint64_t{l.stepSize} + kUserBytes + e);
    if (need > std::uint64_t{l.rawPage} + l.oobSize) {
        return refuse(why, whySize,
                      "%u usable bytes with strength %u need %llu bytes, more than the %u of page and OOB: "
                      "choose a weaker code",
                      l.pageSize, l.strength, static_cast<unsigned long long>(need), l.rawPage + l.oobSize);
    }
    if (l.pageSize > l.rawPage) {
        return refuse(why, whySize, "a usable page of %u bytes is larger than the %u-byte page (--usable-page)",
                      l.pageSize, l.rawPage);
    }
    return true;
}

void makeCodec(Codec *c)
{
    const Layout &l = c->layout;
    const std::size_t e = eccBytes(l.strength);
    c->steps = l.pageSize / l.stepSize;
    c->eccBytes = e;
    c->codeBytes = (kField * l.strength + kByteBits - 1) / kByteBits;
    c->protBytes = kUserBytes;
    c->recordSize = recordSize(l);
    c->dataInPlace = false;  // scrambled, or interleaved
    c->messageInPlace = false;
    c->blankIsCodeword = false;
    bch::Params p;
    p.m = kField;
    p.t = l.strength;
    p.poly = bchPoly(l);
    p.swapBits = true;
    p.masked = false;
    p.messageBytes = l.stepSize + kUserBytes;
    // The layout was checked: its code can be made.
    (void)bch::init(&c->bch, p);
    std::memset(c->eccKeep, 0, sizeof c->eccKeep);
    std::memcpy(c->eccKeep, c->bch.keep, c->codeBytes);
    const bool boot0 = l.vendor == Vendor::SunxiBoot0;
    // Each seed's stream through a step's message and code: a step's data
    // and user bytes restart the stream at the page's seed, step after step.
    std::memset(c->sunxiStreamCode, 0, sizeof c->sunxiStreamCode);
    if (boot0 || l.randomizer) {
        const std::size_t seeds = boot0 ? 1 : kSeedCount;
        for (std::size_t i = 0; i < seeds; i++) {
            const std::uint8_t *ks = streamOf(boot0 ? kBoot0Seed : kSeeds[i]);
            std::uint8_t *code = c->sunxiStreamCode[i];
            bch::encode(c->bch, ks, code);
            scramble(code, ks + l.stepSize + kUserBytes, c->codeBytes);
        }
    }
    std::fill(c->oobStep, c->oobStep + kMaxOobSize, std::int16_t{-1});
    std::memset(c->oobKeep, 0, sizeof c->oobKeep);
    for (std::size_t k = 0; k < c->steps; k++) {
        const std::size_t data = boot0 ? k * (l.stepSize + kUserBytes + e) : k * l.stepSize;
        const std::size_t oob = boot0 ? data + l.stepSize : l.pageSize + k * (kUserBytes + e);
        c->dataPos[k] = static_cast<std::uint32_t>(data);
        for (std::size_t i = 0; i < kUserBytes; i++) {
            c->protPos[k * kUserBytes + i] = static_cast<std::uint32_t>(oob + i);
        }
        for (std::size_t i = 0; i < e; i++) {
            c->eccPos[k * e + i] = static_cast<std::uint32_t>(oob + kUserBytes + i);
        }
        if (!boot0) {
            for (std::size_t i = 0; i < kUserBytes + e; i++) {
                const std::size_t at = oob - l.pageSize + i;
                c->oobStep[at] = static_cast<std::int16_t>(k);
                c->oobKeep[at] = i < kUserBytes ? std::uint8_t{0xFF} : c->eccKeep[i - kUserBytes];
            }
        }
    }
}

void encodeRecord(const Codec &c, std::uint8_t *record, bool keepErased, std::uint64_t page, std::size_t dataBytes)
{
    const Layout &l = c.layout;
    const bool boot0 = isBoot0(c);
    const bool blank = zeroBits(record, l.pageSize, 0) == 0;
    // The builder leaves a boot0 page of blank input blank, as the driver's
    // users do with --keep-erased.
    if (blank && (keepErased || boot0)) {
        std::memset(record + l.pageSize, 0xFF, c.recordSize - l.pageSize);
        return;
    }
    const std::size_t step = l.stepSize;
    const std::uint8_t *ks = pageStream(c, page);
    const bool scrambled = ks != nullptr;
    // Boot0's steps are interleaved with their codes: its page is taken
    // aside first. Otherwise the data stays where it is, scrambled in place.
    std::uint8_t payload[kMaxPageSize];
    const std::uint8_t *data = record;
    if (boot0) {
        std::memcpy(payload, record, l.pageSize);
        data = payload;
        std::memset(record, 0xFF, c.recordSize);
    } else {
        std::memset(record + l.pageSize, 0xFF, c.recordSize - l.pageSize);
    }
    // The raw bytes up to the end of the last step's code.
    const std::size_t perStep = (boot0 ? step : 0) + kUserBytes + c.eccBytes;
    const std::size_t used = (boot0 ? 0 : l.pageSize) + c.steps * perStep;
    if (boot0 && l.randomizer) {
        // The fill, in the builder's order: the page's tail, then the
        // padding of a short step.
        Fill fill{l.fillSeed + page};
        for (std::size_t i = used; i < c.recordSize; i++) {
            record[i] = fill.next();
        }
        for (std::size_t i = std::min(dataBytes, std::size_t{l.pageSize}); i < l.pageSize; i++) {
            payload[i] = fill.next();
        }
    } else if (!boot0 && scrambled) {
        scramble(record + used, ks, c.recordSize - used);
    }
    std::uint8_t code[kMaxEccBytes];
    for (std::size_t k = 0; k < c.steps; k++) {
        // The user bytes 0xFF; the marker bytes such that the stream leaves
        // them as written.
        std::uint8_t user[kUserBytes] = {0xFF, 0xFF, 0xFF, 0xFF};
        if (k == 0 && !boot0 && scrambled) {
            user[0] ^= ks[step];
            user[1] ^= ks[step + 1];
        }
        // The step's data is encoded where it lies (boot0: in the payload
        // taken aside), then written scrambled to its place.
        std::uint8_t *to = record + dataAt(c, k);
        const std::uint8_t *from = boot0 ? data + k * step : to;
        bch::encode(c.bch, from, step, user, code);
        std::memset(code + c.codeBytes, kSpare, c.eccBytes - c.codeBytes);
        if (boot0) {
            std::memcpy(to, from, step);
        }
        if (scrambled) {
            scramble(to, ks, step);
            scramble(user, ks + step, kUserBytes);
            scramble(code, ks + step + kUserBytes, c.eccBytes);
        }
        std::memcpy(record + oobAt(c, k), user, kUserBytes);
        std::memcpy(record + oobAt(c, k) + kUserBytes, code, c.eccBytes);
    }
    if (boot0) {
        // The builder's last word: the marker bytes of the flash page blank.
        record[l.rawPage] = record[l.rawPage + 1] = 0xFF;
    }
}

bool recordIsClean(const Codec &c, const std::uint8_t *record, std::uint64_t page)
{
    // Blank flash is left to the check, which counts it as such. A step
    // whose first bytes hold a zero bit is not blank: no count.
    for (std::size_t k = 0; k < c.steps; k++) {
        std::uint64_t first = 0;
        std::memcpy(&first, record + dataAt(c, k), sizeof first);
        if (first == ~std::uint64_t{0} && stepZeros(c, record, k, 0) == 0) {
            return false;
        }
    }
    // The steps' codes from their bytes as stored, scrambled: no copy, no
    // stream (the stream's own code is the codec's, by seed).
    const std::uint8_t *streamCode =
        c.sunxiStreamCode[isBoot0(c) ? 0 : pageSeedIndex(c.layout.pagesPerBlock, page)];
    const std::size_t step = c.layout.stepSize;
    std::uint8_t computed[kMaxEccBytes];
    for (std::size_t k = 0; k < c.steps; k++) {
        const std::uint8_t *user = record + oobAt(c, k);
        bch::encode(c.bch, record + dataAt(c, k), step, user, computed);
        const std::uint8_t *stored = user + kUserBytes;
        for (std::size_t i = 0; i < c.codeBytes; i++) {
            if (((computed[i] ^ streamCode[i] ^ stored[i]) & c.eccKeep[i]) != 0) {
                return false;
            }
        }
    }
    return true;
}

void checkRecord(const Codec &c, std::uint8_t *record, unsigned erasedThreshold, RecordResult *result,
                 std::uint64_t page)
{
    const std::uint8_t *ks = pageStream(c, page);
    const bool scrambled = ks != nullptr;
    const std::size_t step = c.layout.stepSize;
    result->bitflips = 0;
    result->erased = true;
    for (std::size_t k = 0; k < c.steps; k++) {
        StepResult *r = &result->steps[k];
        r->blank = false;
        r->flips = 0;
        r->count = 0;
        r->status = EccStatus::Clean;
        // Blank flash, as the controller's pattern detection finds it, or
        // as the driver counts a step that does not decode: by its zero
        // bits as read, before de-scrambling.
        const unsigned zeros = stepZeros(c, record, k, erasedThreshold);
        std::uint8_t msg[bch::kMaxMessageBytes];
        std::uint8_t code[kMaxEccBytes];
        unsigned locs[bch::kMaxT];
        int n = -1;
        if (zeros != 0) {
            gather(c, record, k, ks, msg, code);
            n = bch::decode(c.bch, msg, code, locs, true);
        }
        if (zeros == 0) {
            r->blank = true;
        } else if (n >= 0) {
            r->status = n == 0 ? EccStatus::Clean : EccStatus::CorrectedBits;
            for (int i = 0; i < n; i++) {
                unsigned j = r->count++;
                for (; j > 0 && r->locs[j - 1] > locs[i]; j--) {
                    r->locs[j] = r->locs[j - 1];
                }
                r->locs[j] = static_cast<std::uint16_t>(locs[i]);
            }
            if (n > 0) {
                if (scrambled) {
                    scramble(msg, ks, step + kUserBytes);
                    scramble(code, ks + step + kUserBytes, c.codeBytes);
                }
                std::memcpy(record + dataAt(c, k), msg, step);
                std::memcpy(record + oobAt(c, k), msg + step, kUserBytes);
                std::memcpy(record + oobAt(c, k) + kUserBytes, code, c.codeBytes);
                const unsigned first = r->locs[0];
                r->byte = static_cast<std::uint32_t>(k * step + (first < step * kByteBits ? first / kByteBits : 0));
                r->bit = static_cast<std::uint8_t>(r->locs[0] % kByteBits);
            }
        } else if (zeros <= erasedThreshold) {
            markBlank(c, record, k, zeros, r);
        } else {
            r->status = EccStatus::Uncorrectable;
        }
        if (r->blank) {
            result->bitflips += r->flips;
        } else {
            result->erased = false;
        }
    }
}

void recordData(const Codec &c, const std::uint8_t *record, std::uint8_t *data, std::uint64_t page)
{
    const std::uint8_t *ks = pageStream(c, page);
    const bool scrambled = ks != nullptr;
    const std::size_t step = c.layout.stepSize;
    for (std::size_t k = 0; k < c.steps; k++) {
        std::uint8_t *out = data + k * step;
        const std::uint8_t *in = record + dataAt(c, k);
        // A blank step reads as blank flash, not as the stream.
        const bool blank = stepZeros(c, record, k, 0) == 0;
        std::memcpy(out, in, step);
        if (scrambled && !blank) {
            scramble(out, ks, step);
        }
    }
}

}  // namespace nand::sunxi
