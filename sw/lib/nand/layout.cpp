// The layout presets and the rules that place the ECC; see layout.h.
#include "layout.h"

#include "bch.h"
#include "gpmi.h"
#include "sunxi.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace nand {

namespace {

constexpr std::uint32_t kDefaultPagesPerBlock = 64;

// A preset row: the fields a listing shows; the rest take their defaults.
constexpr Layout preset(const char *name, std::uint32_t page, std::uint32_t oob, std::uint32_t step, Scheme scheme,
                        std::uint8_t t, Placement placement, std::uint8_t fill, const char *about)
{
    Layout l{};
    for (std::size_t i = 0; name[i] != '\0' && i + 1 < kMaxNameSize; i++) {
        l.name[i] = name[i];
    }
    l.pageSize = page;
    l.oobSize = oob;
    l.stepSize = step;
    l.scheme = scheme;
    l.strength = t;
    l.placement = placement;
    l.freeFill = l.padFill = fill;
    l.about = about;
    l.pagesPerBlock = kDefaultPagesPerBlock;
    l.linuxOob = scheme != Scheme::Classic;
    l.erasedMask = scheme == Scheme::Bch;
    // Linux's codes keep byte 5 of a small page (8 or 16 bytes of OOB),
    // bytes 0 and 1 of a large one. The classic image has no marker: its OOB
    // is zero but for the sector words.
    l.markerCount = l.linuxOob ? 1 : 0;
    if (l.linuxOob && oob != 8 && oob != 16) {
        l.markerCount = 2;
        l.markers[1] = 1;
    } else if (l.linuxOob) {
        l.markers[0] = 5;
    }
    return l;
}

// The i.MX GPMI row: its chunk, field and strength come from the page and
// OOB (gpmi.h); the marker is the raw byte after the page data.
constexpr Layout gpmiPreset(const char *about)
{
    Layout l = preset("imx-gpmi", 2048, 64, gpmi::kFirstChunk, Scheme::Bch, 8, Placement::End, 0xFF, about);
    l.vendor = Vendor::Gpmi;
    l.soc = static_cast<std::uint8_t>(gpmi::kDefaultSoc);
    l.m = gpmi::kSmallField;
    l.lsbFirst = true;
    l.erasedMask = false;
    l.linuxOob = false;
    l.markerCount = 1;
    l.markers[0] = l.markers[1] = 0;
    return l;
}

// The rows of Allwinner's controller (sunxi.h): BCH over GF(2^14), bytes
// bit-reversed, no mask, the randomizer on; the marker is OOB bytes 0 and 1
// (boot0: the bytes after the flash page, set blank by its builder).
constexpr Layout sunxiPreset(const char *name, Vendor vendor, unsigned t, const char *about)
{
    Layout l = preset(name, 2048, 64, sunxi::kStep, Scheme::Bch, static_cast<std::uint8_t>(t), Placement::End, 0xFF,
                      about);
    l.vendor = vendor;
    l.soc = static_cast<std::uint8_t>(sunxi::Soc::A10);
    l.m = sunxi::kField;
    l.poly = sunxi::kPoly;
    l.lsbFirst = true;
    l.erasedMask = false;
    l.linuxOob = false;
    l.randomizer = true;
    l.markerCount = 2;
    l.markers[0] = 0;
    l.markers[1] = 1;
    l.protectedPerStep = sunxi::kUserBytes;
    l.eccBytesPerStep = sunxi::eccBytes(t);
    if (vendor == Vendor::SunxiBoot0) {
        l.rawPage = l.pageSize;
        l.pageSize = sunxi::defaultUsablePage(l.rawPage);
        l.markers[0] = static_cast<std::uint16_t>(l.rawPage - l.pageSize);
        l.markers[1] = static_cast<std::uint16_t>(l.markers[0] + 1);
        l.interleaved = true;
        l.prepad = sunxi::kUserBytes;
        l.protectPrepad = true;
        l.protectedPerStep = 0;
    }
    return l;
}

// clang-format off
constexpr Layout kPresets[] = {
    preset("classic",           2048, 64,  512,  Scheme::Classic, 1,  Placement::End,        0x00,
           "conv's image: 32-bit sector words at OOB 48..63, the rest of the OOB zero"),
    preset("linux-hamming",     2048, 64,  256,  Scheme::Hamming, 1,  Placement::LinuxLarge, 0xFF,
           "Linux software Hamming, 256-byte steps, ECC at OOB 40 (80 for a 128-byte OOB)"),
    preset("linux-hamming-512", 2048, 64,  512,  Scheme::Hamming, 1,  Placement::LinuxLarge, 0xFF,
           "Linux software Hamming, 512-byte steps, ECC at OOB 40 (80 for a 128-byte OOB)"),
    preset("linux-hamming-sp",  512,  16,  256,  Scheme::Hamming, 1,  Placement::SmallPage,  0xFF,
           "Linux software Hamming on small pages: ECC at OOB 0..3 and 6..7, marker at 5"),
    preset("linux-bch4",        2048, 64,  512,  Scheme::Bch,     4,  Placement::End,        0xFF,
           "Linux software BCH, 4 bits per 512 bytes, 7 bytes a step at the end of the OOB"),
    preset("linux-bch8",        2048, 64,  512,  Scheme::Bch,     8,  Placement::End,        0xFF,
           "Linux software BCH, 8 bits per 512 bytes, 13 bytes a step at the end of the OOB"),
    preset("linux-bch8-4k",     4096, 224, 512,  Scheme::Bch,     8,  Placement::End,        0xFF,
           "Linux software BCH-8 on 4096+224 pages, ECC at the end of the OOB"),
    preset("linux-bch24-1k",    4096, 224, 1024, Scheme::Bch,     24, Placement::End,        0xFF,
           "Linux software BCH, 24 bits per 1024 bytes over GF(2^14), 42 bytes a step at the end of the OOB"),
    gpmiPreset("i.MX GPMI BCH: metadata, chunks and codes packed bit by bit, marker swapped (--soc, --strength)"),
    sunxiPreset("sunxi", Vendor::Sunxi, 16,
                "Allwinner NAND controller pages: BCH-16 over GF(2^14) a 1024-byte step, randomized (--strength, "
                "--no-randomizer)"),
    sunxiPreset("sunxi-boot0", Vendor::SunxiBoot0, 64,
                "Allwinner boot ROM pages: interleaved BCH-64 steps in a usable part, seed 0x4a80 (--usable-page, "
                "--seed)"),
};
// clang-format on

// Linux's small-page layout (an 8- or 16-byte OOB) keeps its first region to
// bytes 0..3 (0..2 for 8 bytes), before the marker at 5; the rest from 6 on.
constexpr std::uint32_t kSmallPageFirst = 4;
constexpr std::uint32_t kTinyOobFirst = 3;
constexpr std::uint32_t kSmallPageSecond = 6;
constexpr std::int32_t kSmallPageMarker = 5;
// On a large page the marker takes OOB bytes 0 and 1 (a 16-bit chip's two).
constexpr std::uint32_t kLargePageMarkerBytes = 2;
// Linux's software BCH takes only large pages.
constexpr std::uint32_t kMinBchOob = 64;

bool isSmallPageOob(std::uint32_t oob)
{
    return oob == 8 || oob == 16;
}

}  // namespace

