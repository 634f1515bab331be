// Finding a dump's layout from its bytes; see detect.h for the method.
#include "detect.h"

#include "bch.h"
#include "gpmi.h"
#include "hamming.h"
#include "image.h"
#include "record.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

namespace nand {

namespace {

constexpr std::uint32_t kPageSizes[] = {512, 2048, 4096, 8192, 16384};
// No OOB is larger than a quarter of its page on any chip we know of.
constexpr std::uint32_t kMaxOobShare = 4;
constexpr std::size_t kMaxSampleRecords = 256;
// Geometries whose codes are looked for, the most regular first.
constexpr std::size_t kMaxGeometries = 6;
// Records whose first step anchors a difference.
constexpr std::size_t kMaxAnchors = 4;
// Interleaved steps: the bytes looked at between a step's data and its code,
// and after its code.
constexpr std::size_t kMaxPrepad = 32;
constexpr std::size_t kMaxPostpad = 32;
// Protected bytes a step's code may cover after its data.
constexpr unsigned kMaxProtected = 16;
constexpr std::uint32_t kBchSteps[] = {512, 1024, 2048};
constexpr unsigned kMinField = 13;
constexpr unsigned kMaxField = 15;
// The polynomials named by layouts in the field beside Linux's defaults.
constexpr unsigned kKnownPolys[] = {0x201b, 0x402b, 0x8003, 0x4443, 0x5803};
constexpr std::uint8_t kErased = 0xFF;
constexpr std::uint32_t kDefaultPagesPerBlock = 64;
// Linux's bad-block marker: byte 5 of a small page's OOB, 0 and 1 of a large
// one.
constexpr std::uint16_t kSmallPageMarker = 5;

bool allBytes(const std::uint8_t *p, std::size_t n, std::uint8_t v)
{
    for (std::size_t i = 0; i < n; i++) {
        if (p[i] != v) {
            return false;
        }
    }
    return true;
}

bool isSmallOob(std::uint32_t oob)
{
    return oob == 8 || oob == 16;
}

// ---- the dump as records ----

// Records of recordSize bytes wholly inside the windows, spread over them;
// with pages, each one's index in the dump too.
void sampleRecords(const DumpWindow *windows, std::size_t count, std::size_t recordSize,
                   std::vector<const std::uint8_t *> *out, std::vector<std::uint64_t> *pages = nullptr)
{
    out->clear();
    if (pages != nullptr) {
        pages->clear();
    }
    const std::size_t perWindow = std::max<std::size_t>(1, kMaxSampleRecords / std::max<std::size_t>(1, count));
    for (std::size_t w = 0; w < count; w++) {
        const DumpWindow &win = windows[w];
        std::uint64_t k = (win.offset + recordSize - 1) / recordSize;
        for (std::size_t taken = 0; taken < perWindow && (k + 1) * recordSize <= win.offset + win.size; k++, taken++) {
            out->push_back(win.bytes + (k * recordSize - win.offset));
            if (pages != nullptr) {
                pages->push_back(k);
            }
        }
    }
}

struct Geometry {
    std::uint32_t page;
    std::uint32_t oob;
    unsigned steady;  // the share of OOB bytes equal in nearly every written record
    bool enough;  // records enough to tell
};

// Records a geometry needs in the sample for its structure to count, and
// written ones among them; the steady share of the OOB in these units.
constexpr std::size_t kMinRecords = 16;
constexpr std::size_t kMinWritten = 4;
constexpr unsigned kSteadyScale = 1024;

// OOB bytes that hold the same value in nearly every sampled record whose
// OOB is not blank: markers and free bytes do, wherever the record size is
// right (a flip or a bad block's marker aside). Where it is wrong, the OOB
// falls in page data, and blank stretches of the dump do not count.
unsigned steadyOobBytes(const std::vector<const std::uint8_t *> &records, std::uint32_t page, std::uint32_t oob)
{
    std::vector<const std::uint8_t *> written;
    for (const std::uint8_t *r : records) {
        if (!allBytes(r + page, oob, kErased)) {
            written.push_back(r);
        }
    }
    if (written.size() < kMinWritten) {
        return 0;
    }
    unsigned steady = 0;
    unsigned counts[256];
    for (std::uint32_t j = 0; j < oob; j++) {
        std::fill(std::begin(counts), std::end(counts), 0u);
        unsigned most = 0;
        for (const std::uint8_t *r : written) {
            most = std::max(most, ++counts[r[page + j]]);
        }
        steady += static_cast<double>(most) >= kConvincingShare * static_cast<double>(written.size()) ? 1u : 0u;
    }
    // As a share of the OOB: a wrong, larger OOB is mostly page data.
    return steady * kSteadyScale / oob;
}

// The page and OOB sizes whose records fill the dump, most steady OOB first.
std::vector<Geometry> geometries(const DumpWindow *windows, std::size_t count, std::uint64_t dumpSize,
                                 const DetectOptions &o)
{
    std::vector<Geometry> out;
    std::vector<const std::uint8_t *> records;
    for (const std::uint32_t page : kPageSizes) {
        if (o.pageSize != 0 && page != o.pageSize) {
            continue;
        }
        const std::uint32_t lo = o.oobSize != 0 ? o.oobSize : 1;
        const std::uint32_t hi = o.oobSize != 0 ? o.oobSize : std::min<std::uint32_t>(page / kMaxOobShare, kMaxOobSize);
        for (std::uint32_t oob = lo; oob <= hi; oob++) {
            const std::uint64_t record = std::uint64_t{page} + oob;
            if (dumpSize < record || (o.oobSize == 0 && dumpSize % record != 0)) {
                continue;
            }
            sampleRecords(windows, count, record, &records);
            out.push_back({page, oob, steadyOobBytes(records, page, oob), records.size() >= kMinRecords});
        }
    }
    if (o.pageSize != 0 && out.empty() && o.oobSize == 0) {
        // A page size off the usual list: any OOB the dump's size allows.
        const std::uint32_t page = o.pageSize;
        for (std::uint32_t oob = 1; oob <= std::min<std::uint32_t>(page / kMaxOobShare, kMaxOobSize); oob++) {
            const std::uint64_t record = std::uint64_t{page} + oob;
            if (dumpSize >= record && dumpSize % record == 0) {
                sampleRecords(windows, count, record, &records);
                out.push_back({page, oob, steadyOobBytes(records, page, oob), records.size() >= kMinRecords});
            }
        }
    }
    // A geometry with too few records to show a structure comes last: a
    // record of several pages has blank stretches wherever pages are blank.
    std::stable_sort(out.begin(), out.end(), [](const Geometry &a, const Geometry &b) {
        if (a.enough != b.enough) {
            return a.enough;
        }
        return a.steady > b.steady;
    });
    return out;
}

// ---- GF(2^m) for the syndrome test ----

// A field's tables, made again for each polynomial tried; false when the
// polynomial is not primitive.
struct Field {
    unsigned m = 0;
    unsigned poly = 0;
    unsigned n = 0;
    std::vector<std::uint16_t> exp;  // a^i, i < n
    std::vector<std::uint16_t> log;  // log[a^i] = i; log[0] unused

