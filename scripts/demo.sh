#!/bin/bash
# Builds Host Sweeper, makes a demo Wine prefix seeded as a technician's
# problem PC (the vendor's suite, tunnel client, desktop components,
# leftovers, browser caches, and decoys that must survive) and opens the
# utility in it. With no display it runs under Xvfb, presses Start Cleanup
# itself and writes screenshots of the window before and after the run to
# build/screenshots (and to docs/, for the README, with --docs).
# Set HS_DEMO_KIND=win32 or winxp for another Windows, HS_DEMO_DPI=144 for
# a screen at 150 % (Wine's LogPixels; the screenshots' names then end in
# -144dpi).
set -euo pipefail
cd "$(dirname "$0")/.."
to_docs=""
[ "${1:-}" = --docs ] && to_docs=1
# Only what the demo runs: the program, the installer packages and the
# cache seeder the problem PC is made with.
scripts/build.sh HostSweeper test_packages seed_cache
build="$PWD/${HS_BUILD_DIR:-build}"
kind="${HS_DEMO_KIND:-win64}"
dpi="${HS_DEMO_DPI:-96}"
suffix=""
[ "$dpi" = 96 ] || suffix="-${dpi}dpi"
# Wine's desktop and the points clicked grow with the DPI, as the dialog does.
scale() { echo $(($1 * dpi / 96)); }
width=$(scale 800)
height=$(scale 560)
prefix="$build/demo-prefix"

echo "making the demo PC ($kind) in $prefix"
scripts/prefix.sh "$prefix" "$kind"
scripts/seed-pc.sh "$prefix" "$kind" "$build"

source scripts/wine-env.sh
wine_env "$prefix" "$kind"
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
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
Xvfb "$display" -screen 0 $((width + 64))x$((height + 64))x24 -nolisten tcp >"$build/demo-xvfb.log" 2>&1 </dev/null &
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

wine explorer /desktop=HostSweeper,${width}x${height} "$build/HostSweeper.exe" >"$out" 2>&1 </dev/null &
desktop=""
for _ in $(seq 1 100); do
  desktop=$(xdotool search --name "HostSweeper" 2>/dev/null | head -n 1) && [ -n "$desktop" ] && break
  sleep 0.2
done
[ -n "$desktop" ] || { echo "the demo window did not appear" >&2; exit 1; }
sleep 3
import -window root -crop ${width}x${height}+0+0 "$shots/screenshot$suffix.png"
# The dialog sits at a fixed place on Wine's desktop: click its buttons.
echo "pressing Start Cleanup"
xdotool mousemove --window "$desktop" "$(scale 182)" "$(scale 200)" click 1
# The run writes its lines as it goes: it is over when the window has not
# changed for several seconds (a fixed wait would be too short where Wine's
# 32-bit side runs under emulation).
last=""
still=0
for _ in $(seq 1 150); do
  sleep 2
  now=$(import -window root -crop ${width}x${height}+0+0 png:- | md5sum)
  if [ "$now" = "$last" ]; then still=$((still + 1)); else still=0; fi
  last="$now"
  [ $still -ge 4 ] && break
done
import -window root -crop ${width}x${height}+0+0 "$shots/screenshot-after-run$suffix.png"
echo "pressing Exit"
xdotool mousemove --window "$desktop" "$(scale 641)" "$(scale 480)" click 1
timeout 30 wineserver -w || wineserver -k
[ -n "$to_docs" ] && cp "$shots/screenshot$suffix.png" "$shots/screenshot-after-run$suffix.png" docs/
echo "screenshots: $shots/screenshot$suffix.png (start) and $shots/screenshot-after-run$suffix.png (after the run)${to_docs:+, copied to docs/}"
