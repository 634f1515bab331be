// Encoding and checking records of any layout; see record.h.
#include "record.h"

#include "hamming.h"
#include "image.h"

#include <bit>
#include <cstring>

namespace nand {

namespace {
bool blankEncodesBlank(const Codec &c);
}  // namespace

void makeCodec(const Layout &layout, Codec *c)
{
    c->layout = layout;
    c->steps = stepsPerPage(layout);
    c->eccBytes = eccBytesPerStep(layout);
    c->codeBytes = codeBytesPerStep(layout);
    c->recordSize = recordSize(layout);
    std::memset(c->eccKeep, 0, sizeof c->eccKeep);
    std::memset(c->eccKeep, 0xFF, c->codeBytes);
    if (layout.scheme == Scheme::Bch) {
        bch::Params p;
        p.m = bchField(layout);
        p.t = layout.strength;
        p.poly = bchPoly(layout);
        p.swapBits = layout.lsbFirst;
        p.masked = layout.erasedMask;
        p.messageBytes = layout.stepSize;
        char why[160];
        // The layout was checked: a code it names can be made.
        const bool made = bch::init(&c->bch, p, why, sizeof why);
        (void)made;
        std::memcpy(c->eccKeep, c->bch.keep, c->codeBytes);
    }
    c->blankIsCodeword = blankEncodesBlank(*c);
    Region regions[kMaxRegions];
    const std::size_t n = eccRegions(layout, regions);
    std::size_t k = 0;
    for (std::size_t r = 0; r < n; r++) {
        for (std::uint32_t i = 0; i < regions[r].length; i++, k++) {
            c->eccPos[k] = static_cast<std::uint16_t>(regions[r].offset + i);
        }
    }
}

namespace {

// The code of one step as stored, into code[0..eccBytes): the code XOR the
// layout's constant, then 0xFF in any spare bytes.
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

// Whether the code of a step of 0xFF is all 0xFF in the bits of the code.
bool blankEncodesBlank(const Codec &c)
{
    std::uint8_t blank[kMaxStepSize];
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

// The zero bits of step s, its data and its ECC bytes; stops counting once
// there are more than limit.
unsigned stepZeros(const Codec &c, const std::uint8_t *record, std::size_t s, unsigned limit)
{
    const std::uint8_t *oob = record + c.layout.pageSize;
    unsigned zeros = zeroBits(record + s * c.layout.stepSize, c.layout.stepSize, limit);
    for (std::size_t i = 0; i < c.eccBytes && zeros <= limit; i++) {
        zeros += byteZeros(oob[c.eccPos[s * c.eccBytes + i]]);
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

void encodeOob(const Codec &c, const std::uint8_t *data, std::uint8_t *oob, bool keepErased)
{
    if (keepErased && allOnes(data, c.layout.pageSize)) {
        std::memset(oob, 0xFF, c.layout.oobSize);
        return;
    }
    std::memset(oob, c.layout.freeFill, c.layout.oobSize);
    std::uint8_t code[kMaxEccBytes];
    for (std::size_t s = 0; s < c.steps; s++) {
        stepCode(c, data + s * c.layout.stepSize, code);
        for (std::size_t i = 0; i < c.eccBytes; i++) {
            oob[c.eccPos[s * c.eccBytes + i]] = code[i];
        }
    }
}

namespace {

// The code bits where stored and computed differ, as locations (record.h).
void differingBits(const Codec &c, const std::uint8_t *stored, const std::uint8_t *computed, StepResult *r)
{
    const std::uint32_t base = c.layout.stepSize * 8;
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

bool recordIsClean(const Codec &c, const std::uint8_t *record, unsigned erasedThreshold)
{
    const std::uint8_t *oob = record + c.layout.pageSize;
    bool allBlank = true;
    // Every decoder finds a step clean exactly where its stored and computed
    // codes agree in the bits of the code (not a BCH code's spare bits).
    for (std::size_t s = 0; s < c.steps; s++) {
        // A written step gives itself away in the first word of its data.
        if (!c.blankIsCodeword && stepZeros(c, record, s, erasedThreshold) <= erasedThreshold) {
            return false;  // blank, and never decoded
        }
        allBlank = allBlank && stepZeros(c, record, s, 0) == 0;
        std::uint8_t computed[kMaxEccBytes];
        stepCode(c, record + s * c.layout.stepSize, computed);
        const std::uint16_t *pos = c.eccPos + s * c.eccBytes;
        unsigned differ = 0;
        for (std::size_t i = 0; i < c.eccBytes; i++) {
            differ |= static_cast<unsigned>((computed[i] ^ oob[pos[i]]) & c.eccKeep[i]);
        }
        if (differ != 0) {
            return false;
        }
    }
    return !allBlank;  // an erased page is counted as such
}

namespace {

// Makes step s blank flash again: data and ECC bytes 0xFF, the zero bits
// found there (at most kMaxCorrected of them) its flips.
void markBlank(const Codec &c, std::uint8_t *record, std::size_t s, unsigned zeros, StepResult *r)
{
    std::uint8_t *step = record + s * c.layout.stepSize;
    std::uint8_t *oob = record + c.layout.pageSize;
    const std::uint16_t *pos = c.eccPos + s * c.eccBytes;
    const std::uint32_t dataBits = c.layout.stepSize * 8;
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
    for (std::size_t i = 0; i < c.eccBytes; i++) {
        if (oob[pos[i]] != 0xFF) {
            note(static_cast<std::uint32_t>(dataBits + i * 8), oob[pos[i]]);
            oob[pos[i]] = 0xFF;
        }
    }
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
    const std::uint32_t dataBits = c.layout.stepSize * 8;
    for (unsigned k = 0; k < r.count; k++) {
        distance += r.locs[k] < dataBits ? 1u : 0u;  // the code bits are counted above
    }
    return distance;
}

}  // namespace

void checkRecord(const Codec &c, std::uint8_t *record, unsigned erasedThreshold, RecordResult *result)
{
    result->bitflips = 0;
    result->erased = true;
    std::uint8_t *oob = record + c.layout.pageSize;
    // The spare area is read first for the codes of step 0, before the data
    // before it has streamed in: asked for now, it comes while step 0 is
    // folded.
    __builtin_prefetch(oob);
    __builtin_prefetch(oob + c.layout.oobSize - 1);
    for (std::size_t s = 0; s < c.steps; s++) {
        std::uint8_t *step = record + s * c.layout.stepSize;
        const std::uint16_t *pos = c.eccPos + s * c.eccBytes;
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
        std::uint8_t computed[kMaxEccBytes] = {};
        if (c.layout.scheme != Scheme::Bch) {
            stepCode(c, step, computed);
            unXor(c, computed);
        }
        std::uint8_t stored[kMaxEccBytes] = {};
        for (std::size_t i = 0; i < c.eccBytes; i++) {
            stored[i] = oob[pos[i]];
        }
        std::uint8_t readStored[kMaxEccBytes];
        std::memcpy(readStored, stored, sizeof readStored);
        unXor(c, stored);
        if (c.layout.scheme == Scheme::Bch) {
            checkBch(c, s, step, stored, r);
        } else if (c.layout.scheme == Scheme::None) {
            r->status = EccStatus::Clean;
            r->count = 0;
        } else {
            checkSingle(c, s, step, stored, computed, r);
        }
        unXor(c, stored);
        const bool corrected = r->status != EccStatus::Clean && r->status != EccStatus::Uncorrectable;
        if (corrected && !c.blankIsCodeword && zeros <= correctionDistance(c, step, readStored, *r)) {
            // As near to blank flash as to the codeword: no correction to trust.
            for (unsigned k = 0; k < r->count; k++) {
                if (r->locs[k] < c.layout.stepSize * 8) {
                    step[r->locs[k] / 8] ^= static_cast<std::uint8_t>(1u << (r->locs[k] % 8));
                }
            }
            std::memcpy(stored, readStored, sizeof stored);
            r->status = EccStatus::Uncorrectable;
            r->count = 0;
        }
        for (std::size_t i = 0; i < c.eccBytes; i++) {
            oob[pos[i]] = stored[i];
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
