#!/usr/bin/env bash
# Screenshots of the program's windows in the five languages, taken under Wine + Xvfb, for a person to look at:
#   build/windows/screenshots/<window>-<language>.png   window: main (117), progress (119), about (116), box
# Each window runs alone on an 800x600 Wine desktop (which draws the title bars) inside a private Wine session.
#
#   tests/win32/ui_screenshots.sh [build-dir]     (default build/windows, configured with the windows preset)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build/windows}" && pwd)

cmake --build "$build" --target ui_preview -j2 >/dev/null
mkdir -p "$build/screenshots"

# Runs inside the session: one desktop per shot, the picture taken once the preview has drawn its window.
shoot_all() {
  local build=$1 marker window_marker program language window template pid waited
  marker="$build/screenshots/.drawn"
  window_marker=$(winepath -w "$marker")
  program=$(winepath -w "$build/ui_preview.exe")
  for language in 1033 1031 1036 1040 3082; do
    for window in main:117 progress:119 about:116 box:box; do
      template=${window#*:}
      rm -f "$marker"
      wine explorer "/desktop=preview$language$template,800x600" "$program" \
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
      import -window root -crop 800x600+0+0 +repage "$build/screenshots/${window%%:*}-$language.png"
      wait "$pid" || true
      echo "$build/screenshots/${window%%:*}-$language.png"
    done
  done
  rm -f "$marker"
}
export -f shoot_all

bash scripts/wine-session.sh "$build" bash -c "shoot_all '$build'"
