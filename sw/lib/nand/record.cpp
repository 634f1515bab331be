// Encoding and checking records of any layout; see record.h.
#include "record.h"

#include "hamming.h"
#include "image.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace nand {

namespace {
bool blankEncodesBlank(const Codec &c);
}  // namespace

void makeCodec(const Layout &layout, Codec *c)
{
    c->layout = layout;
    if (layout.vendor == Vendor::Gpmi) {
        gpmi::makeCodec(c);
        return;
    }
    if (layout.vendor == Vendor::Sunxi || layout.vendor == Vendor::SunxiBoot0) {
        sunxi::makeCodec(c);
        return;
    }
    c->steps = stepsPerPage(layout);
    c->eccBytes = eccBytesPerStep(layout);
    c->codeBytes = codeBytesPerStep(layout);
    c->protBytes = protectedBytesPerStep(layout);
    c->recordSize = recordSize(layout);
    c->dataInPlace = !layout.interleaved;
    c->messageInPlace = c->protBytes == 0 || layout.interleaved;
    std::memset(c->eccKeep, 0, sizeof c->eccKeep);
    std::memset(c->eccKeep, 0xFF, c->codeBytes);
    if (layout.scheme == Scheme::Bch) {
        bch::Params p;
        p.m = bchField(layout);
        p.t = layout.strength;
        p.poly = bchPoly(layout);
        p.swapBits = layout.lsbFirst;
        p.masked = layout.erasedMask;
        p.messageBytes = layout.stepSize + c->protBytes;
        // The layout was checked: a code it names can be made.
        (void)bch::init(&c->bch, p);
        std::memcpy(c->eccKeep, c->bch.keep, c->codeBytes);
    }
    c->blankIsCodeword = blankEncodesBlank(*c);
    std::fill(c->oobStep, c->oobStep + kMaxOobSize, std::int16_t{-1});
    std::memset(c->oobKeep, 0, sizeof c->oobKeep);
    if (layout.interleaved) {
        const std::size_t chunk = interleavedStepBytes(layout);
        for (std::size_t s = 0; s < c->steps; s++) {
            const auto data = static_cast<std::uint32_t>(s * chunk);
            c->dataPos[s] = data;
            for (std::size_t i = 0; i < c->protBytes; i++) {
                c->protPos[s * c->protBytes + i] = static_cast<std::uint32_t>(data + layout.stepSize + i);
            }
            for (std::size_t i = 0; i < c->eccBytes; i++) {
                c->eccPos[s * c->eccBytes + i] = static_cast<std::uint32_t>(data + layout.stepSize + layout.prepad + i);
            }
        }
        return;
    }
    for (std::size_t s = 0; s < c->steps; s++) {
        c->dataPos[s] = static_cast<std::uint32_t>(s * layout.stepSize);
    }
    // The ECC and protected bytes of steps 0, 1, ... one after another
    // through their OOB ranges.
    const auto place = [c, &layout](const Region *regions, std::size_t n, std::size_t perStep, std::uint32_t *pos,
                                    bool ecc) {
        std::size_t k = 0;
        for (std::size_t r = 0; r < n; r++) {
            for (std::uint32_t i = 0; i < regions[r].length; i++, k++) {
                const std::uint32_t at = regions[r].offset + i;
                pos[k] = layout.pageSize + at;
                c->oobStep[at] = static_cast<std::int16_t>(k / perStep);
                c->oobKeep[at] = ecc ? c->eccKeep[k % perStep] : std::uint8_t{0xFF};
            }
        }
    };
    Region regions[kMaxRegions];
    const std::size_t n = eccRegions(layout, regions);
    place(regions, n, c->eccBytes, c->eccPos, true);
    place(layout.protectedRegions, layout.protectedCount, c->protBytes, c->protPos, false);
}

std::uint32_t locationByte(const Codec &c, std::size_t s, unsigned loc)
{
    if (c.layout.vendor == Vendor::Gpmi) {
        return gpmi::locationBit(c, s, loc) / 8;
    }
    const std::size_t dataBits = std::size_t{c.layout.stepSize} * 8;
    const std::size_t messageBits = dataBits + c.protBytes * 8;
    if (loc < dataBits) {
        return static_cast<std::uint32_t>(c.dataPos[s] + loc / 8);
    }
    if (loc < messageBits) {
        return c.protPos[s * c.protBytes + (loc - dataBits) / 8];
    }
    return c.eccPos[s * c.eccBytes + (loc - messageBits) / 8];
}

