# Shared by the real-key tests: sourced after `tool` and `here` are set. A
# network namespace of their own, a private Xvfb display, the fake device on
# the tool's fixed port 9000, the tool started with the network interface,
# the address box answered with 127.0.0.1, and each run once without a
# window manager and once with openbox where it is installed. Exit 77
# (skipped) when Xvfb or xdotool is missing or no namespace can be had.
for p in Xvfb xdotool python3; do
  command -v "$p" >/dev/null || { echo "skipped: $p is not installed"; exit 77; }
done

# The tool's port is fixed, and a user may keep a demo listening on it: the
# script runs again in a network namespace of its own, where the port is
# free and the user's listener out of reach. The X server started below
# lives there too (its abstract socket is the namespace's own).
if [ "${MIRTO_OWN_NETNS:-}" != "$(readlink /proc/self/ns/net)" ]; then
  exec "$here/own_netns.sh" "$here/$(basename "$0")" "$@"
fi

work=$(mktemp -d)
pids=()
log=/dev/null
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  [ -n "${MIRTO_XKEYS_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# await SECONDS COMMAND...: runs COMMAND every tenth of a second until it
# succeeds, for SECONDS at the most; its status is that of the last run.
await() {
  local tenths=$(( $1 * 10 ))
  shift
  for _ in $(seq "$tenths"); do "$@" && return 0; sleep 0.1; done
  "$@"
}

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
await 5 test -s "$work/display"
export DISPLAY=:$(head -n1 "$work/display")
[ "$DISPLAY" != ":" ] || fail "Xvfb did not start"

# start_session LABEL CONFIG-HOME: the fake device listening (its log in
# $log, its process in $dev) and the tool's main window shown and active
# (its process in $app, the window in $win).
start_session() {
  local label=$1 config=$2
  log="$work/device-${label// /-}.log"
  local out="$work/device-${label// /-}.out"
  python3 "$here/fake_device.py" 9000 "$log" > "$out" &
  dev=$!
  pids+=($dev)
  await 5 grep -q ready "$out" || fail "$label: the device could not listen on 127.0.0.1:9000"

  mkdir -p "$work/start-$label"
  printf '[User]=expert\r\n[Interface]=network\r\n' > "$work/start-$label/mirto.ini"
  (cd "$work/start-$label" && XDG_CONFIG_HOME=$config QT_QPA_PLATFORM=xcb exec "$tool" >/dev/null 2>&1) &
  app=$!
  pids+=($app)
  win=$(timeout 15 xdotool search --sync --onlyvisible --name '^Mirto Terminal Program$' | head -n1)
  [ -n "$win" ] || fail "$label: no main window"
  xdotool windowactivate --sync "$win" 2>/dev/null || xdotool windowfocus --sync "$win"
  sleep 0.5
}

# send_first_command LABEL COMMAND: typed as a new user does, which asks
# for the address; the box is answered with 127.0.0.1.
send_first_command() {
  local label=$1 command=$2
  xdotool key --delay 80 Escape
  xdotool type --delay 60 "$command"
  xdotool key Return
  local ask
  ask=$(timeout 10 xdotool search --sync --onlyvisible --name '^Computer to connect to$' | head -n1)
  [ -n "$ask" ] || fail "$label: no address box"
  xdotool windowfocus --sync "$ask" 2>/dev/null
  xdotool key ctrl+a
  xdotool type --delay 40 127.0.0.1
  xdotool key Return
}

end_session() {
  kill "$app" "$dev" 2>/dev/null
  wait "$app" "$dev" 2>/dev/null
}

# run_all: run_once without a window manager and, where openbox is
# installed, with one.
run_all() {
  run_once "no window manager"
  if command -v openbox >/dev/null; then
    openbox >/dev/null 2>&1 &
    pids+=($!)
    sleep 1
    run_once "openbox"
  fi
  echo "1 passed, 0 failed"
}
