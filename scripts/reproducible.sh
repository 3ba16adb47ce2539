#!/usr/bin/env bash
# Builds the release twice from the committed HEAD, in two fresh clones in different folders, one after the
# other, with another time zone, umask and locale, and compares every file of the two (unsigned) release
# folders byte for byte: HelmetUpdater.exe, helmet-update.exe, the native helmet-update, the .deb, the bill of
# materials and SHA256SUMS. On a difference it prints diffoscope's report of it and fails.
# Uncommitted changes are not built: commit first.
#
# Usage: scripts/reproducible.sh [--keep DIR]   (--keep: copy the first build's release folder to DIR)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
keep=""
if [ "${1:-}" = --keep ]; then keep=$(realpath -m "$2"); fi

work=$(mktemp -d "${TMPDIR:-/tmp}/reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT
# No compiler cache: each build compiles for itself.
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
export CCACHE_DISABLE=1
started=$SECONDS

build() {  # folder, time zone, umask, locale
  local clone=$1
  mkdir -p "$(dirname "$clone")"
  # safe.directory: CI's checkout may belong to another user than the one who builds.
  git -c safe.directory="$src" clone -q --no-hardlinks "$src" "$clone"
  echo "=== reproducible: building $(git -C "$clone" rev-parse --short HEAD) in $clone (TZ=$2, umask $3, LC_ALL=$4)"
  (umask "$3" && TZ=$2 LC_ALL=$4 bash "$clone/scripts/release.sh" --unsigned --out "$clone/release" >"$clone.log" 2>&1) ||
    { tail -40 "$clone.log"; echo "reproducible: the build in $clone failed" >&2; exit 1; }
}
build "$work/a/src" UTC 022 C.UTF-8
build "$work/b/another/deeper/folder/helmet" Pacific/Kiritimati 077 de_DE.UTF-8
a=$work/a/src/release
b=$work/b/another/deeper/folder/helmet/release

status=0
for file in "$a"/*; do
  name=$(basename "$file")
  if cmp -s "$file" "$b/$name"; then
    echo "reproducible: $name identical ($(sha256sum <"$file" | cut -c1-16))"
  else
    echo "reproducible: $name DIFFERS" >&2
    diffoscope --no-progress --text - "$file" "$b/$name" || true
    status=1
  fi
done
if [ "$(ls "$a")" != "$(ls "$b")" ]; then
  echo "reproducible: the two release folders hold different files" >&2
  status=1
fi
if [ -n "$keep" ]; then
  rm -rf "$keep"
  mkdir -p "$(dirname "$keep")"
  cp -a "$a" "$keep"
fi
echo "reproducible: two builds compared in $((SECONDS - started)) s; processor time (this shell, then the builds):"
times
exit $status