std::uint32_t locationBit(const Codec &c, std::size_t s, unsigned loc)
{
    if (c.layout.vendor == Vendor::Gpmi) {
        return gpmi::locationBit(c, s, loc);
    }
    return locationByte(c, s, loc) * 8 + loc % 8;
}

ByteRole bitRole(const Codec &c, std::uint32_t offset, unsigned bit)
{
    if (c.layout.vendor != Vendor::Gpmi) {
        return byteRole(c, offset);
    }
    ByteRole role{};
    gpmi::bitRole(c, offset, bit, &role.step, &role.keep);
    return role;
}

ByteRole byteRole(const Codec &c, std::uint32_t offset)
{
    const Layout &l = c.layout;
    if (l.vendor == Vendor::Gpmi) {
        return bitRole(c, offset, 0);  // a byte's first bit is never past the codes while a later one is not
    }
    if (!l.interleaved) {
        if (offset < l.pageSize) {
            return {static_cast<std::int32_t>(offset / l.stepSize), 0xFF};
        }
        const std::uint32_t at = offset - l.pageSize;
        return {c.oobStep[at], c.oobKeep[at]};
    }
    const std::size_t chunk = interleavedStepBytes(l);
    const std::size_t s = offset / chunk;
    if (s >= c.steps) {
        return {-1, 0};
    }
    const auto step = static_cast<std::int32_t>(s);
    const std::size_t o = offset % chunk;
    if (o < l.stepSize || (o < l.stepSize + l.prepad && l.protectPrepad)) {
        return {step, 0xFF};
    }
    const std::size_t i = o - l.stepSize - l.prepad;
    if (o >= l.stepSize + l.prepad && i < c.eccBytes) {
        return {step, c.eccKeep[i]};
    }
    return {-1, 0};
}

namespace {

// The code of one step as stored, into code[0..eccBytes), from its message
// (its data, then its protected bytes): the code XOR the layout's constant,
// then 0xFF in any spare bytes.
void stepCode(const Codec &c, const std::uint8_t *step, std::uint8_t *code)
{
    switch (c.layout.scheme) {
    case Scheme::None:
        break;
    case Scheme::Classic:
        image::storeLE32(code, computeECC(step));
        break;
    case Scheme::Hamming:
        hamming::compute(step, c.layout.stepSize, c.layout.smOrder, code);
        break;
    case Scheme::Bch:
        bch::encode(c.bch, step, code);
        break;
    }
    for (std::size_t i = 0; i < c.layout.eccXorLength; i++) {
        code[i] ^= c.layout.eccXor[i];
    }
    for (std::size_t i = c.codeBytes; i < c.eccBytes; i++) {
        code[i] = 0xFF;
    }
}

// The stored code bytes as the decoders take them: without the constant.
void unXor(const Codec &c, std::uint8_t *code)
{
    for (std::size_t i = 0; i < c.layout.eccXorLength; i++) {
        code[i] ^= c.layout.eccXor[i];
    }
}

bool allOnes(const std::uint8_t *p, std::size_t n)
{
    return zeroBits(p, n, 0) == 0;
}

// Copies the message of step s, its data followed by its protected bytes,
// to buf.
void gather(const Codec &c, const std::uint8_t *record, std::size_t s, std::uint8_t *buf)
{
    std::memcpy(buf, record + c.dataPos[s], c.layout.stepSize);
    for (std::size_t i = 0; i < c.protBytes; i++) {
        buf[c.layout.stepSize + i] = record[c.protPos[s * c.protBytes + i]];
    }
}

// The message of step s: in the record where its protected bytes follow its
// data there, else gathered into buf.
const std::uint8_t *message(const Codec &c, const std::uint8_t *record, std::size_t s, std::uint8_t *buf)
{
    if (c.messageInPlace) {
        return record + c.dataPos[s];
    }
    gather(c, record, s, buf);
    return buf;
}

// Writes a gathered message back to the record.
void scatter(const Codec &c, std::uint8_t *record, std::size_t s, const std::uint8_t *msg)
{
    if (c.messageInPlace) {
        return;
    }
    std::memcpy(record + c.dataPos[s], msg, c.layout.stepSize);
    for (std::size_t i = 0; i < c.protBytes; i++) {
        record[c.protPos[s * c.protBytes + i]] = msg[c.layout.stepSize + i];
    }
}

// Whether the code of a step of 0xFF is all 0xFF in the bits of the code.
bool blankEncodesBlank(const Codec &c)
{
    std::uint8_t blank[bch::kMaxMessageBytes];
    std::memset(blank, 0xFF, sizeof blank);
    std::uint8_t code[kMaxEccBytes] = {};
    stepCode(c, blank, code);
    for (std::size_t i = 0; i < c.eccBytes; i++) {
        if (((code[i] ^ 0xFFu) & c.eccKeep[i]) != 0) {
            return false;
        }
    }
    return true;
}

// The zero bits of a byte; most bytes looked at are 0xFF.
unsigned byteZeros(std::uint8_t b)
{
    return b == 0xFF ? 0 : static_cast<unsigned>(std::popcount(static_cast<std::uint8_t>(~b)));
}

// The zero bits of step s, its data, protected and ECC bytes; stops
// counting once there are more than limit.
unsigned stepZeros(const Codec &c, const std::uint8_t *record, std::size_t s, unsigned limit)
{
    unsigned zeros = zeroBits(record + c.dataPos[s], c.layout.stepSize, limit);
    for (std::size_t i = 0; i < c.protBytes && zeros <= limit; i++) {
        zeros += byteZeros(record[c.protPos[s * c.protBytes + i]]);
    }
    for (std::size_t i = 0; i < c.eccBytes && zeros <= limit; i++) {
        zeros += byteZeros(record[c.eccPos[s * c.eccBytes + i]]);
    }
    return zeros;
}

}  // namespace

