// The BCH code of this project beside Linux's own C version of it (lib/bch.c),
// encoding random steps and decoding steps with exactly t flipped data bits,
// at three strengths Linux's NAND drivers use. Linux's file is not part of
// this project: bench/bch_vs_linux.sh compiles it from a Linux source tree the
// user names and links this file against it.
//
// Before anything is timed, the two versions must agree: the same code bytes
// for the same steps (our code unmasked, most significant bit first, which is
// how lib/bch.c stores it), and the same t error locations, which must also be
// the bits that were flipped. Otherwise the program stops with a message and a
// non-zero status.
#include "bch.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

// From the user's Linux tree, compiled as C; the control structure is only
// passed back to it.
extern "C" {
struct bch_control;
struct bch_control *bch_init(int m, int t, unsigned int prim_poly, bool swap_bits);
void bch_free(struct bch_control *bch);
void bch_encode(struct bch_control *bch, const std::uint8_t *data, unsigned int len, std::uint8_t *ecc);
int bch_decode(struct bch_control *bch, const std::uint8_t *data, unsigned int len, const std::uint8_t *recv_ecc,
               const std::uint8_t *calc_ecc, const unsigned int *syn, unsigned int *errloc);
}

namespace {

// Steps handled in one benchmark iteration, each a different random step
// (decoding: each with its own flips), so that neither version meets the same
// step over and over.
constexpr std::size_t kSteps = 16;

struct Point {
    const char *name;
    unsigned m;
    unsigned t;
    unsigned poly;
    std::size_t bytes;
};

constexpr Point kPoints[] = {
    {"m13-t8-512", 13, 8, 0x201b, 512},
    {"m14-t24-1024", 14, 24, 0x402b, 1024},
    {"m14-t40-1024", 14, 40, 0x5803, 1024},
};

// One point made ready for both versions: the two codes and the steps.
struct Bench {
    Point pt{};
    std::unique_ptr<bch::Code> ours;  // large: on the heap, made once
    bch_control *theirs = nullptr;
    unsigned codeBytes = 0;
    std::vector<std::uint8_t> clean;    // kSteps random steps
    std::vector<std::uint8_t> flipped;  // the same steps with t data bits flipped each
    std::vector<std::uint8_t> codes;    // the code of each clean step
};

std::vector<Bench> &benches()
{
    static std::vector<Bench> b;
    return b;
}

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "bch_vs_linux: %s\n", what.c_str());
    std::exit(1);
}

void randomStep(std::mt19937_64 &rng, std::uint8_t *data, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; i++) {
        data[i] = static_cast<std::uint8_t>(rng());
    }
}

// t distinct data bit locations, in Linux's numbering (bit n % 8 of byte n / 8),
// sorted.
std::vector<unsigned> randomFlips(std::mt19937_64 &rng, unsigned t, std::size_t bytes)
{
    std::vector<unsigned> locs;
    const auto bits = static_cast<unsigned>(8 * bytes);
    while (locs.size() < t) {
        const auto n = static_cast<unsigned>(rng() % bits);
        if (std::find(locs.begin(), locs.end(), n) == locs.end()) {
            locs.push_back(n);
        }
    }
    std::sort(locs.begin(), locs.end());
    return locs;
}

void flip(std::uint8_t *data, const std::vector<unsigned> &locs)
{
    for (const unsigned n : locs) {
        data[n / 8] = static_cast<std::uint8_t>(data[n / 8] ^ (1u << (n % 8)));
    }
}

void linuxEncode(bch_control *l, const std::uint8_t *data, std::size_t bytes, std::uint8_t *ecc, unsigned eccBytes)
{
    std::memset(ecc, 0, eccBytes);  // lib/bch.c adds to what is there
    bch_encode(l, data, static_cast<unsigned>(bytes), ecc);
}

// Linux's decoder only finds the locations; it is made to correct the data as
// a driver does, so that both versions end with the same corrected step.
int linuxDecode(bch_control *l, std::uint8_t *data, std::size_t bytes, const std::uint8_t *ecc, unsigned *errloc)
{
    const int count = bch_decode(l, data, static_cast<unsigned>(bytes), ecc, nullptr, nullptr, errloc);
    for (int i = 0; i < count; i++) {
        if (errloc[i] < 8 * bytes) {
            data[errloc[i] / 8] = static_cast<std::uint8_t>(data[errloc[i] / 8] ^ (1u << (errloc[i] % 8)));
        }
    }
    return count;
}

