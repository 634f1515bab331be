// Reading and checking the manifest of `nandconv inject`; see manifest.h.
#include "manifest.h"

#include <algorithm>
#include <tuple>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nand {

namespace {

// A cursor over one line of the manifest.
struct Line {
    const char *p;
    const char *end;

    void skipSpace()
    {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\r')) {
            p++;
        }
    }
    bool take(char c)
    {
        skipSpace();
        if (p < end && *p == c) {
            p++;
            return true;
        }
        return false;
    }
};

enum Key { kPage, kStep, kOffset, kBit, kKeys };
constexpr const char *kKeyNames[kKeys] = {"page", "step", "offset", "bit"};

// A value: a decimal number without sign, or null (-1 in *isNull).
bool readValue(Line *l, std::uint64_t *value, bool *isNull)
{
    l->skipSpace();
    *isNull = false;
    if (l->end - l->p >= 4 && std::memcmp(l->p, "null", 4) == 0) {
        l->p += 4;
        *isNull = true;
        return true;
    }
    if (l->p == l->end || *l->p < '0' || *l->p > '9') {
        return false;
    }
    // JSON writes no number with a leading zero: "05" is no number.
    if (*l->p == '0' && l->end - l->p > 1 && l->p[1] >= '0' && l->p[1] <= '9') {
        return false;
    }
    std::uint64_t v = 0;
    for (; l->p < l->end && *l->p >= '0' && *l->p <= '9'; l->p++) {
        const auto digit = static_cast<std::uint64_t>(*l->p - '0');
        if (v > (~std::uint64_t{0} - digit) / 10) {
            return false;  // no wrap: a number past 2^64 is no flip
        }
        v = v * 10 + digit;
    }
    // "1.5" or "1e3" are numbers to JSON, but no flip's.
    *value = v;
    return l->p == l->end || (*l->p != '.' && *l->p != 'e' && *l->p != 'E');
}

// Parses {"page":..,"step":..,"offset":..,"bit":..} into values; false for
// anything else.
bool parseObject(Line l, std::uint64_t (&values)[kKeys], bool (&nulls)[kKeys])
{
    bool seen[kKeys] = {};
    if (!l.take('{')) {
        return false;
    }
    for (int n = 0; n < kKeys; n++) {
        if (n > 0 && !l.take(',')) {
            return false;
        }
        if (!l.take('"')) {
            return false;
        }
        const char *name = l.p;
        while (l.p < l.end && *l.p != '"' && *l.p != '\\') {
            l.p++;
        }
        if (l.p == l.end || *l.p != '"') {
            return false;
        }
        const auto length = static_cast<std::size_t>(l.p - name);
        l.p++;
        int key = 0;
        while (key < kKeys && (std::strlen(kKeyNames[key]) != length || std::memcmp(kKeyNames[key], name, length) != 0)) {
            key++;
        }
        if (key == kKeys || seen[key] || !l.take(':') || !readValue(&l, &values[key], &nulls[key])) {
            return false;
        }
        seen[key] = true;
    }
    if (!l.take('}')) {
        return false;
    }
    l.skipSpace();
    return l.p == l.end;
}

// Whether the n flips of one page come in the order inject writes them: step
// after step (areas step, data and ecc), or, when every flip is in the OOB,
// in any order (area oob draws the whole OOB at once). A flip of no step, in a
// free OOB byte, counts after the last step. Otherwise the fault is in why.
bool inWriteOrder(const Codec &c, const ManifestFlip *f, std::size_t n, char *why, std::size_t whySize)
{
    const auto inOob = [&c](const ManifestFlip &x) { return x.offset >= c.layout.pageSize; };
    if (std::all_of(f, f + n, inOob)) {
        return true;
    }
    const auto rank = [&c](const ManifestFlip &x) { return x.step < 0 ? c.steps : static_cast<std::size_t>(x.step); };
    for (std::size_t i = 1; i < n; i++) {
        if (rank(f[i]) < rank(f[i - 1])) {
            char step[2][16] = {"null", "null"};
            for (std::size_t k = 0; k < 2; k++) {
                if (f[i - k].step >= 0) {
                    std::snprintf(step[k], sizeof step[k], "%d", f[i - k].step);
                }
            }
            std::snprintf(why, whySize, "line %llu: step %s comes after step %s of page %llu",
                          static_cast<unsigned long long>(f[i].line), step[0], step[1],
                          static_cast<unsigned long long>(f[i].page));
            return false;
        }
    }
    return true;
}