unsigned zeroBits(const std::uint8_t *p, std::size_t n, unsigned limit)
{
    unsigned zeros = 0;
    std::size_t i = 0;
    for (; i + 8 <= n && zeros <= limit; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, sizeof w);
        if (w != ~std::uint64_t{0}) {
            zeros += static_cast<unsigned>(std::popcount(~w));
        }
    }
    for (; i < n && zeros <= limit; i++) {
        zeros += static_cast<unsigned>(std::popcount(static_cast<std::uint8_t>(~p[i])));
    }
    return zeros;
}

void encodeRecordWithMeta(const Codec &c, std::uint8_t *record, const std::uint8_t *meta, bool keepErased,
                          std::uint64_t page, std::size_t dataBytes)
{
    if (c.layout.vendor == Vendor::Sunxi || c.layout.vendor == Vendor::SunxiBoot0) {
        sunxi::encodeRecord(c, record, keepErased, page, dataBytes);
    } else if (c.layout.vendor == Vendor::Gpmi) {
        gpmi::encodeRecord(c, record, meta, keepErased);
    } else {
        encodeRecord(c, record, keepErased);
    }
}

void encodeRecord(const Codec &c, std::uint8_t *record, bool keepErased)
{
    const Layout &l = c.layout;
    if (l.vendor != Vendor::None) {
        encodeRecordWithMeta(c, record, nullptr, keepErased);
        return;
    }
    if (keepErased && allOnes(record, l.pageSize)) {
        std::memset(record + l.pageSize, 0xFF, l.oobSize);
        return;
    }
    if (c.dataInPlace) {
        std::memset(record + l.pageSize, l.freeFill, l.oobSize);
    } else {
        // Each step's data moves up to its place, the last step first, so
        // that no data is overwritten before it has moved; then the bytes
        // between and after the steps are filled.
        for (std::size_t s = c.steps; s-- > 0;) {
            std::memmove(record + c.dataPos[s], record + s * l.stepSize, l.stepSize);
        }
        for (std::size_t s = 0; s < c.steps; s++) {
            const std::size_t end = s + 1 < c.steps ? c.dataPos[s + 1] : c.recordSize;
            std::memset(record + c.dataPos[s] + l.stepSize, l.freeFill, end - c.dataPos[s] - l.stepSize);
        }
    }
    for (std::size_t i = 0; i < l.markerCount; i++) {
        record[markerByte(c, i)] = 0xFF;
    }
    std::uint8_t code[kMaxEccBytes];
    std::uint8_t buf[bch::kMaxMessageBytes];
    for (std::size_t s = 0; s < c.steps; s++) {
        stepCode(c, message(c, record, s, buf), code);
        for (std::size_t i = 0; i < c.eccBytes; i++) {
            record[c.eccPos[s * c.eccBytes + i]] = code[i];
        }
    }
}

bool markerSet(const Codec &c, const std::uint8_t *record)
{
    unsigned all = 0xFF;
    for (std::size_t i = 0; i < c.layout.markerCount; i++) {
        all &= record[markerByte(c, i)];
    }
    return all != 0xFF;
}

