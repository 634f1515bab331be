#!/usr/bin/env bash
# Times `nandconv detect` against its speed goals: a 64 MiB dump of every
# preset (goal: under 2 s each), random bytes (nothing to find), and
# --exhaustive on a dump whose BCH polynomial is none of the known ones and
# whose other parameters are not given (goal: under 30 s).
#
#   bench/detect.sh             (after: cmake --build build)
#
# Environment: BIN (folder of nandconv, default build/bin), RUNS (rounds,
# default 3; the best is reported), BLANK (share of blank pages in percent,
# default 50), TMPDIR (scratch; the dumps take about 600 MiB).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${BIN:-$root/build/bin}
runs=${RUNS:-3}
blank=${BLANK:-50}
[ -x "$bin/nandconv" ] || { echo "detect.sh: no nandconv in $bin; build first" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/detectbench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# 64 MiB of records: 32768 pages of 2048 bytes, the given share of them blank.
python3 - "$blank" <<'EOF'
import os, random, sys
share = int(sys.argv[1]) / 100
rng = random.Random(1)
with open("in.bin", "wb") as f:
    for _ in range(32768):
        f.write(b"\xff" * 2048 if rng.random() < share else os.urandom(2048))
EOF

# The best wall time of RUNS runs of a command, in seconds.
best() {
  local min=""
  for _ in $(seq "$runs"); do
    /usr/bin/time -f %e -o time.txt "$@" > /dev/null 2>&1 || true
    min=$(awk -v a="$(tail -1 time.txt)" -v b="$min" 'BEGIN { print (b == "" || a < b) ? a : b }')
  done
  echo "$min"
}

printf '%-32s %8s %s\n' "dump" "seconds" "status"
for layout in $("$bin/nandconv" layouts --json | python3 -c 'import json,sys; print(" ".join(l["name"] for l in json.load(sys.stdin)["layouts"]))'); do
  "$bin/nandconv" build -q --layout "$layout" in.bin dump.img
  status=0
  "$bin/nandconv" detect -q dump.img > /dev/null 2>&1 || status=$?
  printf '%-32s %8s %s\n' "$layout ($(($(stat -c %s dump.img) >> 20)) MiB)" "$(best "$bin/nandconv" detect -q dump.img)" "$status"
done

# As many bytes as 32768 records of 2048+64, so that record sizes are tried.
head -c $((2112 * 32768)) /dev/urandom > random.img
printf '%-32s %8s %s\n' "random bytes" "$(best "$bin/nandconv" detect -q random.img)" "1 expected"

# A primitive polynomial of degree 14 that is none of the known ones.
"$bin/nandconv" build -q --layout linux-bch8 --step 1k --m 14 --poly 0x6263 --strength 12 in.bin dump.img
printf '%-32s %8s %s\n' "--exhaustive, poly 0x6263" "$(best "$bin/nandconv" detect -q --exhaustive dump.img)" ""
printf '%-32s %8s %s\n' "--exhaustive, random bytes" "$(best "$bin/nandconv" detect -q --exhaustive random.img)" ""
