// Finding an unknown dump's layout from its own bytes: the record size from
// the dump's periodic structure, then the code, its place in the record, its
// polynomial and constants from where a step's code sits, scored by checking
// sampled records with the layouts found (layout.h, record.h).
//
// The search works on differences. Where a layout stores code(data) XOR a
// constant K (Linux's erased mask, an ecc_xor, the inverted Hamming
// parities), two steps' stored codes differ by the code of their data's
// difference, whatever K is. A step is paired with a step of another record
// and with blank and zero steps, so that a dump of one repeated page still
// gives a difference. Hamming and classic codes are then looked up byte for
// byte; a BCH codeword is one whose polynomial vanishes at a (and a^3, a^5),
// so a candidate place, strength and field cost a walk over its code bits,
// and the power of a that is left over counts any protected bytes between
// the data and the code.
#pragma once

#include "layout.h"

#include <cstddef>
#include <cstdint>

namespace nand {

// A piece of the dump read into memory: bytes [offset, offset + size) of it.
struct DumpWindow {
    const std::uint8_t *bytes;
    std::uint64_t offset;
    std::size_t size;
};

struct DetectOptions {
    std::uint32_t pageSize = 0;  // 0: any of the usual sizes
    std::uint32_t oobSize = 0;   // 0: any the dump's size allows
    bool exhaustive = false;     // every primitive polynomial, not the known ones only
    unsigned threads = 1;
};

// A layout and what checking the sampled records with it gave.
struct DetectScore {
    Layout layout;
    std::uint32_t records;  // not blank, not marked bad
    std::uint32_t clean;    // non-blank steps
    std::uint32_t corrected;
    std::uint32_t uncorrectable;
};

inline constexpr std::size_t kMaxDetectCandidates = 4;
// At least this share of the non-blank steps clean or corrected.
inline constexpr double kConvincingShare = 0.9;

struct DetectResult {
    std::uint32_t recordsSampled;  // under the geometry found (or the first tried)
    std::uint32_t blankRecords;
    bool geometryFound;            // a record size the dump's structure shows
    std::uint32_t pageSize;
    std::uint32_t oobSize;
    std::uint32_t polynomials;     // BCH fields tried
    std::size_t count;             // candidates, best first
    DetectScore candidates[kMaxDetectCandidates];
};

// Where to sample a dump of `size` bytes: `count` windows of `each` bytes,
// window w at offset(w), spread evenly from its first byte to its last (one
// window, the whole dump, for a small one).
struct WindowPlan {
    std::size_t count;
    std::size_t each;
    std::uint64_t size;
    std::uint64_t offset(std::size_t w) const { return count == 1 ? 0 : (size - each) * w / (count - 1); }
};
WindowPlan planWindows(std::uint64_t size);

// Whether a score is convincing: steps were decoded, and at least
// kConvincingShare of them clean or corrected.
bool convincing(const DetectScore &s);

// Finds the layouts that explain the windows of a dump of dumpSize bytes,
// best first. False only for trouble (nothing to look at, no memory), with
// the reason in why; finding nothing convincing is a result, not trouble.
bool detectLayout(const DumpWindow *windows, std::size_t count, std::uint64_t dumpSize, const DetectOptions &o,
                  DetectResult *result, char *why, std::size_t whySize);

}  // namespace nand