long badBlockMarkerPage(const Codec &c, const std::uint8_t *block)
{
    for (std::size_t p = 0; p < c.layout.pagesPerBlock; p++) {
        if (isMarkerPage(c.layout, p) && markerSet(c, block + p * c.recordSize)) {
            return static_cast<long>(p);
        }
    }
    return -1;
}

void recordData(const Codec &c, const std::uint8_t *record, std::uint8_t *data, std::uint64_t page)
{
    if (c.layout.vendor == Vendor::Sunxi || c.layout.vendor == Vendor::SunxiBoot0) {
        sunxi::recordData(c, record, data, page);
        return;
    }
    if (c.layout.vendor == Vendor::Gpmi) {
        gpmi::recordData(c, record, data);
        return;
    }
    for (std::size_t s = 0; s < c.steps; s++) {
        std::memcpy(data + s * c.layout.stepSize, record + c.dataPos[s], c.layout.stepSize);
    }
}

namespace {

// The code bits where stored and computed differ, as locations (record.h).
void differingBits(const Codec &c, const std::uint8_t *stored, const std::uint8_t *computed, StepResult *r)
{
    const auto base = static_cast<std::uint32_t>((c.layout.stepSize + c.protBytes) * 8);
    r->count = 0;
    for (std::size_t i = 0; i < c.codeBytes; i++) {
        const unsigned diff = static_cast<unsigned>(stored[i] ^ computed[i]);
        for (unsigned b = 0; b < 8 && r->count < kMaxCorrected; b++) {
            if ((diff >> b & 1u) != 0) {
                r->locs[r->count++] = static_cast<std::uint16_t>(base + i * 8 + b);
            }
        }
    }
}

// Decodes one step of a one-bit code (classic, Hamming) from its stored and
// computed codes and repairs it.
void checkSingle(const Codec &c, std::size_t s, std::uint8_t *step, std::uint8_t *stored, std::uint8_t *computed,
                 StepResult *r)
{
    const EccDecode d = c.layout.scheme == Scheme::Classic
                            ? decodeECC(image::loadLE32(stored), image::loadLE32(computed))
                            : hamming::decode(stored, computed, c.layout.stepSize, c.layout.smOrder);
    r->status = d.status;
    r->byte = static_cast<std::uint32_t>(s * c.layout.stepSize + d.offset);
    r->bit = d.bit;
    r->count = 0;
    if (d.status == EccStatus::CorrectedData) {
        step[d.offset] ^= static_cast<std::uint8_t>(1u << d.bit);
        r->locs[0] = static_cast<std::uint16_t>(d.offset * 8u + d.bit);
        r->count = 1;
        stepCode(c, step, computed);
    } else if (d.status == EccStatus::CorrectedCode) {
        differingBits(c, stored, computed, r);
    }
    if (d.status == EccStatus::CorrectedData || d.status == EccStatus::CorrectedCode) {
        std::memcpy(stored, computed, c.codeBytes);
    }
}

// Decodes one step of BCH and repairs it.
void checkBch(const Codec &c, std::size_t s, std::uint8_t *step, std::uint8_t *stored, StepResult *r)
{
    unsigned locs[bch::kMaxT];
    const int n = bch::decode(c.bch, step, stored, locs);
    r->count = 0;
    if (n < 0) {
        r->status = EccStatus::Uncorrectable;
        return;
    }
    r->status = n == 0 ? EccStatus::Clean : EccStatus::CorrectedBits;
    r->count = static_cast<std::uint8_t>(n);
    for (int i = 0; i < n; i++) {
        // In ascending order, as a reader of the report expects them.
        int j = i;
        for (; j > 0 && r->locs[j - 1] > locs[i]; j--) {
            r->locs[j] = r->locs[j - 1];
        }
        r->locs[j] = static_cast<std::uint16_t>(locs[i]);
    }
    if (n > 0) {
        r->byte = static_cast<std::uint32_t>(s * c.layout.stepSize + r->locs[0] / 8);
        r->bit = static_cast<std::uint8_t>(r->locs[0] % 8);
    }
}

}  // namespace

