// Fuzz target for the record engine of every generic preset: a page from the input
// is encoded; the record must check clean, one flipped bit anywhere in the
// data or the ECC must be corrected at that bit, and two flipped bits in one
// step must never be "corrected" to data other than the original.
#include "record.h"

#include <cstdint>
#include <cstring>

namespace {

void require(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

nand::Codec codec;
nand::RecordResult result;
std::uint8_t clean[nand::kMaxPageSize + nand::kMaxOobSize];
std::uint8_t record[nand::kMaxPageSize + nand::kMaxOobSize];

void flip(std::uint8_t *r, std::size_t bit)
{
    r[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
}

// The bits of a step's code: all bits of its ECC bytes but the spare bits
// of a BCH code's last byte.
std::size_t codeBits()
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < codec.eccBytes; i++) {
        n += static_cast<std::size_t>(__builtin_popcount(codec.eccKeep[i]));
    }
    return n;
}

// Bit k of step s: its data bits first, then its code bits.
std::size_t stepBit(std::size_t s, std::size_t k)
{
    const std::size_t dataBits = std::size_t{codec.layout.stepSize} * 8;
    if (k < dataBits) {
        return s * dataBits + k;
    }
    k -= dataBits;
    for (std::size_t i = 0; i < codec.eccBytes; i++) {
        for (unsigned b = 0; b < 8; b++) {
            if (((static_cast<unsigned>(codec.eccKeep[i]) >> b) & 1u) != 0 && k-- == 0) {
                return std::size_t{codec.eccPos[s * codec.eccBytes + i]} * 8 + b;
            }
        }
    }
    return 0;  // not reached: k is below codeBits()
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 7) {
        return 0;
    }
    // The presets whose bytes lie where the codec's tables say: a
    // controller's own layouts (packed, scrambled) have tests of their own.
    std::size_t all = 0;
    const nand::Layout *presets = nand::presets(&all);
    const nand::Layout *plain[64] = {};
    std::size_t count = 0;
    for (std::size_t i = 0; i < all && count < sizeof plain / sizeof plain[0]; i++) {
        if (presets[i].vendor == nand::Vendor::None) {
            plain[count++] = &presets[i];
        }
    }
    if (count == 0) {
        return 0;
    }
    nand::Layout layout = *plain[data[0] % count];
    layout.smOrder = layout.scheme == nand::Scheme::Hamming && (data[0] & 0x80) != 0;
    nand::makeCodec(layout, &codec);
    const std::size_t stepBits = std::size_t{layout.stepSize} * 8 + codeBits();
    const std::size_t s = (std::size_t{data[1]} << 8 | data[2]) % codec.steps;
    const std::size_t a = (std::size_t{data[3]} << 8 | data[4]) % stepBits;
    const std::size_t b = (std::size_t{data[5]} << 8 | data[6]) % stepBits;
    data += 7;
    size -= 7;

    for (std::size_t i = 0; i < layout.pageSize; i++) {
        clean[i] = size == 0 ? 0 : data[i % size];
    }
    nand::encodeRecord(codec, clean, false);
    std::memcpy(record, clean, codec.recordSize);
    nand::checkRecord(codec, record, 0, &result);
    require(std::memcmp(record, clean, codec.recordSize) == 0);
    if (result.erased) {
        return 0;  // a Linux page of 0xFF is blank flash itself
    }
    for (std::size_t k = 0; k < codec.steps; k++) {
        require(result.steps[k].status == EccStatus::Clean);
    }

    std::memcpy(record, clean, codec.recordSize);
    flip(record, stepBit(s, a));
    nand::checkRecord(codec, record, 0, &result);
    require(!result.erased && std::memcmp(record, clean, codec.recordSize) == 0);
    const nand::StepResult &one = result.steps[s];
    if (one.status == EccStatus::CorrectedData) {
        require(one.byte * 8 + one.bit == stepBit(s, a));
    } else if (one.status == EccStatus::CorrectedBits) {
        const std::size_t loc = one.locs[0];
        const std::size_t bit = std::size_t{nand::locationByte(codec, s, static_cast<unsigned>(loc))} * 8 + loc % 8;
        require(one.count == 1 && bit == stepBit(s, a));
    } else {
        require(one.status == EccStatus::CorrectedCode && a >= std::size_t{layout.stepSize} * 8);
    }

    if (a != b) {
        std::memcpy(record, clean, codec.recordSize);
        flip(record, stepBit(s, a));
        flip(record, stepBit(s, b));
        std::uint8_t damaged[nand::kMaxPageSize];
        std::memcpy(damaged, record, layout.pageSize);
        nand::checkRecord(codec, record, 0, &result);
        const std::uint8_t *step = record + s * layout.stepSize;
        if (result.steps[s].status == EccStatus::Uncorrectable) {
            require(std::memcmp(step, damaged + s * layout.stepSize, layout.stepSize) == 0);
        } else {
            require(std::memcmp(step, clean + s * layout.stepSize, layout.stepSize) == 0);
        }
    }
    return 0;
}
