#!/bin/bash
# Installs what the build needs (Debian 12, as root) and builds
# build/HostSweeper.exe and the tests, or only the targets named:
#   build.sh [TARGET...]
# Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++-mingw-w64-i686 mingw-w64-tools cmake ninja-build wine wine32:i386 wine64
          wixl msitools xvfb xdotool xauth imagemagick googletest python3 osslsigncode openssl)

# Wine's 32-bit side needs a host that runs i386 programs, natively or
# through qemu-user; this must be settled before wine32:i386 is installed.
scripts/host-i386.sh

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  . scripts/apt.sh
  echo "installing ${#missing[@]} packages: ${missing[*]}"
  hs_apt_install "${missing[@]}"
fi

build="${HS_BUILD_DIR:-build}"
# The toolchain is read only when the build folder is first configured.
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null
fi
if [ $# -gt 0 ]; then
  cmake --build "$build" --target "$@"
  echo "built $* in $build"
else
  cmake --build "$build"
  echo "built $build/HostSweeper.exe"
fi
