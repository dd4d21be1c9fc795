#!/bin/bash
# Restart the PC, end to end: the real program in a throwaway prefix of its
# own, driven from outside through the X server as a user would.
#   restart_e2e.sh path/to/HostSweeper.exe
# With the option off the program outlives its run until Exit is clicked;
# with it on, Windows (here Wine) restarts: every process of the prefix is
# ended, and the restart work (the RunOnce key) is done.
set -u
exe="$(realpath "$1")"
# The longest wait for one event: a tenth of the deadline of one test, as in
# the C++ tests (tests/support/test_deadline.h).
event_wait=$((${HS_TEST_SECONDS:-1500} / 10))
root="$(cd "$(dirname "$0")/.." && pwd)"

source "$root/scripts/wine-env.sh"
[ -n "${HS_PREFIX_ROOT:-}" ] && test_display "$HS_PREFIX_ROOT"
# 77: CTest's SKIP_RETURN_CODE for this test.
if [ -z "${DISPLAY:-}" ]; then
  echo "SKIPPED: no X display (DISPLAY is not set and no display fixture ran)"
  exit 77
fi
command -v xdotool >/dev/null || { echo "FAIL: xdotool is not installed"; exit 1; }
if ! xdotool getdisplaygeometry >/dev/null 2>&1; then
  echo "SKIPPED: no X display at DISPLAY=$DISPLAY"
  exit 77
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/hs-restart.XXXXXX")"
wine_env "$work/prefix" win64
pid=""

cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  remove_prefix "$WINEPREFIX"
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  for f in "$work"/*.txt; do [ -s "$f" ] && { echo "--- $(basename "$f")"; tail -20 "$f"; }; done
  exit 1
}

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.2
  done
}

alive() { kill -0 "$pid" 2>/dev/null; }
ended() { ! alive; }
gone() { [ ! -e "$1" ]; }
there() { [ -e "$1" ]; }

# Every process of this prefix, whatever started it.
prefix_pids() {
  local p
  for p in /proc/[0-9]*; do
    tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "${p#/proc/}"
  done
}
booting() {
  local p
  for p in $(prefix_pids); do
    tr '\0' ' ' 2>/dev/null <"/proc/$p/cmdline" | grep -qi wineboot && return 0
  done
  return 1
}
settled() { ! booting; }
cleared_or_ended() { gone "$profile/cookies.sqlite" || ended; }

find_window() {
  wid="$(xdotool search --all --onlyvisible --pid "$pid" --name '^Norvale NVX Host Sweeper$' 2>/dev/null | head -1)"
  [ -n "$wid" ]
}

# Clicks the point of the dialog given in dialog units (the template is
# 385 x 249 units; without a window manager the X window is the client area).
click() {
  local WIDTH HEIGHT X Y SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  xdotool mousemove --window "$wid" $(($1 * WIDTH / 385)) $(($2 * HEIGHT / 249)) click 1
}
RESTART_BOX="157 25"
START_CLEANUP="64 53"
EXIT_BUTTON="327 225"

# Starts the program and readies a restart marker: a RunOnce entry added
# after the prefix's own start-up work, so only a restart can run it.
start() {
  wine "$exe" >"$work/program-$1.txt" 2>"$work/program-$1-err.txt" </dev/null &
  pid=$!
  wait_for $event_wait find_window || fail "$1: no window of HostSweeper.exe"
  # Away from where other test windows open, so no click lands on them.
  local WIDTH HEIGHT X Y SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$wid")"
  read -r screen_width screen_height < <(xdotool getdisplaygeometry)
  xdotool windowmove --sync "$wid" $((screen_width - WIDTH)) $((screen_height - HEIGHT))
  xdotool windowraise "$wid"
  wait_for $event_wait settled || fail "$1: the prefix's start-up work did not end"
  wine reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce' /v "hs-$1" \
    /d "cmd.exe /c mkdir C:\\restarted-$1" /f >"$work/reg-$1.txt" 2>&1 ||
    fail "$1: cannot add the RunOnce entry"
  # Finished when the run clears the browser cache, just before the restart.
  mkdir -p "$profile" && echo data >"$profile/cookies.sqlite" || fail "cannot seed $profile"
}

make_test_prefix "$WINEPREFIX" win64 >"$work/prefix.txt" 2>&1 ||
  { cp "$WINEPREFIX.log" "$work/prefix-log.txt" 2>/dev/null; fail "cannot make the prefix"; }
roaming="$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData/Roaming | grep -v /Public/ | head -1)"
[ -d "$roaming" ] || fail "no roaming application data folder in the prefix"
profile="$roaming/Mozilla/Firefox/Profiles/e2e.default"

# Option off: the run ends and the program stays until Exit. Exit is
# disabled while the run lasts, so the click that ends the program is one
# made after the run; a restart would have ended it with another status
# and run the RunOnce entry.
start off
click $START_CLEANUP
wait_for $event_wait cleared_or_ended || fail "off: the run did not clear the browser cache"
alive || fail "off: HostSweeper.exe ended without the restart option"
click_exit_until_ended() { alive && click $EXIT_BUTTON; sleep 0.5; ended; }
wait_for $event_wait click_exit_until_ended || fail "off: Exit did not end HostSweeper.exe"
wait "$pid"
status=$?
pid=""
[ $status -eq 0 ] || fail "off: exit code $status after Exit"
timeout $event_wait wineserver -w || fail "off: the prefix did not go down after Exit"
there "$WINEPREFIX/drive_c/restarted-off" && fail "off: a restart ran"
echo "off: the run ended, the program kept running until Exit, no restart"

# Option on: Wine ends every process of the prefix and does its restart work.
start on
click $RESTART_BOX
click $START_CLEANUP
wait_for $event_wait cleared_or_ended || fail "on: the run did not clear the browser cache"
gone "$profile/cookies.sqlite" || fail "on: HostSweeper.exe ended before its run cleared the cache"
wait_for $event_wait ended || fail "on: HostSweeper.exe still runs after the restart request"
pid=""
wait_for $event_wait there "$WINEPREFIX/drive_c/restarted-on" || fail "on: no restart work was done"
timeout $event_wait wineserver -w || fail "on: the prefix did not go down"
left="$(prefix_pids)"
[ -z "$left" ] || fail "on: processes of the prefix left: $left"
echo "on: the restart ended HostSweeper.exe and every process of the prefix, and ran RunOnce"
echo "PASSED"