    bool make(unsigned degree, unsigned p)
    {
        m = degree;
        poly = p;
        n = (1u << m) - 1;
        exp.resize(n);
        log.resize(n + 1);
        for (unsigned top = 0; top < 256; top++) {
            unsigned v = top << m;
            for (unsigned bit = m + 7; bit >= m; bit--) {
                v ^= (v >> bit & 1u) != 0 ? poly << (bit - m) : 0u;
            }
            reduce8[top] = static_cast<std::uint16_t>(v);
        }
        unsigned x = 1;
        for (unsigned i = 0; i < n; i++) {
            if (x == 1 && i != 0) {
                return false;  // a shorter cycle: not primitive
            }
            exp[i] = static_cast<std::uint16_t>(x);
            log[x] = static_cast<std::uint16_t>(i);
            x = timesA(x);
        }
        return x == 1;
    }

    unsigned timesA(unsigned v) const
    {
        v <<= 1;
        return (v >> m & 1u) != 0 ? v ^ poly : v;
    }

    // v a^8: the byte shifted out above degree m - 1 reduced by the table,
    // eight times fewer steps than timesA for the walks over whole bytes.
    unsigned timesA8(unsigned v) const
    {
        return ((v << 8) & n) ^ reduce8[v >> (m - 8)];
    }

    // A byte's bits in the order the code takes them, first bit highest.
    static unsigned ordered(std::uint8_t b, bool lsbFirst)
    {
        return lsbFirst ? kReversed[b] : b;
    }

    unsigned mul(unsigned v, unsigned logY) const
    {
        return v == 0 ? 0 : exp[(log[v] + logY) % n];
    }

    // The bits as a polynomial, the first one of highest degree, at a^j.
    unsigned eval(const std::uint8_t *bytes, std::size_t bits, bool lsbFirst, unsigned j) const
    {
        unsigned v = 0;
        std::size_t i = 0;
        if (j == 1) {
            for (; i + 8 <= bits; i += 8) {
                v = timesA8(v) ^ ordered(bytes[i / 8], lsbFirst);
            }
        }
        const unsigned logY = j % n;
        for (; i < bits; i++) {
            const unsigned byte = bytes[i / 8];
            const unsigned b = lsbFirst ? byte >> (i % 8) : byte >> (7 - i % 8);
            v = (j == 1 ? timesA(v) : mul(v, logY)) ^ (b & 1u);
        }
        return v;
    }

    static constexpr auto kReversed = [] {
        std::array<std::uint8_t, 256> r{};
        for (unsigned b = 0; b < 256; b++) {
            unsigned x = 0;
            for (unsigned k = 0; k < 8; k++) {
                x |= (b >> k & 1u) << (7 - k);
            }
            r[b] = static_cast<std::uint8_t>(x);
        }
        return r;
    }();
    std::uint16_t reduce8[256] = {};  // (top byte) x^m mod poly
};

// The degree of the generator of t = 1..kMaxT over a field: the sizes of the
// distinct cyclotomic cosets of 1, 3, .., 2t-1.
void generatorDegrees(const Field &f, unsigned *degree)
{
    std::vector<bool> root(f.n, false);
    unsigned b = 0;
    for (unsigned t = 1; t <= bch::kMaxT; t++) {
        unsigned r = (2 * t - 1) % f.n;
        while (!root[r]) {
            root[r] = true;
            b++;
            r = (2 * r) % f.n;
        }
        degree[t] = b;
    }
}

// ---- what the search finds ----

// A step's code found in a difference of records: step 0's code at record
// byte pos, with protectedBytes between its data and it in the code's message.
constexpr std::uint16_t kNowhere = 0xFFFF;

struct Found {
    Scheme scheme;
    std::uint32_t step;
    bool smOrder;
    std::uint8_t m;
    std::uint32_t poly;
    bool lsbFirst;
    std::uint8_t t;
    std::uint32_t pos;
    std::uint16_t protectedBytes;
    bool prepadProtected;  // interleaved: the bytes from the data to the code are
                           // the protected ones
    std::uint16_t protectedAt = kNowhere;  // OOB byte of step 0's protected bytes, where known

