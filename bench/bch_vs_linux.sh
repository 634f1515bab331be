#!/usr/bin/env bash
# Runs the BCH code of this project beside Linux's own C version (lib/bch.c)
# on the same steps, in cache, and prints for each field and strength the time
# a step takes in each and how many times faster ours is (Linux's median time
# over ours, from interleaved repetitions). Linux's file is compiled at run
# time from a Linux source tree that you name, in user space through a few
# small headers this script writes; nothing of it is kept.
#
#   bench/bch_vs_linux.sh LINUX_TREE     (after: cmake --preset default && cmake --build build)
#
# Environment: CFLAGS for Linux's file (default -O2, as the kernel builds it),
# REPS (repetitions, default 9), BUILD (the build folder, default build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
tree=${1:?usage: bench/bch_vs_linux.sh LINUX_TREE}
src=$tree/lib/bch.c
header=$tree/include/linux/bch.h
build=${BUILD:-$root/build}
lib=$build/sw/lib/nand/libnand.a
[ -r "$src" ] || { echo "bch_vs_linux.sh: no $src" >&2; exit 2; }
[ -r "$header" ] || { echo "bch_vs_linux.sh: no $header" >&2; exit 2; }
[ -r "$lib" ] || { echo "bch_vs_linux.sh: no $lib; build first" >&2; exit 2; }
grep -q '^struct bch_control \*bch_init(' "$src" ||
  { echo "bch_vs_linux.sh: $src has no bch_init (a tree from before Linux 5.10?)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The kernel headers lib/bch.c includes, reduced to the names it uses.
inc=$work/include
mkdir -p "$inc/linux" "$inc/asm"
cp "$header" "$inc/linux/bch.h"
cat > "$inc/linux/types.h" <<'EOF'
#pragma once
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
EOF
cat > "$inc/linux/kernel.h" <<'EOF'
#pragma once
#include <string.h>
#include <linux/types.h>
#define DIV_ROUND_UP(n, d) (((n) + (d) - 1) / (d))
#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))
#define WARN_ON(cond) ((cond) != 0)
#define swap(a, b) do { __typeof__(a) swap_tmp_ = (a); (a) = (b); (b) = swap_tmp_; } while (0)
EOF
# Not through the C library's <errno.h>: it includes <linux/errno.h> itself.
cat > "$inc/linux/errno.h" <<'EOF'
#pragma once
#define EINVAL 22
#define EBADMSG 74
EOF
: > "$inc/linux/init.h"
cat > "$inc/linux/module.h" <<'EOF'
#pragma once
#define EXPORT_SYMBOL_GPL(sym)
#define MODULE_LICENSE(s)
#define MODULE_AUTHOR(s)
#define MODULE_DESCRIPTION(s)
EOF
cat > "$inc/linux/slab.h" <<'EOF'
#pragma once
#include <stdlib.h>
#define GFP_KERNEL 0
#define kmalloc(size, flags) malloc(size)
#define kzalloc(size, flags) calloc(1, (size))
#define kfree(p) free(p)
EOF
cat > "$inc/linux/bitops.h" <<'EOF'
#pragma once
/* The place of the highest set bit, counted from 1; 0 for 0. */
static inline int fls(unsigned int x) { return x ? 32 - __builtin_clz(x) : 0; }
EOF
cat > "$inc/linux/bitrev.h" <<'EOF'
#pragma once
#include <linux/types.h>
/* The bits of a byte in the opposite order. */
static inline u8 bitrev8(u8 b)
{
	b = (u8)((b >> 4) | (b << 4));
	b = (u8)(((b & 0xCC) >> 2) | ((b & 0x33) << 2));
	return (u8)(((b & 0xAA) >> 1) | ((b & 0x55) << 1));
}
EOF
cat > "$inc/asm/byteorder.h" <<'EOF'
#pragma once
#include <linux/types.h>
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define cpu_to_be32(x) __builtin_bswap32(x)
#else
#define cpu_to_be32(x) ((u32)(x))
#endif
#define be32_to_cpu(x) cpu_to_be32(x)
EOF

# shellcheck disable=SC2086 # CFLAGS holds several words on purpose
gcc ${CFLAGS:--O2} -I"$inc" -c "$src" -o "$work/linux_bch.o"
g++ -std=c++20 -O2 -I"$root/sw/lib/nand" "$root/bench/bch_vs_linux.cpp" "$work/linux_bch.o" "$lib" \
  -lbenchmark -lpthread -o "$work/bch_vs_linux"
"$work/bch_vs_linux" --benchmark_repetitions="${REPS:-9}" --benchmark_enable_random_interleaving=true \
  --benchmark_format=json > "$work/result.json"

python3 - "$work/result.json" <<'PY'
import json, statistics, sys
from collections import defaultdict

# Nanoseconds a step of each run, by benchmark name and repetition.
ns = defaultdict(dict)
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("error_occurred"):
        sys.exit(f"bch_vs_linux.sh: {b['run_name']}: {b.get('error_message', 'failed')}")
    if b.get("run_type") == "iteration":
        ns[b["run_name"]][b.get("repetition_index", 0)] = 1e9 / b["items_per_second"]

# The points in the order of their fields and strengths ("m13-t8-512").
points = sorted({name.split("/")[1] for name in ns},
                key=lambda p: tuple(int(f.lstrip("mt")) for f in p.split("-")))

rows = (("encode", "encode"), ("decode, t data bits flipped", "decode"))
print(f"{'':30s} {'ours ns/step':>13s} {'linux ns/step':>14s} {'linux/ours':>11s}   per-repetition range")
for point in points:
    print(point)
    for label, op in rows:
        ours = ns[f"{op}/{point}/ours"]
        theirs = ns[f"{op}/{point}/linux"]
        mo, ml = statistics.median(ours.values()), statistics.median(theirs.values())
        pairs = sorted(theirs[k] / ours[k] for k in ours if k in theirs)
        print(f"  {label:28s} {mo:13.1f} {ml:14.1f} {ml / mo:11.2f}   {pairs[0]:.2f} .. {pairs[-1]:.2f}")
PY