std::string where(const Point &pt, std::size_t step)
{
    return std::string(pt.name) + ", step " + std::to_string(step);
}

// Makes both codes of a point and checks that the two versions agree on
// random, blank and zero steps, and on steps with t flips.
Bench prepare(const Point &pt)
{
    Bench b;
    b.pt = pt;
    b.ours = std::make_unique<bch::Code>();
    bch::Params p;
    p.m = pt.m;
    p.t = pt.t;
    p.poly = pt.poly;
    p.swapBits = false;
    p.masked = false;
    p.messageBytes = pt.bytes;
    if (const nand::Status made = bch::init(b.ours.get(), p); !made.good()) {
        fail(std::string(pt.name) + ": our code refuses the parameters: " + made.message());
    }
    b.theirs = bch_init(static_cast<int>(pt.m), static_cast<int>(pt.t), pt.poly, false);
    if (b.theirs == nullptr) {
        fail(std::string(pt.name) + ": Linux's bch_init refuses the parameters");
    }
    b.codeBytes = b.ours->codeBytes;
    if (b.codeBytes != (pt.m * pt.t + 7) / 8) {
        fail(std::string(pt.name) + ": our code is " + std::to_string(b.codeBytes) + " bytes, Linux's " +
             std::to_string((pt.m * pt.t + 7) / 8));
    }

    std::mt19937_64 rng(pt.m * 1000 + pt.t);
    std::vector<std::uint8_t> data(pt.bytes);
    std::vector<std::uint8_t> ours(b.codeBytes);
    std::vector<std::uint8_t> theirs(b.codeBytes);

    // Encoding: random steps, then blank and zero ones.
    for (std::size_t k = 0; k < 500; k++) {
        randomStep(rng, data.data(), pt.bytes);
        if (k % 50 == 0) {
            std::memset(data.data(), (k / 50) % 2 == 0 ? 0xFF : 0x00, pt.bytes);
        }
        bch::encode(*b.ours, data.data(), ours.data());
        linuxEncode(b.theirs, data.data(), pt.bytes, theirs.data(), b.codeBytes);
        if (ours != theirs) {
            fail(where(pt, k) + ": the code bytes differ");
        }
    }

    // Decoding: the steps that are timed, and more of the same kind.
    unsigned locs[bch::kMaxT];
    unsigned errloc[bch::kMaxT + 8];
    for (std::size_t k = 0; k < 200; k++) {
        randomStep(rng, data.data(), pt.bytes);
        bch::encode(*b.ours, data.data(), ours.data());
        const std::vector<unsigned> f = randomFlips(rng, pt.t, pt.bytes);
        std::vector<std::uint8_t> bad = data;
        flip(bad.data(), f);

        {
            std::vector<std::uint8_t> fixed = bad;
            std::vector<std::uint8_t> stored = ours;
            const int n = bch::decode(*b.ours, fixed.data(), stored.data(), locs);
            if (n != static_cast<int>(pt.t)) {
                fail(where(pt, k) + ": our decoder returns " + std::to_string(n) + " for " + std::to_string(pt.t) +
                     " flips");
            }
            std::vector<unsigned> found(locs, locs + n);
            std::sort(found.begin(), found.end());
            if (found != f) {
                fail(where(pt, k) + ": our decoder finds other locations than the flips");
            }
            if (fixed != data || stored != ours) {
                fail(where(pt, k) + ": our decoder leaves the step uncorrected");
            }
        }

        std::vector<std::uint8_t> fixed = bad;
        const int n = linuxDecode(b.theirs, fixed.data(), pt.bytes, ours.data(), errloc);
        if (n != static_cast<int>(pt.t)) {
            fail(where(pt, k) + ": Linux's decoder returns " + std::to_string(n) + " for " + std::to_string(pt.t) +
                 " flips");
        }
        std::vector<unsigned> found(errloc, errloc + n);
        std::sort(found.begin(), found.end());
        if (found != f || fixed != data) {
            fail(where(pt, k) + ": Linux's decoder finds other locations than the flips");
        }

        if (k < kSteps) {
            b.clean.insert(b.clean.end(), data.begin(), data.end());
            b.flipped.insert(b.flipped.end(), bad.begin(), bad.end());
            b.codes.insert(b.codes.end(), ours.begin(), ours.end());
        }
    }
    return b;
}

