// The Hamming code of this project beside Linux's own C version of it, on the
// same steps in cache, with memcpy of the same bytes as the yardstick. Linux's
// function is not part of this project: bench/hamming_vs_linux.sh takes it
// from a Linux source tree the user names and builds this file against it.
#include "hamming.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

// From the user's Linux tree, compiled as C.
extern "C" int ecc_sw_hamming_calculate(const unsigned char *buf, unsigned int step_size, unsigned char *code,
                                        bool sm_order);

namespace {

constexpr std::size_t kInCache = std::size_t{1} << 20;

const std::vector<std::uint8_t> &buffer()
{
    static const std::vector<std::uint8_t> b = [] {
        std::vector<std::uint8_t> v(kInCache);
        std::mt19937_64 rng(1);
        for (std::size_t i = 0; i < v.size(); i += 8) {
            const std::uint64_t r = rng();
            std::memcpy(v.data() + i, &r, 8);
        }
        return v;
    }();
    return b;
}

void oursStep(const std::uint8_t *data, std::size_t step, std::uint8_t *code)
{
    hamming::compute(data, step, false, code);
}

void linuxStep(const std::uint8_t *data, std::size_t step, std::uint8_t *code)
{
    ecc_sw_hamming_calculate(data, static_cast<unsigned>(step), code, false);
}

// Both versions store each code into an OOB-like array, as a driver does.
template <std::size_t Step, void (*Version)(const std::uint8_t *, std::size_t, std::uint8_t *)>
void over(benchmark::State &state)
{
    const std::uint8_t *data = buffer().data();
    std::vector<std::uint8_t> codes(kInCache / Step * 3);
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
        std::uint8_t *code = codes.data();
        for (std::size_t off = 0; off < kInCache; off += Step, code += 3) {
            Version(data + off, Step, code);
        }
        benchmark::DoNotOptimize(codes.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kInCache));
}

void memcpyOver(benchmark::State &state)
{
    std::vector<std::uint8_t> copy(kInCache, 1);
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
        std::memcpy(copy.data(), buffer().data(), kInCache);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kInCache));
}

// The two versions must give the same bytes before their speeds mean
// anything: random steps, blank and zero steps, both byte orders.
bool versionsAgree()
{
    std::mt19937 rng(7);
    for (const std::size_t step : {std::size_t{256}, std::size_t{512}}) {
        for (int k = 0; k < 3000; k++) {
            std::uint8_t data[512];
            for (std::uint8_t &b : data) {
                b = static_cast<std::uint8_t>(rng());
            }
            if (k % 3 == 0) {
                std::memset(data, (k & 1) != 0 ? 0xFF : 0x00, step);
            }
            const bool sm = (k & 4) != 0;
            std::uint8_t ours[3];
            std::uint8_t theirs[3];
            hamming::compute(data, step, sm, ours);
            ecc_sw_hamming_calculate(data, static_cast<unsigned>(step), theirs, sm);
            if (std::memcmp(ours, theirs, 3) != 0) {
                std::fprintf(stderr, "hamming_vs_linux: codes differ on a %zu-byte step (case %d)\n", step, k);
                return false;
            }
        }
    }
    return true;
}

}  // namespace

BENCHMARK(memcpyOver)->Name("memcpy");
BENCHMARK(over<512, linuxStep>)->Name("linux/512");
BENCHMARK(over<512, oursStep>)->Name("ours/512");
BENCHMARK(over<256, linuxStep>)->Name("linux/256");
BENCHMARK(over<256, oursStep>)->Name("ours/256");

int main(int argc, char **argv)
{
    if (!versionsAgree()) {
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
