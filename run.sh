#!/usr/bin/env bash
# Installs what is missing, builds, and starts the tool against the built-in
# device simulator, in the demo start directory ./demo. Stops the simulator
# when the tool exits.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-deps.sh
# A build of its own, where a warning of a newer compiler never stops the
# tool from building (the test build treats warnings as errors).
cmake -S . -B build-run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRTO_WERROR=OFF >/dev/null
cmake --build build-run -j "$(nproc)" --target mirto-terminal mirto-sim mirto-cli

coproc SIM { exec build-run/mirto-sim "$@"; }
sim_pid=$SIM_PID
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true' EXIT
IFS= read -r -t 10 -u "${SIM[0]}" line || { echo "The simulator did not start." >&2; exit 1; }
echo "$line"
port=$(printf '%s\n' "$line" | grep -o -E 'COM[0-9]+' | head -n 1 || true)
if [ -z "$port" ]; then
  echo "The simulator named no COM port." >&2
  exit 1
fi
# The simulator takes the lowest free number unless told otherwise, after
# removing the links of devices and simulators that have gone; the settings
# file can hold COM1 to COM16 only.
if [ "${port#COM}" -gt 16 ]; then
  echo "The simulator is on $port, but the tool's settings file can only hold COM1 to COM16." >&2
  echo "Close the programs that hold the lower numbers (see ${XDG_CONFIG_HOME:-$HOME/.config}/mirto/ports)," >&2
  echo "or do not ask the simulator for a port above 16 with --com." >&2
  exit 1
fi
echo "Power cycle of the simulated device (starts its boot loader): kill -USR1 $sim_pid"

# The demo settings select the simulator's port and the expert level; other
# settings the user changed in demo/mirto.ini are kept.
mkdir -p demo
if [ -f demo/mirto.ini ]; then
  sed -i "s/^\[Port\]=.*/[Port]=$port\r/" demo/mirto.ini
else
  printf '[Port]=%s\r\n[User]=expert\r\n[Bootload]=no\r\n[Bootfile]=\r\n[UploadSpeed]=0\r\n[Configfile]=\r\n[Interface]=serial\r\n[TypeRestriction]=N\r\n' \
    "$port" > demo/mirto.ini
fi
(cd demo && ../build-run/mirto-terminal)
