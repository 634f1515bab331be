#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the README's example
# against it twice, with find_package(nand) and with pkg-config; both must run.
#   scripts/install-check.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:?usage: install-check.sh BUILD_DIR}")
work=$(mktemp -d "${TMPDIR:-/tmp}/nandinstall.XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" > /dev/null
# The README shows the example as it is.
python3 - "$root/README.md" "$root/examples/encode_and_check.cpp" <<'PY'
import sys
readme, example = (open(p).read() for p in sys.argv[1:])
sys.exit(0 if example in readme else "the README does not show examples/encode_and_check.cpp as it is")
PY
cmake -S "$root/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$work/prefix" > /dev/null
cmake --build "$work/example" > /dev/null
"$work/example/encode_and_check"
# The .pc file finds its prefix from where it is installed.
flags=$(PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name nand.pc)") pkg-config --cflags --libs nand)
# shellcheck disable=SC2086 # the flags are words
g++ -std=c++20 "$root/examples/encode_and_check.cpp" $flags -o "$work/by-pkg-config"
"$work/by-pkg-config"
