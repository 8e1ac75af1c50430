#!/usr/bin/env bash
# Real X keys against the main window with the network interface: Escape,
# a command, Enter, the address typed into the address box and Enter. The
# device must see one connection, kept, and the next command must reach it.
# Runs without a window manager and, where openbox is installed, with one.
# Exit 77 (skipped) when Xvfb or xdotool is missing.
set -uo pipefail
tool=$(realpath "${1:?usage: network_enter.sh MIRTO-TERMINAL}")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

run_once() {
  local label=$1
  start_session "$label" "$work/config"
  send_first_command "$label" ver
  sleep 1.5
  if xdotool search --onlyvisible --name '^Computer to connect to$' >/dev/null; then
    fail "$label: the address box came back"
  fi
  [ "$(grep -c '^connect' "$log")" = 1 ] || fail "$label: not exactly one connection"
  grep -q '^close' "$log" && fail "$label: the connection was closed"

  xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win" 2>/dev/null
  sleep 0.3
  xdotool type --delay 60 mode
  xdotool key Return
  await 3 grep -q '^line 1 mode$' "$log" || fail "$label: the next command did not reach the device"

  end_session
  echo "PASS: $label"
}

run_all
