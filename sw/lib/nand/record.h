// Records of a layout (layout.h): a page encoded with its OOB, and a record
// checked as a reader of the flash would, step by step.
#pragma once

#include "bch.h"
#include "ecc.h"
#include "layout.h"

#include <cstddef>
#include <cstdint>

namespace nand {

// A layout made ready for the page loop: the OOB position of every ECC byte.
struct Codec {
    Layout layout;
    std::size_t steps;
    std::size_t eccBytes;    // per step
    std::size_t recordSize;  // page + OOB
    std::uint16_t eccPos[kMaxOobSize];  // ECC byte i of step s at OOB byte eccPos[s * eccBytes + i]
    bool isEcc[kMaxOobSize];
    std::uint8_t eccKeep[bch::kMaxCodeBytes];  // the bits of each ECC byte that belong to the code
    bch::Code bch;  // the tables of a BCH layout
};

void makeCodec(const Layout &layout, Codec *codec);

// Writes the OOB of the page at data: the code of every step at its place,
// every other byte the layout's free fill. With keepErased, a page of all
// 0xFF gets an OOB of all 0xFF, as blank flash has.
void encodeOob(const Codec &c, const std::uint8_t *data, std::uint8_t *oob, bool keepErased);

// The bits a check corrected in one step: location n < 8 * stepSize is bit
// n % 8 of the step's data byte n / 8; above, bit n % 8 of the step's ECC byte
// (n - 8 * stepSize) / 8.
inline constexpr std::size_t kMaxCorrected = 32;

struct StepResult {
    EccStatus status;    // a multi-bit code reports CorrectedBits
    std::uint32_t byte;  // for CorrectedData: the corrected bit's offset in the page data
    std::uint8_t bit;
    std::uint8_t count;  // the corrected bits, in locs
    std::uint16_t locs[kMaxCorrected];
};

struct RecordResult {
    bool erased;
    unsigned bitflips;  // zero bits of an erased record
    StepResult steps[kMaxSteps];
};

// Checks a record and repairs it in place. A record is erased (blank flash)
// when every step, its data and its ECC bytes together, has at most
// `erasedThreshold` zero bits, and so have the other OOB bytes: it is never
// decoded, and becomes all 0xFF. Otherwise every step is decoded: a single
// flipped data bit is flipped back, and the ECC bytes of a corrected step are
// rewritten; an uncorrectable step keeps its data and ECC bytes.
void checkRecord(const Codec &c, std::uint8_t *record, unsigned erasedThreshold, RecordResult *result);

// Whether checkRecord would find the record not erased and every step clean,
// and leave it as it is: the quick test for the common case, which reads the
// record and changes nothing.
bool recordIsClean(const Codec &c, const std::uint8_t *record, unsigned erasedThreshold);

// The zero bits among n bytes; stops counting once there are more than limit.
unsigned zeroBits(const std::uint8_t *p, std::size_t n, unsigned limit);

}  // namespace nand
