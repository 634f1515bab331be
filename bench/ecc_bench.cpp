// Throughput of the sector ECC versions and of Linux's Hamming and BCH codes, with memcpy of the same bytes as the
// yardstick, over a buffer that stays in cache (1 MiB) and one that does not
// (256 MiB). Run: build/bin/ecc_bench
#include "bch.h"
#include "ecc.h"
#include "hamming.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr std::size_t kInCache = std::size_t{1} << 20;
constexpr std::size_t kOutOfCache = std::size_t{256} << 20;

const std::vector<std::uint8_t> &buffer(std::size_t size)
{
    static std::vector<std::uint8_t> small, large;
    std::vector<std::uint8_t> &b = size == kInCache ? small : large;
    if (b.empty()) {
        b.resize(size);
        std::mt19937_64 rng(1);
        for (std::size_t i = 0; i < size; i += 8) {
            const std::uint64_t r = rng();
            std::memcpy(b.data() + i, &r, 8);
        }
    }
    return b;
}

template <std::uint32_t (*Version)(const std::uint8_t *)>
void eccOver(benchmark::State &state)
{
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::uint8_t *data = buffer(size).data();
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
        std::uint32_t acc = 0;
        for (std::size_t off = 0; off < size; off += ecc::kSectorSize) {
            acc ^= Version(data + off);
        }
        benchmark::DoNotOptimize(acc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void memcpyOver(benchmark::State &state)
{
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::uint8_t *data = buffer(size).data();
    std::vector<std::uint8_t> copy(size, 1);
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
        std::memcpy(copy.data(), data, size);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void avx2Over(benchmark::State &state)
{
    if (!eccHasAvx2()) {
        state.SkipWithError("no AVX2 on this processor");
        return;
    }
    eccOver<computeECCAvx2>(state);
}

// Linux's software Hamming code over steps of Step bytes.
template <std::size_t Step, void (*Version)(const std::uint8_t *, std::size_t, bool, std::uint8_t *)>
void hammingOver(benchmark::State &state)
{
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::uint8_t *data = buffer(size).data();
    // The codes go to an OOB-like array, as a tool stores them, and are not
    // read back: reading three bytes as one word right after their stores
    // would stall on the stores and time the loop instead of the code.
    std::vector<std::uint8_t> codes(size / Step * 3);
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
        std::uint8_t *code = codes.data();
        for (std::size_t off = 0; off < size; off += Step, code += 3) {
            Version(data + off, Step, false, code);
        }
        benchmark::DoNotOptimize(codes.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// The divisions a BCH code can take: the one init chooses for this
// processor, the fold of the short codes in 128-bit products, or the byte
// tables.
enum class Division { Chosen, ShortFold, Tables };

// A BCH code of strength T over GF(2^M) on steps of Step bytes (Linux's
// NAND codes: masked, most significant bit first), by the division asked for.
template <unsigned M, unsigned T, std::size_t Step, Division D>
void bchOver(benchmark::State &state)
{
    static bch::Code code;
    if (const nand::Status made = bch::init(&code, {M, T, 0, false, true, Step}); !made.good()) {
        state.SkipWithError(made.message());
        return;
    }
    if (D == Division::ShortFold) {
        if (!bch::detail::hasCarryless() || M * T >= 128) {
            state.SkipWithError("no carry-less fold for this code here");
            return;
        }
        code.carryless = true;
    } else if (D == Division::Tables) {
        code.carryless = code.folded = false;
    }
    const auto size = static_cast<std::size_t>(state.range(0));
    const std::uint8_t *data = buffer(size).data();
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
        std::uint8_t acc = 0;
        for (std::size_t off = 0; off + Step <= size; off += Step) {
            std::uint8_t out[bch::kMaxCodeBytes];
            bch::encode(code, data + off, out);
            acc ^= out[0];
        }
        benchmark::DoNotOptimize(acc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(bchOver<13, 4, 512, Division::Chosen>)->Name("bch4")->Arg(kInCache);
BENCHMARK(bchOver<13, 8, 512, Division::Chosen>)->Name("bch8")->Arg(kInCache)->Arg(kOutOfCache);
BENCHMARK(bchOver<13, 8, 512, Division::ShortFold>)->Name("bch8-fold128")->Arg(kInCache);
BENCHMARK(bchOver<13, 8, 512, Division::Tables>)->Name("bch8-tables")->Arg(kInCache);
BENCHMARK(bchOver<13, 16, 512, Division::Chosen>)->Name("bch16")->Arg(kInCache);
BENCHMARK(bchOver<13, 16, 512, Division::Tables>)->Name("bch16-tables")->Arg(kInCache);
BENCHMARK(bchOver<14, 24, 1024, Division::Chosen>)->Name("bch24-1k")->Arg(kInCache);
BENCHMARK(bchOver<14, 40, 1024, Division::Chosen>)->Name("bch40-1k")->Arg(kInCache);
BENCHMARK(hammingOver<256, hamming::compute>)->Name("hamming256")->Arg(kInCache)->Arg(kOutOfCache);
BENCHMARK(hammingOver<512, hamming::compute>)->Name("hamming512")->Arg(kInCache)->Arg(kOutOfCache);
BENCHMARK(hammingOver<512, hamming::computeReference>)->Name("hamming512-reference")->Arg(kInCache);
BENCHMARK(memcpyOver)->Arg(kInCache)->Arg(kOutOfCache);
BENCHMARK(eccOver<computeECCReference>)->Name("reference")->Arg(kInCache)->Arg(kOutOfCache);
BENCHMARK(eccOver<computeECCPortable>)->Name("portable")->Arg(kInCache)->Arg(kOutOfCache);
BENCHMARK(avx2Over)->Name("avx2")->Arg(kInCache)->Arg(kOutOfCache);
BENCHMARK(eccOver<computeECC>)->Name("computeECC")->Arg(kInCache)->Arg(kOutOfCache);

BENCHMARK_MAIN();