bool recordIsClean(const Codec &c, const std::uint8_t *record, unsigned erasedThreshold, std::uint64_t page)
{
    if (c.layout.vendor == Vendor::Sunxi || c.layout.vendor == Vendor::SunxiBoot0) {
        return sunxi::recordIsClean(c, record, page);
    }
    if (c.layout.vendor == Vendor::Gpmi) {
        return gpmi::recordIsClean(c, record);
    }
    bool allBlank = true;
    std::uint8_t buf[bch::kMaxMessageBytes];
    // Every decoder finds a step clean exactly where its stored and computed
    // codes agree in the bits of the code (not a BCH code's spare bits).
    for (std::size_t s = 0; s < c.steps; s++) {
        // A written step gives itself away in the first word of its data.
        if (!c.blankIsCodeword && stepZeros(c, record, s, erasedThreshold) <= erasedThreshold) {
            return false;  // blank, and never decoded
        }
        allBlank = allBlank && stepZeros(c, record, s, 0) == 0;
        std::uint8_t computed[kMaxEccBytes];
        stepCode(c, message(c, record, s, buf), computed);
        const std::uint32_t *pos = c.eccPos + s * c.eccBytes;
        unsigned differ = 0;
        for (std::size_t i = 0; i < c.eccBytes; i++) {
            differ |= static_cast<unsigned>((computed[i] ^ record[pos[i]]) & c.eccKeep[i]);
        }
        if (differ != 0) {
            return false;
        }
    }
    return !allBlank;  // an erased page is counted as such
}

namespace {

// Makes step s blank flash again: data, protected and ECC bytes 0xFF, the
// zero bits found there (at most kMaxCorrected of them) its flips.
void markBlank(const Codec &c, std::uint8_t *record, std::size_t s, unsigned zeros, StepResult *r)
{
    std::uint8_t *step = record + c.dataPos[s];
    const std::uint32_t dataBits = c.layout.stepSize * 8;
    const auto messageBits = static_cast<std::uint32_t>(dataBits + c.protBytes * 8);
    r->status = EccStatus::Clean;
    r->blank = true;
    r->flips = zeros;
    r->count = 0;
    const auto note = [r](std::uint32_t loc, unsigned b) {
        for (unsigned k = 0; k < 8; k++) {
            if ((b >> k & 1u) == 0 && r->count < kMaxCorrected) {
                r->locs[r->count++] = static_cast<std::uint16_t>(loc + k);
            }
        }
    };
    for (std::size_t i = 0; i < c.layout.stepSize && zeros != 0; i++) {
        if (step[i] != 0xFF) {
            note(static_cast<std::uint32_t>(i * 8), step[i]);
            step[i] = 0xFF;
        }
    }
    const auto clear = [&](const std::uint32_t *pos, std::size_t n, std::uint32_t base) {
        for (std::size_t i = 0; i < n; i++) {
            if (record[pos[i]] != 0xFF) {
                note(static_cast<std::uint32_t>(base + i * 8), record[pos[i]]);
                record[pos[i]] = 0xFF;
            }
        }
    };
    clear(c.protPos + s * c.protBytes, c.protBytes, dataBits);
    clear(c.eccPos + s * c.eccBytes, c.eccBytes, messageBits);
    if (r->count != 0) {
        r->byte = static_cast<std::uint32_t>(s * c.layout.stepSize + r->locs[0] / 8);
        r->bit = static_cast<std::uint8_t>(r->locs[0] % 8);
    }
}

// The bits where a step as read and the codeword it was corrected to differ,
// counted over the whole ECC bytes as the encoder writes them (the classic
// word's unused bits included): how far the correction moved it.
unsigned correctionDistance(const Codec &c, const std::uint8_t *step, const std::uint8_t *readStored,
                            const StepResult &r)
{
    std::uint8_t code[kMaxEccBytes];
    stepCode(c, step, code);
    unsigned distance = 0;
    for (std::size_t i = 0; i < c.eccBytes; i++) {
        distance += static_cast<unsigned>(std::popcount(static_cast<std::uint8_t>(code[i] ^ readStored[i])));
    }
    const auto messageBits = static_cast<std::uint32_t>((c.layout.stepSize + c.protBytes) * 8);
    for (unsigned k = 0; k < r.count; k++) {
        distance += r.locs[k] < messageBits ? 1u : 0u;  // the code bits are counted above
    }
    return distance;
}

}  // namespace

