#!/usr/bin/env bash
# The live line of helmet-update on a real terminal: runs `update --demo --yes` in detached tmux sessions 160, 80
# and 40 columns wide, at once, and reads the screens back, their history too. It checks the bar, the countdown of
# a pause and the final lines, that no frame of the live line is wider than the terminal (a frame that wraps leaves
# a row behind at each redraw), and that no frame was left behind: the history holds the stage lines, the last
# frame and the final lines, nothing else. Runs the real program on the real clock (about ten seconds: the two
# pauses), so it is a CTest of its own, not a unit test.
# usage: live_line.sh <helmet-update>
set -euo pipefail
program=$(realpath "$1")
widths=(160 80 40)
work=$(mktemp -d)
sessions=()
cleanup() {
  for session in "${sessions[@]}"; do tmux kill-session -t "$session" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

for width in "${widths[@]}"; do
  session="helmet-live-$$-$width"
  sessions+=("$session")
  tmux new-session -d -s "$session" -x "$width" -y 30 \
    "DEMO_TIMING=fast LANG=en_US.UTF-8 '$program' update --demo --yes; echo \"EXIT=\$?\"; sleep 60"
done

declare -A saw_bar saw_countdown
for _ in $(seq 1 300); do
  ended=0
  for width in "${widths[@]}"; do
    screen="$work/$width"
    tmux capture-pane -p -t "helmet-live-$$-$width" > "$screen"
    grep -Eq '\[#+\.*\] [0-9]+%' "$screen" && saw_bar[$width]=1
    grep -Eq 'next step in [1-5] s' "$screen" && saw_countdown[$width]=1
    grep -q '^EXIT=' "$screen" && ended=$((ended + 1))
  done
  [ "$ended" = "${#widths[@]}" ] && break
  sleep 0.1
done

fail() { echo "live_line at $1 columns: $2"; cat "$work/$1.history"; exit 1; }
for width in "${widths[@]}"; do
  # The whole history, each row as long as it was written (rows that wrapped joined again), blank rows left out.
  history="$work/$width.history"
  tmux capture-pane -p -J -S - -t "helmet-live-$$-$width" | grep -v '^ *$' > "$history" || true
  grep -q '^EXIT=0$' "$history" || fail "$width" "the program did not end with status 0"
  [ "${saw_countdown[$width]:-0}" = 1 ] || fail "$width" "no countdown seen"
  if [ "$width" -ge 80 ]; then
    [ "${saw_bar[$width]:-0}" = 1 ] || fail "$width" "no bar seen"
  fi
  # Frames (and the blanks that wiped them) never reach the last column; a frame that wrapped was joined into a
  # longer row. Only the completion message, a line of its own written once, may wrap.
  too_wide=$(LC_ALL=C.UTF-8 awk -v limit=$((width - 1)) \
    'length($0) > limit && $0 !~ /^Update information: / { print }' "$history")
  [ -z "$too_wide" ] || fail "$width" "rows wider than the terminal: $too_wide"
  # The history: five stage lines, one frame (the last), the message, the exit status and EXIT.
  frames=$(grep -Ec '[0-9]+%' "$history" || true)
  [ "$frames" = 1 ] || fail "$width" "$frames frames in the history, not the last one alone"
  rows=$(wc -l < "$history")
  [ "$rows" = 9 ] || fail "$width" "$rows rows in the history, not 9"
  if [ "$width" -ge 80 ]; then
    grep -Eq '\[#+\] 100%  2877/2877 KiB' "$history" || fail "$width" "the last frame does not show a full bar"
  else
    grep -Eq '100%  2877/2877 KiB' "$history" || fail "$width" "the last frame does not show 100%"
  fi
  [ "$width" != 160 ] || grep -Eq '\[#{30}\] 100%' "$history" || fail "$width" "the bar is not 30 wide"
  [ "$(grep -c 'Firmware update completed successfully!' "$history")" = 1 ] || fail "$width" "success not said once"
  grep -q '^Exit status: 0' "$history" || fail "$width" "no exit status line"
done
echo "live_line: ok"
