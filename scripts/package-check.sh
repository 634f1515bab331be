#!/usr/bin/env bash
# Packaging check: the manual pages pass groff's warnings, the Debian package
# builds from the default preset's build, and the tools run from a scratch
# root the package is unpacked into.
#   cmake --workflow --preset build && scripts/package-check.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
[ -d build ] || { echo "package-check.sh: build the default preset first" >&2; exit 2; }

for page in sw/tools/*/man/*.1; do
  warnings=$(groff -man -t -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || { echo "$page:"; echo "$warnings"; exit 1; } >&2
done
echo "manual pages: no warnings"

work=$(mktemp -d "${TMPDIR:-/tmp}/convpkg.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd build && cpack -G DEB -B "$work/out" > "$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$work"/out/*.deb)
echo "package: $(basename "$deb")"
dpkg-deb --info "$deb" | grep -E '^ (Package|Version|Depends):'
dpkg -x "$deb" "$work/root"

for f in usr/bin/conv usr/bin/conv-check usr/bin/nandconv usr/share/man/man1/conv.1 \
         usr/share/man/man1/conv-check.1 usr/share/man/man1/nandconv.1 \
         usr/share/bash-completion/completions/nandconv usr/share/doc/nandconv/README.md usr/share/doc/nandconv/docs/faults.md; do
  [ -e "$work/root/$f" ] || { echo "package-check.sh: $f missing from the package" >&2; exit 1; }
done
# The engine for other programs, and the Python module (the default preset's).
for pattern in usr/include/nand/layout.h 'usr/lib*/libnand.a' 'usr/lib*/cmake/nand/nandConfig.cmake' \
               'usr/lib*/pkgconfig/nand.pc' 'usr/lib/python3/dist-packages/nandconv*.so'; do
  # shellcheck disable=SC2086 # the pattern is to be expanded
  compgen -G "$work/root/"$pattern > /dev/null ||
    { echo "package-check.sh: $pattern missing from the package" >&2; exit 1; }
done

cd "$work"
printf '\001' > in.bin
out=$("$work/root/usr/bin/conv" in.bin out.img)
[ "$out" = "$(cat "$root/sw/tools/conv/tests/golden/one.out" | sed 's/^one\.in$/in.bin/; s/^one\.img$/out.img/')" ] ||
  { echo "package-check.sh: installed conv printed: $out" >&2; exit 1; }
cmp out.img "$root/sw/tools/conv/tests/golden/one.img"
report=$("$work/root/usr/bin/conv-check" out.img)
[ "$report" = "1 pages, 0 erased; sectors: 4 clean, 0 corrected, 0 uncorrectable" ] ||
  { echo "package-check.sh: installed conv-check printed: $report" >&2; exit 1; }
"$work/root/usr/bin/conv-check" --version
golden="$root/sw/tools/nandconv/tests/golden"
"$work/root/usr/bin/nandconv" build --layout linux-hamming "$golden/input.bin" lh.img
cmp lh.img "$golden/linux-hamming.img"
"$work/root/usr/bin/nandconv" check --layout linux-hamming -q lh.img
bash -n "$work/root/usr/share/bash-completion/completions/nandconv"
echo "package: the three tools run from the unpacked package"
