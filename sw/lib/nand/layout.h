// Page layouts: how a page of data and its OOB (spare area) are laid out on
// flash, which code protects each step of the page and where its bytes sit in
// the OOB. The presets are one table (layout.cpp) that help text, listings,
// building and checking all read.
//
// A record is the page data followed by its OOB, as raw dumps and flash
// programmers take them. The page is cut into steps of stepSize bytes; step s
// has eccBytes code bytes, and the code bytes of steps 0, 1, ... follow one
// another through the ECC regions of the OOB, in order. Every other OOB byte
// holds freeFill.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nand {

enum class Scheme : std::uint8_t {
    Classic,  // the sector code of ecc.h, 4 bytes (its word least significant byte first)
    Hamming,  // Linux's software Hamming, 3 bytes (hamming.h)
    Bch,      // Linux's software BCH, ceil(13t / 8) bytes (bch.h)
};

// Where the ECC goes when no offset is given.
// Linux chooses its software ECC layouts by the OOB size: an 8- or 16-byte
// OOB is a small page (marker at byte 5), any other a large page (marker at
// bytes 0 and 1, which no ECC may take).
enum class Placement : std::uint8_t {
    End,         // at the end of the OOB, as Linux's generic large-page layout puts it
    LinuxLarge,  // Linux's Hamming layouts by OOB size: 0..2 for 8 bytes, 0..3 and 6 on for 16,
                 // 40 on for 64, 80 on for 128; no other size
    SmallPage,   // the same rule, for a preset of small pages
    Offset,      // from a given offset
};

inline constexpr std::size_t kMaxPageSize = 65536;
inline constexpr std::size_t kMaxOobSize = 4096;
inline constexpr std::size_t kMaxSteps = kMaxPageSize / 256;
inline constexpr std::size_t kMaxRegions = 2;

struct Region {
    std::uint32_t offset;
    std::uint32_t length;
};

struct Layout {
    const char *name;
    std::uint32_t pageSize;
    std::uint32_t oobSize;
    std::uint32_t stepSize;
    Scheme scheme;
    std::uint8_t strength;   // the bits a step can have corrected: 1, or t for BCH
    bool smOrder;            // Hamming bytes in SmartMedia order
    Placement placement;
    std::uint32_t eccOffset;  // for Placement::Offset
    std::uint8_t freeFill;   // OOB bytes that hold no ECC
    std::uint8_t padFill;    // the rest of a short last page
    std::int32_t marker;     // the bad-block marker byte of the OOB, or -1 (Linux layouts: by OOB size)
    const char *about;       // one line for listings
};

// The presets, in the order listings show them.
const Layout *presets(std::size_t *count);
const Layout *findPreset(const char *name);

// Changes asked of a preset; a negative number or a null pointer leaves it.
struct LayoutChanges {
    long pageSize = -1;
    long oobSize = -1;
    long stepSize = -1;
    long eccOffset = -1;
    bool smOrder = false;
    int scheme = -1;     // a Scheme, to change the code
    long strength = -1;  // t, for BCH
};

// The layout from a preset and changes, checked: ECC bytes past the OOB or
// over the bad-block marker, a page that is not a whole number of steps, a
// step the scheme does not take. Returns false with the reason in why.
bool makeLayout(const Layout &preset, const LayoutChanges &changes, Layout *out, char *why, std::size_t whySize);

std::size_t stepsPerPage(const Layout &l);
std::size_t eccBytesPerStep(const Layout &l);
std::size_t recordSize(const Layout &l);
// The ECC regions of the OOB; returns their count.
std::size_t eccRegions(const Layout &l, Region (&regions)[kMaxRegions]);
// The strength of the code: the bits a step can have corrected.
unsigned strength(const Layout &l);
const char *schemeName(Scheme s);
// The scheme named by text ("classic", "hamming", "bch"); false if none is.
bool schemeByName(const char *text, Scheme *s);

// One JSON object describing the layout; returns the length written (at most
// size - 1, NUL-terminated).
std::size_t describeJson(const Layout &l, char *buf, std::size_t size);

}  // namespace nand
