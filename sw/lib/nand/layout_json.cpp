// Reading a layout file: one JSON object whose keys are the fields of a
// Layout (layout.h), as describeJson writes them.
#include "layout.h"

#include "gpmi.h"
#include "sunxi.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace nand {

namespace {

constexpr std::size_t kMaxString = 512;
constexpr const char kGpmiName[] = "imx-gpmi";
constexpr const char kSunxiName[] = "sunxi";
constexpr const char kSunxiBoot0Name[] = "sunxi-boot0";  // ecc_xor: two hex digits a byte, and room

// A cursor over the JSON text, with the first error it met.
struct Parser {
    const char *p;
    const char *end;
    const char *begin;
    char *why;
    std::size_t whySize;
    bool failed = false;

    template <typename... Args>
    bool fail(const char *format, Args... args)
    {
        if (!failed) {
            if constexpr (sizeof...(Args) == 0) {
        std::snprintf(why, whySize, "%s", format);
    } else {
        std::snprintf(why, whySize, format, args...);
    }
            failed = true;
        }
        return false;
    }

    void space()
    {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) {
            p++;
        }
    }

    // Takes c after any space; false (no error) if it is not next.
    bool take(char c)
    {
        space();
        if (p < end && *p == c) {
            p++;
            return true;
        }
        return false;
    }

    bool expect(char c)
    {
        return take(c) || fail("not a layout: '%c' expected at byte %zu", c, static_cast<std::size_t>(p - begin));
    }

    char peek()
    {
        space();
        return p < end ? *p : '\0';
    }

    // A string's text, escapes resolved (\uXXXX below 0x80 only).
    bool string(char *out, std::size_t size)
    {
        if (!expect('"')) {
            return false;
        }
        std::size_t n = 0;
        while (p < end && *p != '"') {
            char c = *p++;
            if (static_cast<unsigned char>(c) < 0x20) {
                return fail("not a layout: a control character in a string at byte %zu",
                            static_cast<std::size_t>(p - begin));
            }
            if (c == '\\') {
                if (p >= end) {
                    break;
                }
                const char e = *p++;
                const char *simple = std::strchr("\"\\/bfnrt", e);
                if (e != '\0' && simple != nullptr) {
                    c = "\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
                } else if (e == 'u' && end - p >= 4) {
                    unsigned v = 0;
                    for (int i = 0; i < 4; i++, p++) {
                        const int d = std::isxdigit(static_cast<unsigned char>(*p)) != 0
                                          ? (std::isdigit(static_cast<unsigned char>(*p)) != 0
                                                 ? *p - '0'
                                                 : std::tolower(static_cast<unsigned char>(*p)) - 'a' + 10)
                                          : -1;
                        if (d < 0) {
                            return fail("not a layout: a bad \\u escape at byte %zu",
                                        static_cast<std::size_t>(p - begin));
                        }
                        v = v * 16 + static_cast<unsigned>(d);
                    }
                    if (v == 0 || v >= 0x80) {
                        return fail("not a layout: \\u%04x: names and values are plain ASCII", v);
                    }
                    c = static_cast<char>(v);
                } else {
                    return fail("not a layout: a bad escape at byte %zu", static_cast<std::size_t>(p - begin));
                }
            }
            if (n + 1 >= size) {
                return fail("not a layout: a string longer than %zu bytes", size - 1);
            }
            out[n++] = c;
        }
        if (p >= end) {
            return fail("not a layout: a string runs to the end of the file");
        }
        p++;
        out[n] = '\0';
        return true;
    }

    // Skips a value of any kind, for the message of a key that cannot be used.
    bool atValueStart()
    {
        const char c = peek();
        return c == '"' || c == '[' || c == '{' || c == '-' || c == 't' || c == 'f' || c == 'n' ||
               (c >= '0' && c <= '9');
    }
};

