#!/usr/bin/env bash
# Runs one command inside a private Wine session: its own prefix in the build tree, its own Xvfb display,
# Wine's background services started with all standard streams closed (so that they never hold a pipe of
# the caller open), and everything stopped again at the end. Returns the command's exit status.
#
#   scripts/wine-session.sh <build-dir> <command> [args...]
set -euo pipefail

build_dir=$(cd "$1" && pwd); shift
export WINEPREFIX="$build_dir/wineprefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

xvfb_pid=""
wm_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$wm_pid" ]; then kill "$wm_pid" 2>/dev/null || true; wait "$wm_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# A display of our own; Xvfb picks a free number and writes it to the pipe.
if [ -z "${WINE_SESSION_DISPLAY:-}" ]; then
  fifo=$(mktemp -u); mkfifo "$fifo"
  # WINE_SESSION_SCREEN: a larger screen for pictures at a higher resolution.
  Xvfb -displayfd 3 -screen 0 "${WINE_SESSION_SCREEN:-1024x768x24}" -nolisten tcp 3>"$fifo" </dev/null >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r display_number <"$fifo"; rm -f "$fifo"
  export DISPLAY=":$display_number"
  # A light window manager: windows get their captions, and Wine does not wait for a manager that never
  # answers each time it shows a top-level window.
  if command -v fvwm >/dev/null 2>&1; then
    wm_config=$(mktemp)
    printf 'Style * ClickToFocus\nDesktopSize 1x1\nEdgeScroll 0 0\n' >"$wm_config"
    fvwm -f "$wm_config" </dev/null >/dev/null 2>&1 &
    wm_pid=$!
  fi
else
  export DISPLAY="$WINE_SESSION_DISPLAY"
fi

# The prefix is made once per build tree (about ten seconds), without prompts or crash dialogs.
if [ ! -f "$WINEPREFIX/.session-ready" ]; then
  rm -rf "$WINEPREFIX"
  wineboot -i </dev/null >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
  wineserver -w </dev/null >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.session-ready"
fi

# Background services first, detached from our streams.
wineserver -p </dev/null >/dev/null 2>&1
wineboot </dev/null >/dev/null 2>&1

set +e
"$@"
status=$?
set -e
exit $status