    bool operator==(const Found &) const = default;
};

struct Geom {
    std::uint32_t page;
    std::uint32_t oob;
    std::size_t record;
};

// Where step 0's code may start: in the OOB, or (interleaved) just after the
// step's data.
template <typename F>
void eachPlace(const Geom &g, std::uint32_t step, std::size_t bytes, F &&f)
{
    if (step < g.page) {
        for (std::size_t p = step; p < std::min<std::size_t>(step + kMaxPrepad, g.page); p++) {
            if (p + bytes <= g.record) {
                f(static_cast<std::uint32_t>(p), true);
            }
        }
    }
    for (std::size_t p = g.page; p + bytes <= g.record; p++) {
        f(static_cast<std::uint32_t>(p), false);
    }
}

// The one-bit codes: their code of the data difference, byte for byte.
void searchSingle(const Geom &g, const std::uint8_t *delta, std::vector<Found> *out)
{
    struct Variant {
        Scheme scheme;
        std::uint32_t step;
        bool sm;
    };
    constexpr Variant kVariants[] = {{Scheme::Classic, 512, false},
                                     {Scheme::Hamming, 256, false},
                                     {Scheme::Hamming, 256, true},
                                     {Scheme::Hamming, 512, false},
                                     {Scheme::Hamming, 512, true}};
    constexpr std::uint8_t kZeros[512] = {};
    for (const Variant &v : kVariants) {
        if (v.step > g.page) {
            continue;
        }
        std::uint8_t code[4];
        std::uint8_t zero[4];
        std::size_t bytes = 0;
        if (v.scheme == Scheme::Classic) {
            image::storeLE32(code, computeECC(delta));
            image::storeLE32(zero, computeECC(kZeros));
            bytes = 4;
        } else {
            hamming::compute(delta, v.step, v.sm, code);
            hamming::compute(kZeros, v.step, v.sm, zero);
            bytes = hamming::kCodeBytes;
        }
        bool nonzero = false;
        for (std::size_t i = 0; i < bytes; i++) {
            code[i] ^= zero[i];
            nonzero = nonzero || code[i] != 0;
        }
        if (!nonzero) {
            continue;
        }
        eachPlace(g, v.step, bytes, [&](std::uint32_t p, bool) {
            if (std::memcmp(delta + p, code, bytes) == 0) {
                out->push_back({v.scheme, v.step, v.sm, 0, 0, false, 1, p, 0, false});
            }
        });
    }
}

// A BCH field to try, with every step size and bit order it takes.
struct Job {
    unsigned m;
    unsigned poly;
};

// The message's polynomial at a^3 and a^5, for confirm.
struct MessageAt {
    unsigned v[2];
    MessageAt(const Field &f, const std::uint8_t *message, std::size_t bytes, bool lsbFirst)
        : v{f.eval(message, bytes * 8, lsbFirst, 3), f.eval(message, bytes * 8, lsbFirst, 5)}
    {
    }
};

// Whether a message (shifted past protectedBytes) and code make a codeword
// of t: its polynomial vanishes at a^3 and a^5 as well (at a it was tested).
bool confirm(const Field &f, const MessageAt &message, unsigned shiftBytes, const std::uint8_t *code, unsigned codeBits,
             unsigned t, bool lsbFirst)
{
    for (unsigned j = 3; j <= 5 && j < 2 * t; j += 2) {
        const unsigned mv = message.v[(j - 3) / 2];
        const unsigned rv = f.eval(code, codeBits, lsbFirst, j);
        const unsigned shift = static_cast<unsigned>((std::uint64_t{j} * (8u * shiftBytes + codeBits)) % f.n);
        if (f.mul(mv, shift) != rv) {
            return false;
        }
    }
    return true;
}

// One field over the difference: every place and strength whose code bits
// make the step's data a codeword.
void searchBch(const Geom &g, const std::uint8_t *delta, const Field *f, const unsigned *degree, std::uint32_t step,
               bool lsbFirst, bool tolerant, bool protectedValues, std::vector<Found> *out)
{
    const Job job{f->m, f->poly};
    if (step > g.page) {
        return;
    }
    const unsigned maxT = bch::maxStrength(job.m, step);
    if (maxT == 0) {
        return;
    }
    const unsigned dataValue = f->eval(delta, std::size_t{step} * 8, lsbFirst, 1);
    if (dataValue == 0) {
        return;
    }
    const unsigned logData = f->log[dataValue];
    const std::size_t maxBytes = (job.m * maxT + 7) / 8;
    // Every step's code fits the OOB, or (interleaved) every step its share
    // of the record: that bounds the strength looked for.
    const std::size_t steps = g.page / step;
    std::unique_ptr<MessageAt> dataAt;  // made once a place passes the test at a
    // The data followed by q = 1..kMaxProtected OOB bytes from z, at a:
    // table[log of its value] = z * kMaxProtected + q - 1, or -1. Made
    // once, where OOB bytes that differ between the records are looked for.
    std::vector<std::int32_t> byLog;
    const auto messageByLog = [&]() -> const std::vector<std::int32_t> & {
        if (byLog.empty()) {
            byLog.assign(f->n, -1);
            for (std::uint32_t z = 0; z < g.oob; z++) {
                unsigned prot = 0;
                for (unsigned q = 1; q <= kMaxProtected && z + q <= g.oob; q++) {
                    prot = f->timesA8(prot) ^ Field::ordered(delta[g.page + z + q - 1], lsbFirst);
                    const unsigned value = f->mul(dataValue, (8 * q) % f->n) ^ prot;
                    if (prot != 0 && value != 0 && byLog[f->log[value]] < 0) {
                        byLog[f->log[value]] = static_cast<std::int32_t>(z * kMaxProtected + q - 1);
                    }
                }
            }
        }
        return byLog;
    };
    unsigned prefix = dataValue;  // interleaved: the data and the bytes after it up to p
    std::uint32_t prefixEnd = step;
    eachPlace(g, step, 1, [&](std::uint32_t p, bool interleaved) {
        if (interleaved) {
            for (; prefixEnd < p; prefixEnd++) {
                prefix = f->timesA8(prefix) ^ Field::ordered(delta[prefixEnd], lsbFirst);
            }
        }
        const std::size_t share = interleaved ? (g.record / steps > p ? g.record / steps - p : 0) : g.oob / steps;
        const std::size_t avail = std::min({g.record - p, maxBytes, share});
        const auto test = [&](unsigned v, unsigned t) {
            const unsigned b0 = degree[t] % f->n;
            const unsigned k = (f->log[v] + 2 * f->n - logData - b0) % f->n;
            const auto add = [&](unsigned protectedBytes, bool prepad, unsigned at = kNowhere) {
                out->push_back({Scheme::Bch, step, false, static_cast<std::uint8_t>(job.m), job.poly, lsbFirst,
                                static_cast<std::uint8_t>(t), p, static_cast<std::uint16_t>(protectedBytes), prepad,
                                static_cast<std::uint16_t>(at)});
            };
            const auto data = [&]() -> const MessageAt & {
                if (!dataAt) {
                    dataAt = std::make_unique<MessageAt>(*f, delta, step, lsbFirst);
                }
                return *dataAt;
            };
            if (interleaved) {
                if (k == 0 && confirm(*f, data(), 0, delta + p, degree[t], t, lsbFirst)) {
                    add(0, false);
                }
                const unsigned kp = (f->log[v] + 2 * f->n - f->log[prefix] - b0) % f->n;
                if (p > step && prefix != 0 && kp == 0 &&
                    confirm(*f, MessageAt(*f, delta, p, lsbFirst), 0, delta + p, degree[t], t, lsbFirst)) {
                    add(p - step, true);
                }
            } else if (k % 8 == 0 && k / 8 <= (t == 1 ? 0 : kMaxProtected) &&
                       confirm(*f, data(), k / 8, delta + p, degree[t], t, lsbFirst)) {
                add(k / 8, false);
            }
            // One flipped bit in the difference: its syndromes are those of a
            // single error, S3 = S1^3 (and S5 = S1^5), which a wrong place or
            // field meets one time in 2^m (2^2m).
            const unsigned s1 = f->mul(dataValue, b0) ^ v;
            if (tolerant && t >= 2 && s1 != 0) {
                bool single = true;
                for (unsigned j = 3; j <= 5 && j < 2 * t && single; j += 2) {
                    const unsigned sj = f->mul(data().v[(j - 3) / 2], (j * b0) % f->n) ^
                                        f->eval(delta + p, degree[t], lsbFirst, j);
                    single = sj == f->exp[(j * f->log[s1]) % f->n];
                }
                if (single) {
                    add(0, false);
                }
            }
            // Protected OOB bytes that differ between the records: the
            // message is the data and q bytes from OOB byte z, whose value at
            // a the table names by its log.
            if (protectedValues && !interleaved && t >= 2) {
                const std::int32_t at = messageByLog()[(f->log[v] + 2 * f->n - b0) % f->n];
                const unsigned z = at < 0 ? 0 : static_cast<unsigned>(at) / kMaxProtected;
                const unsigned q = at < 0 ? 0 : static_cast<unsigned>(at) % kMaxProtected + 1;
                const std::size_t codeAt = p - g.page;
                if (at >= 0 && (z + q <= codeAt || z >= codeAt + (job.m * t + 7) / 8)) {
                    // The message at a^3 and a^5 from the data's: shifted past
                    // the q bytes, which are added.
                    MessageAt message = data();
                    for (unsigned i = 0; i < 2; i++) {
                        const unsigned j = 2 * i + 3;
                        const unsigned shifted = f->mul(message.v[i], (j * 8 * q) % f->n);
                        const unsigned tags = f->eval(delta + g.page + z, std::size_t{8} * q, lsbFirst, j);
                        message.v[i] = shifted ^ tags;
                    }
                    if (confirm(*f, message, 0, delta + p, degree[t], t, lsbFirst)) {
                        add(q, false, z);
                    }
                }
            }
        };
        // The code bits from p as a polynomial at a, byte by byte; at each
        // strength's code length (degree[t] bits) within a byte, the value
        // of its first bits.
        unsigned whole = 0;  // the bytes before k
        unsigned t = 1;
        for (std::size_t k = 0; k < avail && t <= maxT; k++) {
            const unsigned byte = Field::ordered(delta[p + k], lsbFirst);
            for (; t <= maxT && degree[t] <= 8 * (k + 1); t++) {
                if (degree[t] <= 8 * k || (job.m * t + 7) / 8 > avail) {
                    continue;
                }
                const unsigned r = degree[t] - 8 * static_cast<unsigned>(k);  // bits of this byte, 1..8
                unsigned v = whole;
                for (unsigned i = 0; i < r; i++) {
                    v = f->timesA(v);
                }
                v ^= byte >> (8 - r);
                if (v != 0) {
                    test(v, t);
                }
            }
            whole = f->timesA8(whole) ^ byte;
        }
    });
}

// x^e mod poly, in GF(2)[x] modulo a polynomial of degree m.
unsigned powX(unsigned e, unsigned poly, unsigned m)
{
    const auto mulMod = [poly, m](unsigned a, unsigned b) {
        unsigned r = 0;
        for (; b != 0; b >>= 1) {
            r ^= (b & 1u) != 0 ? a : 0u;
            a <<= 1;
            a ^= (a >> m & 1u) != 0 ? poly : 0u;
        }
        return r;
    };
    unsigned result = 1;
    unsigned base = 2;  // x
    for (; e != 0; e >>= 1) {
        if ((e & 1u) != 0) {
            result = mulMod(result, base);
        }
        base = mulMod(base, base);
    }
    return result;
}

// Whether poly of degree m is primitive: x has order exactly 2^m - 1, which
// no reducible polynomial allows. Far quicker than walking the field.
bool primitive(unsigned m, unsigned poly)
{
    const unsigned n = (1u << m) - 1;
    if (powX(n, poly, m) != 1) {
        return false;
    }
    unsigned rest = n;
    for (unsigned p = 2; rest > 1; p++) {
        if (p * p > rest) {
            p = rest;  // what is left is prime
        }
        if (rest % p != 0) {
            continue;
        }
        while (rest % p == 0) {
            rest /= p;
        }
        if (powX(n / p, poly, m) == 1) {
            return false;
        }
    }
    return true;
}

// The fields to try: the known polynomials, or with exhaustive every
// primitive one, of m = 13..15.
std::vector<Job> bchJobs(bool exhaustive)
{
    std::vector<Job> jobs;
    for (unsigned m = kMinField; m <= kMaxField; m++) {
        if (exhaustive) {
            for (unsigned p = (1u << m) | 1u; p < (2u << m); p += 2) {
                if (primitive(m, p)) {
                    jobs.push_back({m, p});
                }
            }
            continue;
        }
        jobs.push_back({m, bch::defaultPoly(m)});
        for (const unsigned p : kKnownPolys) {
            if ((p >> m) == 1 && p != bch::defaultPoly(m)) {
                jobs.push_back({m, p});
            }
        }
    }
    return jobs;
}

// Runs the BCH jobs over the difference on the threads asked for.
void searchAllBch(const Geom &g, const std::uint8_t *delta, const std::vector<Job> &jobs, unsigned threads,
                  bool tolerant, bool protectedValues, std::vector<Found> *out)
{
    std::atomic<std::size_t> next{0};
    const unsigned n = std::max(1u, threads);
    std::vector<std::vector<Found>> found(n);
    const auto work = [&](unsigned w) {
        Field f;
        unsigned degree[bch::kMaxT + 1];
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            if (!f.make(jobs[i].m, jobs[i].poly)) {
                continue;
            }
            generatorDegrees(f, degree);
            for (const std::uint32_t step : kBchSteps) {
                for (const bool lsbFirst : {false, true}) {
                    searchBch(g, delta, &f, degree, step, lsbFirst, tolerant, protectedValues, &found[w]);
                }
            }
        }
    };
    std::vector<std::thread> pool;
    for (unsigned w = 1; w < n; w++) {
        pool.emplace_back(work, w);
    }
    work(0);
    for (std::thread &th : pool) {
        th.join();
    }
    for (const auto &each : found) {
        out->insert(out->end(), each.begin(), each.end());
    }
}

// ---- from a found code to a layout ----

// The code of step s of a record as its codec computes it, before any
// constant: its data and protected bytes encoded.
void stepCode(const Codec &c, const std::uint8_t *record, std::size_t s, std::uint8_t *code)
{
    std::uint8_t message[bch::kMaxMessageBytes];
    std::memcpy(message, record + c.dataPos[s], c.layout.stepSize);
    for (std::size_t i = 0; i < c.protBytes; i++) {
        message[c.layout.stepSize + i] = record[c.protPos[s * c.protBytes + i]];
    }
    switch (c.layout.scheme) {
    case Scheme::Classic:
        image::storeLE32(code, computeECC(message));
        break;
    case Scheme::Hamming:
        hamming::compute(message, c.layout.stepSize, c.layout.smOrder, code);
        break;
    case Scheme::Bch:
        bch::encode(c.bch, message, code);
        break;
    case Scheme::None:
        break;
    }
}

// The code of a data difference: what a step's stored code differs by
// between the two records of the difference, whatever constant they share.
// The codec is one without a constant; only Hamming's inverted parities make
// the code of zeros other than zero.
void deltaCode(const Codec &c, const std::uint8_t *delta, std::size_t s, std::uint8_t *code)
{
    stepCode(c, delta, s, code);
    if (c.layout.scheme == Scheme::Hamming) {
        constexpr std::uint8_t kZeros[512] = {};
        std::uint8_t zero[hamming::kCodeBytes];
        hamming::compute(kZeros, c.layout.stepSize, c.layout.smOrder, zero);
        for (std::size_t i = 0; i < hamming::kCodeBytes; i++) {
            code[i] ^= zero[i];
        }
    }
}

// Whether two codes agree in the bits of the code.
bool sameCode(const Codec &c, const std::uint8_t *a, const std::uint8_t *b)
{
    for (std::size_t i = 0; i < c.codeBytes; i++) {
        if (((a[i] ^ b[i]) & c.eccKeep[i]) != 0) {
            return false;
        }
    }
    return true;
}

struct Workspace {
    std::unique_ptr<Codec> codec;
    std::unique_ptr<Codec> other;
    std::unique_ptr<RecordResult> result;
    std::vector<std::uint8_t> record;
};

bool make(const Layout &l, Codec *c)
{
    char why[200];
    Layout out{};
    if (!makeLayout(l, LayoutChanges{}, &out, why, sizeof why)) {
        return false;
    }
    makeCodec(out, c);
    return true;
}

// Whether a constant is zero in the bits of the code.
bool noConstant(const Codec &c, const std::uint8_t *k)
{
    for (std::size_t i = 0; i < c.codeBytes; i++) {
        if ((k[i] & c.eccKeep[i]) != 0) {
            return false;
        }
    }
    return true;
}

// The stored bytes of step s XOR its computed code, over the code bytes
// (their spare bits too, so that a build with it writes them as they are).
void constantOf(const Codec &c, const std::uint8_t *record, std::size_t s, std::uint8_t *k)
{
    stepCode(c, record, s, k);
    for (std::size_t i = 0; i < c.codeBytes; i++) {
        k[i] ^= record[c.eccPos[s * c.eccBytes + i]];
    }
}

// The constant most steps of the written records store their code XOR
// with, into k; false unless at least half of the steps looked at agree (a
// flipped bit changes a step's constant, a wrong layout every step's).
bool steadyConstant(const Codec &c, const std::vector<const std::uint8_t *> &written, std::uint8_t *k)
{
    constexpr std::size_t kLooked = 16;
    std::uint8_t each[kLooked][kMaxEccBytes] = {};
    std::size_t n = 0;
    for (std::size_t r = 0; r < written.size() && n < kLooked; r++) {
        for (std::size_t s = 0; s < c.steps && n < kLooked; s++) {
            constantOf(c, written[r], s, each[n++]);
        }
    }
    std::size_t best = 0;
    std::size_t bestVotes = 0;
    for (std::size_t i = 0; i < n; i++) {
        std::size_t votes = 0;
        for (std::size_t j = 0; j < n; j++) {
            votes += sameCode(c, each[i], each[j]) ? 1u : 0u;
        }
        if (votes > bestVotes) {
            best = i;
            bestVotes = votes;
        }
    }
    std::memcpy(k, each[best], c.codeBytes);
    return n != 0 && 2 * bestVotes >= n;
}

// The free-byte fill and bad-block marker the written records show.
void fillAndMarkers(const Codec &c, const std::vector<const std::uint8_t *> &written, Layout *l)
{
    unsigned counts[256] = {};
    const Layout &cl = c.layout;
    const auto isFree = [&](std::uint32_t at) {
        return cl.interleaved ? cl.pageSize + at >= c.steps * interleavedStepBytes(cl) : c.oobStep[at] < 0;
    };
    for (const std::uint8_t *r : written) {
        for (std::uint32_t j = 0; j < cl.oobSize; j++) {
            if (isFree(j)) {
                counts[r[cl.pageSize + j]]++;
            }
        }
    }
    l->freeFill = kErased;
    for (unsigned v = 0; v < 256; v++) {
        if (counts[v] > counts[l->freeFill]) {
            l->freeFill = static_cast<std::uint8_t>(v);
        }
    }
    l->padFill = l->freeFill;
    l->markerCount = 0;
    if (cl.interleaved) {
        return;
    }
    // A marker byte is 0xFF in the written pages of good blocks, which are
    // nearly all of them.
    const auto erasedEverywhere = [&](std::uint32_t at) {
        if (at >= cl.oobSize || !isFree(at)) {
            return false;
        }
        std::size_t erased = 0;
        for (const std::uint8_t *r : written) {
            erased += r[cl.pageSize + at] == kErased ? 1u : 0u;
        }
        return static_cast<double>(erased) >= kConvincingShare * static_cast<double>(written.size());
    };
    if (isSmallOob(cl.oobSize)) {
        if (erasedEverywhere(kSmallPageMarker)) {
            l->markers[l->markerCount++] = kSmallPageMarker;
        }
        return;
    }
    for (std::uint16_t at = 0; at < 2 && erasedEverywhere(at); at++) {
        l->markers[l->markerCount++] = at;
    }
}

// The layout of a found code: where the other steps' codes are, the
// constant, protected bytes, fill and marker; false if it explains no more
// than step 0 of one difference.
bool layoutOf(const Geom &g, const Found &f, const std::uint8_t *delta,
              const std::vector<const std::uint8_t *> &written, Workspace *ws, std::vector<Layout> *out)
{
    Layout l{};
    std::snprintf(l.name, sizeof l.name, "detected");
    l.pageSize = g.page;
    l.oobSize = g.oob;
    l.stepSize = f.step;
    l.scheme = f.scheme;
    l.strength = f.t;
    l.smOrder = f.smOrder;
    l.m = f.m;
    l.poly = f.poly;
    l.lsbFirst = f.lsbFirst;
    l.erasedMask = false;
    l.pagesPerBlock = kDefaultPagesPerBlock;
    l.freeFill = l.padFill = kErased;
    const std::size_t steps = g.page / f.step;
    const std::size_t codeBytes =
        f.scheme == Scheme::Bch ? (std::size_t{f.m} * f.t + 7) / 8 : (f.scheme == Scheme::Classic ? 4 : 3);
    // A one-step layout with the same code, for the codes of the other steps'
    // data: its message is the step's data and any prepad bytes after it.
    Layout probe = l;
    probe.pageSize = f.step;
    probe.interleaved = true;
    probe.placement = Placement::End;
    // In the OOB, the protected bytes of a difference are taken as zero:
    // they are the same in both records (free fill, or a steady tag).
    const bool inOob = f.pos >= g.page;
    probe.prepad = static_cast<std::uint16_t>(inOob ? f.protectedBytes : (f.prepadProtected ? f.pos - f.step : 0));
    probe.protectPrepad = probe.prepad != 0;
    probe.oobSize = static_cast<std::uint32_t>(probe.prepad + codeBytes);
    if (!make(probe, ws->other.get())) {
        return false;
    }
    const Codec &one = *ws->other;
    std::uint8_t code[kMaxEccBytes] = {};
    std::vector<Layout> shapes;
    if (f.pos < g.page) {
        // Interleaved: step 1's data starts where its code follows it at the
        // same distance as step 0's.
        l.interleaved = true;
        l.placement = Placement::End;
        l.prepad = static_cast<std::uint16_t>(f.pos - f.step);
        l.protectPrepad = f.prepadProtected;
        if (f.protectedBytes != 0 && !f.prepadProtected) {
            return false;
        }
        l.postpad = 0;
        if (steps > 1) {
            bool placed = false;
            for (std::size_t post = 0; post <= kMaxPostpad && !placed; post++) {
                const std::size_t next = f.pos + codeBytes + post;
                if (next + f.step + l.prepad + codeBytes > g.record) {
                    break;
                }
                deltaCode(one, delta + next, 0, code);
                placed = sameCode(one, code, delta + next + f.step + l.prepad);
                l.postpad = static_cast<std::uint16_t>(post);
            }
            if (!placed) {
                return false;
            }
        }
        shapes.push_back(l);
    } else {
        l.placement = Placement::Offset;
        l.eccOffset = f.pos - g.page;
        l.protectedPerStep = f.protectedBytes;
        // Each step's code where it is found in the OOB, in E-byte slots
        // (E: the nearest two codes, at least the code) that make the ranges.
        // A step whose data is the same in both records of the difference
        // shows no code; it takes its place from the stride of the others.
        std::vector<std::uint32_t> at(steps);
        std::vector<bool> known(steps, false);
        std::vector<bool> taken(g.oob, false);
        at[0] = l.eccOffset;
        known[0] = true;
        std::fill(taken.begin() + at[0], taken.begin() + at[0] + static_cast<std::ptrdiff_t>(codeBytes), true);
        std::uint8_t message[bch::kMaxMessageBytes] = {};
        bool everyStep = true;
        for (std::size_t s = 1; s < steps && everyStep; s++) {
            if (allBytes(delta + s * f.step, f.step, 0)) {
                continue;
            }
            std::memcpy(message, delta + s * f.step, f.step);
            if (f.protectedAt != kNowhere) {
                // Protected bytes found in place: step s's follow step 0's,
                // which must leave them room in the OOB.
                if (f.protectedAt + (s + 1) * f.protectedBytes > g.oob) {
                    everyStep = false;
                    break;
                }
                std::memcpy(message + f.step, delta + g.page + f.protectedAt + s * f.protectedBytes,
                            f.protectedBytes);
            }
            deltaCode(one, message, 0, code);
            everyStep = false;
            for (std::uint32_t p = 0; p + codeBytes <= g.oob && !everyStep; p++) {
                if (!taken[p] && !taken[p + codeBytes - 1] && sameCode(one, code, delta + g.page + p)) {
                    at[s] = p;
                    known[s] = true;
                    std::fill(taken.begin() + p, taken.begin() + p + static_cast<std::ptrdiff_t>(codeBytes), true);
                    everyStep = true;
                }
            }
        }
        if ((!everyStep || steps == 1) && f.t == 1 && f.scheme == Scheme::Bch) {
            return false;  // one syndrome passes one place in 2^m: not evidence enough
        }
        // E: the nearest two codes found, per step between them.
        std::size_t stride = kMaxEccBytes + 1;
        for (std::size_t s = 1, last = 0; s < steps && everyStep; s++) {
            if (!known[s]) {
                continue;
            }
            const std::size_t span = at[s] > at[last] ? at[s] - at[last] : at[last] - at[s];
            if (span % (s - last) == 0 && span / (s - last) >= codeBytes) {
                stride = std::min(stride, span / (s - last));
            }
            last = s;
        }
        stride = stride > kMaxEccBytes ? codeBytes : stride;
        for (std::size_t s = 1; s < steps; s++) {
            if (!known[s]) {
                at[s] = static_cast<std::uint32_t>(at[s - 1] + stride);
            }
        }
        if (everyStep && steps > 1) {
            Layout ranged = l;
            ranged.placement = Placement::Regions;
            ranged.eccBytesPerStep = stride != codeBytes ? static_cast<std::uint32_t>(stride) : 0;
            ranged.regionCount = 0;
            for (std::size_t s = 0; s < steps; s++) {
                Region *last = ranged.regionCount != 0 ? &ranged.regions[ranged.regionCount - 1] : nullptr;
                if (last != nullptr && last->offset + last->length == at[s]) {
                    last->length += static_cast<std::uint32_t>(stride);
                } else if (ranged.regionCount < kMaxRegions) {
                    ranged.regions[ranged.regionCount++] = {at[s], static_cast<std::uint32_t>(stride)};
                }
            }
            if (ranged.regionCount == 1) {
                ranged.placement = Placement::Offset;
            }
            l = ranged;
        }
        if (f.protectedBytes == 0) {
            shapes.push_back(l);
            if (f.scheme == Scheme::Hamming && l.eccOffset == 0 && isSmallOob(g.oob)) {
                Layout sp = l;
                sp.placement = Placement::SmallPage;
                sp.eccBytesPerStep = 0;
                shapes.push_back(sp);
            }
        } else {
            // The protected bytes: where they were found, else a range of the
            // OOB, after the marker bytes if it can, whose bytes make the
            // codes need no constant.
            const std::uint32_t need = static_cast<std::uint32_t>(steps * f.protectedBytes);
            if (f.protectedAt != kNowhere) {
                Layout p = l;
                p.protectedCount = 1;
                p.protectedRegions[0] = {f.protectedAt, need};
                shapes.push_back(p);
            }
            const std::uint32_t first = isSmallOob(g.oob) ? 0 : 2;
            bool chosen = false;
            Layout fallback{};
            bool haveFallback = false;
            for (std::uint32_t k = 0; k + need <= g.oob && !chosen && f.protectedAt == kNowhere; k++) {
                const std::uint32_t z = (k + first) % g.oob;
                if (z + need > g.oob) {
                    continue;
                }
                Layout p = l;
                p.protectedCount = 1;
                p.protectedRegions[0] = {z, need};
                if (!make(p, ws->codec.get())) {
                    continue;
                }
                std::uint8_t kc[kMaxEccBytes] = {};
                if (!steadyConstant(*ws->codec, written, kc)) {
                    continue;
                }
                Layout masked = p;
                masked.erasedMask = true;
                std::uint8_t km[kMaxEccBytes] = {};
                const bool maskedSteady = make(masked, ws->other.get()) && steadyConstant(*ws->other, written, km);
                if (noConstant(*ws->codec, kc) || (maskedSteady && noConstant(*ws->other, km))) {
                    shapes.push_back(p);
                    chosen = true;
                } else if (!haveFallback) {
                    fallback = p;
                    haveFallback = true;
                }
            }
            if (!chosen && haveFallback) {
                shapes.push_back(fallback);
            }
        }
    }
    for (Layout &shape : shapes) {
        if (!make(shape, ws->codec.get())) {
            continue;
        }
        // The constant: none, Linux's erased mask, or an ecc_xor. Where the
        // steps agree on none (every one has a flipped bit), the first two
        // are left to the scores.
        std::uint8_t k[kMaxEccBytes] = {};
        if (!steadyConstant(*ws->codec, written, k)) {
            fillAndMarkers(*ws->codec, written, &shape);
            for (const bool mask : {false, true}) {
                Layout plain = shape;
                plain.erasedMask = mask;
                Layout checked{};
                char why[200];
                if ((!mask || shape.scheme == Scheme::Bch) && makeLayout(plain, LayoutChanges{}, &checked, why, sizeof why)) {
                    out->push_back(checked);
                }
            }
            continue;
        }
        if (!noConstant(*ws->codec, k)) {
            Layout masked = shape;
            masked.erasedMask = true;
            std::uint8_t km[kMaxEccBytes] = {};
            if (shape.scheme == Scheme::Bch && make(masked, ws->other.get()) &&
                steadyConstant(*ws->other, written, km) && noConstant(*ws->other, km)) {
                shape.erasedMask = true;
            } else {
                shape.eccXorLength = static_cast<std::uint8_t>(ws->codec->codeBytes);
                std::memcpy(shape.eccXor, k, ws->codec->codeBytes);
            }
        }
        fillAndMarkers(*ws->codec, written, &shape);
        Layout checked{};
        char why[200];
        if (makeLayout(shape, LayoutChanges{}, &checked, why, sizeof why)) {
            out->push_back(checked);
        }
    }
    return true;
}

// Checks the sampled records with a layout, as `check` would.
// A scrambling layout's records need their pages' indices (pages); the
// others read any record alike.
DetectScore scoreOf(const Layout &l, const std::vector<const std::uint8_t *> &records, Workspace *ws,
                    const std::vector<std::uint64_t> *pages = nullptr)
{
    DetectScore s{};
    s.layout = l;
    makeCodec(l, ws->codec.get());
    const Codec &c = *ws->codec;
    ws->record.resize(c.recordSize);
    for (std::size_t i = 0; i < records.size(); i++) {
        const std::uint8_t *r = records[i];
        if (markerSet(c, r)) {
            continue;  // a bad block's page: check does not decode those either
        }
        std::memcpy(ws->record.data(), r, c.recordSize);
        checkRecord(c, ws->record.data(), strength(l), ws->result.get(), pages != nullptr ? (*pages)[i] : 0);
        if (ws->result->erased) {
            continue;
        }
        s.records++;
        for (std::size_t st = 0; st < c.steps; st++) {
            const StepResult &sr = ws->result->steps[st];
            if (sr.blank) {
                continue;
            }
            if (sr.status == EccStatus::Clean) {
                s.clean++;
            } else if (sr.status == EccStatus::Uncorrectable) {
                s.uncorrectable++;
            } else {
                s.corrected++;
            }
        }
    }
    return s;
}

// Better first: more of the steps decoded, then more of them clean.
bool better(const DetectScore &a, const DetectScore &b)
{
    const std::uint64_t ta = std::uint64_t{a.clean} + a.corrected + a.uncorrectable;
    const std::uint64_t tb = std::uint64_t{b.clean} + b.corrected + b.uncorrectable;
    // Compare (clean + corrected) / total and clean / total by cross products.
    const std::uint64_t oka = std::uint64_t{a.clean} + a.corrected;
    const std::uint64_t okb = std::uint64_t{b.clean} + b.corrected;
    if (oka * tb != okb * ta) {
        return oka * tb > okb * ta;
    }
    if (std::uint64_t{a.clean} * tb != std::uint64_t{b.clean} * ta) {
        return std::uint64_t{a.clean} * tb > std::uint64_t{b.clean} * ta;
    }
    return ta > tb;
}

bool sameLayout(const Layout &a, const Layout &b)
{
    char ja[kMaxLayoutJson];
    char jb[kMaxLayoutJson];
    describeJson(a, ja, sizeof ja);
    describeJson(b, jb, sizeof jb);
    return std::strcmp(ja, jb) == 0;
}

void addCandidate(const DetectScore &s, DetectResult *r)
{
    for (std::size_t i = 0; i < r->count; i++) {
        if (sameLayout(r->candidates[i].layout, s.layout)) {
            return;
        }
    }
    std::size_t at = r->count;
    while (at > 0 && better(s, r->candidates[at - 1])) {
        at--;
    }
    if (at >= kMaxDetectCandidates) {
        return;
    }
    const std::size_t last = std::min(r->count, kMaxDetectCandidates - 1);
    for (std::size_t i = last; i > at; i--) {
        r->candidates[i] = r->candidates[i - 1];
    }
    r->candidates[at] = s;
    r->count = std::min(r->count + 1, kMaxDetectCandidates);
}

// Looks for the codes under one geometry; adds what it finds to the result.
void searchGeometry(const Geom &g, const std::vector<const std::uint8_t *> &records, const std::vector<Job> &jobs,
                    std::size_t maxDifferences, bool tolerant, bool protectedValues, const DetectOptions &o,
                    Workspace *ws, DetectResult *result)
{
    std::vector<const std::uint8_t *> written;
    for (const std::uint8_t *r : records) {
        if (!allBytes(r, g.record, kErased)) {
            written.push_back(r);
        }
    }
    if (written.empty()) {
        return;
    }
    std::vector<std::uint8_t> delta(g.record);
    std::vector<Found> tried;
    constexpr std::size_t kProbe = 256;  // bytes that tell two steps' data apart
    std::size_t differences = 0;
    // Anchors: records whose first step is written, not blank flash with a
    // flipped bit (a page half written leaves its other steps blank).
    constexpr unsigned kWrittenZeros = 64;  // of the probe's 2048 bits
    std::vector<const std::uint8_t *> anchors;
    for (const std::uint8_t *r : written) {
        if (anchors.size() < kMaxAnchors && zeroBits(r, kProbe, kWrittenZeros) > kWrittenZeros) {
            anchors.push_back(r);
        }
    }
    for (std::size_t a = 0; a < anchors.size(); a++) {
        const std::uint8_t *anchor = anchors[a];
        // Partners: blank flash, zeros, and another written record.
        for (int partner = 0; partner < 3; partner++) {
            const std::uint8_t *other = nullptr;
            if (partner == 2) {
                for (std::size_t b = a + 1; b < anchors.size() && other == nullptr; b++) {
                    if (std::memcmp(anchors[b], anchor, kProbe) != 0) {
                        other = anchors[b];
                    }
                }
                if (other == nullptr) {
                    continue;
                }
            }
            for (std::size_t i = 0; i < g.record; i++) {
                const std::uint8_t with = partner == 0 ? kErased : (partner == 1 ? 0 : other[i]);
                delta[i] = anchor[i] ^ with;
            }
            if (allBytes(delta.data(), kProbe, 0)) {
                continue;
            }
            if (differences++ == maxDifferences) {
                return;
            }
            std::vector<Found> found;
            searchSingle(g, delta.data(), &found);
            searchAllBch(g, delta.data(), jobs, o.threads, tolerant, protectedValues, &found);
            for (const Found &f : found) {
                if (std::find(tried.begin(), tried.end(), f) != tried.end()) {
                    continue;
                }
                tried.push_back(f);
                std::vector<Layout> layouts;
                layoutOf(g, f, delta.data(), written, ws, &layouts);
                for (const Layout &l : layouts) {
                    addCandidate(scoreOf(l, records, ws), result);
                }
            }
            if (result->count != 0 && convincing(result->candidates[0]) && result->candidates[0].uncorrectable == 0 &&
                result->candidates[0].corrected == 0) {
                return;
            }
        }
    }
}

// Tries the controllers' own layouts (their presets, as layouts.h lists
// them) on the likely geometries: their codes are packed or scrambled where
// the search by differences cannot see them, and a dump that one of them
// explains is theirs. Each SoC that reads the page otherwise is tried too.
void searchVendors(const std::vector<Geometry> &all, const DumpWindow *windows, std::size_t count, Workspace *ws,
                   DetectResult *result)
{
    std::size_t presetCount = 0;
    const Layout *list = presets(&presetCount);
    std::vector<const std::uint8_t *> records;
    std::vector<std::uint64_t> pages;
    const std::size_t tries = std::min(all.size(), kMaxGeometries);
    for (std::size_t i = 0; i < tries; i++) {
        const Geometry &geo = all[i];
        sampleRecords(windows, count, std::size_t{geo.page} + geo.oob, &records, &pages);
        for (std::size_t p = 0; p < presetCount; p++) {
            const Layout &base = list[p];
            if (base.vendor == Vendor::None) {
                continue;
            }
            // The preset's SoC, and for GPMI the i.MX23, which swaps no marker.
            const int socs[] = {-1, static_cast<int>(gpmi::Soc::Imx23)};
            const std::size_t socCount = base.vendor == Vendor::Gpmi ? 2 : 1;
            for (std::size_t k = 0; k < socCount; k++) {
                const int soc = socs[k];
                LayoutChanges changes;
                changes.pageSize = geo.page;
                changes.oobSize = geo.oob;
                changes.soc = soc;
                Layout l{};
                char why[kMaxMessage];
                if (!makeLayout(base, changes, &l, why, sizeof why)) {
                    continue;
                }
                const DetectScore score = scoreOf(l, records, ws, &pages);
                // Stricter than the search's own bar, as nothing but the
                // score found this layout: most written records decoded (a
                // wrong layout reads most as bad blocks, and a few steps of
                // random data decode into some codeword), and nine steps in
                // ten of them clean or corrected.
                std::size_t written = 0;
                for (const std::uint8_t *r : records) {
                    written += allBytes(r, std::size_t{geo.page} + geo.oob, kErased) ? 0u : 1u;
                }
                if (2 * std::size_t{score.records} >= written && written != 0 && convincing(score)) {
                    addCandidate(score, result);
                    result->recordsSampled = static_cast<std::uint32_t>(records.size());
                    result->blankRecords = 0;
                    for (const std::uint8_t *r : records) {
                        result->blankRecords += allBytes(r, std::size_t{geo.page} + geo.oob, kErased) ? 1u : 0u;
                    }
                    result->pageSize = geo.page;
                    result->oobSize = geo.oob;
                    result->geometryFound = true;
                    return;
                }
            }
        }
    }
}

}  // namespace

