// Page layouts: how a page of data and its OOB (spare area) are laid out on
// flash, which code protects each step of the page and where its bytes sit in
// the OOB. The presets are one table (layout.cpp) that help text, listings,
// building and checking all read.
//
// A record is the page data followed by its OOB, as raw dumps and flash
// programmers take them. The page is cut into steps of stepSize bytes; step s
// has eccBytes code bytes, and the code bytes of steps 0, 1, ... follow one
// another through the ECC regions of the OOB, in order. A step's code may
// also cover protected OOB bytes, encoded after its data; they follow one
// another through the protected regions the same way. Every other OOB byte
// holds freeFill.
//
// An interleaved layout (Linux's "syndrome" placement) has no page-then-OOB
// split: the record is, step after step, the step's data, prepad bytes, its
// code bytes and postpad bytes; what remains after the last step is free. The
// prepad bytes are protected bytes when protectPrepad is set, free otherwise.
#pragma once

#include "status.h"

#include <cstddef>
#include <cstdint>

namespace nand {

enum class Scheme : std::uint8_t {
    Classic,  // the sector code of ecc.h, 4 bytes (its word least significant byte first)
    Hamming,  // Linux's software Hamming, 3 bytes (hamming.h)
    Bch,      // a binary BCH code as Linux's lib/bch.c makes it (bch.h)
    None,     // no code: the OOB is free bytes only
};

// Where the ECC goes.
// Linux chooses its software ECC layouts by the OOB size: an 8- or 16-byte
// OOB is a small page (marker at byte 5), any other a large page (marker at
// bytes 0 and 1, which no ECC may take).
enum class Placement : std::uint8_t {
    End,         // at the end of the OOB, as Linux's generic large-page layout puts it
    LinuxLarge,  // Linux's Hamming layouts by OOB size: 0..2 for 8 bytes, 0..3 and 6 on for 16,
                 // 40 on for 64, 80 on for 128; no other size
    SmallPage,   // the same rule, for a preset of small pages
    Offset,      // from a given offset
    Regions,     // in the layout's own list of OOB ranges
};

// A controller's own layout, which the fields above cannot describe; its
// geometry and codes are the vendor's file's (gpmi.h, sunxi.h).
enum class Vendor : std::uint8_t {
    None,
    Gpmi,        // i.MX GPMI BCH: a bit-packed page, stepSize the chunk, m the field
    Sunxi,       // Allwinner's NAND controller, a normal page: scrambled steps, codes in the OOB
    SunxiBoot0,  // the same controller's boot ROM page: interleaved steps within rawPage + oobSize
};

inline constexpr std::size_t kMaxPageSize = 65536;
inline constexpr std::size_t kMaxOobSize = 4096;
inline constexpr std::size_t kMinStepSize = 256;
inline constexpr std::size_t kMaxStepSize = 4096;
inline constexpr std::size_t kMaxSteps = kMaxPageSize / kMinStepSize;
inline constexpr std::size_t kMaxRegions = 16;
inline constexpr std::size_t kMaxMarkers = 4;
inline constexpr std::size_t kMaxEccBytes = 160;  // stored a step: the code (up to 150 bytes) and any bytes after it
inline constexpr std::size_t kMaxNameSize = 48;
inline constexpr std::size_t kMaxLayoutJson = 4096;  // describeJson of any layout, with its NUL

// The pages of an eraseblock whose markers say it is bad, as Linux reads them
// (NAND_BBM_FIRSTPAGE, NAND_BBM_SECONDPAGE, NAND_BBM_LASTPAGE).
enum class MarkerPages : std::uint8_t {
    First,
    FirstSecond,
    Last,
};

struct Region {
    std::uint32_t offset;
    std::uint32_t length;
};

// A layout is plain data: a preset row, a layout file, or either with
// changes; every key of a layout file is a field here.
struct Layout {
    const char *about;        // one line for listings; null for a layout file
    std::uint32_t pageSize;
    std::uint32_t oobSize;
    std::uint32_t stepSize;
    std::uint32_t eccOffset;  // for Placement::Offset
    std::uint32_t poly;       // BCH: the field's primitive polynomial; 0: Linux's for m
    std::uint32_t eccBytesPerStep;  // stored a step; 0: the code's bytes
    std::uint32_t pagesPerBlock;    // pages of an eraseblock
    Region regions[kMaxRegions];    // for Placement::Regions
    Region protectedRegions[kMaxRegions];  // OOB ranges of the protected bytes
    std::uint16_t markers[kMaxMarkers];  // the bad-block marker bytes of the OOB (interleaved: from raw byte pageSize)
    std::uint16_t protectedPerStep;  // OOB bytes each step's code covers after its data
    std::uint16_t prepad;            // interleaved: between a step's data and its code
    std::uint16_t postpad;           // interleaved: after a step's code
    char name[kMaxNameSize];
    Scheme scheme;
    std::uint8_t strength;   // the bits a step can have corrected: 1, or t for BCH (0 for none)
    bool smOrder;            // Hamming bytes in SmartMedia order
    Placement placement;
    std::uint8_t freeFill;   // OOB bytes that hold no ECC
    std::uint8_t padFill;    // the rest of a short last page
    // Linux's rules for the OOB size: the marker at byte 5 of a small page
    // (8 or 16 bytes of OOB), at 0 and 1 of a large one, and BCH on large
    // pages only. Set for the presets of Linux's codes, not for a file.
    bool linuxOob;
    std::uint8_t m;          // BCH: the field GF(2^m); 0: Linux's choice for the step
    bool lsbFirst;           // BCH: bytes taken and stored least significant bit first
    bool erasedMask;         // BCH: blank flash is a codeword
    MarkerPages markerPages;
    bool interleaved;        // the steps' data and codes alternate through the record
    bool protectPrepad;      // interleaved: the prepad bytes are protected bytes
    std::uint8_t regionCount;
    std::uint8_t protectedCount;
    std::uint8_t markerCount;
    std::uint8_t eccXorLength;  // XOR-ed into every step's stored code
    std::uint8_t eccXor[kMaxEccBytes];
    Vendor vendor;
    std::uint8_t soc;  // Vendor::Gpmi: a gpmi::Soc; the sunxi vendors: a sunxi::Soc
    bool randomizer;   // the sunxi vendors: pages scrambled (boot0: its padding filled, as its builder's -s)
    std::uint32_t rawPage;   // Vendor::SunxiBoot0: the flash page; pageSize is the usable part
    std::uint64_t fillSeed;  // Vendor::SunxiBoot0: the seed of its padding's fill
};

// The presets, in the order listings show them.
const Layout *presets(std::size_t *count);
const Layout *findPreset(const char *name);

// Changes asked of a layout; a negative number or a null pointer leaves it.
struct LayoutChanges {
    long pageSize = -1;
    long oobSize = -1;
    long stepSize = -1;
    long eccOffset = -1;
    bool smOrder = false;
    int scheme = -1;     // a Scheme, to change the code
    long strength = -1;  // t, for BCH
    long m = -1;         // BCH field
    long poly = -1;      // BCH polynomial
    int lsbFirst = -1;   // BCH bit order
    long pagesPerBlock = -1;
    int markerPages = -1;  // a MarkerPages
    int soc = -1;          // Vendor::Gpmi: a gpmi::Soc
    int sunxiSoc = -1;     // the sunxi vendors: a sunxi::Soc
    int randomizer = -1;   // the sunxi vendors: 0 to turn it off
    long usablePage = -1;  // Vendor::SunxiBoot0
    bool fillSeedGiven = false;
    std::uint64_t fillSeed = 0;  // Vendor::SunxiBoot0
};

// The layout from a base layout and changes, checked: ECC bytes past the OOB
// or over the bad-block marker, a page that is not a whole number of steps, a
// step the scheme does not take. Returns false with the reason in why and,
// where one key of a layout file is at fault, its name in *key.
bool makeLayout(const Layout &base, const LayoutChanges &changes, Layout *out, char *why, std::size_t whySize,
                const char **key = nullptr);

// A layout from the JSON text of a layout file (one object with the keys
// describeJson writes), checked as makeLayout checks. False with the reason
// in why, naming the key at fault.
bool layoutFromJson(const char *text, std::size_t size, Layout *out, char *why, std::size_t whySize);

// The same from a layout file: Invalid with "PATH: " and the reason, which
// starts with the key at fault, or System where the file cannot be read.
Status readLayoutFile(const char *path, Layout *out);

// Where a layout comes from: a preset's name, a layout file or its JSON text
// (at most one; none is the classic preset).
struct LayoutSource {
    const char *name = nullptr;
    const char *file = nullptr;
    const char *json = nullptr;
    std::size_t jsonSize = 0;
};

// The layout of a source with changes applied, checked: the one call that
// makes a layout as the tools' options and the Python module's arguments do.
Status loadLayout(const LayoutSource &source, const LayoutChanges &changes, Layout *out);

std::size_t stepsPerPage(const Layout &l);
// The bytes of a step's code, and the bytes stored a step (the code and any
// spare bytes after it).
std::size_t codeBytesPerStep(const Layout &l);
std::size_t eccBytesPerStep(const Layout &l);
// The protected bytes of a step, which its code covers after its data.
std::size_t protectedBytesPerStep(const Layout &l);
// Interleaved: the raw bytes of one step (data, prepad, code, postpad).
std::size_t interleavedStepBytes(const Layout &l);
std::size_t recordSize(const Layout &l);
// The ECC regions of the OOB (none for an interleaved layout); returns their
// count.
std::size_t eccRegions(const Layout &l, Region (&regions)[kMaxRegions]);
// The strength of the code: the bits a step can have corrected.
unsigned strength(const Layout &l);
// The BCH field and polynomial the layout takes, its defaults filled in.
unsigned bchField(const Layout &l);
unsigned bchPoly(const Layout &l);
const char *schemeName(Scheme s);
// "first", "first,second" or "last", and back; false for no such name.
const char *markerPagesName(MarkerPages p);
bool markerPagesByName(const char *text, MarkerPages *p);
inline constexpr std::size_t kMaxPagesPerBlock = 4096;
// Whether page i of an eraseblock is one whose bad-block marker Linux reads
// and writes (the layout's markerPages).
bool isMarkerPage(const Layout &l, std::size_t i);
// The scheme named by text ("classic", "hamming", "bch", "none"); false if none is.
bool schemeByName(const char *text, Scheme *s);

// One JSON object describing the layout, every key of a layout file; read
// back by layoutFromJson it gives the same layout. Returns the length written
// (at most size - 1, NUL-terminated). kMaxLayoutJson bytes hold any layout.
std::size_t describeJson(const Layout &l, char *buf, std::size_t size);

}  // namespace nand
