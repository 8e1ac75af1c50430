#!/usr/bin/env bash
# own_netns.sh COMMAND [ARG...]: runs COMMAND in a network namespace of its
# own, where only a loopback of its own is up. What it listens on (the
# tool's fixed port above all) never meets a listener of the user's, say a
# demo left open, and what it connects to is its own, never the user's.
# Root gets a plain namespace, anyone else one inside a user namespace in
# which they are root. Exit 77 (skipped) with the reason when no such
# namespace can be had here.
#
# Inside, MIRTO_OWN_NETNS names the namespace, so that a script can tell it
# runs in one of its own (see common.sh).
set -uo pipefail

if [ "${1:-}" = --inside ]; then
  shift
  ip link set lo up || { echo "skipped: cannot bring up the loopback of a network namespace of its own"; exit 77; }
  MIRTO_OWN_NETNS=$(readlink /proc/self/ns/net)
  export MIRTO_OWN_NETNS
  exec "$@"
fi

for p in unshare ip; do
  command -v "$p" >/dev/null || { echo "skipped: $p is not installed, no network namespace of its own"; exit 77; }
done

ways=()
[ "$(id -u)" -eq 0 ] && ways+=("unshare --net")
ways+=("unshare -r --net")
why=""
for way in "${ways[@]}"; do
  read -ra how <<< "$way"
  # Tried first, so that a refusal is told as a skip, not as the test's failure.
  if out=$("${how[@]}" ip link set lo up 2>&1 </dev/null); then
    exec "${how[@]}" "$0" --inside "$@"
  fi
  why+="; $way: ${out:-refused}"
done
echo "skipped: no network namespace of its own can be had here${why}"
exit 77