// A number as a layout file and the command line give it: decimal, 0x hex,
// and for sizes a k suffix (1024); false if the text is none of these.
bool numberText(const char *text, bool sizes, unsigned long long *out)
{
    const char *p = text;
    unsigned long long v = 0;
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0' && p[1] != '\0' && std::isdigit(static_cast<unsigned char>(p[1])) != 0) {
        return false;  // no octal, no leading zeros
    }
    const char *digits = p;
    for (; *p != '\0'; p++) {
        const int c = std::tolower(static_cast<unsigned char>(*p));
        int d = -1;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else {
            break;
        }
        if (v > (~0ull - static_cast<unsigned>(d)) / static_cast<unsigned>(base)) {
            return false;
        }
        v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
    if (p == digits) {
        return false;
    }
    if (sizes && base == 10 && (*p == 'k' || *p == 'K') && p[1] == '\0') {
        if (v > ~0ull / 1024) {
            return false;
        }
        v *= 1024;
        p++;
    }
    if (*p != '\0') {
        return false;
    }
    *out = v;
    return true;
}

// The keys of a layout file, in the order describeJson writes them.
enum class Key {
    Name,
    Page,
    Oob,
    Step,
    Scheme,
    Strength,
    SmOrder,
    M,
    Poly,
    BitOrder,
    ErasedMask,
    EccXor,
    EccBytesPerStep,
    Ecc,
    Placement,
    BadBlockMarker,
    FreeFill,
    PadFill,
    Protected,
    ProtectedPerStep,
    Prepad,
    Postpad,
    ProtectPrepad,
    PagesPerBlock,
    BadBlockPages,
    Vendor,
    Soc,
    UsablePage,
    FillSeed,
    Randomizer,
    Count,
};

constexpr const char *kKeyNames[] = {
    "name",      "page",  "oob",        "step",           "scheme",    "strength",  "sm_order", "m",
    "poly",      "bit_order", "erased_mask", "ecc_xor",    "ecc_bytes_per_step", "ecc", "placement",
    "bad_block_marker", "free_fill", "pad_fill", "protected", "protected_per_step", "prepad", "postpad",
    "protect_prepad", "pages_per_block", "bad_block_pages", "vendor", "soc", "usable_page", "fill_seed",
    "randomizer",
};
static_assert(sizeof kKeyNames / sizeof kKeyNames[0] == static_cast<std::size_t>(Key::Count));

// Reads a layout file's object into l.
struct Reader {
    Parser in;
    Layout *l;
    const char *key = nullptr;
    bool seen[static_cast<std::size_t>(Key::Count)] = {};
    int sunxiSoc = -1;       // a sunxi::Soc named by "soc"
    long usablePage = -1;    // "usable_page"

    template <typename... Args>
    bool fail(const char *format, Args... args)
    {
        if (in.failed) {
            return false;
        }
        char reason[200];
        if constexpr (sizeof...(Args) == 0) {
            std::snprintf(reason, sizeof reason, "%s", format);
        } else {
            std::snprintf(reason, sizeof reason, format, args...);
        }
        return in.fail("key \"%s\": %s", key, reason);
    }

    // A number: a JSON integer, or a string of decimal, 0x hex or (for
    // sizes) a k suffix; within min..max.
    bool number(unsigned long long min, unsigned long long max, bool sizes, unsigned long long *out)
    {
        char text[64] = {};
        if (in.peek() == '"') {
            if (!in.string(text, sizeof text)) {
                return false;
            }
        } else {
            std::size_t n = 0;
            in.space();
            while (in.p < in.end && n + 1 < sizeof text &&
                   (std::isalnum(static_cast<unsigned char>(*in.p)) != 0 || *in.p == '-' || *in.p == '.' ||
                    *in.p == '+')) {
                text[n++] = *in.p++;
            }
            text[n] = '\0';
            if (n == 0) {
                return fail("a number expected");
            }
        }
        unsigned long long v = 0;
        if (!numberText(text, sizes, &v)) {
            return fail("'%.20s' is not a whole number%s", text, sizes ? " (decimal, 0x hex, or k for 1024)" : "");
        }
        if (v < min || v > max) {
            return fail("takes %llu to %llu, not %llu", min, max, v);
        }
        *out = v;
        return true;
    }