const Layout *presets(std::size_t *count)
{
    *count = sizeof kPresets / sizeof kPresets[0];
    return kPresets;
}

const Layout *findPreset(const char *name)
{
    for (const Layout &l : kPresets) {
        if (std::strcmp(l.name, name) == 0) {
            return &l;
        }
    }
    return nullptr;
}

const char *schemeName(Scheme s)
{
    switch (s) {
    case Scheme::Classic:
        return "classic";
    case Scheme::Hamming:
        return "hamming";
    case Scheme::None:
        return "none";
    default:
        return "bch";
    }
}

const char *markerPagesName(MarkerPages p)
{
    switch (p) {
    case MarkerPages::FirstSecond:
        return "first,second";
    case MarkerPages::Last:
        return "last";
    default:
        return "first";
    }
}

bool isMarkerPage(const Layout &l, std::size_t i)
{
    switch (l.markerPages) {
    case MarkerPages::FirstSecond:
        return i <= 1;
    case MarkerPages::Last:
        return i + 1 == l.pagesPerBlock;
    case MarkerPages::First:
        break;
    }
    return i == 0;
}

bool markerPagesByName(const char *text, MarkerPages *p)
{
    for (const MarkerPages each : {MarkerPages::First, MarkerPages::FirstSecond, MarkerPages::Last}) {
        if (std::strcmp(text, markerPagesName(each)) == 0) {
            *p = each;
            return true;
        }
    }
    return false;
}

bool schemeByName(const char *text, Scheme *s)
{
    for (const Scheme each : {Scheme::Classic, Scheme::Hamming, Scheme::Bch, Scheme::None}) {
        if (std::strcmp(text, schemeName(each)) == 0) {
            *s = each;
            return true;
        }
    }
    return false;
}

std::size_t stepsPerPage(const Layout &l)
{
    return l.pageSize / l.stepSize;
}

unsigned bchField(const Layout &l)
{
    return l.m != 0 ? l.m : bch::defaultM(l.stepSize);
}

unsigned bchPoly(const Layout &l)
{
    return l.poly != 0 ? l.poly : bch::defaultPoly(bchField(l));
}

std::size_t codeBytesPerStep(const Layout &l)
{
    switch (l.scheme) {
    case Scheme::Classic:
        return 4;
    case Scheme::Hamming:
        return 3;
    case Scheme::None:
        return 0;
    default:
        return (bchField(l) * l.strength + 7) / 8;
    }
}

std::size_t eccBytesPerStep(const Layout &l)
{
    return l.scheme == Scheme::None ? 0 : (l.eccBytesPerStep != 0 ? l.eccBytesPerStep : codeBytesPerStep(l));
}

std::size_t protectedBytesPerStep(const Layout &l)
{
    if (l.interleaved) {
        return l.protectPrepad ? l.prepad : 0;
    }
    return l.protectedPerStep;
}

std::size_t interleavedStepBytes(const Layout &l)
{
    return std::size_t{l.stepSize} + l.prepad + eccBytesPerStep(l) + l.postpad;
}

