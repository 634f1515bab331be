// Encoding and checking records of any layout; see record.h.
#include "record.h"

#include "hamming.h"
#include "image.h"

#include <bit>
#include <cstring>

namespace nand {

void makeCodec(const Layout &layout, Codec *c)
{
    c->layout = layout;
    c->steps = stepsPerPage(layout);
    c->eccBytes = eccBytesPerStep(layout);
    c->recordSize = recordSize(layout);
    std::memset(c->isEcc, 0, sizeof c->isEcc);
    std::memset(c->eccKeep, 0xFF, sizeof c->eccKeep);
    if (layout.scheme == Scheme::Bch) {
        bch::init(&c->bch, layout.strength);
        const unsigned used = c->bch.codeBits - 8 * (c->bch.codeBytes - 1);
        c->eccKeep[c->bch.codeBytes - 1] = static_cast<std::uint8_t>(0xFF00u >> used);
    }
    Region regions[kMaxRegions];
    const std::size_t n = eccRegions(layout, regions);
    std::size_t k = 0;
    for (std::size_t r = 0; r < n; r++) {
        for (std::uint32_t i = 0; i < regions[r].length; i++, k++) {
            c->eccPos[k] = static_cast<std::uint16_t>(regions[r].offset + i);
            c->isEcc[regions[r].offset + i] = true;
        }
    }
}

namespace {

// The code of one step, into code[0..eccBytes).
void stepCode(const Codec &c, const std::uint8_t *step, std::uint8_t *code)
{
    switch (c.layout.scheme) {
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
}

bool allOnes(const std::uint8_t *p, std::size_t n)
{
    return zeroBits(p, n, 0) == 0;
}

// The zero bits of a byte; most bytes looked at are 0xFF.
unsigned byteZeros(std::uint8_t b)
{
    return b == 0xFF ? 0 : static_cast<unsigned>(std::popcount(static_cast<std::uint8_t>(~b)));
}

// Whether the record is erased under the threshold; sets *flips to its zero
// bits. The steps come first: a written record gives itself away in the first
// word of its data.
bool isErased(const Codec &c, const std::uint8_t *record, unsigned threshold, unsigned *flips)
{
    const std::uint8_t *oob = record + c.layout.pageSize;
    unsigned total = 0;
    for (std::size_t s = 0; s < c.steps; s++) {
        unsigned zeros = zeroBits(record + s * c.layout.stepSize, c.layout.stepSize, threshold);
        for (std::size_t i = 0; i < c.eccBytes && zeros <= threshold; i++) {
            zeros += byteZeros(oob[c.eccPos[s * c.eccBytes + i]]);
        }
        if (zeros > threshold) {
            return false;
        }
        total += zeros;
    }
    unsigned others = 0;
    for (std::size_t i = 0; i < c.layout.oobSize && others <= threshold; i++) {
        if (!c.isEcc[i]) {
            others += byteZeros(oob[i]);
        }
    }
    if (others > threshold) {
        return false;
    }
    *flips = total + others;
    return true;
}

constexpr std::size_t kMaxEccBytes = bch::kMaxCodeBytes;

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
    for (std::size_t i = 0; i < c.eccBytes; i++) {
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
        std::memcpy(stored, computed, c.eccBytes);
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
    unsigned flips = 0;
    if (isErased(c, record, erasedThreshold, &flips)) {
        return false;
    }
    const std::uint8_t *oob = record + c.layout.pageSize;
    // Every decoder finds a step clean exactly where its stored and computed
    // codes agree in the bits of the code (not a BCH code's spare bits).
    for (std::size_t s = 0; s < c.steps; s++) {
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
    return true;
}

void checkRecord(const Codec &c, std::uint8_t *record, unsigned erasedThreshold, RecordResult *result)
{
    result->bitflips = 0;
    result->erased = isErased(c, record, erasedThreshold, &result->bitflips);
    if (result->erased) {
        std::memset(record, 0xFF, c.recordSize);
        return;
    }
    std::uint8_t *oob = record + c.layout.pageSize;
    // The spare area is read first for the codes of step 0, before the data
    // before it has streamed in: asked for now, it comes while step 0 is
    // folded.
    __builtin_prefetch(oob);
    __builtin_prefetch(oob + c.layout.oobSize - 1);
    for (std::size_t s = 0; s < c.steps; s++) {
        std::uint8_t *step = record + s * c.layout.stepSize;
        const std::uint16_t *pos = c.eccPos + s * c.eccBytes;
        std::uint8_t computed[kMaxEccBytes] = {};
        if (c.layout.scheme != Scheme::Bch) {
            stepCode(c, step, computed);
        }
        std::uint8_t stored[kMaxEccBytes] = {};
        for (std::size_t i = 0; i < c.eccBytes; i++) {
            stored[i] = oob[pos[i]];
        }
        if (c.layout.scheme == Scheme::Bch) {
            checkBch(c, s, step, stored, &result->steps[s]);
        } else {
            checkSingle(c, s, step, stored, computed, &result->steps[s]);
        }
        for (std::size_t i = 0; i < c.eccBytes; i++) {
            oob[pos[i]] = stored[i];
        }
    }
}

}  // namespace nand
