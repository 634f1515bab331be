// The layout presets and the rules that place the ECC; see layout.h.
#include "layout.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace nand {

namespace {

// clang-format off
const Layout kPresets[] = {
    // name                 page  oob  step  scheme           t  sm     placement              off  free  pad   marker
    {"classic",             2048, 64,  512,  Scheme::Classic, 1, false, Placement::End,        0,   0x00, 0x00, 0,
     "conv's image: 32-bit sector words at OOB 48..63, the rest of the OOB zero"},
    {"linux-hamming",       2048, 64,  256,  Scheme::Hamming, 1, false, Placement::LinuxLarge, 0,   0xFF, 0xFF, 0,
     "Linux software Hamming, 256-byte steps, ECC at OOB 40 (80 for a 128-byte OOB)"},
    {"linux-hamming-512",   2048, 64,  512,  Scheme::Hamming, 1, false, Placement::LinuxLarge, 0,   0xFF, 0xFF, 0,
     "Linux software Hamming, 512-byte steps, ECC at OOB 40 (80 for a 128-byte OOB)"},
    {"linux-hamming-sp",    512,  16,  256,  Scheme::Hamming, 1, false, Placement::SmallPage,  0,   0xFF, 0xFF, 5,
     "Linux software Hamming on small pages: ECC at OOB 0..3 and 6..7, marker at 5"},
    {"linux-bch4",          2048, 64,  512,  Scheme::Bch,     4, false, Placement::End,        0,   0xFF, 0xFF, 0,
     "Linux software BCH, 4 bits per 512 bytes, 7 bytes a step at the end of the OOB"},
    {"linux-bch8",          2048, 64,  512,  Scheme::Bch,     8, false, Placement::End,        0,   0xFF, 0xFF, 0,
     "Linux software BCH, 8 bits per 512 bytes, 13 bytes a step at the end of the OOB"},
    {"linux-bch8-4k",       4096, 224, 512,  Scheme::Bch,     8, false, Placement::End,        0,   0xFF, 0xFF, 0,
     "Linux software BCH-8 on 4096+224 pages, ECC at the end of the OOB"},
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
    default:
        return "bch";
    }
}

