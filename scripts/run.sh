#!/usr/bin/env bash
# Sets up, builds the Windows program and runs the updater against the emulated unit under Wine.
#
# With a usable display ($DISPLAY) the demo opens there and the user drives it. Without one it runs on a
# virtual display (Xvfb), drives one whole update by itself and keeps screenshots of the main window, of the
# progress window mid-update and of the final message. Either way the trace lines go to a file; the folder is
# build/windows/demo-run. The demo's unit is set up by DEMO_* variables (see the README).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)" --target HelmetUpdaterDemo HelmetDemoDriver

out=build/windows/demo-run
rm -rf "$out"
mkdir -p "$out"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "run: the demo opens on $DISPLAY; its trace goes to $out/trace.txt"
  WINE_SESSION_DISPLAY="$DISPLAY" bash scripts/wine-session.sh build/windows \
    bash -c 'wine build/windows/HelmetDemoDriver.exe --watch "$(winepath -w "$1")"' _ "$out"
  exit 0
fi

echo "run: no display; the demo runs on a virtual display and updates the emulated unit by itself (about a minute)"
# The session's window manager is replaced by one that also gives the owned windows (the progress window,
# the message boxes) their captions in the pictures.
wm_config="$out/fvwm.config"
cat >"$wm_config" <<'CONFIG'
Style * Title, DecorateTransient, ClickToFocus, BorderWidth 4, HandleWidth 4, !Icon
DesktopSize 1x1
EdgeScroll 0 0
CONFIG
status=0
bash scripts/wine-session.sh build/windows bash -c '
  # The program also keeps its trace in the user'"'"'s local application data: this run'"'"'s alone, kept beside.
  local_data=$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d "\r")")
  trace_folder="$local_data/ostrel/Velmora Communication System Software Update"
  rm -f "$trace_folder/trace.log" "$trace_folder/trace.1.log" "$trace_folder/capture.pcapng" \
        "$trace_folder/capture.1.pcapng"
  fvwm -r -f "$1" >/dev/null 2>&1 </dev/null &
  wm=$!
  sleep 1
  wine build/windows/HelmetDemoDriver.exe "$(winepath -w "$2")"
  status=$?
  kill "$wm" 2>/dev/null || true
  cp "$trace_folder/trace.log" "$2/trace.log" 2>/dev/null || true
  cp "$trace_folder/capture.pcapng" "$2/capture.pcapng" 2>/dev/null || true
  exit $status' _ "$(pwd)/$wm_config" "$out" || status=$?
rm -f "$wm_config"

# The trace file holds the trace lines of the debugger output, each with the local time in front; the demo
# unit's own lines go to the debugger output alone.
if [ -f "$out/trace.log" ] && [ -f "$out/trace.txt" ]; then
  if cmp -s <(sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} //' "$out/trace.log") \
            <(grep -av '^\[Demo unit\]' "$out/trace.txt"); then
    echo "run: trace.log:   $out/trace.log (its lines without their time are those of trace.txt)"
  else
    echo "run: trace.log differs from trace.txt beyond the time in front of each line" >&2
    status=1
  fi
else
  echo "run: no trace.log was left" >&2
  status=1
fi
# The USB capture of the update, as the program keeps it beside its trace file.
if [ -f "$out/capture.pcapng" ]; then
  echo "run: capture:     $out/capture.pcapng (helmet-update replay, or Wireshark)"
else
  echo "run: no capture.pcapng was left" >&2
fi

for picture in "$out"/*.bmp; do
  [ -e "$picture" ] || continue
  convert "$picture" "${picture%.bmp}.png" && rm -f "$picture"
done
echo "run: trace:       $out/trace.txt"
echo "run: screenshots: $(ls "$out"/*.png 2>/dev/null | tr '\n' ' ')"
if [ "$status" -ne 0 ]; then
  echo "run: the unattended update did not end as expected (status $status)" >&2
fi
exit "$status"
