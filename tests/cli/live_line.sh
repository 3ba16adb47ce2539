#!/usr/bin/env bash
# The live line of helmet-update on a real terminal: runs `update --demo --yes` in a detached tmux session and
# reads the screen back. It checks the bar, the countdown of a pause and the final lines. Runs the real program
# on the real clock (about ten seconds: the two pauses), so it is a CTest of its own, not a unit test.
# usage: live_line.sh <helmet-update>
set -euo pipefail
program=$(realpath "$1")
session="helmet-live-$$"
screen=$(mktemp)
trap 'tmux kill-session -t "$session" 2>/dev/null || true; rm -f "$screen"' EXIT

tmux new-session -d -s "$session" -x 160 -y 30 \
  "DEMO_TIMING=fast LANG=en_US.UTF-8 '$program' update --demo --yes; echo \"EXIT=\$?\"; sleep 60"

saw_bar=0 saw_countdown=0
for _ in $(seq 1 300); do
  tmux capture-pane -p -t "$session" > "$screen"
  grep -Eq '\[#+\.*\] [0-9]+%' "$screen" && saw_bar=1
  grep -Eq 'next step in [1-5] s' "$screen" && saw_countdown=1
  grep -q '^EXIT=' "$screen" && break
  sleep 0.1
done

fail() { echo "live_line: $1"; cat "$screen"; exit 1; }
grep -q '^EXIT=0$' "$screen" || fail "the program did not end with status 0"
[ "$saw_bar" = 1 ] || fail "no bar seen"
[ "$saw_countdown" = 1 ] || fail "no countdown seen"
grep -Eq '\[#{30}\] 100%' "$screen" || fail "the final line does not show a full bar"
grep -q 'Firmware update completed successfully!' "$screen" || fail "no completion message"
grep -q 'Exit status: 0' "$screen" || fail "no exit status line"
echo "live_line: ok"
