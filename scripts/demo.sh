#!/bin/bash
# Builds Host Sweeper, makes a demo Wine prefix seeded as a technician's
# problem PC (the vendor's suite, tunnel client, desktop components,
# leftovers, browser caches, and decoys that must survive) and opens the
# utility in it. With no display it runs under Xvfb, presses Start Cleanup
# itself and writes screenshots of the window before and after the run to
# build/screenshots (and to docs/, for the README, with --docs).
# Set HS_DEMO_KIND=win32 or winxp for another Windows.
set -euo pipefail
cd "$(dirname "$0")/.."
to_docs=""
[ "${1:-}" = --docs ] && to_docs=1
scripts/build.sh
build="$PWD/${HS_BUILD_DIR:-build}"
kind="${HS_DEMO_KIND:-win64}"
prefix="$build/demo-prefix"

echo "making the demo PC ($kind) in $prefix"
scripts/prefix.sh "$prefix" "$kind"
scripts/seed-pc.sh "$prefix" "$kind" "$build"

source scripts/wine-env.sh
wine_env "$prefix" "$kind"
out="$build/demo.out"

if [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1; then
  echo "opening Host Sweeper; press Start Cleanup, then Exit when done"
  wine "$build/HostSweeper.exe" >"$out" 2>&1 </dev/null || true
  wineserver -w
  exit 0
fi

# Headless: a private Xvfb, Wine's own desktop window (so the dialog has
# its caption and frame), and xdotool for the keys.
display=""
for n in $(seq 90 129); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
done
[ -n "$display" ] || { echo "no free X display number between :90 and :129" >&2; exit 1; }
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$build/demo-xvfb.log" 2>&1 </dev/null &
xvfb=$!
trap 'wineserver -k >/dev/null 2>&1 || true; kill $xvfb 2>/dev/null || true' EXIT
export DISPLAY="$display"
for _ in $(seq 1 50); do
  xdotool getdisplaygeometry >/dev/null 2>&1 && break
  kill -0 $xvfb 2>/dev/null || break
  sleep 0.2
done
xdotool getdisplaygeometry >/dev/null 2>&1 ||
  { echo "Xvfb did not start on $display (see $build/demo-xvfb.log)" >&2; exit 1; }
shots="$build/screenshots"
mkdir -p "$shots"

wine explorer /desktop=HostSweeper,800x560 "$build/HostSweeper.exe" >"$out" 2>&1 </dev/null &
desktop=""
for _ in $(seq 1 100); do
  desktop=$(xdotool search --name "HostSweeper" 2>/dev/null | head -n 1) && [ -n "$desktop" ] && break
  sleep 0.2
done
[ -n "$desktop" ] || { echo "the demo window did not appear" >&2; exit 1; }
sleep 3
import -window root -crop 800x560+0+0 "$shots/screenshot.png"
# The dialog sits at a fixed place on Wine's desktop: click its buttons.
echo "pressing Start Cleanup"
xdotool mousemove --window "$desktop" 182 200 click 1
# The run writes its lines as it goes: it is over when the window has not
# changed for several seconds (a fixed wait would be too short where Wine's
# 32-bit side runs under emulation).
last=""
still=0
for _ in $(seq 1 150); do
  sleep 2
  now=$(import -window root -crop 800x560+0+0 png:- | md5sum)
  if [ "$now" = "$last" ]; then still=$((still + 1)); else still=0; fi
  last="$now"
  [ $still -ge 4 ] && break
done
import -window root -crop 800x560+0+0 "$shots/screenshot-after-run.png"
echo "pressing Exit"
xdotool mousemove --window "$desktop" 641 480 click 1
timeout 30 wineserver -w || wineserver -k
[ -n "$to_docs" ] && cp "$shots"/screenshot*.png docs/
echo "screenshots: $shots/screenshot.png (start) and $shots/screenshot-after-run.png (after the run)${to_docs:+, copied to docs/}"
