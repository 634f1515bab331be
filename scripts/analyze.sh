#!/usr/bin/env bash
# Static analysis of the project's own code: clang-tidy with the checks in
# .clang-tidy, and cppcheck for warnings, performance and portability. Any
# finding fails. Needs the compile database of the default preset:
#   cmake --preset default && scripts/analyze.sh
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/compile_commands.json ] || { echo "analyze.sh: run 'cmake --preset default' first" >&2; exit 2; }

mapfile -t sources < <(git ls-files 'sw/*.cpp' 'bench/*.cpp')
echo "clang-tidy: ${#sources[@]} files"
if ! out=$(clang-tidy -p build --quiet "${sources[@]}" 2>&1); then
  grep -v -E '^[0-9]+ warnings? generated\.$' <<< "$out" >&2
  echo "clang-tidy: findings above" >&2
  exit 1
fi

echo "cppcheck"
cppcheck --project=build/compile_commands.json --library=googletest --library=posix \
  --enable=warning,performance,portability --inline-suppr --error-exitcode=1 --quiet
echo "static analysis: no findings"
