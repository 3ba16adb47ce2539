#!/usr/bin/env bash
# Fails when a source file differs from what clang-format makes of it (.clang-format; the Debian 12 package's
# clang-format 14, installed by scripts/setup.sh, so that every machine formats alike). With --fix, formats them.
set -euo pipefail
cd "$(dirname "$0")/.."

format=clang-format-14
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h' '*.hpp')
if [ "${1:-}" = "--fix" ]; then
  "$format" -i "${files[@]}"
  exit 0
fi
if ! "$format" --dry-run --Werror "${files[@]}"; then
  echo "format-check: the files above differ from clang-format's layout; run: bash scripts/format-check.sh --fix" >&2
  exit 1
fi
echo "format-check: ${#files[@]} files as clang-format lays them out"