// {"block":B,"class":"bad-block"}, as inject writes it for a block it
// marks bad; false for anything else.
bool parseBadBlock(Line l, std::uint64_t *block)
{
    const auto word = [&l](const char *text) {
        l.skipSpace();
        const std::size_t n = std::strlen(text);
        if (static_cast<std::size_t>(l.end - l.p) < n || std::memcmp(l.p, text, n) != 0) {
            return false;
        }
        l.p += n;
        return true;
    };
    bool isNull = false;
    if (!l.take('{') || !word("\"block\"") || !l.take(':') || !readValue(&l, block, &isNull) || isNull ||
        !l.take(',') || !word("\"class\"") || !l.take(':') || !word("\"bad-block\"") || !l.take('}')) {
        return false;
    }
    l.skipSpace();
    return l.p == l.end;
}

bool append(Manifest *m, const ManifestFlip &f)
{
    if (m->count == m->capacity) {
        const std::size_t capacity = m->capacity == 0 ? 1024 : 2 * m->capacity;
        void *grown = std::realloc(m->flips, capacity * sizeof(ManifestFlip));
        if (grown == nullptr) {
            return false;
        }
        m->flips = static_cast<ManifestFlip *>(grown);
        m->capacity = capacity;
    }
    m->flips[m->count++] = f;
    return true;
}

}  // namespace

void freeManifest(Manifest *m)
{
    std::free(m->flips);
    std::free(m->badBlocks);
    *m = Manifest{};
}