void checkRecord(const Codec &c, std::uint8_t *record, unsigned erasedThreshold, RecordResult *result,
                 std::uint64_t page)
{
    if (c.layout.vendor == Vendor::Sunxi || c.layout.vendor == Vendor::SunxiBoot0) {
        sunxi::checkRecord(c, record, erasedThreshold, result, page);
        return;
    }
    if (c.layout.vendor == Vendor::Gpmi) {
        gpmi::checkRecord(c, record, erasedThreshold, result);
        return;
    }
    result->bitflips = 0;
    result->erased = true;
    // The spare area is read first for the codes of step 0, before the data
    // before it has streamed in: asked for now, it comes while step 0 is
    // folded.
    __builtin_prefetch(record + c.layout.pageSize);
    __builtin_prefetch(record + c.recordSize - 1);
    std::uint8_t buf[bch::kMaxMessageBytes];
    const std::uint32_t messageBits = static_cast<std::uint32_t>((c.layout.stepSize + c.protBytes) * 8);
    for (std::size_t s = 0; s < c.steps; s++) {
        const std::uint32_t *pos = c.eccPos + s * c.eccBytes;
        StepResult *r = &result->steps[s];
        r->blank = false;
        r->flips = 0;
        // Counted in full where a correction may have to be weighed against
        // blank flash; else only as far as the threshold.
        const unsigned zeros = stepZeros(c, record, s, c.blankIsCodeword ? erasedThreshold : ~0u - 8);
        if (!c.blankIsCodeword && zeros <= erasedThreshold) {
            markBlank(c, record, s, zeros, r);
            result->bitflips += zeros;
            continue;
        }
        std::uint8_t *msg = c.messageInPlace ? record + c.dataPos[s] : buf;
        if (!c.messageInPlace) {
            gather(c, record, s, buf);
        }
        std::uint8_t computed[kMaxEccBytes] = {};
        if (c.layout.scheme != Scheme::Bch) {
            stepCode(c, msg, computed);
            unXor(c, computed);
        }
        std::uint8_t stored[kMaxEccBytes] = {};
        for (std::size_t i = 0; i < c.eccBytes; i++) {
            stored[i] = record[pos[i]];
        }
        std::uint8_t readStored[kMaxEccBytes];
        std::memcpy(readStored, stored, sizeof readStored);
        unXor(c, stored);
        if (c.layout.scheme == Scheme::Bch) {
            checkBch(c, s, msg, stored, r);
        } else if (c.layout.scheme == Scheme::None) {
            r->status = EccStatus::Clean;
            r->count = 0;
        } else {
            checkSingle(c, s, msg, stored, computed, r);
        }
        unXor(c, stored);
        const bool corrected = r->status != EccStatus::Clean && r->status != EccStatus::Uncorrectable;
        if (corrected && !c.blankIsCodeword && zeros <= correctionDistance(c, msg, readStored, *r)) {
            // As near to blank flash as to the codeword: no correction to trust.
            for (unsigned k = 0; k < r->count; k++) {
                if (r->locs[k] < messageBits) {
                    msg[r->locs[k] / 8] ^= static_cast<std::uint8_t>(1u << (r->locs[k] % 8));
                }
            }
            std::memcpy(stored, readStored, sizeof stored);
            r->status = EccStatus::Uncorrectable;
            r->count = 0;
        }
        if (!c.messageInPlace && r->status != EccStatus::Uncorrectable && r->count != 0) {
            scatter(c, record, s, msg);
        }
        for (std::size_t i = 0; i < c.eccBytes; i++) {
            record[pos[i]] = stored[i];
        }
        if (c.blankIsCodeword) {
            if (r->status == EccStatus::Uncorrectable && zeros <= erasedThreshold) {
                markBlank(c, record, s, zeros, r);
            } else if (r->status != EccStatus::Uncorrectable && r->count <= erasedThreshold &&
                       stepZeros(c, record, s, 0) == 0) {
                // Decoded to blank flash, its corrections the flips: blank if
                // the whole page is, as the reader of an erased page takes it.
                r->blank = true;
                r->flips = r->count;
            }
        }
        if (r->blank) {
            result->bitflips += r->flips;
        } else {
            result->erased = false;
        }
    }
    // In a page that is not erased, a step that decoded to blank flash is a
    // correction like any other, as Linux counts it.
    for (std::size_t s = 0; s < c.steps; s++) {
        StepResult *r = &result->steps[s];
        if (r->blank && r->status != EccStatus::Clean && r->status != EccStatus::Uncorrectable) {
            if (result->erased) {
                r->status = EccStatus::Clean;
            } else {
                r->blank = false;
                result->bitflips -= r->flips;
                r->flips = 0;
            }
        }
    }
}

}  // namespace nand