// Each iteration encodes the kSteps steps into their own code bytes.
void encodeOurs(benchmark::State &state, const Bench *b)
{
    std::vector<std::uint8_t> out(kSteps * b->codeBytes);
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
        for (std::size_t i = 0; i < kSteps; i++) {
            bch::encode(*b->ours, b->clean.data() + i * b->pt.bytes, out.data() + i * b->codeBytes);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    if (out != b->codes) {
        state.SkipWithError("our codes changed under timing");
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSteps));
}

void encodeLinux(benchmark::State &state, const Bench *b)
{
    std::vector<std::uint8_t> out(kSteps * b->codeBytes);
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
        for (std::size_t i = 0; i < kSteps; i++) {
            linuxEncode(b->theirs, b->clean.data() + i * b->pt.bytes, b->pt.bytes, out.data() + i * b->codeBytes,
                        b->codeBytes);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    if (out != b->codes) {
        state.SkipWithError("Linux's codes changed under timing");
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSteps));
}

// Each iteration copies each flipped step and its code into a work buffer (the
// same copies for both versions) and decodes and corrects it there. Ours is
// timed as the tools call it (strict: the corrected step is encoded once more
// to check that it is a codeword), which Linux's decoder does not do.
void decodeOurs(benchmark::State &state, const Bench *b)
{
    const std::size_t bytes = b->pt.bytes;
    std::vector<std::uint8_t> work(bytes);
    std::vector<std::uint8_t> code(b->codeBytes);
    unsigned locs[bch::kMaxT];
    int total = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
        total = 0;
        for (std::size_t i = 0; i < kSteps; i++) {
            std::memcpy(work.data(), b->flipped.data() + i * bytes, bytes);
            std::memcpy(code.data(), b->codes.data() + i * b->codeBytes, b->codeBytes);
            total += bch::decode(*b->ours, work.data(), code.data(), locs);
        }
        benchmark::DoNotOptimize(total);
        benchmark::ClobberMemory();
    }
    if (total != static_cast<int>(kSteps * b->pt.t) ||
        std::memcmp(work.data(), b->clean.data() + (kSteps - 1) * bytes, bytes) != 0) {
        state.SkipWithError("our decoder went wrong under timing");
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSteps));
}

void decodeLinux(benchmark::State &state, const Bench *b)
{
    const std::size_t bytes = b->pt.bytes;
    std::vector<std::uint8_t> work(bytes);
    std::vector<std::uint8_t> code(b->codeBytes);
    unsigned errloc[bch::kMaxT + 8];
    int total = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
        total = 0;
        for (std::size_t i = 0; i < kSteps; i++) {
            std::memcpy(work.data(), b->flipped.data() + i * bytes, bytes);
            std::memcpy(code.data(), b->codes.data() + i * b->codeBytes, b->codeBytes);
            total += linuxDecode(b->theirs, work.data(), bytes, code.data(), errloc);
        }
        benchmark::DoNotOptimize(total);
        benchmark::ClobberMemory();
    }
    if (total != static_cast<int>(kSteps * b->pt.t) ||
        std::memcmp(work.data(), b->clean.data() + (kSteps - 1) * bytes, bytes) != 0) {
        state.SkipWithError("Linux's decoder went wrong under timing");
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSteps));
}

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    std::vector<Bench> &all = benches();
    all.reserve(std::size(kPoints));
    for (const Point &pt : kPoints) {
        all.push_back(prepare(pt));
    }
    // Names: operation/point/version; bench/bch_vs_linux.sh pairs them.
    for (const Bench &b : all) {
        const std::string n = b.pt.name;
        benchmark::RegisterBenchmark(("encode/" + n + "/ours").c_str(), encodeOurs, &b);
        benchmark::RegisterBenchmark(("encode/" + n + "/linux").c_str(), encodeLinux, &b);
        benchmark::RegisterBenchmark(("decode/" + n + "/ours").c_str(), decodeOurs, &b);
        benchmark::RegisterBenchmark(("decode/" + n + "/linux").c_str(), decodeLinux, &b);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const Bench &b : all) {
        bch_free(b.theirs);
    }
    return 0;
}