namespace {

bool readLines(const char *text, std::size_t size, const Codec &c, std::uint64_t pages, Manifest *m, char *why,
               std::size_t whySize)
{
    m->count = 0;
    const char *p = text;
    const char *end = text + size;
    for (std::uint64_t number = 1; p < end; number++) {
        const char *eol = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        Line line = {p, eol == nullptr ? end : eol};
        p = eol == nullptr ? end : eol + 1;
        const auto n = static_cast<unsigned long long>(number);
        line.skipSpace();
        if (line.p == line.end) {
            continue;
        }
        if (std::uint64_t block = 0; parseBadBlock(line, &block)) {
            if (m->badCount != 0 && block <= m->badBlocks[m->badCount - 1]) {
                std::snprintf(why, whySize, "line %llu: block %llu comes after block %llu", n,
                              static_cast<unsigned long long>(block),
                              static_cast<unsigned long long>(m->badBlocks[m->badCount - 1]));
                return false;
            }
            if (m->badCount == m->badCapacity) {
                const std::size_t capacity = m->badCapacity == 0 ? 64 : 2 * m->badCapacity;
                void *grown = std::realloc(m->badBlocks, capacity * sizeof(std::uint64_t));
                if (grown == nullptr) {
                    std::snprintf(why, whySize, "line %llu: out of memory", n);
                    return false;
                }
                m->badBlocks = static_cast<std::uint64_t *>(grown);
                m->badCapacity = capacity;
            }
            m->badBlocks[m->badCount++] = block;
            continue;
        }
        std::uint64_t v[kKeys] = {};
        bool isNull[kKeys] = {};
        if (!parseObject(line, v, isNull) || isNull[kPage] || isNull[kOffset] || isNull[kBit]) {
            std::snprintf(why, whySize, "line %llu is no {\"page\",\"step\",\"offset\",\"bit\"} object of numbers", n);
            return false;
        }
        const auto ull = [](std::uint64_t x) { return static_cast<unsigned long long>(x); };
        if (v[kPage] >= pages) {
            std::snprintf(why, whySize, "line %llu: page %llu is past the end of the image (%llu pages)", n,
                          ull(v[kPage]), ull(pages));
            return false;
        }
        if (v[kOffset] >= c.recordSize) {
            std::snprintf(why, whySize, "line %llu: offset %llu is past the %zu-byte record", n, ull(v[kOffset]),
                          c.recordSize);
            return false;
        }
        if (v[kBit] > 7) {
            std::snprintf(why, whySize, "line %llu: bit %llu is not 0 to 7", n, ull(v[kBit]));
            return false;
        }
        const auto offset = static_cast<std::uint32_t>(v[kOffset]);
        // The step whose data, protected or code byte it is; a flip there
        // is one its decoder can correct unless it is in a free byte or a
        // BCH code's spare bits.
        const ByteRole role = bitRole(c, offset, static_cast<unsigned>(v[kBit]));
        const std::int32_t step = role.step;
        if (isNull[kStep] ? step != -1 : v[kStep] != static_cast<std::uint64_t>(step)) {
            char holder[32] = "no step";
            if (step >= 0) {
                std::snprintf(holder, sizeof holder, "step %d", step);
            }
            std::snprintf(why, whySize, "line %llu: offset %llu belongs to %s", n, ull(v[kOffset]), holder);
            return false;
        }
        if (m->count != 0 && v[kPage] < m->flips[m->count - 1].page) {
            std::snprintf(why, whySize, "line %llu: page %llu comes after page %llu", n, ull(v[kPage]),
                          ull(m->flips[m->count - 1].page));
            return false;
        }
        if (!append(m, {v[kPage], step, offset, static_cast<std::uint8_t>(v[kBit]),
                        (role.keep >> v[kBit] & 1u) != 0, number})) {
            std::snprintf(why, whySize, "line %llu: out of memory", n);
            return false;
        }
    }
    // Within each page (the pages are in order): the flips in the order
    // inject writes them, then no flip twice. Sorted by place, twins are
    // neighbours; sorting a page's run reorders nothing that the comparison
    // needs.
    const auto place = [](const ManifestFlip &a, const ManifestFlip &b) {
        return std::make_tuple(a.offset, a.bit, a.line) < std::make_tuple(b.offset, b.bit, b.line);
    };
    for (std::size_t from = 0; from < m->count;) {
        std::size_t to = from + 1;
        while (to < m->count && m->flips[to].page == m->flips[from].page) {
            to++;
        }
        if (!inWriteOrder(c, m->flips + from, to - from, why, whySize)) {
            return false;
        }
        std::sort(m->flips + from, m->flips + to, place);
        for (std::size_t i = from + 1; i < to; i++) {
            const ManifestFlip &a = m->flips[i - 1];
            const ManifestFlip &b = m->flips[i];
            if (a.offset == b.offset && a.bit == b.bit) {
                std::snprintf(why, whySize, "line %llu repeats the flip of line %llu",
                              static_cast<unsigned long long>(b.line), static_cast<unsigned long long>(a.line));
                return false;
            }
        }
        from = to;
    }
    return true;
}

}  // namespace

Status parseManifest(const char *text, std::size_t size, const Codec &c, std::uint64_t pages, Manifest *m)
{
    char why[kMaxMessage];
    if (!readLines(text, size, c, pages, m, why, sizeof why)) {
        return Status::invalid("%s", why);
    }
    return {};
}

std::size_t firstFlipPast(const Manifest &m, std::uint64_t pages)
{
    for (std::size_t i = 0; i < m.count; i++) {
        if (m.flips[i].page >= pages) {
            return i;
        }
    }
    return m.count;
}

}  // namespace nand
