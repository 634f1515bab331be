// The i.MX GPMI BCH layout: geometry, and records packed and unpacked at bit
// level; see gpmi.h for the raw page.
#include "gpmi.h"

#include "record.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

namespace nand::gpmi {

namespace {

constexpr std::uint32_t kMetadataBits = kMetadataBytes * 8;
constexpr unsigned kByteBits = 8;

struct SocRow {
    const char *name;
    unsigned maxStrength;  // Linux's bch_max_ecc_strength
    Soc soc;
};
constexpr SocRow kSocs[] = {
    {"imx23", 20, Soc::Imx23},
    {"imx28", 20, Soc::Imx28},
    {"imx6q", 40, Soc::Imx6q},
    {"imx6sx", 62, Soc::Imx6sx},
};

template <typename... Args>
bool refuse(char *why, std::size_t whySize, const char *format, Args... args)
{
    std::snprintf(why, whySize, format, args...);
    return false;
}

// Bits [from, from + n) of src, n <= 8, as the low bits of the result.
unsigned readBits(const std::uint8_t *src, std::size_t from, unsigned n)
{
    const std::size_t i = from / kByteBits;
    const unsigned shift = from % kByteBits;
    unsigned v = static_cast<unsigned>(src[i]) >> shift;
    if (shift + n > kByteBits) {
        v |= static_cast<unsigned>(src[i + 1]) << (kByteBits - shift);
    }
    return v & ((1u << n) - 1);
}

// Writes the low n bits of v (n <= 8) to bits [to, to + n) of dst.
void writeBits(std::uint8_t *dst, std::size_t to, unsigned v, unsigned n)
{
    const std::size_t i = to / kByteBits;
    const unsigned shift = to % kByteBits;
    const unsigned mask = ((1u << n) - 1) << shift;
    const bool two = shift + n > kByteBits;
    unsigned word = dst[i] | (two ? static_cast<unsigned>(dst[i + 1]) << kByteBits : 0u);
    word = (word & ~mask) | ((v << shift) & mask);
    dst[i] = static_cast<std::uint8_t>(word);
    if (two) {
        dst[i + 1] = static_cast<std::uint8_t>(word >> kByteBits);
    }
}

// Copies n bits of src from bit `from` to dst from bit `to`; both least
// significant bit first. Whole bytes where both sides are aligned.
void copyBits(std::uint8_t *dst, std::size_t to, const std::uint8_t *src, std::size_t from, std::size_t n)
{
    std::size_t k = 0;
    if (to % kByteBits == 0 && from % kByteBits == 0) {
        k = n / kByteBits * kByteBits;
        std::memcpy(dst + to / kByteBits, src + from / kByteBits, k / kByteBits);
    } else if (to % kByteBits == 0) {
        // Reading at a bit offset into whole bytes: the common case of a read.
        const unsigned shift = from % kByteBits;
        const std::uint8_t *s = src + from / kByteBits;
        std::uint8_t *d = dst + to / kByteBits;
        // Eight bytes at a time while nine source bytes are within the bits
        // to copy (so never past them), then a byte at a time.
        // The stream's bit order is a little-endian word's.
        constexpr std::size_t kWordBits = 64;
        for (; std::endian::native == std::endian::little && k + kWordBits + kByteBits <= n;
             k += kWordBits, s += 8, d += 8) {
            std::uint64_t lo = 0;
            std::memcpy(&lo, s, sizeof lo);
            const std::uint64_t word = lo >> shift | static_cast<std::uint64_t>(s[8]) << (kWordBits - shift);
            std::memcpy(d, &word, sizeof word);
        }
        for (; k + kByteBits <= n; k += kByteBits, s++, d++) {
            d[0] = static_cast<std::uint8_t>(s[0] >> shift | s[1] << (kByteBits - shift));
        }
    } else if (from % kByteBits == 0) {
        // Writing whole bytes at a bit offset: the common case of a build.
        // Each byte takes the high bits left over from the one before.
        const unsigned shift = to % kByteBits;
        const std::uint8_t *s = src + from / kByteBits;
        std::uint8_t *d = dst + to / kByteBits;
        unsigned carry = d[0] & ((1u << shift) - 1);
        for (; k + kByteBits <= n; k += kByteBits, s++, d++) {
            d[0] = static_cast<std::uint8_t>(carry | static_cast<unsigned>(s[0]) << shift);
            carry = static_cast<unsigned>(s[0]) >> (kByteBits - shift);
        }
        writeBits(dst, to + k - shift, carry, shift);
    }
    for (; k < n; k += kByteBits) {
        const auto piece = static_cast<unsigned>(n - k < kByteBits ? n - k : kByteBits);
        writeBits(dst, to + k, readBits(src, from + k, piece), piece);
    }
}

// The zero bits among bits [from, from + n) of src; stops once above limit.
unsigned zeroBits(const std::uint8_t *src, std::size_t from, std::size_t n, unsigned limit)
{
    unsigned zeros = 0;
    for (std::size_t k = 0; k < n && zeros <= limit; k += kByteBits) {
        const auto piece = static_cast<unsigned>(n - k < kByteBits ? n - k : kByteBits);
        zeros += piece - static_cast<unsigned>(std::popcount(readBits(src, from + k, piece)));
    }
    return zeros;
}

// The record bit where chunk k's data starts.
std::size_t chunkStart(const Codec &c, std::size_t k)
{
    const Geometry &g = c.gpmi;
    return kMetadataBits + k * (std::size_t{g.chunk} * kByteBits + g.eccBits);
}

// Chunk k's message as its code takes it (the metadata, or 10 zero bytes,
// which change no code, then its data) into msg, and its stored code into
// code.
void gather(const Codec &c, const std::uint8_t *record, std::size_t k, std::uint8_t *msg, std::uint8_t *code)
{
    const Geometry &g = c.gpmi;
    const std::size_t at = chunkStart(c, k);
    if (k == 0) {
        std::memcpy(msg, record, kMetadataBytes);
    } else {
        std::memset(msg, 0, kMetadataBytes);
    }
    copyBits(msg, kMetadataBits, record, at, std::size_t{g.chunk} * kByteBits);
    std::memset(code, 0, c.codeBytes);
    copyBits(code, 0, record, at + std::size_t{g.chunk} * kByteBits, g.eccBits);
}

// The zero bits of chunk k as read: its data, its code and, for chunk 0, the
// metadata; stops once above limit.
unsigned chunkZeros(const Codec &c, const std::uint8_t *record, std::size_t k, unsigned limit)
{
    const Geometry &g = c.gpmi;
    unsigned zeros = k == 0 ? zeroBits(record, 0, kMetadataBits, limit) : 0u;
    if (zeros <= limit) {
        zeros += zeroBits(record, chunkStart(c, k), std::size_t{g.chunk} * kByteBits + g.eccBits, limit - zeros);
    }
    return zeros;
}

}  // namespace

const char *socName(Soc s)
{
    for (const SocRow &r : kSocs) {
        if (r.soc == s) {
            return r.name;
        }
    }
    return "imx6sx";
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

unsigned maxStrength(Soc s)
{
    for (const SocRow &r : kSocs) {
        if (r.soc == s) {
            return r.maxStrength;
        }
    }
    return 0;
}

bool makeGeometry(std::uint32_t page, std::uint32_t oob, Soc soc, unsigned strength, Geometry *g, char *why,
                  std::size_t whySize)
{
    Geometry out{};
    out.chunk = kFirstChunk;
    out.gf = kSmallField;
    // Linux keeps the chunk at least as large as the OOB, so that the marker
    // byte stays in the data of the last chunk.
    while (out.chunk < oob) {
        out.chunk *= 2;
        out.gf = kLargeField;
    }
    if (page < out.chunk || page % out.chunk != 0) {
        return refuse(why, whySize,
                      "a page of %u bytes is no whole number of %u-byte chunks (the chunk for a %u-byte OOB)", page,
                      out.chunk, oob);
    }
    out.chunks = page / out.chunk;
    if (oob <= kMetadataBytes) {
        return refuse(why, whySize, "an OOB of %u bytes leaves no room for the codes after the %u metadata bytes", oob,
                      kMetadataBytes);
    }
    const unsigned legacy = (oob - kMetadataBytes) * kByteBits / (out.gf * out.chunks) / 2 * 2;
    out.t = strength != 0 ? strength : legacy;
    const unsigned most = maxStrength(soc);
    if (out.t > most) {
        return refuse(why, whySize, "a strength of %u bits is above the %s's maximum of %u (--soc, --strength)", out.t,
                      socName(soc), most);
    }
    if (out.t == 0 || out.t % 2 != 0) {
        return refuse(why, whySize, "a strength of %u bits: the BCH engine takes even strengths from 2 (--strength)",
                      out.t);
    }
    out.eccBits = out.gf * out.t;
    const std::uint64_t used = kMetadataBits + std::uint64_t{out.chunks} * (out.chunk * kByteBits + out.eccBits);
    if (used > std::uint64_t{page + oob} * kByteBits) {
        return refuse(why, whySize, "a strength of %u bits needs %llu bytes, more than the %u of page and OOB", out.t,
                      static_cast<unsigned long long>((used + kByteBits - 1) / kByteBits), page + oob);
    }
    if (bch::maxStrength(out.gf, out.chunk + kMetadataBytes) < out.t) {
        return refuse(why, whySize, "GF(2^%u) makes no code of strength %u for %u-byte chunks", out.gf, out.t,
                      out.chunk);
    }
    out.swap = soc != Soc::Imx23;
    if (out.swap) {
        // The payload bit x that the stream puts on raw bit 8 page: in chunk
        // k, x = 8 page - metadata - k E.
        bool found = false;
        for (std::uint32_t k = 0; k < out.chunks && !found; k++) {
            const std::int64_t x = std::int64_t{page} * kByteBits - kMetadataBits - std::int64_t{k} * out.eccBits;
            const std::int64_t first = std::int64_t{k} * out.chunk * kByteBits;
            if (x >= first && x + kByteBits <= first + std::int64_t{out.chunk} * kByteBits) {
                out.markBit = static_cast<std::uint32_t>(x);
                found = true;
            }
        }
        if (!found) {
            return refuse(why, whySize, "a strength of %u bits puts the bad-block marker byte into a code",
                          out.t);
        }
    }
    *g = out;
    return true;
}

void makeCodec(Codec *c)
{
    const Layout &l = c->layout;
    char why[160];
    // The layout was checked: its geometry can be made.
    const bool made = makeGeometry(l.pageSize, l.oobSize, static_cast<Soc>(l.soc), l.strength, &c->gpmi, why,
                                   sizeof why);
    (void)made;
    const Geometry &g = c->gpmi;
    c->steps = g.chunks;
    c->codeBytes = c->eccBytes = (g.eccBits + kByteBits - 1) / kByteBits;
    c->protBytes = kMetadataBytes;
    c->recordSize = recordSize(l);
    c->dataInPlace = false;
    c->messageInPlace = false;
    c->blankIsCodeword = false;
    bch::Params p;
    p.m = g.gf;
    p.t = g.t;
    p.poly = bchPoly(l);
    p.swapBits = true;
    p.masked = false;
    p.messageBytes = g.chunk + kMetadataBytes;
    // The layout was checked: its code can be made.
    (void)bch::init(&c->bch, p);
    std::memset(c->eccKeep, 0, sizeof c->eccKeep);
    std::memcpy(c->eccKeep, c->bch.keep, c->codeBytes);
    std::fill(c->oobStep, c->oobStep + kMaxOobSize, std::int16_t{-1});
    std::memset(c->oobKeep, 0, sizeof c->oobKeep);
    // Byte positions for the callers that think in bytes: the byte of each
    // chunk's first data bit and of each code byte's first bit.
    for (std::size_t s = 0; s < c->steps; s++) {
        const std::size_t at = chunkStart(*c, s);
        c->dataPos[s] = static_cast<std::uint32_t>(at / kByteBits);
        for (std::size_t i = 0; i < c->eccBytes; i++) {
            const std::size_t bit = at + std::size_t{g.chunk} * kByteBits + i * kByteBits;
            c->eccPos[s * c->eccBytes + i] = static_cast<std::uint32_t>(bit / kByteBits);
        }
        for (std::size_t i = 0; i < c->protBytes; i++) {
            c->protPos[s * c->protBytes + i] = static_cast<std::uint32_t>(i);
        }
    }
}

void encodeRecord(const Codec &c, std::uint8_t *record, const std::uint8_t *meta, bool keepErased)
{
    const Layout &l = c.layout;
    const Geometry &g = c.gpmi;
    if (keepErased && nand::zeroBits(record, l.pageSize, 0) == 0) {
        std::memset(record + l.pageSize, 0xFF, l.oobSize);
        return;
    }
    // The chunks move up bit-shifted over the page they come from: a copy
    // of it, on the stack (the readers' 256 KiB hold it) and not the heap,
    // after the metadata, so that each chunk's message lies in place: the
    // metadata or the chunk before's last 10 bytes, made zero while it is
    // encoded, then the chunk. Encoding from a copy made just before would
    // make each load wait for the copy's stores.
    std::uint8_t buffer[kMetadataBytes + kMaxPageSize];
    std::uint8_t *md = buffer;
    std::uint8_t *payload = buffer + kMetadataBytes;
    std::memcpy(payload, record, l.pageSize);
    if (meta != nullptr) {
        std::memcpy(md, meta, kMetadataBytes);
    } else {
        std::memset(md, 0xFF, kMetadataBytes);
    }
    if (g.swap) {
        const auto data = static_cast<std::uint8_t>(readBits(payload, g.markBit, kByteBits));
        writeBits(payload, g.markBit, md[0], kByteBits);
        md[0] = data;
    }
    // Every bit not written below is 1: the padding after the last code
    // and the rest of the OOB.
    std::memset(record, 0xFF, c.recordSize);
    std::memcpy(record, md, kMetadataBytes);
    std::uint8_t code[kMaxEccBytes];
    const std::size_t chunkBits = std::size_t{g.chunk} * kByteBits;
    for (std::size_t k = 0; k < g.chunks; k++) {
        std::uint8_t *msg = payload + k * g.chunk - kMetadataBytes;
        std::uint8_t before[kMetadataBytes];
        if (k != 0) {
            std::memcpy(before, msg, kMetadataBytes);
            std::memset(msg, 0, kMetadataBytes);
        }
        bch::encode(c.bch, msg, code);
        if (k != 0) {
            std::memcpy(msg, before, kMetadataBytes);
        }
        const std::size_t at = chunkStart(c, k);
        copyBits(record, at, payload, k * chunkBits, chunkBits);
        copyBits(record, at + chunkBits, code, 0, g.eccBits);
    }
}

bool recordIsClean(const Codec &c, const std::uint8_t *record)
{
    const Geometry &g = c.gpmi;
    std::uint8_t msg[bch::kMaxMessageBytes];
    std::uint8_t stored[kMaxEccBytes];
    std::uint8_t computed[kMaxEccBytes];
    for (std::size_t k = 0; k < g.chunks; k++) {
        gather(c, record, k, msg, stored);
        bch::encode(c.bch, msg, computed);
        unsigned differ = 0;
        for (std::size_t i = 0; i < c.codeBytes; i++) {
            differ |= static_cast<unsigned>((computed[i] ^ stored[i]) & c.eccKeep[i]);
        }
        if (differ != 0) {
            return false;
        }
    }
    // Every code agrees; an erased page is still counted as such.
    for (std::size_t k = 0; k < g.chunks; k++) {
        if (chunkZeros(c, record, k, 0) != 0) {
            return true;
        }
    }
    return false;
}

namespace {

// Makes chunk k blank flash again, all its bits 1, and reports its zero bits
// as its flips.
void markBlank(const Codec &c, std::uint8_t *record, std::size_t k, unsigned zeros, StepResult *r)
{
    const Geometry &g = c.gpmi;
    const std::size_t chunkBits = std::size_t{g.chunk} * kByteBits;
    r->status = EccStatus::Clean;
    r->blank = true;
    r->flips = zeros;
    r->count = 0;
    const auto clear = [&](std::size_t from, std::size_t n, unsigned loc) {
        for (std::size_t i = 0; i < n; i++) {
            if ((static_cast<unsigned>(record[(from + i) / kByteBits]) >> ((from + i) % kByteBits) & 1u) == 0) {
                if (r->count < kMaxCorrected) {
                    r->locs[r->count++] = static_cast<std::uint16_t>(loc + i);
                }
                record[(from + i) / kByteBits] |= static_cast<std::uint8_t>(1u << ((from + i) % kByteBits));
            }
        }
    };
    const std::size_t at = chunkStart(c, k);
    clear(at, chunkBits, 0);
    if (k == 0) {
        clear(0, kMetadataBits, static_cast<unsigned>(chunkBits));
    }
    clear(at + chunkBits, g.eccBits, static_cast<unsigned>(chunkBits + kMetadataBits));
    // The metadata's locations come after the data's: keep them in order.
    for (unsigned i = 1; i < r->count; i++) {
        for (unsigned j = i; j > 0 && r->locs[j - 1] > r->locs[j]; j--) {
            const std::uint16_t x = r->locs[j];
            r->locs[j] = r->locs[j - 1];
            r->locs[j - 1] = x;
        }
    }
}

// Decodes chunk k and repairs it; false when it does not decode.
bool decodeChunk(const Codec &c, std::uint8_t *record, std::size_t k, StepResult *r)
{
    const Geometry &g = c.gpmi;
    const std::size_t chunkBits = std::size_t{g.chunk} * kByteBits;
    const std::size_t messageBits = chunkBits + kMetadataBits;
    std::uint8_t msg[bch::kMaxMessageBytes];
    std::uint8_t stored[kMaxEccBytes];
    gather(c, record, k, msg, stored);
    unsigned locs[bch::kMaxT];
    const int n = bch::decode(c.bch, msg, stored, locs, true);
    if (n < 0) {
        return false;
    }
    r->count = 0;
    for (int i = 0; i < n; i++) {
        // Message bits: the metadata first, then the data; then the code.
        unsigned loc = locs[i];
        if (loc < kMetadataBits) {
            if (k != 0) {
                return false;  // a "correction" of the zero bytes before a later chunk: no codeword
            }
            loc = static_cast<unsigned>(chunkBits + loc);
        } else if (loc < messageBits) {
            loc -= kMetadataBits;
        }
        unsigned j = r->count++;
        for (; j > 0 && r->locs[j - 1] > loc; j--) {
            r->locs[j] = r->locs[j - 1];
        }
        r->locs[j] = static_cast<std::uint16_t>(loc);
    }
    r->status = n == 0 ? EccStatus::Clean : EccStatus::CorrectedBits;
    if (n > 0) {
        const std::size_t at = chunkStart(c, k);
        if (k == 0) {
            std::memcpy(record, msg, kMetadataBytes);
        }
        copyBits(record, at, msg, kMetadataBits, chunkBits);
        copyBits(record, at + chunkBits, stored, 0, g.eccBits);
        r->byte = static_cast<std::uint32_t>(k * g.chunk + (r->locs[0] < chunkBits ? r->locs[0] / kByteBits : 0));
        r->bit = static_cast<std::uint8_t>(r->locs[0] % kByteBits);
    }
    return true;
}

}  // namespace

void checkRecord(const Codec &c, std::uint8_t *record, unsigned erasedThreshold, RecordResult *result)
{
    result->bitflips = 0;
    result->erased = true;
    for (std::size_t k = 0; k < c.gpmi.chunks; k++) {
        StepResult *r = &result->steps[k];
        r->blank = false;
        r->flips = 0;
        r->count = 0;
        r->status = EccStatus::Clean;
        // All ones is no codeword of these codes: blank flash, as the
        // controller reports it, without a decode.
        const unsigned zeros = chunkZeros(c, record, k, erasedThreshold);
        if (zeros == 0) {
            r->blank = true;
        } else if (!decodeChunk(c, record, k, r)) {
            // As the driver, which counts the zero bits of a chunk the engine
            // could not correct: at most the threshold is blank flash.
            if (zeros <= erasedThreshold) {
                markBlank(c, record, k, zeros, r);
            } else {
                r->status = EccStatus::Uncorrectable;
                r->count = 0;
            }
        }
        if (r->blank) {
            result->bitflips += r->flips;
        } else {
            result->erased = false;
        }
    }
}

void recordData(const Codec &c, const std::uint8_t *record, std::uint8_t *data)
{
    const Geometry &g = c.gpmi;
    const std::size_t chunkBits = std::size_t{g.chunk} * kByteBits;
    for (std::size_t k = 0; k < g.chunks; k++) {
        copyBits(data, k * chunkBits, record, chunkStart(c, k), chunkBits);
    }
    if (g.swap) {
        writeBits(data, g.markBit, record[0], kByteBits);
    }
}

void recordMetadata(const Codec &c, const std::uint8_t *record, std::uint8_t *meta)
{
    std::memcpy(meta, record, kMetadataBytes);
    if (c.gpmi.swap) {
        meta[0] = record[c.layout.pageSize];  // the exchanged byte sits on raw byte `page`
    }
}

std::uint32_t locationBit(const Codec &c, std::size_t s, unsigned loc)
{
    const std::size_t chunkBits = std::size_t{c.gpmi.chunk} * kByteBits;
    if (loc < chunkBits) {
        return static_cast<std::uint32_t>(chunkStart(c, s) + loc);
    }
    if (loc < chunkBits + kMetadataBits) {
        return static_cast<std::uint32_t>(loc - chunkBits);
    }
    return static_cast<std::uint32_t>(chunkStart(c, s) + loc - kMetadataBits);
}

void bitRole(const Codec &c, std::uint32_t offset, unsigned bit, std::int32_t *step, std::uint8_t *keep)
{
    const Geometry &g = c.gpmi;
    const std::size_t chunkTotal = std::size_t{g.chunk} * kByteBits + g.eccBits;
    // The chunk of each bit of the byte; past the last code, none.
    const auto chunkOf = [&](unsigned b) -> std::int32_t {
        const std::size_t at = std::size_t{offset} * kByteBits + b;
        const std::size_t k = at < kMetadataBits ? 0 : (at - kMetadataBits) / chunkTotal;
        return k < g.chunks ? static_cast<std::int32_t>(k) : -1;
    };
    *step = chunkOf(bit);
    *keep = 0;
    for (unsigned b = 0; b < kByteBits && *step >= 0; b++) {
        if (chunkOf(b) == *step) {
            *keep = static_cast<std::uint8_t>(*keep | 1u << b);
        }
    }
}

}  // namespace nand::gpmi
