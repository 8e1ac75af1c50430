#!/usr/bin/env bash
# Real X keys for the terminal of a long session, as a new user presses
# them: find (Ctrl+F, F3, Enter, Escape) takes its keys without sending any,
# and Ctrl+R finds a command sent before and sends it again. What reaches the
# device (over the network, on 127.0.0.1) tells what the keys did.
# Runs without a window manager and, where openbox is installed, with one.
# Exit 77 (skipped) when Xvfb or xdotool is missing.
set -uo pipefail
tool=$(realpath "${1:?usage: terminal_keys.sh MIRTO-TERMINAL}")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

# sent_twice COMMAND: the device has had COMMAND twice.
sent_twice() {
  [ "$(grep -c "^line 1 $1\$" "$log")" = 2 ]
}

run_once() {
  local label=$1
  start_session "$label" "$work/config-$label"

  # Connect with the first command, as a new user does.
  send_first_command "$label" help
  await 10 grep -q '^line 1 help$' "$log" || fail "$label: the first command did not reach the device"
  xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win" 2>/dev/null
  sleep 0.3

  # Find: the keys go to the find bar, none of them to the device.
  xdotool key ctrl+f
  sleep 0.3
  xdotool type --delay 60 OK
  xdotool key F3 F3 Return shift+F3
  xdotool key Escape
  sleep 0.3
  xdotool type --delay 60 mode
  xdotool key Return
  await 10 grep -q '^line 1 mode$' "$log" || fail "$label: after the find bar, the command line did not send"
  grep -q '^line 1 OK' "$log" && fail "$label: the find text went to the device"

  # Ctrl+R from the terminal: the command line opens searching the history.
  xdotool key Escape
  sleep 0.3
  xdotool key ctrl+r
  xdotool type --delay 60 hel
  xdotool key Return
  await 10 sent_twice help || fail "$label: Ctrl+R did not send the command found"
  [ "$(grep -c '^line 1 ' "$log")" = 3 ] || fail "$label: other lines reached the device"

  end_session
  echo "PASS: $label"
}

run_all
