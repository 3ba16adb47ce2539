#!/usr/bin/env bash
# Screenshots of the program's windows in the five languages, taken under Wine + Xvfb, for a person to look at:
#   build/windows/screenshots/<window>-<language>.png        window: main (117), progress (119), about (116), box
#   build/windows/screenshots/<window>-<language>-<dpi>dpi.png   with --dpi other than 96
# Each window runs alone on a Wine desktop (which draws the title bars) inside a private Wine session: 800x600
# at 96 dpi, larger in proportion at a higher resolution.
#
#   tests/win32/ui_screenshots.sh [--dpi N] [build-dir]   (default 96 and build/windows, the windows preset)
#
# Another resolution gets a Wine prefix of its own (in build-dir/wine-dpi-N), whose screen resolution is set
# as Wine's configuration sets it; the tests' prefix is never changed.
set -euo pipefail
cd "$(dirname "$0")/../.."
dpi=96
if [ "${1:-}" = "--dpi" ]; then
  dpi=${2:?"--dpi needs a number"}
  shift 2
fi
case "$dpi" in '' | *[!0-9]*) echo "--dpi: not a number: $dpi" >&2; exit 2 ;; esac
build=$(cd "${1:-build/windows}" && pwd)

cmake --build "$build" --target ui_preview -j2 >/dev/null
mkdir -p "$build/screenshots"

session=$build
suffix=""
desktop=800x600
if [ "$dpi" -ne 96 ]; then
  session="$build/wine-dpi-$dpi"
  mkdir -p "$session"
  suffix="-${dpi}dpi"
  desktop="$((800 * dpi / 96))x$((600 * dpi / 96))"
  export WINE_SESSION_SCREEN="$((1024 * dpi / 96))x$((768 * dpi / 96))x24"
fi

# Runs inside the session: one desktop per shot, the picture taken once the preview has drawn its window.
shoot_all() {
  local build=$1 dpi=$2 suffix=$3 desktop=$4 marker window_marker program language window template pid waited
  if [ "$dpi" -ne 96 ]; then
    # Where Wine's configuration keeps the screen resolution; Wine 8 needs nothing more (the machine's
    # fonts key of older versions plays no part).
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  fi
  marker="$build/screenshots/.drawn"
  window_marker=$(winepath -w "$marker")
  program=$(winepath -w "$build/ui_preview.exe")
  for language in 1033 1031 1036 1040 3082; do
    for window in main:117 progress:119 about:116 box:box; do
      template=${window#*:}
      rm -f "$marker"
      wine explorer "/desktop=preview$language$template,$desktop" "$program" \
        "$language" "$template" "$window_marker" >/dev/null 2>&1 &
      pid=$!
      waited=0
      until [ -f "$marker" ]; do
        sleep 0.2
        waited=$((waited + 1))
        if [ $waited -gt 150 ]; then
          echo "no window drawn: $window $language" >&2
          kill "$pid" 2>/dev/null || true
          return 1
        fi
      done
      local picture="$build/screenshots/${window%%:*}-$language$suffix.png"
      import -window root -crop "$desktop+0+0" +repage "$picture"
      wait "$pid" || true
      echo "$picture"
    done
  done
  rm -f "$marker"
}
export -f shoot_all

bash scripts/wine-session.sh "$session" bash -c "shoot_all '$build' '$dpi' '$suffix' '$desktop'"