    bool boolean(bool *out)
    {
        in.space();
        const std::size_t left = static_cast<std::size_t>(in.end - in.p);
        if (left >= 4 && std::strncmp(in.p, "true", 4) == 0) {
            in.p += 4;
            *out = true;
            return true;
        }
        if (left >= 5 && std::strncmp(in.p, "false", 5) == 0) {
            in.p += 5;
            *out = false;
            return true;
        }
        return fail("true or false expected");
    }

    bool text(char *out, std::size_t size)
    {
        if (in.peek() != '"') {
            return fail("a string expected");
        }
        return in.string(out, size);
    }

    // [{"offset":N,"length":N}, ...]
    bool regions(Region *out, std::size_t max, std::uint8_t *count)
    {
        if (in.peek() != '[') {
            return fail("a list of {\"offset\",\"length\"} expected");
        }
        in.expect('[');
        std::size_t n = 0;
        if (in.take(']')) {
            *count = 0;
            return true;
        }
        do {
            if (n == max) {
                return fail("at most %zu ranges", max);
            }
            if (in.peek() != '{') {
                return fail("a list of {\"offset\",\"length\"} expected");
            }
            in.expect('{');
            bool has[2] = {};
            unsigned long long v[2] = {};
            do {
                char name[32] = {};
                if (in.peek() != '"' || !in.string(name, sizeof name) || !in.expect(':')) {
                    return in.failed ? false : fail("a list of {\"offset\",\"length\"} expected");
                }
                const int which = std::strcmp(name, "offset") == 0 ? 0 : (std::strcmp(name, "length") == 0 ? 1 : -1);
                if (which < 0 || has[which]) {
                    return fail("a range takes \"offset\" and \"length\" once each, not \"%s\"", name);
                }
                has[which] = true;
                if (!number(which == 0 ? 0 : 1, kMaxOobSize, true, &v[which])) {
                    return false;
                }
            } while (in.take(','));
            if (!in.expect('}')) {
                return false;
            }
            if (!has[0] || !has[1]) {
                return fail("a range needs \"offset\" and \"length\"");
            }
            out[n++] = {static_cast<std::uint32_t>(v[0]), static_cast<std::uint32_t>(v[1])};
        } while (in.take(','));
        *count = static_cast<std::uint8_t>(n);
        return in.expect(']');
    }

    bool markers()
    {
        unsigned long long v = 0;
        if (in.peek() != '[') {
            // The single number earlier listings printed; -1 for none.
            in.space();
            if (in.end - in.p >= 2 && in.p[0] == '-' && in.p[1] == '1') {
                in.p += 2;
                l->markerCount = 0;
                return true;
            }
            if (!number(0, kMaxOobSize - 1, false, &v)) {
                return false;
            }
            l->markerCount = 1;
            l->markers[0] = static_cast<std::uint16_t>(v);
            return true;
        }
        in.expect('[');
        l->markerCount = 0;
        if (in.take(']')) {
            return true;
        }
        do {
            if (l->markerCount == kMaxMarkers) {
                return fail("at most %zu marker bytes", kMaxMarkers);
            }
            if (!number(0, kMaxOobSize - 1, false, &v)) {
                return false;
            }
            l->markers[l->markerCount++] = static_cast<std::uint16_t>(v);
        } while (in.take(','));
        return in.expect(']');
    }

