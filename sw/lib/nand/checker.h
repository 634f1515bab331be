// Checking an image eraseblock by eraseblock, as a reader of the flash
// would: a block whose marker says it is bad is passed over, every other
// record is checked and repaired (record.h), and what is not clean is told
// to the caller as findings, with the counts of the whole run. The tools'
// reports and the Python module are made from these findings; a caller
// streams an image of any size through it, a block at a time.
#pragma once

#include "record.h"

#include <cstddef>
#include <cstdint>

namespace nand {

enum class FindingClass : std::uint8_t {
    CorrectedData,   // a one-bit code corrected a data bit
    CorrectedCode,   // a one-bit code corrected its own ECC field
    CorrectedBits,   // a multi-bit code corrected bits (the step's locs)
    Uncorrectable,
    ErasedBitflips,  // blank flash with zero bits: a whole page or one step
    BadBlock,        // an eraseblock whose marker says it is bad
};

// "corrected-data", "corrected-ecc-field", "corrected-bits",
// "uncorrectable", "erased-bitflips", "bad-block".
const char *findingClassName(FindingClass c);

struct Finding {
    FindingClass cls;
    std::uint64_t page;   // BadBlock: the first page whose marker is set
    std::uint64_t block;
    long step;            // -1: the whole page, or the block
    unsigned bitflips;    // ErasedBitflips: the zero bits
    const StepResult *result;  // the step's, but for BadBlock and an erased page
};

// Where a bit that a multi-bit code corrected lies, as reports name it: a
// data bit by its offset in the page data, a code bit stored in the OOB by
// its offset in the OOB, any other (a protected byte, a code of an
// interleaved layout, a bit-packed one's) by its offset in the record; with
// the bit within that byte.
enum class BitPlace : std::uint8_t { Data, Ecc, Raw };
BitPlace correctedBitPlace(const Codec &c, std::size_t step, unsigned loc, std::uint32_t *offset, unsigned *bit);

struct CheckCounts {
    std::uint64_t pages = 0;
    std::uint64_t erased = 0;
    std::uint64_t clean = 0;  // steps
    std::uint64_t corrected = 0;
    std::uint64_t uncorrectable = 0;
    std::uint64_t badBlocks = 0;
};

// One eraseblock's counts.
struct BlockCounts {
    std::uint64_t block = 0;
    unsigned maxFlips = 0;  // in one step
    std::uint32_t pages = 0;
    std::uint32_t corrected = 0;
    std::uint32_t uncorrectable = 0;
    std::uint32_t erased = 0;
    bool bad = false;
};

// What a check tells its caller, each with the caller's context; any may be
// null. For each block: `block` first, then for each page `page` and its
// findings; a bad block's finding comes before its pages.
struct CheckEvents {
    void *context = nullptr;
    void (*block)(void *context, std::uint64_t block, bool bad) = nullptr;
    // A page decoded, with its results and the record as repaired (where it
    // is until the next page), or one passed over in a bad block (both null).
    // A page the quick test found clean is not told.
    void (*page)(void *context, std::uint64_t page, const RecordResult *result, const std::uint8_t *record) = nullptr;
    void (*finding)(void *context, const Finding &f) = nullptr;
};

// A record checked ahead by checkRecord, on another thread, and repaired in
// place there: what it found, its steps' results in an array of the caller's.
struct Predecoded {
    bool done;  // false: not checked ahead
    bool erased;
    unsigned bitflips;
    const StepResult *steps;  // codec.steps of them
};

// The state of one check run. Large (a page's results and a scratch record):
// make it once, on the heap; it allocates nothing.
class Checker {
public:
    // Starts a run of codec's records; a step is blank with at most
    // erasedThreshold zero bits.
    void begin(const Codec &codec, unsigned erasedThreshold);

    // Checks the next eraseblock: `count` records at in (pagesPerBlock of
    // them; fewer only at the image's end, and such a block is never taken
    // as bad). The repaired records go to out, which may be in; with out null
    // they are not kept and in is left as it is. `clean`, where given, says
    // for each record whether recordIsClean found it so (worked out ahead,
    // on another thread); the rest are decoded, but for those `decoded` says
    // were checked ahead (in place: then out must be in, or null). Returns
    // the block's counts.
    BlockCounts checkBlock(const std::uint8_t *in, std::uint8_t *out, std::size_t count, const bool *clean,
                           const CheckEvents &events, const Predecoded *decoded = nullptr);

    const CheckCounts &counts() const { return counts_; }
    const Codec &codec() const { return *codec_; }

private:
    void checkPage(std::uint8_t *record, const Predecoded *ahead, BlockCounts *block, const CheckEvents &events);

    const Codec *codec_ = nullptr;
    unsigned threshold_ = 0;
    CheckCounts counts_;
    RecordResult result_;
    std::uint8_t scratch_[kMaxPageSize + kMaxOobSize];
};

// Linux's bitflip threshold: a block whose steps reach 3/4 of the strength,
// rounded up, is to be scrubbed.
bool needsScrub(const Codec &c, unsigned flips);

}  // namespace nand
