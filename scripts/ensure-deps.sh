#!/usr/bin/env bash
# Installs the Debian packages the tool needs to build, run and test, when
# any of them is missing. Safe to run again: it does nothing when all are there.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools
          qt6-serialport-dev libqt6serialport6 libgl-dev qt6-qpa-plugins
          # The Debian package and its test: dependencies computed from the
          # programs, the desktop entry, man pages and udev rule checked.
          dpkg-dev desktop-file-utils groff-base udev
          # Real X keys through the windows: a private X server, the key
          # sender, a window manager to try both ways, python3 for the fake
          # device and ip for the loopback of their own network namespace.
          xvfb xdotool openbox python3 iproute2
          # A serial server (RFC 2217) in front of the simulator's port.
          ser2net
          # mirto-cli's contract with job engines: its JSON Schema, its JUnit
          # report read by a JUnit parser, and the Ansible example run.
          python3-jsonschema python3-junitparser ansible-core)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Please run as root or install sudo." >&2; exit 1; }
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