std::size_t recordSize(const Layout &l)
{
    if (l.vendor == Vendor::SunxiBoot0) {
        return std::size_t{l.rawPage} + l.oobSize;
    }
    return std::size_t{l.pageSize} + l.oobSize;
}

unsigned strength(const Layout &l)
{
    return l.strength;
}

std::size_t eccRegions(const Layout &l, Region (&regions)[kMaxRegions])
{
    const auto total = static_cast<std::uint32_t>(stepsPerPage(l) * eccBytesPerStep(l));
    if (total == 0 || l.interleaved || l.vendor != Vendor::None) {
        return 0;
    }
    switch (l.placement) {
    case Placement::Regions:
        for (std::size_t i = 0; i < l.regionCount; i++) {
            regions[i] = l.regions[i];
        }
        return l.regionCount;
    case Placement::Offset:
        regions[0] = {l.eccOffset, total};
        return 1;
    case Placement::SmallPage:
    case Placement::LinuxLarge:
        if (isSmallPageOob(l.oobSize)) {
            const std::uint32_t first = l.oobSize == 8 ? kTinyOobFirst : kSmallPageFirst;
            if (total <= first) {
                regions[0] = {0, total};
                return 1;
            }
            regions[0] = {0, first};
            regions[1] = {kSmallPageSecond, total - first};
            return 2;
        }
        if (l.oobSize == 64 || l.oobSize == 128) {
            regions[0] = {l.oobSize == 64 ? 40u : 80u, total};
            return 1;
        }
        return 0;  // no Linux Hamming layout for this OOB size
    case Placement::End:
        break;
    }
    regions[0] = {total <= l.oobSize ? l.oobSize - total : 0, total};
    return 1;
}

