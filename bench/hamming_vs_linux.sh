#!/usr/bin/env bash
# Runs the Hamming code of this project beside Linux's own C version on the
# same steps, in cache, and prints the ratios of the medians. Linux's function
# is taken at run time from a Linux source tree that you name; nothing of it
# is kept.
#
#   bench/hamming_vs_linux.sh LINUX_TREE     (after: cmake --workflow --preset test,
#                                             which builds the benchmarks too)
#
# Environment: CFLAGS for Linux's file (default -O2, as the kernel builds it),
# REPS (repetitions, default 9), BUILD (the build folder, default build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
tree=${1:?usage: bench/hamming_vs_linux.sh LINUX_TREE}
src=$tree/drivers/mtd/nand/ecc-sw-hamming.c
build=${BUILD:-$root/build}
lib=$build/sw/lib/nand/libnand.a
[ -r "$src" ] || { echo "hamming_vs_linux.sh: no $src" >&2; exit 2; }
[ -r "$lib" ] || { echo "hamming_vs_linux.sh: no $lib; build first" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The parity table and the encoding function, with the few kernel names they
# use defined for user space.
{
  printf '#include <stdbool.h>\n#include <stdint.h>\ntypedef uint32_t u32;\n'
  awk '/^static const char invparity\[/,/^};/' "$src"
  awk '/^int ecc_sw_hamming_calculate\(/,/^}/' "$src"
} > "$work/linux_hamming.c"
grep -q 'ecc_sw_hamming_calculate' "$work/linux_hamming.c" ||
  { echo "hamming_vs_linux.sh: ecc_sw_hamming_calculate not found in $src" >&2; exit 2; }

gcc ${CFLAGS:--O2} -c "$work/linux_hamming.c" -o "$work/linux_hamming.o"
g++ -std=c++20 -O2 -I"$root/sw/lib/nand" "$root/bench/hamming_vs_linux.cpp" "$work/linux_hamming.o" "$lib" \
  -lbenchmark -lpthread -o "$work/hamming_vs_linux"
"$work/hamming_vs_linux" --benchmark_repetitions="${REPS:-9}" --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_format=json > "$work/result.json"

python3 - "$work/result.json" <<'PY'
import json, sys
rate = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        rate[b["run_name"]] = b["bytes_per_second"] / 1e9
for name, r in rate.items():
    print(f"{name:10s} {r:6.2f} GB/s  ({r / rate['memcpy']:.2f} of memcpy)")
for step in ("512", "256"):
    print(f"ours/linux, {step}-byte steps: {rate['ours/' + step] / rate['linux/' + step]:.2f}")
PY
