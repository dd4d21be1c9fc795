#!/bin/bash
# An X display for the tests with a window, as a CTest fixture.
#   test-display.sh start|stop ROOT [private]
# start: keeps a working $DISPLAY (unless "private" is given), or starts a
# private Xvfb on the first free number; writes the display to ROOT/display for the tests to read.
# stop: ends the Xvfb that start started, and nothing else.
set -euo pipefail
action="$1"
root="$2"
private="${3:-}"
mkdir -p "$root"

works() { DISPLAY="$1" xdotool getdisplaygeometry >/dev/null 2>&1; }

case "$action" in
  stop)
    if [ -f "$root/xvfb.pid" ]; then
      kill "$(cat "$root/xvfb.pid")" 2>/dev/null || true
      rm -f "$root/xvfb.pid"
    fi
    rm -f "$root/display"
    exit 0 ;;
  start) ;;
  *) echo "usage: test-display.sh start|stop ROOT" >&2; exit 2 ;;
esac

command -v xdotool >/dev/null || { echo "xdotool is not installed" >&2; exit 1; }
if [ "$private" != private ] && [ -n "${DISPLAY:-}" ] && works "$DISPLAY"; then
  echo "$DISPLAY" >"$root/display"
  echo "using the display $DISPLAY"
  exit 0
fi
command -v Xvfb >/dev/null || { echo "Xvfb is not installed" >&2; exit 1; }
for n in $(seq 90 129); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
  # Detached, output to a file: CTest waits for every holder of its pipes.
  setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$root/xvfb.log" 2>&1 </dev/null &
  pid=$!
  for _ in $(seq 1 50); do
    works ":$n" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
  done
  # Answered by our Xvfb, not by another's that took the number first.
  if works ":$n" && kill -0 "$pid" 2>/dev/null; then
    echo "$pid" >"$root/xvfb.pid"
    echo ":$n" >"$root/display"
    echo "started Xvfb on :$n"
    exit 0
  fi
  # Another program took the number first, or Xvfb could not start there.
  kill "$pid" 2>/dev/null || true
done
echo "no X display: none of :90 to :129 is free, or Xvfb does not start (see $root/xvfb.log)" >&2
exit 1
