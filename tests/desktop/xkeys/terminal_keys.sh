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
for p in Xvfb xdotool python3; do
  command -v "$p" >/dev/null || { echo "skipped: $p is not installed"; exit 77; }
done

work=$(mktemp -d)
pids=()
log=/dev/null
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  [ -n "${MIRTO_XKEYS_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- device log"
  cat "$log" 2>/dev/null
  if [ -n "${MIRTO_XKEYS_SHOT:-}" ] && command -v import >/dev/null; then
    import -window root "$MIRTO_XKEYS_SHOT" 2>/dev/null && echo "screenshot: $MIRTO_XKEYS_SHOT"
  fi
  exit 1
}

# A display of our own.
exec 3<> "$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$work/display")
[ "$DISPLAY" != ":" ] || fail "Xvfb did not start"

run_once() {
  local label=$1
  log="$work/device-${label// /-}.log"
  local out="$work/device-${label// /-}.out"
  python3 "$here/fake_device.py" 9000 "$log" > "$out" &
  local dev=$!
  pids+=($dev)
  for _ in $(seq 50); do grep -q ready "$out" && break; sleep 0.1; done
  grep -q ready "$out" || fail "$label: the device could not listen on 127.0.0.1:9000"

  mkdir -p "$work/start-$label"
  printf '[User]=expert\r\n[Interface]=network\r\n' > "$work/start-$label/mirto.ini"
  (cd "$work/start-$label" && XDG_CONFIG_HOME=$work/config-$label QT_QPA_PLATFORM=xcb exec "$tool" >/dev/null 2>&1) &
  local app=$!
  pids+=($app)
  local win
  win=$(timeout 15 xdotool search --sync --onlyvisible --name '^Mirto Terminal Program$' | head -n1)
  [ -n "$win" ] || fail "$label: no main window"
  xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
  sleep 0.5

  # Connect with the first command, as a new user does.
  xdotool key --delay 80 Escape
  xdotool type --delay 60 help
  xdotool key Return
  local ask
  ask=$(timeout 10 xdotool search --sync --onlyvisible --name '^Computer to connect to$' | head -n1)
  [ -n "$ask" ] || fail "$label: no address box"
  xdotool windowfocus --sync "$ask" 2>/dev/null
  xdotool key ctrl+a
  xdotool type --delay 40 127.0.0.1
  xdotool key Return
  for _ in $(seq 100); do grep -q '^line 1 help$' "$log" && break; sleep 0.1; done
  grep -q '^line 1 help$' "$log" || fail "$label: the first command did not reach the device"
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
  for _ in $(seq 100); do grep -q '^line 1 mode$' "$log" && break; sleep 0.1; done
  grep -q '^line 1 mode$' "$log" || fail "$label: after the find bar, the command line did not send"
  grep -q '^line 1 OK' "$log" && fail "$label: the find text went to the device"

  # Ctrl+R from the terminal: the command line opens searching the history.
  xdotool key Escape
  sleep 0.3
  xdotool key ctrl+r
  xdotool type --delay 60 hel
  xdotool key Return
  for _ in $(seq 100); do [ "$(grep -c '^line 1 help$' "$log")" = 2 ] && break; sleep 0.1; done
  [ "$(grep -c '^line 1 help$' "$log")" = 2 ] || fail "$label: Ctrl+R did not send the command found"
  [ "$(grep -c '^line 1 ' "$log")" = 3 ] || fail "$label: other lines reached the device"

  kill "$app" "$dev" 2>/dev/null
  wait "$app" "$dev" 2>/dev/null
  echo "PASS: $label"
}

run_once "no window manager"
if command -v openbox >/dev/null; then
  openbox >/dev/null 2>&1 &
  pids+=($!)
  sleep 1
  run_once "openbox"
fi
echo "1 passed, 0 failed"