    bool hexBytes()
    {
        char s[kMaxString] = {};
        if (!text(s, sizeof s)) {
            return false;
        }
        const char *p = s;
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
            p += 2;
        }
        const std::size_t n = std::strlen(p);
        if (n == 0 || n % 2 != 0 || n / 2 > kMaxEccBytes) {
            return fail("a hex string of whole bytes expected (at most %zu)", kMaxEccBytes);
        }
        for (std::size_t i = 0; i < n; i += 2) {
            unsigned long long b = 0;
            const char pair[5] = {'0', 'x', p[i], p[i + 1], '\0'};
            if (!numberText(pair, false, &b)) {
                return fail("'%.40s' is not hex", s);
            }
            l->eccXor[i / 2] = static_cast<std::uint8_t>(b);
        }
        l->eccXorLength = static_cast<std::uint8_t>(n / 2);
        return true;
    }

    bool value(Key k)
    {
        unsigned long long v = 0;
        char s[64] = {};
        switch (k) {
        case Key::Name:
            if (!text(s, sizeof s)) {
                return false;
            }
            if (std::strlen(s) >= kMaxNameSize) {
                return fail("a name of at most %zu characters", kMaxNameSize - 1);
            }
            std::memset(l->name, 0, sizeof l->name);
            std::memcpy(l->name, s, std::strlen(s));
            return true;
        case Key::Page:
            return number(kMinStepSize, kMaxPageSize, true, &v) && ((l->pageSize = static_cast<std::uint32_t>(v)), true);
        case Key::Oob:
            return number(1, kMaxOobSize, true, &v) && ((l->oobSize = static_cast<std::uint32_t>(v)), true);
        case Key::Step:
            return number(kMinStepSize, kMaxStepSize, true, &v) && ((l->stepSize = static_cast<std::uint32_t>(v)), true);
        case Key::Scheme:
            if (!text(s, sizeof s)) {
                return false;
            }
            if (!schemeByName(s, &l->scheme)) {
                return fail("classic, hamming, bch or none, not '%.20s'", s);
            }
            return true;
        case Key::Strength:
            return number(0, 255, false, &v) && ((l->strength = static_cast<std::uint8_t>(v)), true);
        case Key::SmOrder:
            return boolean(&l->smOrder);
        case Key::M:
            return number(5, 15, false, &v) && ((l->m = static_cast<std::uint8_t>(v)), true);
        case Key::Poly:
            return number(1, 0xFFFF, false, &v) && ((l->poly = static_cast<std::uint32_t>(v)), true);
        case Key::BitOrder:
            if (!text(s, sizeof s)) {
                return false;
            }
            if (std::strcmp(s, "msb-first") != 0 && std::strcmp(s, "lsb-first") != 0) {
                return fail("msb-first or lsb-first, not '%.20s'", s);
            }
            l->lsbFirst = s[0] == 'l';
            return true;
        case Key::ErasedMask:
            return boolean(&l->erasedMask);
        case Key::EccXor:
            return hexBytes();
        case Key::EccBytesPerStep:
            return number(0, kMaxEccBytes, false, &v) && ((l->eccBytesPerStep = static_cast<std::uint32_t>(v)), true);
        case Key::Ecc:
            if (!regions(l->regions, kMaxRegions, &l->regionCount)) {
                return false;
            }
            l->placement = Placement::Regions;
            return true;
        case Key::Placement:
            if (!text(s, sizeof s)) {
                return false;
            }
            if (std::strcmp(s, "oob") != 0 && std::strcmp(s, "interleaved") != 0) {
                return fail("oob or interleaved, not '%.20s'", s);
            }
            l->interleaved = s[0] == 'i';
            return true;
        case Key::BadBlockMarker:
            return markers();
        case Key::FreeFill:
            return number(0, 255, false, &v) && ((l->freeFill = static_cast<std::uint8_t>(v)), true);
        case Key::PadFill:
            return number(0, 255, false, &v) && ((l->padFill = static_cast<std::uint8_t>(v)), true);
        case Key::Protected:
            return regions(l->protectedRegions, kMaxRegions, &l->protectedCount);
        case Key::ProtectedPerStep:
            return number(0, kMaxOobSize, true, &v) && ((l->protectedPerStep = static_cast<std::uint16_t>(v)), true);
        case Key::Prepad:
            return number(0, kMaxOobSize, true, &v) && ((l->prepad = static_cast<std::uint16_t>(v)), true);
        case Key::Postpad:
            return number(0, kMaxOobSize, true, &v) && ((l->postpad = static_cast<std::uint16_t>(v)), true);
        case Key::ProtectPrepad:
            return boolean(&l->protectPrepad);
        case Key::PagesPerBlock:
            return number(2, kMaxPagesPerBlock, true, &v) && ((l->pagesPerBlock = static_cast<std::uint32_t>(v)), true);
        case Key::BadBlockPages:
            if (!text(s, sizeof s)) {
                return false;
            }
            if (!markerPagesByName(s, &l->markerPages)) {
                return fail("first, first,second or last, not '%.20s'", s);
            }
            return true;
        case Key::Vendor:
            if (!text(s, sizeof s)) {
                return false;
            }
            if (std::strcmp(s, kGpmiName) == 0) {
                l->vendor = nand::Vendor::Gpmi;
            } else if (std::strcmp(s, kSunxiName) == 0 || std::strcmp(s, kSunxiBoot0Name) == 0) {
                l->vendor = s[std::strlen(kSunxiName)] == '\0' ? nand::Vendor::Sunxi : nand::Vendor::SunxiBoot0;
            } else {
                return fail("imx-gpmi, sunxi or sunxi-boot0, not '%.20s'", s);
            }
            return true;
        case Key::Soc: {
            gpmi::Soc soc{};
            sunxi::Soc other{};
            if (!text(s, sizeof s)) {
                return false;
            }
            if (sunxi::socByName(s, &other)) {
                sunxiSoc = static_cast<int>(other);
                return true;
            }
            if (!gpmi::socByName(s, &soc)) {
                return fail("imx23, imx28, imx6q, imx6sx, a10 or h6, not '%.20s'", s);
            }
            l->soc = static_cast<std::uint8_t>(soc);
            return true;
        }
        case Key::UsablePage:
            return number(kMinStepSize, kMaxPageSize, true, &v) && ((usablePage = static_cast<long>(v)), true);
        case Key::FillSeed:
            return number(0, ~0ull, false, &v) && ((l->fillSeed = v), true);
        case Key::Randomizer:
            return boolean(&l->randomizer);
        case Key::Count:
            break;
        }
        return fail("no such key");
    }
};

