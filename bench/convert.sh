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

# Alternate the commands so that all see the same state of the machine; sync
# first, so that no run pays for writing back the previous run's output. The
# first round warms up and is not counted. dd with 1 MiB blocks is a copy
# through user space (read and write), where cat copies inside the kernel.
: > times.txt
for ((i = 0; i <= runs; i++)); do
  rm -f out.img copy.bin progress.txt; sync
  t0=$(now); "$conv" in.bin out.img > progress.txt; t1=$(now)
  rm -f copy.bin; sync
  t2=$(now); cat in.bin > copy.bin; t3=$(now)
  rm -f copy.bin; sync
  t4=$(now); dd if=in.bin of=copy.bin bs=1M status=none; t5=$(now)
  [ "$i" -eq 0 ] || echo "$t0 $t1 $t2 $t3 $t4 $t5" >> times.txt
done

awk -v mib="$size_mib" '
  function median(a, n,   i, j, t) {
    for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  { c[NR] = $2 - $1; p[NR] = $4 - $3; d[NR] = $6 - $5; r[NR] = c[NR] / p[NR]; q[NR] = c[NR] / d[NR]
    dmin = (NR == 1 || d[NR] < dmin) ? d[NR] : dmin; dmax = (d[NR] > dmax) ? d[NR] : dmax
    qmin = (NR == 1 || q[NR] < qmin) ? q[NR] : qmin; qmax = (q[NR] > qmax) ? q[NR] : qmax
    cmin = (NR == 1 || c[NR] < cmin) ? c[NR] : cmin; cmax = (c[NR] > cmax) ? c[NR] : cmax
    pmin = (NR == 1 || p[NR] < pmin) ? p[NR] : pmin; pmax = (p[NR] > pmax) ? p[NR] : pmax
    rmin = (NR == 1 || r[NR] < rmin) ? r[NR] : rmin; rmax = (r[NR] > rmax) ? r[NR] : rmax }
  END {
    n = NR
    printf "input %d MiB, %d alternating runs of each\n", mib, n
    printf "conv  median %.3f s (range %.3f .. %.3f)\n", median(c, n), cmin, cmax
    printf "cat   median %.3f s (range %.3f .. %.3f)\n", median(p, n), pmin, pmax
    printf "dd    median %.3f s (range %.3f .. %.3f)\n", median(d, n), dmin, dmax
    printf "ratio conv/cat: median %.3f (range %.3f .. %.3f)\n", median(r, n), rmin, rmax
    printf "ratio conv/dd:  median %.3f (range %.3f .. %.3f)\n", median(q, n), qmin, qmax
  }' times.txt

if [ -x /usr/bin/time ]; then
  for f in in16.bin in.bin; do
    kib=$(/usr/bin/time -f %M "$conv" "$f" peak.img 2>&1 > /dev/null | tail -n 1)
    echo "peak resident memory, $(( $(stat -c %s "$f") >> 20 )) MiB input: $kib KiB"
  done
else
  echo "peak resident memory: /usr/bin/time not installed (Debian package time)"
fi
