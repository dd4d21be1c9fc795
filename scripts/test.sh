#!/bin/bash
# Builds everything and runs every test under Wine, in throwaway prefixes
# (64-bit, 32-bit and one set to Windows XP) made in build/prefixes.
# Extra arguments go to ctest (-R unit, say); HS_BUILD_DIR picks another
# build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
build="${HS_BUILD_DIR:-build}"

root="$PWD/$build/prefixes"
export HS_PREFIX_ROOT="$root"
for kind in win64 win32 winxp; do
  scripts/prefix.sh "$root/$kind" "$kind" &
done
wait

# A display for everything with a window; only what we start is stopped.
started_xvfb=""
if [ -z "${DISPLAY:-}" ] || ! xdotool getdisplaygeometry >/dev/null 2>&1; then
  for n in $(seq 90 120); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
  done
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  started_xvfb=$!
  export DISPLAY="$display"
  sleep 1
fi

stop() {
  for kind in win64 win32 winxp; do
    WINEPREFIX="$root/$kind" wineserver -k >/dev/null 2>&1 || true
  done
  [ -n "$started_xvfb" ] && kill "$started_xvfb" 2>/dev/null || true
}
trap stop EXIT

cd "$build"
ctest --output-on-failure -j3 "$@"