WindowPlan planWindows(std::uint64_t size)
{
    // Enough windows, spread evenly, that blank stretches and bad blocks
    // leave written records to look at; each holds a few records of the
    // largest geometry (a 16384-byte page and a quarter of it).
    constexpr std::size_t kWindows = 64;
    constexpr std::size_t kWindowBytes = std::size_t{4} * (16384 + 4096);
    const bool whole = size <= std::uint64_t{kWindows} * kWindowBytes;
    return {whole ? 1 : kWindows, whole ? static_cast<std::size_t>(size) : kWindowBytes, size};
}

bool convincing(const DetectScore &s)
{
    const std::uint64_t total = std::uint64_t{s.clean} + s.corrected + s.uncorrectable;
    return total != 0 && static_cast<double>(s.clean + s.corrected) >= kConvincingShare * static_cast<double>(total);
}

bool detectLayout(const DumpWindow *windows, std::size_t count, std::uint64_t dumpSize, const DetectOptions &o,
                  DetectResult *result, char *why, std::size_t whySize)
{
    *result = DetectResult{};
    if (count == 0 || dumpSize == 0) {
        std::snprintf(why, whySize, "an empty dump");
        return false;
    }
    Workspace ws;
    ws.codec.reset(new (std::nothrow) Codec);
    ws.other.reset(new (std::nothrow) Codec);
    ws.result.reset(new (std::nothrow) RecordResult);
    if (!ws.codec || !ws.other || !ws.result) {
        std::snprintf(why, whySize, "out of memory");
        return false;
    }
    const std::vector<Geometry> all = geometries(windows, count, dumpSize, o);
    // A controller's own layout, where one explains the dump, comes first.
    searchVendors(all, windows, count, &ws, result);
    if (result->count != 0) {
        return true;
    }
    const std::vector<Job> known = bchJobs(false);
    result->polynomials = static_cast<std::uint32_t>(known.size());
    std::vector<const std::uint8_t *> records;
    const auto settled = [result] {
        return result->count != 0 && convincing(result->candidates[0]) && result->candidates[0].uncorrectable == 0;
    };
    // The known polynomials over the likely geometries; then, over the
    // likeliest, the same taking a step with one flipped bit, and every
    // polynomial: on few differences, as one step decides a polynomial.
    constexpr std::size_t kAllDifferences = 3 * kMaxAnchors;
    constexpr std::size_t kFewDifferences = 6;
    constexpr std::size_t kFewGeometries = 3;
    enum Pass { Known, Tolerant, Every, Passes };
    std::vector<Job> every;
    for (int pass = Known; pass < Passes && !settled(); pass++) {
        if (pass == Every) {
            if (!o.exhaustive) {
                break;
            }
            every = bchJobs(true);
            result->polynomials = static_cast<std::uint32_t>(every.size());
        }
        const std::size_t tries = std::min(all.size(), pass == Known ? kMaxGeometries : kFewGeometries);
        for (std::size_t i = 0; i < tries && !settled(); i++) {
            const Geometry &geo = all[i];
            if (pass != Known && i != 0 && geo.steady == 0) {
                break;  // no structure to tell it from the first: the costly passes take the first alone
            }
            const Geom g{geo.page, geo.oob, std::size_t{geo.page} + geo.oob};
            sampleRecords(windows, count, g.record, &records);
            const bool hadBest = result->count != 0;
            const DetectScore previous = hadBest ? result->candidates[0] : DetectScore{};
            searchGeometry(g, records, pass == Every ? every : known,
                           pass == Known ? kAllDifferences : kFewDifferences, pass == Tolerant, pass != Known, o,
                           &ws, result);
            const bool newBest =
                result->count != 0 && (!hadBest || !sameLayout(previous.layout, result->candidates[0].layout));
            if ((pass == Known && i == 0) || newBest) {
                result->recordsSampled = static_cast<std::uint32_t>(records.size());
                result->blankRecords = 0;
                for (const std::uint8_t *r : records) {
                    result->blankRecords += allBytes(r, g.record, kErased) ? 1u : 0u;
                }
                result->pageSize = g.page;
                result->oobSize = g.oob;
                result->geometryFound = geo.steady != 0 || result->count != 0;
            }
        }
    }
    return true;
}

}  // namespace nand
