#!/usr/bin/env bash
# Times the whole converter against a plain copy of the same input, and reports
# the converter's peak resident memory at two input sizes.
#
#   bench/convert.sh            (after: cmake --workflow --preset build)
#
# Environment: CONV (the binary, default build/bin/conv), RUNS (pairs of runs,
# default 7), SIZE_MIB (input size, default 256), TMPDIR (scratch folder).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
conv=${CONV:-$root/build/bin/conv}
runs=${RUNS:-7}
size_mib=${SIZE_MIB:-256}
[ -x "$conv" ] || { echo "convert.sh: no converter at $conv; build it first" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/convbench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

head -c $((size_mib << 20)) /dev/urandom > in.bin
head -c $((16 << 20)) in.bin > in16.bin
cat in.bin > /dev/null  # the input stays in the page cache for every run

now() { echo "${EPOCHREALTIME/,/.}"; }

# Alternate the two commands so that both see the same state of the machine.
: > times.txt
for ((i = 1; i <= runs; i++)); do
  rm -f out.img copy.bin progress.txt
  t0=$(now); "$conv" in.bin out.img > progress.txt; t1=$(now)
  cat in.bin > copy.bin; t2=$(now)
  echo "$t0 $t1 $t2" >> times.txt
done

awk -v mib="$size_mib" '
  function median(a, n,   i, j, t) {
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  { c[NR] = $2 - $1; p[NR] = $3 - $2; r[NR] = c[NR] / p[NR]
    cmin = (NR == 1 || c[NR] < cmin) ? c[NR] : cmin; cmax = (c[NR] > cmax) ? c[NR] : cmax
    pmin = (NR == 1 || p[NR] < pmin) ? p[NR] : pmin; pmax = (p[NR] > pmax) ? p[NR] : pmax
    rmin = (NR == 1 || r[NR] < rmin) ? r[NR] : rmin; rmax = (r[NR] > rmax) ? r[NR] : rmax }
  END {
    n = NR
    printf "input %d MiB, %d alternating runs of each\n", mib, n
    printf "conv  median %.3f s (range %.3f .. %.3f)\n", median(c, n), cmin, cmax
    printf "cat   median %.3f s (range %.3f .. %.3f)\n", median(p, n), pmin, pmax
    printf "ratio conv/cat: median %.3f (range %.3f .. %.3f)\n", median(r, n), rmin, rmax
  }' times.txt

if [ -x /usr/bin/time ]; then
  for f in in16.bin in.bin; do
    kib=$(/usr/bin/time -f %M "$conv" "$f" peak.img 2>&1 > /dev/null | tail -n 1)
    echo "peak resident memory, $(( $(stat -c %s "$f") >> 20 )) MiB input: $kib KiB"
  done
else
  echo "peak resident memory: /usr/bin/time not installed (Debian package time)"
fi