bool schemeByName(const char *text, Scheme *s)
{
    for (const Scheme each : {Scheme::Classic, Scheme::Hamming, Scheme::Bch}) {
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

std::size_t eccBytesPerStep(const Layout &l)
{
    switch (l.scheme) {
    case Scheme::Classic:
        return 4;
    case Scheme::Hamming:
        return 3;
    default:
        return (13u * l.strength + 7) / 8;
    }
}

std::size_t recordSize(const Layout &l)
{
    return std::size_t{l.pageSize} + l.oobSize;
}

unsigned strength(const Layout &l)
{
    return l.strength;
}

std::size_t eccRegions(const Layout &l, Region (&regions)[kMaxRegions])
{
    const auto total = static_cast<std::uint32_t>(stepsPerPage(l) * eccBytesPerStep(l));
    switch (l.placement) {
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

bool makeLayout(const Layout &preset, const LayoutChanges &changes, Layout *out, char *why, std::size_t whySize)
{
    Layout l = preset;
    if (changes.pageSize >= 0) {
        l.pageSize = static_cast<std::uint32_t>(changes.pageSize);
    }
    if (changes.oobSize >= 0) {
        l.oobSize = static_cast<std::uint32_t>(changes.oobSize);
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
        l.strength = l.scheme == Scheme::Bch ? 0 : 1;
        l.freeFill = l.padFill = l.scheme == Scheme::Classic ? 0x00 : 0xFF;
        if (l.placement != Placement::Offset) {
            l.placement = l.scheme == Scheme::Hamming && l.placement != Placement::SmallPage ? Placement::LinuxLarge
                                                                                           : Placement::End;
        }
    }
    if (changes.strength >= 0) {
        if (l.scheme != Scheme::Bch) {
            std::snprintf(why, whySize, "--strength is for BCH; the %s code corrects one bit", schemeName(l.scheme));
            return false;
        }
        l.strength = static_cast<std::uint8_t>(changes.strength > 255 ? 255 : changes.strength);
    }
    if (l.scheme == Scheme::Bch && (l.strength < 1 || l.strength > 16)) {
        std::snprintf(why, whySize, "BCH takes a strength from 1 to 16 bits (--strength)");
        return false;
    }
    if (l.scheme == Scheme::Bch && l.stepSize != 512) {
        std::snprintf(why, whySize, "BCH covers 512-byte steps, not %u", l.stepSize);
        return false;
    }

    if (l.stepSize != 256 && l.stepSize != 512) {
        std::snprintf(why, whySize, "a step of %u bytes: steps are 256 or 512 bytes", l.stepSize);
        return false;
    }
    if (l.scheme == Scheme::Classic && l.stepSize != 512) {
        std::snprintf(why, whySize, "the classic code covers 512-byte steps, not %u", l.stepSize);
        return false;
    }
    if (l.scheme != Scheme::Hamming && l.smOrder) {
        std::snprintf(why, whySize, "--sm-order is for the Hamming code");
        return false;
    }
    if (l.pageSize == 0 || l.pageSize > kMaxPageSize || l.pageSize % l.stepSize != 0) {
        std::snprintf(why, whySize, "a page of %u bytes is not a whole number of %u-byte steps (at most %zu bytes)",
                      l.pageSize, l.stepSize, kMaxPageSize);
        return false;
    }
    if (l.oobSize == 0 || l.oobSize > kMaxOobSize) {
        std::snprintf(why, whySize, "an OOB of %u bytes: it takes 1 to %zu", l.oobSize, kMaxOobSize);
        return false;
    }
    // Linux's codes keep Linux's marker: byte 5 of a small page, bytes 0 and
    // 1 of a large one.
    std::uint32_t markerBytes = 1;
    if (l.scheme != Scheme::Classic) {
        l.marker = isSmallPageOob(l.oobSize) ? kSmallPageMarker : 0;
        markerBytes = isSmallPageOob(l.oobSize) ? 1 : kLargePageMarkerBytes;
    }
    if (l.scheme == Scheme::Bch && l.placement != Placement::Offset && l.oobSize < kMinBchOob) {
        std::snprintf(why, whySize, "Linux's BCH takes large pages, an OOB of %u bytes or more, not %u", kMinBchOob,
                      l.oobSize);
        return false;
    }
    Region regions[kMaxRegions];
    const std::size_t n = eccRegions(l, regions);
    if (n == 0) {
        std::snprintf(why, whySize,
                      "Linux's Hamming layouts take an OOB of 8, 16, 64 or 128 bytes, not %u; give --ecc-offset",
                      l.oobSize);
        return false;
    }
    for (std::size_t i = 0; i < n; i++) {
        const Region &r = regions[i];
        if (std::uint64_t{r.offset} + r.length > l.oobSize) {
            std::snprintf(why, whySize, "the ECC (%u bytes from OOB byte %u) runs past the %u-byte OOB", r.length,
                          r.offset, l.oobSize);
            return false;
        }
        const auto marker = static_cast<std::uint32_t>(l.marker);
        if (l.marker >= 0 && marker < r.offset + r.length && r.offset < marker + markerBytes) {
            if (markerBytes == 1) {
                std::snprintf(why, whySize, "the ECC (OOB bytes %u..%u) covers the bad-block marker at OOB byte %d",
                              r.offset, r.offset + r.length - 1, l.marker);
            } else {
                std::snprintf(why, whySize, "the ECC (OOB bytes %u..%u) covers the bad-block marker at OOB bytes %u..%u",
                              r.offset, r.offset + r.length - 1, marker, marker + markerBytes - 1);
            }
            return false;
        }
    }
    *out = l;
    return true;
}

std::size_t describeJson(const Layout &l, char *buf, std::size_t size)
{
    Region regions[kMaxRegions];
    const std::size_t n = eccRegions(l, regions);
    int len = std::snprintf(buf, size,
                            "{\"name\":\"%s\",\"page\":%u,\"oob\":%u,\"step\":%u,\"scheme\":\"%s\",\"strength\":%u,"
                            "\"sm_order\":%s,\"ecc_bytes_per_step\":%zu,\"ecc\":[",
                            l.name, l.pageSize, l.oobSize, l.stepSize, schemeName(l.scheme), l.strength,
                            l.smOrder ? "true" : "false", eccBytesPerStep(l));
    for (std::size_t i = 0; i < n && len >= 0 && static_cast<std::size_t>(len) < size; i++) {
        len += std::snprintf(buf + len, size - static_cast<std::size_t>(len), "%s{\"offset\":%u,\"length\":%u}",
                             i == 0 ? "" : ",", regions[i].offset, regions[i].length);
    }
    if (len >= 0 && static_cast<std::size_t>(len) < size) {
        len += std::snprintf(buf + len, size - static_cast<std::size_t>(len),
                             "],\"free_fill\":%u,\"bad_block_marker\":%d}", l.freeFill, l.marker);
    }
    return len < 0 ? 0 : (static_cast<std::size_t>(len) < size ? static_cast<std::size_t>(len) : size - 1);
}

}  // namespace nand