// A vendor layout's file: its preset, named as the file names it, changed
// as makeLayout changes it; false with the reason and the key at fault.
bool fromPreset(Reader *r, const char *preset, const Layout &read, const LayoutChanges &changes, Layout *out)
{
    Layout base = *findPreset(preset);
    std::memcpy(base.name, read.name, sizeof base.name);
    const char *key = nullptr;
    char reason[200];
    if (!makeLayout(base, changes, out, reason, sizeof reason, &key)) {
        r->key = key != nullptr ? key : "strength";
        return r->fail("%s", reason);
    }
    return true;
}

// Refuses the first of `keys` the file gives, a vendor layout's places
// following from its sizes; false then.
bool refuseKeys(Reader *r, std::initializer_list<Key> keys, const char *why)
{
    for (const Key k : keys) {
        if (r->seen[static_cast<std::size_t>(k)]) {
            r->key = kKeyNames[static_cast<std::size_t>(k)];
            return r->fail("%s", why);
        }
    }
    return true;
}

// The file of an imx-gpmi layout: its preset changed by the keys that change
// it (page, oob, strength, poly, soc, the eraseblock); the keys its geometry
// gives (step, m, the code) must agree with it, and no other is taken.
bool gpmiFromJson(Reader *r, const Layout &read, Layout *out)
{
    const auto seen = [r](Key k) { return r->seen[static_cast<std::size_t>(k)]; };
    if (!refuseKeys(r,
                    {Key::SmOrder, Key::EccXor, Key::EccBytesPerStep, Key::Ecc, Key::Placement, Key::FreeFill,
                     Key::PadFill, Key::Protected, Key::ProtectedPerStep, Key::Prepad, Key::Postpad,
                     Key::ProtectPrepad},
                    "not a key of imx-gpmi, whose places follow from its sizes")) {
        return false;
    }
    LayoutChanges changes;
    const auto given = [&seen](Key k, std::uint32_t v) { return seen(k) ? static_cast<long>(v) : -1L; };
    changes.pageSize = given(Key::Page, read.pageSize);
    changes.oobSize = given(Key::Oob, read.oobSize);
    changes.strength = given(Key::Strength, read.strength);
    changes.poly = given(Key::Poly, read.poly);
    changes.soc = static_cast<int>(given(Key::Soc, read.soc));
    changes.pagesPerBlock = given(Key::PagesPerBlock, read.pagesPerBlock);
    changes.markerPages = seen(Key::BadBlockPages) ? static_cast<int>(read.markerPages) : -1;
    if (!fromPreset(r, kGpmiName, read, changes, out)) {
        return false;
    }
    const struct {
        Key key;
        bool agrees;
    } derived[] = {
        {Key::Step, read.stepSize == out->stepSize},
        {Key::M, read.m == out->m},
        {Key::Scheme, read.scheme == Scheme::Bch},
        {Key::BitOrder, read.lsbFirst},
        {Key::ErasedMask, !read.erasedMask},
    };
    for (const auto &d : derived) {
        if (seen(d.key) && !d.agrees) {
            r->key = kKeyNames[static_cast<std::size_t>(d.key)];
            return r->fail("imx-gpmi's geometry for a %u+%u page gives %u-byte chunks, BCH over GF(2^%u), lsb-first, "
                           "no erased mask",
                           out->pageSize, out->oobSize, out->stepSize, out->m);
        }
    }
    return true;
}

