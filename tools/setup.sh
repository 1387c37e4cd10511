#!/usr/bin/env bash
# Installs what building and testing JogShuttle needs on Debian 12, on a fresh machine too:
# installs only what is missing, reads the package lists first (a fresh image may have none),
# and goes through sudo only when not run as root (a root container has no sudo).
# Usage: tools/setup.sh
set -euo pipefail

# The same tools as .ci/run installs (keep the two lists alike), and the libraries of the tools.
packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
          libbenchmark-dev g++-mingw-w64-x86-64 wine wine64
          libcli11-dev libtomlplusplus-dev libevdev-dev libxtst-dev libx11-dev xvfb
          libwayland-dev libxkbcommon-dev sway wev foot libre2-dev
          libsystemd-dev dbus mpv mpv-mpris libjack-jackd2-dev jackd2
          qemu-system-x86 busybox-static cpio)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]} == 0)); then
  echo "setup: everything is installed"
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  echo "setup: ${missing[*]} missing; run this as root, or install sudo" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
