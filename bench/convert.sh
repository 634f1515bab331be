#!/usr/bin/env bash
# Times conv, conv-check and nandconv (build for every preset, check) against
# plain copies of the same bytes, and reports peak resident memory at two
# input sizes.
#
#   bench/convert.sh            (after: cmake --workflow --preset build)
#
# Environment: BIN (folder of conv and conv-check, default build/bin), RUNS
# (rounds, default 7), SIZE_MIB (input size, default 256), TMPDIR (scratch:
# /dev/shm keeps the page cache's writeback out of the figures), OLD_BIN (the
# tools of an earlier build, each run beside its counterpart and compared),
# FLOOR_SH (the script that builds the floor program, default
# ../shared/bench/floor.sh beside the project: what this machine can do with
# the same work; without it the floor's rows are left out).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${BIN:-$root/build/bin}
runs=${RUNS:-7}
size_mib=${SIZE_MIB:-256}
old_bin=${OLD_BIN:-}
for tool in conv conv-check nandconv; do
  [ -x "$bin/$tool" ] || { echo "convert.sh: no $tool in $bin; build first" >&2; exit 2; }
  [ -z "$old_bin" ] || [ -x "$old_bin/$tool" ] || { echo "convert.sh: no $tool in $old_bin" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/convbench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

head -c $((size_mib << 20)) /dev/urandom > in.bin
head -c $((16 << 20)) in.bin > in16.bin
"$bin/conv" in.bin ref.img > /dev/null  # the images the checkers read
"$bin/nandconv" build -q --layout linux-hamming in.bin lh.img
"$bin/nandconv" build -q --layout linux-bch8 in.bin bch8.img
"$bin/nandconv" build -q --layout sunxi in.bin sunxi.img
"$bin/nandconv" build -q --layout imx-gpmi in.bin gpmi.img
# BCH-8 with t flips in every step: the worst a check corrects.
"$bin/nandconv" inject --layout linux-bch8 --bits 8 --seed 1 bch8.img bch8-flips.img
cat in.bin ref.img lh.img bch8.img bch8-flips.img sunxi.img gpmi.img > /dev/null   # all stay in the page cache

# The floor: conv's image, a checker without outputs and one with two, done
# the cheapest ways found here (see its README). On a disk file system it
# reserves its output's blocks first, and the tools that flush their output
# before replacing the target are also compared with it followed by an fsync.
floor_sh=${FLOOR_SH:-$root/../shared/bench/floor.sh}
floor=
if [ -f "$floor_sh" ]; then
  floor=$(cd "$root" && bash "$floor_sh" "$root/build" 2> /dev/null | tail -n 1) || floor=
fi
falloc=0
[ "$(stat -f -c %T .)" = tmpfs ] || falloc=1

now() { echo "${EPOCHREALTIME/,/.}"; }

# The commands, alternated round by round so that all see the same state of
# the machine, each after its outputs are removed and a sync, so that every
# one writes a new file and none pays for writing back another's output.
# Input from a pipe is compared with a copy through the same pipe. Round 0
# warms up and is not counted. cat copies inside the kernel
# (copy_file_range); dd with 1 MiB blocks copies through user space.
names=(conv cat dd conv-pipe cat-pipe check check-pipe check-o check-f check-of cat-image cat-image-null cat-image-pipe
       build-classic build-linux-hamming build-linux-hamming-512 build-linux-hamming-sp build-linux-bch4
       build-linux-bch8 build-linux-bch8-4k build-sunxi build-sunxi-boot0 nandconv-check nandconv-check-bch8
       nandconv-check-sunxi)
cmds=(
  "'$bin/conv' in.bin out.img > progress.txt"
  "cat in.bin > copy.bin"
  "dd if=in.bin of=copy.bin bs=1M status=none"
  "cat in.bin | '$bin/conv' /dev/stdin out.img > progress.txt"
  "cat in.bin | cat > copy.bin"
  "'$bin/conv-check' ref.img > report.txt"
  "cat ref.img | '$bin/conv-check' - > report.txt"
  "'$bin/conv-check' -q -o out.img ref.img > report.txt"
  "'$bin/conv-check' -q -f out.img ref.img > report.txt"
  "'$bin/conv-check' -q -o out.img -f copy.bin ref.img > report.txt"
  "cat ref.img > copy.bin"
  "cat ref.img > /dev/null"
  "cat ref.img | cat > /dev/null"
  "'$bin/nandconv' build -q --layout classic in.bin out.img"
  "'$bin/nandconv' build -q --layout linux-hamming in.bin out.img"
  "'$bin/nandconv' build -q --layout linux-hamming-512 in.bin out.img"
  "'$bin/nandconv' build -q --layout linux-hamming-sp in.bin out.img"
  "'$bin/nandconv' build -q --layout linux-bch4 in.bin out.img"
  "'$bin/nandconv' build -q --layout linux-bch8 in.bin out.img"
  "'$bin/nandconv' build -q --layout linux-bch8-4k in.bin out.img"
  "'$bin/nandconv' build -q --layout sunxi in.bin out.img"
  "'$bin/nandconv' build -q --layout sunxi-boot0 in.bin out.img"
  "'$bin/nandconv' check -q --layout linux-hamming lh.img > report.txt"
  "'$bin/nandconv' check -q --layout linux-bch8 bch8.img > report.txt"
  "'$bin/nandconv' check -q --layout sunxi sunxi.img > report.txt"
  "'$bin/nandconv' check -q --layout classic -o out.img -f copy.bin ref.img > report.txt"
  "'$bin/nandconv' check -q --layout linux-bch8 bch8-flips.img > report.txt"
  "cat in.bin > copy.bin && sync copy.bin"
  "'$bin/nandconv' build -q --layout imx-gpmi in.bin out.img"
  "'$bin/nandconv' check -q --layout imx-gpmi gpmi.img > report.txt"
)
names+=(nandconv-check-of nandconv-check-bch8-flips cat-fsync build-imx-gpmi nandconv-check-imx-gpmi)
if [ -x "$floor" ]; then
  names+=(floor-r-wv2 floor-r-wv2-fsync floor-c0-rd floor-c2-rw2)
  cmds+=(
    "FLOOR_ECC=classic BLOCK_PAGES=128 FALLOC=$falloc '$floor' r-wv2 in.bin out.img"
    "FLOOR_ECC=classic BLOCK_PAGES=128 FALLOC=$falloc '$floor' r-wv2 in.bin out.img && sync out.img"
    "FLOOR_ECC=classic '$floor' c0-rd ref.img /dev/null"
    "FLOOR_ECC=classic '$floor' c2-rw2 ref.img out.img copy.bin"
  )
else
  echo "convert.sh: no floor (FLOOR_SH=$floor_sh); its rows are left out" >&2
fi
# The earlier build's runs of every command that names a tool.
if [ -n "$old_bin" ]; then
  for j in "${!cmds[@]}"; do
    if [[ ${cmds[$j]} == *"'$bin/"* ]]; then
      names+=("old-${names[$j]}")
      cmds+=("${cmds[$j]//"'$bin/"/"'$old_bin/"}")
    fi
  done
fi
: > times.txt
# Every round in a new order, so that no command always follows another.
for ((i = 0; i <= runs; i++)); do
  for j in $(shuf -i 0-$((${#cmds[@]} - 1))); do
    rm -f out.img copy.bin progress.txt report.txt; sync
    t0=$(now); bash -c "${cmds[$j]}"; t1=$(now)
    [ "$i" -eq 0 ] || echo "${names[$j]} $i $t0 $t1" >> times.txt
  done
done

python3 - "$size_mib" "$runs" times.txt <<'PY'
import statistics, sys
mib, runs, path = sys.argv[1], sys.argv[2], sys.argv[3]
t = {}
for line in open(path):
    name, rnd, t0, t1 = line.split()
    t.setdefault(name, {})[int(rnd)] = float(t1) - float(t0)
print(f"input {mib} MiB, {runs} alternating rounds")
for name in t:
    v = list(t[name].values())
    print(f"{name:15s} median {statistics.median(v):.3f} s (range {min(v):.3f} .. {max(v):.3f})")
pairs = [("conv", "cat"), ("conv", "dd"), ("conv-pipe", "cat-pipe"), ("check", "cat-image-null"),
         ("check-pipe", "check"), ("check-pipe", "cat-image-pipe"), ("check-o", "cat-image"), ("check-f", "cat-image"), ("check-of", "cat-image"),
         ("nandconv-check", "cat-image-null"), ("nandconv-check-bch8", "cat-image-null"),
         ("nandconv-check-sunxi", "cat-image-null"), ("nandconv-check-imx-gpmi", "cat-image-null")]
pairs += [(n, "cat") for n in t if n.startswith("build-")]
pairs += [("nandconv-check-bch8-flips", "nandconv-check-bch8"), ("conv", "cat-fsync")]
if "floor-r-wv2" in t:
    pairs += [("floor-r-wv2", "cat"), ("conv", "floor-r-wv2"), ("conv", "floor-r-wv2-fsync"),
              ("check", "floor-c0-rd"), ("nandconv-check", "floor-c0-rd"), ("check-of", "floor-c2-rw2"),
              ("nandconv-check-of", "floor-c2-rw2")]
    pairs += [(n, "floor-r-wv2") for n in t if n.startswith("build-")]
pairs += [("old-" + a, b) for a, b in pairs if "old-" + a in t]
pairs += [(n, "old-" + n) for n in list(t) if "old-" + n in t]
for a, b in pairs:
    r = [t[a][k] / t[b][k] for k in t[a]]
    print(f"ratio {a}/{b}: median {statistics.median(r):.3f} (range {min(r):.3f} .. {max(r):.3f})")
PY

if [ -x /usr/bin/time ]; then
  for f in in16.bin in.bin; do
    kib=$(/usr/bin/time -f %M "$bin/conv" "$f" peak.img 2>&1 > /dev/null | tail -n 1)
    echo "peak resident memory of conv, $(( $(stat -c %s "$f") >> 20 )) MiB input: $kib KiB"
  done
  kib=$(/usr/bin/time -f %M "$bin/conv-check" ref.img 2>&1 > /dev/null | tail -n 1)
  echo "peak resident memory of conv-check, $size_mib MiB input: $kib KiB"
  peak() {  # a label, then the command
    local label=$1
    shift
    rm -f out.img
    echo "peak resident memory of $label, $size_mib MiB input: $(/usr/bin/time -f %M "$@" 2>&1 > /dev/null | tail -n 1) KiB"
  }
  peak "nandconv build linux-bch8" "$bin/nandconv" build -q --layout linux-bch8 in.bin out.img
  peak "nandconv build imx-gpmi" "$bin/nandconv" build -q --layout imx-gpmi in.bin out.img
  peak "nandconv check linux-bch8" "$bin/nandconv" check -q --layout linux-bch8 bch8.img
  peak "nandconv check linux-bch8, 8 flips a step" "$bin/nandconv" check -q --layout linux-bch8 bch8-flips.img
  peak "nandconv check sunxi" "$bin/nandconv" check -q --layout sunxi sunxi.img
else
  echo "peak resident memory: /usr/bin/time not installed (Debian package time)"
fi