// The file of a sunxi layout: its preset changed by the keys that change it
// (the sizes, step, strength, poly, soc, randomizer, the eraseblock, boot0's
// usable part and fill seed); the keys its code gives must agree with it,
// and no other is taken.
bool sunxiFromJson(Reader *r, const Layout &read, Layout *out)
{
    const auto seen = [r](Key k) { return r->seen[static_cast<std::size_t>(k)]; };
    const bool boot0 = read.vendor == Vendor::SunxiBoot0;
    if (!refuseKeys(r,
                    {Key::SmOrder, Key::EccXor, Key::Ecc, Key::Placement, Key::FreeFill, Key::PadFill, Key::Protected,
                     Key::ProtectedPerStep, Key::Prepad, Key::Postpad, Key::ProtectPrepad},
                    "not a key of the sunxi layouts, whose places follow from their sizes")) {
        return false;
    }
    if (!boot0 && (seen(Key::UsablePage) || seen(Key::FillSeed))) {
        r->key = kKeyNames[static_cast<std::size_t>(seen(Key::UsablePage) ? Key::UsablePage : Key::FillSeed)];
        return r->fail("a key of sunxi-boot0 only");
    }
    LayoutChanges changes;
    const auto given = [&seen](Key k, std::uint32_t v) { return seen(k) ? static_cast<long>(v) : -1L; };
    changes.pageSize = given(Key::Page, read.pageSize);
    changes.oobSize = given(Key::Oob, read.oobSize);
    changes.stepSize = given(Key::Step, read.stepSize);
    changes.strength = given(Key::Strength, read.strength);
    changes.poly = given(Key::Poly, read.poly);
    changes.sunxiSoc = r->sunxiSoc;
    changes.soc = seen(Key::Soc) && r->sunxiSoc < 0 ? static_cast<int>(read.soc) : -1;
    changes.randomizer = seen(Key::Randomizer) ? static_cast<int>(read.randomizer) : -1;
    changes.usablePage = r->usablePage;
    changes.fillSeedGiven = seen(Key::FillSeed);
    changes.fillSeed = read.fillSeed;
    changes.pagesPerBlock = given(Key::PagesPerBlock, read.pagesPerBlock);
    changes.markerPages = seen(Key::BadBlockPages) ? static_cast<int>(read.markerPages) : -1;
    if (!fromPreset(r, boot0 ? kSunxiBoot0Name : kSunxiName, read, changes, out)) {
        return false;
    }
    const struct {
        Key key;
        bool agrees;
    } derived[] = {
        {Key::M, read.m == sunxi::kField},
        {Key::Scheme, read.scheme == Scheme::Bch},
        {Key::BitOrder, read.lsbFirst},
        {Key::ErasedMask, !read.erasedMask},
        {Key::EccBytesPerStep, read.eccBytesPerStep == out->eccBytesPerStep},
        {Key::BadBlockMarker, read.markers[0] == out->markers[0] && read.markers[1] == out->markers[1]},
    };
    for (const auto &d : derived) {
        if (seen(d.key) && !d.agrees) {
            r->key = kKeyNames[static_cast<std::size_t>(d.key)];
            return r->fail("%s's controller gives BCH over GF(2^14), lsb-first, no erased mask, %u code bytes a "
                           "step and its marker bytes at %u and %u",
                           boot0 ? kSunxiBoot0Name : kSunxiName, out->eccBytesPerStep, out->markers[0],
                           out->markers[1]);
        }
    }
    return true;
}

}  // namespace

