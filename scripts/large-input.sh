#!/usr/bin/env bash
# On demand (too slow and too big for every CI run): converts a sparse input of
# 2^20 + 3 pages, 2 GiB and a byte, and checks what a 32-bit page counter or a
# 32-bit offset would get wrong: the page numbers past 2^20 and 2^31 bytes, the
# image size, the last record, and conv-check's count of the whole image.
#
#   cmake --workflow --preset build && scripts/large-input.sh
#
# Needs about 2.5 GB free in TMPDIR (default /tmp).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${BIN:-$root/build/bin}
work=$(mktemp -d "${TMPDIR:-/tmp}/convlarge.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

pages=$(( (1 << 20) + 3 ))
last=$(( pages - 1 ))
# All zero but one byte 0x01 at the start of the last page, which is that byte
# alone: its sector 0 has the known ECC word 0xe70f1800.
truncate -s $(( last * 2048 )) in.bin
printf '\001' >> in.bin

fail() { echo "large-input: FAILED: $*" >&2; exit 1; }

start=$(date +%s)
"$bin/conv" in.bin out.img > progress.txt || fail "conv exited with $?"
echo "conv: $(( $(date +%s) - start )) s for $(( $(stat -c %s in.bin) >> 20 )) MiB"

[ "$(stat -c %s out.img)" -eq $(( pages * 2112 )) ] || fail "image size $(stat -c %s out.img)"
expected="main: page $last spare[12] = 0xe70f1800
main: page $last spare[13] = 0x00000000
main: page $last spare[14] = 0x00000000
main: page $last spare[15] = 0x00000000"
[ "$(tail -n 4 progress.txt)" = "$expected" ] || fail "last progress lines: $(tail -n 4 progress.txt)"
[ "$(wc -l < progress.txt)" -eq $(( 2 + 4 * pages )) ] || fail "progress line count"
want=$( (printf '\001'; head -c 2095 /dev/zero; printf '\000\030\017\347'; head -c 12 /dev/zero) | od -An -tx1 | tr -d ' \n')
got=$(tail -c 2112 out.img | od -An -tx1 | tr -d ' \n')
[ "$got" = "$want" ] || fail "last record differs"

start=$(date +%s)
report=$("$bin/conv-check" -q out.img) || fail "conv-check exited with $?"
echo "conv-check: $(( $(date +%s) - start )) s"
[ "$report" = "$pages pages, 0 erased; sectors: $(( 4 * pages )) clean, 0 corrected, 0 uncorrectable" ] ||
  fail "conv-check said: $report"
echo "large-input: passed ($pages pages)"