namespace {

// Refuses a layout whose reason is written in why; names the key at fault.
template <typename... Args>
bool refuse(char *why, std::size_t whySize, const char **key, const char *name, const char *format, Args... args)
{
    if constexpr (sizeof...(Args) == 0) {
        std::snprintf(why, whySize, "%s", format);
    } else {
        std::snprintf(why, whySize, format, args...);
    }
    if (key != nullptr) {
        *key = name;
    }
    return false;
}

// The step sizes a scheme takes; false with the reason.
bool checkStep(const Layout &l, char *why, std::size_t whySize, const char **key)
{
    if (l.stepSize < kMinStepSize || l.stepSize > kMaxStepSize) {
        return refuse(why, whySize, key, "step", "a step of %u bytes: steps are %zu to %zu bytes", l.stepSize,
                      kMinStepSize, kMaxStepSize);
    }
    if (l.scheme == Scheme::Hamming && l.stepSize != 256 && l.stepSize != 512) {
        return refuse(why, whySize, key, "step", "a step of %u bytes: steps are 256 or 512 bytes", l.stepSize);
    }
    if (l.scheme == Scheme::Classic && l.stepSize != 512) {
        return refuse(why, whySize, key, "step", "the classic code covers 512-byte steps, not %u", l.stepSize);
    }
    if (l.pageSize == 0 || l.pageSize > kMaxPageSize || l.pageSize % l.stepSize != 0) {
        return refuse(why, whySize, key, "page",
                      "a page of %u bytes is not a whole number of %u-byte steps (at most %zu bytes)", l.pageSize,
                      l.stepSize, kMaxPageSize);
    }
    if (l.oobSize == 0 || l.oobSize > kMaxOobSize) {
        return refuse(why, whySize, key, "oob", "an OOB of %u bytes: it takes 1 to %zu", l.oobSize, kMaxOobSize);
    }
    return true;
}

// The code's own parameters; false with the reason.
bool checkCode(const Layout &l, char *why, std::size_t whySize, const char **key)
{
    if (l.scheme != Scheme::Bch) {
        if (l.m != 0 || l.poly != 0 || l.lsbFirst) {
            return refuse(why, whySize, key, l.m != 0 ? "m" : (l.poly != 0 ? "poly" : "bit_order"),
                          "the field, polynomial and bit order are for BCH");
        }
    } else {
        const unsigned m = bchField(l);
        if (m < bch::kMinM || m > bch::kMaxM) {
            return refuse(why, whySize, key, "m", "a BCH field GF(2^m) takes m from %u to %u, not %u", bch::kMinM,
                          bch::kMaxM, m);
        }
        if (!bch::isPrimitive(m, bchPoly(l))) {
            return refuse(why, whySize, key, "poly", "0x%x is not a primitive polynomial of degree %u", bchPoly(l),
                          m);
        }
        const std::size_t message = l.stepSize + protectedBytesPerStep(l);
        if (message > bch::kMaxMessageBytes) {
            return refuse(why, whySize, key, l.interleaved ? "prepad" : "protected_per_step",
                          "a code covers at most %zu bytes, not %u of data and %zu protected", bch::kMaxMessageBytes,
                          l.stepSize, protectedBytesPerStep(l));
        }
        const unsigned limit = bch::maxStrength(m, message);
        if (limit == 0) {
            return refuse(why, whySize, key, "m", "GF(2^%u) is too small for %u-byte steps%s", m, l.stepSize,
                          message != l.stepSize ? " and their protected bytes" : "");
        }
        if (l.strength < 1 || l.strength > limit) {
            if (message != l.stepSize) {
                return refuse(why, whySize, key, "strength",
                              "BCH over GF(2^%u) takes a strength from 1 to %u bits with %u-byte steps and %zu "
                              "protected bytes (--strength)",
                              m, limit, l.stepSize, message - l.stepSize);
            }
            return refuse(why, whySize, key, "strength",
                          "BCH over GF(2^%u) takes a strength from 1 to %u bits with %u-byte steps (--strength)", m,
                          limit, l.stepSize);
        }
    }
    if (l.scheme != Scheme::Bch && protectedBytesPerStep(l) != 0) {
        return refuse(why, whySize, key, l.interleaved ? "protect_prepad" : "protected_per_step",
                      "protected bytes need a BCH code; the %s code covers its step's data only",
                      schemeName(l.scheme));
    }
    if (l.scheme != Scheme::Hamming && l.smOrder) {
        return refuse(why, whySize, key, "sm_order", "--sm-order is for the Hamming code");
    }
    const std::size_t code = codeBytesPerStep(l);
    if (l.eccBytesPerStep != 0 && (l.eccBytesPerStep < code || l.eccBytesPerStep > kMaxEccBytes)) {
        return refuse(why, whySize, key, "ecc_bytes_per_step",
                      "%u ECC bytes a step: the code takes %zu, and at most %zu are stored", l.eccBytesPerStep, code,
                      kMaxEccBytes);
    }
    if (l.eccXorLength > code) {
        return refuse(why, whySize, key, "ecc_xor", "%u bytes to XOR into a %zu-byte code", l.eccXorLength, code);
    }
    return true;
}

bool overlaps(const Region &a, const Region &b)
{
    return a.offset < b.offset + b.length && b.offset < a.offset + a.length;
}

// An interleaved layout: the steps fit the record, and the marker is in the
// free bytes after them; false with the reason.
bool checkInterleaved(const Layout &l, char *why, std::size_t whySize, const char **key)
{
    if (l.placement == Placement::Offset || l.placement == Placement::Regions) {
        return refuse(why, whySize, key, l.placement == Placement::Offset ? "placement" : "ecc",
                      "an interleaved layout keeps each step's ECC after its data: no ECC ranges or offset");
    }
    if (l.protectedPerStep != 0 || l.protectedCount != 0) {
        return refuse(why, whySize, key, l.protectedPerStep != 0 ? "protected_per_step" : "protected",
                      "an interleaved layout protects its prepad bytes (protect_prepad), not OOB ranges");
    }
    const std::size_t used = stepsPerPage(l) * interleavedStepBytes(l);
    if (used > recordSize(l)) {
        return refuse(why, whySize, key, "oob",
                      "%zu interleaved steps of %zu bytes (data, prepad, ECC, postpad) take %zu bytes; the page and "
                      "OOB hold %zu",
                      stepsPerPage(l), interleavedStepBytes(l), used, recordSize(l));
    }
    for (std::size_t i = 0; i < l.markerCount; i++) {
        if (l.markers[i] >= l.oobSize || l.pageSize + std::size_t{l.markers[i]} < used) {
            return refuse(why, whySize, key, "bad_block_marker",
                          "a marker at raw byte %zu: the steps take raw bytes 0..%zu and the record ends at %zu",
                          l.pageSize + std::size_t{l.markers[i]}, used - 1, recordSize(l));
        }
    }
    return true;
}

// The protected OOB ranges: the bytes the steps need, in the OOB, clear of
// the ECC and of each other; false with the reason.
bool checkProtected(const Layout &l, const Region *ecc, std::size_t eccCount, char *why, std::size_t whySize,
                    const char **key)
{
    if (l.prepad != 0 || l.postpad != 0 || l.protectPrepad) {
        return refuse(why, whySize, key, l.prepad != 0 ? "prepad" : (l.postpad != 0 ? "postpad" : "protect_prepad"),
                      "prepad, postpad and protect_prepad are for interleaved layouts");
    }
    std::uint32_t total = 0;
    for (std::size_t i = 0; i < l.protectedCount; i++) {
        const Region &r = l.protectedRegions[i];
        total += r.length;
        if (std::uint64_t{r.offset} + r.length > l.oobSize) {
            return refuse(why, whySize, key, "protected",
                          "the protected bytes (%u from OOB byte %u) run past the %u-byte OOB", r.length, r.offset,
                          l.oobSize);
        }
        for (std::size_t j = 0; j < eccCount; j++) {
            if (overlaps(r, ecc[j])) {
                return refuse(why, whySize, key, "protected",
                              "the protected bytes at OOB byte %u overlap the ECC at OOB byte %u", r.offset,
                              ecc[j].offset);
            }
        }
        for (std::size_t j = 0; j < i; j++) {
            if (overlaps(r, l.protectedRegions[j])) {
                return refuse(why, whySize, key, "protected", "the protected ranges at OOB bytes %u and %u overlap",
                              l.protectedRegions[j].offset, r.offset);
            }
        }
    }
    const auto need = static_cast<std::uint32_t>(stepsPerPage(l) * l.protectedPerStep);
    if (total != need) {
        return refuse(why, whySize, key, l.protectedCount == 0 ? "protected_per_step" : "protected",
                      "the protected ranges hold %u bytes; %zu steps of %u protected bytes need %u", total,
                      stepsPerPage(l), l.protectedPerStep, need);
    }
    return true;
}

// Where the ECC and the marker sit; false with the reason.
bool checkPlaces(const Layout &l, char *why, std::size_t whySize, const char **key)
{
    if (l.interleaved) {
        return checkInterleaved(l, why, whySize, key);
    }
    if (l.linuxOob && l.scheme == Scheme::Bch && l.placement != Placement::Offset && l.oobSize < kMinBchOob) {
        return refuse(why, whySize, key, "oob", "Linux's BCH takes large pages, an OOB of %u bytes or more, not %u",
                      kMinBchOob, l.oobSize);
    }
    for (std::size_t i = 0; i < l.markerCount; i++) {
        if (l.markers[i] >= l.oobSize) {
            return refuse(why, whySize, key, "bad_block_marker", "a marker at OOB byte %u, past the %u-byte OOB",
                          l.markers[i], l.oobSize);
        }
    }
    Region regions[kMaxRegions];
    const std::size_t n = eccRegions(l, regions);
    const auto need = static_cast<std::uint32_t>(stepsPerPage(l) * eccBytesPerStep(l));
    if (n == 0 && need != 0) {
        return refuse(why, whySize, key, "oob",
                      "Linux's Hamming layouts take an OOB of 8, 16, 64 or 128 bytes, not %u; give --ecc-offset",
                      l.oobSize);
    }
    std::uint32_t total = 0;
    for (std::size_t i = 0; i < n; i++) {
        const Region &r = regions[i];
        total += r.length;
        if (std::uint64_t{r.offset} + r.length > l.oobSize) {
            return refuse(why, whySize, key, "ecc", "the ECC (%u bytes from OOB byte %u) runs past the %u-byte OOB",
                          r.length, r.offset, l.oobSize);
        }
        if (l.markerCount != 0) {
            const std::uint32_t first = l.markers[0];
            const std::uint32_t last = l.markers[l.markerCount - 1];
            for (std::size_t k = 0; k < l.markerCount; k++) {
                if (l.markers[k] >= r.offset && l.markers[k] < r.offset + r.length) {
                    if (l.markerCount == 1) {
                        return refuse(why, whySize, key, "ecc",
                                      "the ECC (OOB bytes %u..%u) covers the bad-block marker at OOB byte %u",
                                      r.offset, r.offset + r.length - 1, first);
                    }
                    return refuse(why, whySize, key, "ecc",
                                  "the ECC (OOB bytes %u..%u) covers the bad-block marker at OOB bytes %u..%u",
                                  r.offset, r.offset + r.length - 1, first, last);
                }
            }
        }
        for (std::size_t j = 0; j < i; j++) {
            const Region &q = regions[j];
            if (overlaps(q, r)) {
                return refuse(why, whySize, key, "ecc", "the ECC ranges at OOB bytes %u and %u overlap", q.offset,
                              r.offset);
            }
        }
    }
    if (l.placement == Placement::Regions && total != need) {
        return refuse(why, whySize, key, "ecc", "the ECC ranges hold %u bytes; %zu steps of %zu bytes need %u", total,
                      stepsPerPage(l), eccBytesPerStep(l), need);
    }
    return checkProtected(l, regions, n, why, whySize, key);
}

// The changes every layout takes: its sizes and its eraseblock. False with
// the reason for an eraseblock out of range.
bool applySizes(const LayoutChanges &changes, Layout *l, char *why, std::size_t whySize, const char **key)
{
    if (changes.pageSize >= 0) {
        l->pageSize = static_cast<std::uint32_t>(changes.pageSize);
    }
    if (changes.oobSize >= 0) {
        l->oobSize = static_cast<std::uint32_t>(changes.oobSize);
    }
    if (changes.pagesPerBlock >= 0) {
        l->pagesPerBlock = static_cast<std::uint32_t>(changes.pagesPerBlock);
    }
    if (changes.markerPages >= 0) {
        l->markerPages = static_cast<MarkerPages>(changes.markerPages);
    }
    if (l->pagesPerBlock < 2 || l->pagesPerBlock > kMaxPagesPerBlock) {
        return refuse(why, whySize, key, "pages_per_block", "%u pages a block: it takes 2 to %zu", l->pagesPerBlock,
                      kMaxPagesPerBlock);
    }
    return true;
}

// makeLayout for the i.MX GPMI layout: only the page, OOB, SoC, strength,
// polynomial and eraseblock change it; the rest follows from them.
bool makeGpmiLayout(const Layout &base, const LayoutChanges &changes, Layout *out, char *why, std::size_t whySize,
                    const char **key)
{
    Layout l = base;
    if (changes.stepSize >= 0 || changes.eccOffset >= 0 || changes.smOrder || changes.scheme >= 0 ||
        changes.m >= 0 || changes.lsbFirst >= 0) {
        return refuse(why, whySize, key, changes.stepSize >= 0 ? "step" : "scheme",
                      "imx-gpmi takes its chunks, code and places from the page and OOB sizes: --step, "
                      "--ecc-offset, --sm-order, --ecc, --m and --bit-order do not apply");
    }
    if (!applySizes(changes, &l, why, whySize, key)) {
        return false;
    }
    if (changes.soc >= 0) {
        l.soc = static_cast<std::uint8_t>(changes.soc);
    }
    if (l.pageSize == 0 || l.pageSize > kMaxPageSize || l.oobSize == 0 || l.oobSize > kMaxOobSize) {
        return refuse(why, whySize, key, l.pageSize == 0 || l.pageSize > kMaxPageSize ? "page" : "oob",
                      "a page of %u bytes and an OOB of %u: pages take 1 to %zu bytes, OOBs 1 to %zu", l.pageSize,
                      l.oobSize, kMaxPageSize, kMaxOobSize);
    }
    // A strength asked for stays; else the driver's for the sizes.
    const unsigned asked = changes.strength >= 0 ? static_cast<unsigned>(changes.strength) : 0u;
    if (changes.strength == 0) {
        return refuse(why, whySize, key, "strength",
                      "a strength of 0 bits: the BCH engine takes even strengths from 2");
    }
    gpmi::Geometry g{};
    if (!gpmi::makeGeometry(l.pageSize, l.oobSize, static_cast<gpmi::Soc>(l.soc), asked, &g, why, whySize)) {
        if (key != nullptr) {
            *key = "strength";
        }
        return false;
    }
    l.stepSize = g.chunk;
    l.m = static_cast<std::uint8_t>(g.gf);
    l.strength = static_cast<std::uint8_t>(g.t);
    // The field changes with the chunk: a polynomial asked for stays, the
    // default follows the field.
    l.poly = changes.poly >= 0 ? static_cast<std::uint32_t>(changes.poly)
                               : (base.m == g.gf ? base.poly : 0u);
    if (l.poly == 0) {
        l.poly = g.gf == gpmi::kSmallField ? gpmi::kSmallFieldPoly : gpmi::kLargeFieldPoly;
    }
    if (!bch::isPrimitive(g.gf, l.poly)) {
        return refuse(why, whySize, key, "poly", "0x%x is not a primitive polynomial of degree %u", l.poly, g.gf);
    }
    // The i.MX23 keeps no marker byte in place of the data.
    l.markerCount = g.swap ? 1 : 0;
    *out = l;
    return true;
}

// makeLayout for Allwinner's layouts: the sizes, step, strength, SoC,
// randomizer and eraseblock change them (boot0: the usable part and the
// fill's seed too); the code and its places follow.
bool makeSunxiLayout(const Layout &base, const LayoutChanges &changes, Layout *out, char *why, std::size_t whySize,
                     const char **key)
{
    const bool boot0 = base.vendor == Vendor::SunxiBoot0;
    if (changes.eccOffset >= 0 || changes.smOrder || changes.scheme >= 0 || changes.m >= 0 || changes.lsbFirst >= 0 ||
        changes.soc >= 0) {
        return refuse(why, whySize, key, changes.soc >= 0 ? "soc" : "scheme",
                      "%s takes its code and places from the controller: --ecc-offset, --sm-order, --ecc, --m, "
                      "--bit-order and the imx-gpmi SoCs do not apply",
                      base.name);
    }
    if (!boot0 && (changes.usablePage >= 0 || changes.fillSeedGiven)) {
        return refuse(why, whySize, key, "usable_page", "--usable-page and --seed are for sunxi-boot0");
    }
    Layout l = base;
    if (boot0) {
        l.pageSize = base.rawPage;
    }
    if (!applySizes(changes, &l, why, whySize, key)) {
        return false;
    }
    if (l.pageSize == 0 || l.pageSize > kMaxPageSize || l.oobSize < 2 || l.oobSize > kMaxOobSize) {
        return refuse(why, whySize, key, l.pageSize == 0 || l.pageSize > kMaxPageSize ? "page" : "oob",
                      "a page of %u bytes and an OOB of %u: pages take 1 to %zu bytes, OOBs 2 to %zu", l.pageSize,
                      l.oobSize, kMaxPageSize, kMaxOobSize);
    }
    if (boot0) {
        l.rawPage = l.pageSize;
        l.pageSize = changes.usablePage >= 0 ? static_cast<std::uint32_t>(changes.usablePage)
                     : changes.pageSize >= 0 ? sunxi::defaultUsablePage(l.rawPage)
                                             : base.pageSize;
        if (l.pageSize == 0 || l.pageSize > kMaxPageSize) {
            return refuse(why, whySize, key, "usable_page", "a usable page of %u bytes: it takes 1 to %zu",
                          l.pageSize, kMaxPageSize);
        }
        l.markers[0] = static_cast<std::uint16_t>(l.rawPage - (l.pageSize < l.rawPage ? l.pageSize : l.rawPage));
        l.markers[1] = static_cast<std::uint16_t>(l.markers[0] + 1);
        if (changes.fillSeedGiven) {
            l.fillSeed = changes.fillSeed;
        }
    }
    if (changes.stepSize >= 0) {
        l.stepSize = static_cast<std::uint32_t>(changes.stepSize);
    }
    if (changes.strength >= 0) {
        l.strength = static_cast<std::uint8_t>(changes.strength > 255 ? 255 : changes.strength);
    }
    if (changes.sunxiSoc >= 0) {
        l.soc = static_cast<std::uint8_t>(changes.sunxiSoc);
    }
    if (changes.randomizer >= 0) {
        l.randomizer = changes.randomizer != 0;
    }
    if (changes.poly >= 0) {
        l.poly = static_cast<std::uint32_t>(changes.poly);
        if (!bch::isPrimitive(sunxi::kField, l.poly)) {
            return refuse(why, whySize, key, "poly", "0x%x is not a primitive polynomial of degree 14", l.poly);
        }
    }
    if (!sunxi::checkLayout(l, why, whySize)) {
        if (key != nullptr) {
            *key = "strength";
        }
        return false;
    }
    l.eccBytesPerStep = sunxi::eccBytes(l.strength);
    *out = l;
    return true;
}

}  // namespace