bool layoutFromJson(const char *text, std::size_t size, Layout *out, char *why, std::size_t whySize)
{
    Layout l{};
    std::strcpy(l.name, "custom");
    l.pageSize = 2048;
    l.oobSize = 64;
    l.stepSize = 512;
    l.freeFill = 0xFF;
    l.placement = Placement::End;
    l.markerCount = 1;  // byte 0, where large pages keep it
    l.pagesPerBlock = 64;
    l.erasedMask = true;
    Reader r{{text, text + size, text, why, whySize}, &l};
    if (!r.in.expect('{')) {
        return false;
    }
    if (!r.in.take('}')) {
        do {
            char name[64] = {};
            if (r.in.peek() != '"') {
                return r.in.fail("not a layout: a key expected at byte %zu", static_cast<std::size_t>(r.in.p - text));
            }
            if (!r.in.string(name, sizeof name) || !r.in.expect(':')) {
                return false;
            }
            std::size_t k = 0;
            while (k < static_cast<std::size_t>(Key::Count) && std::strcmp(kKeyNames[k], name) != 0) {
                k++;
            }
            if (k == static_cast<std::size_t>(Key::Count)) {
                return r.in.fail("key \"%.40s\": no such key", name);
            }
            r.key = kKeyNames[k];
            if (r.seen[k]) {
                return r.fail("given twice");
            }
            r.seen[k] = true;
            if (!r.value(static_cast<Key>(k))) {
                return false;
            }
        } while (r.in.take(','));
        if (!r.in.expect('}')) {
            return false;
        }
    }
    r.in.space();
    if (r.in.p != r.in.end) {
        return r.in.fail("not a layout: text after the object at byte %zu", static_cast<std::size_t>(r.in.p - text));
    }
    if (l.vendor == Vendor::Sunxi || l.vendor == Vendor::SunxiBoot0) {
        return sunxiFromJson(&r, l, out);
    }
    if (r.sunxiSoc >= 0 || r.usablePage >= 0 || r.seen[static_cast<std::size_t>(Key::FillSeed)] ||
        r.seen[static_cast<std::size_t>(Key::Randomizer)]) {
        return r.in.fail("key \"soc\", \"usable_page\", \"fill_seed\" or \"randomizer\": for the sunxi layouts");
    }
    if (l.vendor == Vendor::Gpmi) {
        return gpmiFromJson(&r, l, out);
    }
    if (!r.seen[static_cast<std::size_t>(Key::Scheme)]) {
        return r.in.fail("key \"scheme\": missing; a layout names its code (classic, hamming, bch or none)");
    }
    if (l.scheme != Scheme::Bch) {
        l.erasedMask = false;
        if (l.scheme == Scheme::None) {
            l.strength = 0;
        } else if (!r.seen[static_cast<std::size_t>(Key::Strength)]) {
            l.strength = 1;
        } else if (l.strength != 1) {
            r.key = "strength";
            return r.fail("the %s code corrects one bit", schemeName(l.scheme));
        }
    }
    if (!r.seen[static_cast<std::size_t>(Key::PadFill)]) {
        l.padFill = l.freeFill;
    }
    // What the code and the OOB size give anyway is kept as a rule, so that
    // options that change the code or the OOB move them as for a preset: the
    // code's own byte count, and one ECC range that ends the OOB.
    if (l.eccBytesPerStep == codeBytesPerStep(l)) {
        l.eccBytesPerStep = 0;
    }
    if (!l.interleaved && l.placement == Placement::Regions && l.regionCount == 1 &&
        std::uint64_t{l.regions[0].offset} + l.regions[0].length == l.oobSize &&
        l.regions[0].length == stepsPerPage(l) * eccBytesPerStep(l)) {
        l.placement = Placement::End;
    }
    const char *key = nullptr;
    char reason[200];
    if (!makeLayout(l, LayoutChanges{}, out, reason, sizeof reason, &key)) {
        std::snprintf(why, whySize, "key \"%s\": %s", key != nullptr ? key : "?", reason);
        return false;
    }
    return true;
}

Status readLayoutFile(const char *path, Layout *out)
{
    constexpr std::size_t kMaxFile = std::size_t{64} * 1024;  // a layout is a few hundred bytes
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        return Status::system(err, "%s: %s", path, std::strerror(err));
    }
    static_assert(kMaxFile < std::size_t{1024} * 1024, "read on the stack");
    char text[kMaxFile + 1];
    std::size_t size = 0;
    for (;;) {
        const ssize_t n = read(fd, text + size, sizeof text - size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int err = errno;
            close(fd);
            return Status::system(err, "%s: %s", path, std::strerror(err));
        }
        if (n == 0) {
            break;
        }
        size += static_cast<std::size_t>(n);
        if (size > kMaxFile) {
            close(fd);
            return Status::invalid("%s: not a layout: larger than %zu bytes", path, kMaxFile);
        }
    }
    close(fd);
    char why[kMaxMessage - kMaxNameSize];
    if (!layoutFromJson(text, size, out, why, sizeof why)) {
        return Status::invalid("%s: %s", path, why);
    }
    return {};
}

Status loadLayout(const LayoutSource &source, const LayoutChanges &changes, Layout *out)
{
    const int given = (source.name != nullptr ? 1 : 0) + (source.file != nullptr ? 1 : 0) +
                      (source.json != nullptr ? 1 : 0);
    if (given > 1) {
        return Status::invalid("give one of a layout's name, file and JSON text");
    }
    Layout base{};
    char why[kMaxMessage];
    if (source.file != nullptr) {
        if (Status s = readLayoutFile(source.file, &base); !s.good()) {
            return s;
        }
    } else if (source.json != nullptr) {
        if (!layoutFromJson(source.json, source.jsonSize, &base, why, sizeof why)) {
            return Status::invalid("%s", why);
        }
    } else {
        const char *name = source.name != nullptr ? source.name : "classic";
        const Layout *preset = findPreset(name);
        if (preset == nullptr) {
            return Status::invalid("no layout named '%.*s'", static_cast<int>(kMaxNameSize), name);
        }
        base = *preset;
    }
    if (!makeLayout(base, changes, out, why, sizeof why)) {
        return Status::invalid("%s", why);
    }
    return {};
}

}  // namespace nand