bool makeLayout(const Layout &base, const LayoutChanges &changes, Layout *out, char *why, std::size_t whySize,
                const char **key)
{
    if (base.vendor == Vendor::Sunxi || base.vendor == Vendor::SunxiBoot0) {
        return makeSunxiLayout(base, changes, out, why, whySize, key);
    }
    if (changes.sunxiSoc >= 0 || changes.randomizer >= 0 || changes.usablePage >= 0 || changes.fillSeedGiven) {
        return refuse(why, whySize, key, "soc",
                      "--soc h6|a10, --no-randomizer, --usable-page and --seed are for the sunxi layouts");
    }
    if (base.vendor == Vendor::Gpmi) {
        return makeGpmiLayout(base, changes, out, why, whySize, key);
    }
    if (changes.soc >= 0) {
        return refuse(why, whySize, key, "soc", "--soc is for the imx-gpmi layout");
    }
    Layout l = base;
    if (!applySizes(changes, &l, why, whySize, key)) {
        return false;
    }
    if (changes.stepSize >= 0) {
        l.stepSize = static_cast<std::uint32_t>(changes.stepSize);
    }
    if (changes.eccOffset >= 0) {
        l.placement = Placement::Offset;
        l.eccOffset = static_cast<std::uint32_t>(changes.eccOffset);
    }
    l.smOrder = l.smOrder || changes.smOrder;
    if (changes.scheme >= 0 && static_cast<Scheme>(changes.scheme) != l.scheme) {
        // Another code takes the fills and the place Linux gives it.
        l.scheme = static_cast<Scheme>(changes.scheme);
        l.strength = l.scheme == Scheme::Bch ? 0 : (l.scheme == Scheme::None ? 0 : 1);
        l.freeFill = l.padFill = l.scheme == Scheme::Classic ? 0x00 : 0xFF;
        l.erasedMask = l.scheme == Scheme::Bch;
        l.eccBytesPerStep = 0;
        l.eccXorLength = 0;
        if (l.placement != Placement::Offset && l.placement != Placement::Regions) {
            l.linuxOob = l.scheme != Scheme::Classic;
            l.placement = l.scheme == Scheme::Hamming && l.placement != Placement::SmallPage ? Placement::LinuxLarge
                                                                                           : Placement::End;
        }
    }
    if (changes.strength >= 0) {
        if (l.scheme != Scheme::Bch) {
            return refuse(why, whySize, key, "strength", "--strength is for BCH; the %s code corrects one bit",
                          schemeName(l.scheme));
        }
        l.strength = static_cast<std::uint8_t>(changes.strength > 255 ? 255 : changes.strength);
    }
    if (changes.m >= 0) {
        l.m = static_cast<std::uint8_t>(changes.m);
    }
    if (changes.poly >= 0) {
        l.poly = static_cast<std::uint32_t>(changes.poly);
    }
    if (changes.lsbFirst >= 0) {
        l.lsbFirst = changes.lsbFirst != 0;
    }
    if (l.scheme == Scheme::Bch && l.strength == 0) {
        return refuse(why, whySize, key, "strength", "BCH needs a strength (--strength)");
    }
    if (!checkStep(l, why, whySize, key) || !checkCode(l, why, whySize, key)) {
        return false;
    }
    // Linux's codes keep Linux's marker: byte 5 of a small page, bytes 0 and
    // 1 of a large one.
    if (l.linuxOob) {
        l.markerCount = isSmallPageOob(l.oobSize) ? 1 : kLargePageMarkerBytes;
        l.markers[0] = isSmallPageOob(l.oobSize) ? kSmallPageMarker : 0;
        l.markers[1] = 1;
    }
    if (!checkPlaces(l, why, whySize, key)) {
        return false;
    }
    *out = l;
    return true;
}

namespace {

// Appends to a JSON text being written; keeps count of what it needed.
struct Writer {
    char *buf;
    std::size_t size;
    std::size_t len = 0;

    template <typename... Args>
    void add(const char *format, Args... args)
    {
        const std::size_t room = len < size ? size - len : 0;
        int n = 0;
        if constexpr (sizeof...(Args) == 0) {
            n = std::snprintf(room != 0 ? buf + len : nullptr, room, "%s", format);
        } else {
            n = std::snprintf(room != 0 ? buf + len : nullptr, room, format, args...);
        }
        len += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
};

void addRegions(Writer *w, const Region *regions, std::size_t n)
{
    for (std::size_t i = 0; i < n; i++) {
        w->add("%s{\"offset\":%u,\"length\":%u}", i == 0 ? "" : ",", regions[i].offset, regions[i].length);
    }
}

}  // namespace

std::size_t describeJson(const Layout &l, char *buf, std::size_t size)
{
    Writer w{buf, size};
    w.add("{\"name\":\"");
    for (const char *p = l.name; *p != '\0'; p++) {
        // Names come from presets and from JSON strings read back; keep them JSON.
        if (*p == '"' || *p == '\\') {
            w.add("\\%c", *p);
        } else if (static_cast<unsigned char>(*p) < 0x20) {
            w.add("\\u%04x", static_cast<unsigned>(*p));
        } else {
            w.add("%c", *p);
        }
    }
    if (l.vendor == Vendor::Gpmi) {
        // Only the keys that make or follow from its geometry.
        w.add("\",\"vendor\":\"imx-gpmi\",\"soc\":\"%s\",\"page\":%u,\"oob\":%u,\"step\":%u,\"scheme\":\"bch\","
              "\"strength\":%u,\"m\":%u,\"poly\":\"0x%x\",\"bit_order\":\"lsb-first\",\"erased_mask\":false,"
              "\"bad_block_marker\":[%s],\"pages_per_block\":%u,\"bad_block_pages\":\"%s\"}",
              gpmi::socName(static_cast<gpmi::Soc>(l.soc)), l.pageSize, l.oobSize, l.stepSize, l.strength, bchField(l),
              bchPoly(l), l.markerCount != 0 ? "0" : "", l.pagesPerBlock, markerPagesName(l.markerPages));
        return size == 0 ? 0 : (w.len < size ? w.len : size - 1);
    }
    if (l.vendor == Vendor::Sunxi || l.vendor == Vendor::SunxiBoot0) {
        // The keys that make its geometry; the code and places follow.
        const bool boot0 = l.vendor == Vendor::SunxiBoot0;
        w.add("\",\"vendor\":\"%s\",\"soc\":\"%s\",\"page\":%u,\"oob\":%u,", boot0 ? "sunxi-boot0" : "sunxi",
              sunxi::socName(static_cast<sunxi::Soc>(l.soc)), boot0 ? l.rawPage : l.pageSize, l.oobSize);
        if (boot0) {
            w.add("\"usable_page\":%u,\"fill_seed\":%llu,", l.pageSize, static_cast<unsigned long long>(l.fillSeed));
        }
        w.add("\"step\":%u,\"scheme\":\"bch\",\"strength\":%u,\"m\":%u,\"poly\":\"0x%x\",\"bit_order\":\"lsb-first\","
              "\"erased_mask\":false,\"randomizer\":%s,\"ecc_bytes_per_step\":%u,\"bad_block_marker\":[%u,%u],"
              "\"pages_per_block\":%u,\"bad_block_pages\":\"%s\"}",
              l.stepSize, l.strength, bchField(l), bchPoly(l), l.randomizer ? "true" : "false", l.eccBytesPerStep,
              l.markers[0], l.markers[1], l.pagesPerBlock, markerPagesName(l.markerPages));
        return size == 0 ? 0 : (w.len < size ? w.len : size - 1);
    }
    w.add("\",\"page\":%u,\"oob\":%u,\"step\":%u,\"scheme\":\"%s\",\"strength\":%u,\"sm_order\":%s", l.pageSize,
          l.oobSize, l.stepSize, schemeName(l.scheme), l.strength, l.smOrder ? "true" : "false");
    if (l.scheme == Scheme::Bch) {
        w.add(",\"m\":%u,\"poly\":\"0x%x\",\"bit_order\":\"%s\",\"erased_mask\":%s", bchField(l), bchPoly(l),
              l.lsbFirst ? "lsb-first" : "msb-first", l.erasedMask ? "true" : "false");
    }
    if (l.eccXorLength != 0) {
        w.add(",\"ecc_xor\":\"");
        for (std::size_t i = 0; i < l.eccXorLength; i++) {
            w.add("%02x", l.eccXor[i]);
        }
        w.add("\"");
    }
    w.add(",\"ecc_bytes_per_step\":%zu", eccBytesPerStep(l));
    if (l.interleaved) {
        w.add(",\"placement\":\"interleaved\",\"prepad\":%u,\"postpad\":%u,\"protect_prepad\":%s", l.prepad,
              l.postpad, l.protectPrepad ? "true" : "false");
    } else {
        w.add(",\"ecc\":[");
        Region regions[kMaxRegions];
        addRegions(&w, regions, eccRegions(l, regions));
        w.add("]");
        if (l.protectedPerStep != 0) {
            w.add(",\"protected\":[");
            addRegions(&w, l.protectedRegions, l.protectedCount);
            w.add("],\"protected_per_step\":%u", l.protectedPerStep);
        }
        w.add(",\"placement\":\"oob\"");
    }
    w.add(",\"bad_block_marker\":[");
    for (std::size_t i = 0; i < l.markerCount; i++) {
        w.add("%s%u", i == 0 ? "" : ",", l.markers[i]);
    }
    w.add("],\"free_fill\":%u,\"pad_fill\":%u,\"pages_per_block\":%u,\"bad_block_pages\":\"%s\"}", l.freeFill,
          l.padFill, l.pagesPerBlock, markerPagesName(l.markerPages));
    if (size == 0) {
        return 0;
    }
    return w.len < size ? w.len : size - 1;
}

}  // namespace nand
