#!/bin/bash
# A test that never ends is stopped at its deadline, and with it every Wine
# process of its prefix: nothing is left running after a timeout.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
scripts="$here/../scripts"
source "$scripts/wine-env.sh"
prefix="${HS_PREFIX_ROOT:?}/guard"
make_test_prefix "$prefix" win32 >/dev/null || exit 1
wine_env "$prefix" win32

prefix_pids() {
  local p
  for p in /proc/[0-9]*; do
    tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=$prefix" && echo "${p#/proc/}"
  done
}

# cmd.exe waits for ever on a pipe that nobody writes to. The guard's own
# short deadline is what is tested; every wait of this test for an event is
# bounded by a tenth of the deadline of one test, as in the other tests.
event_wait=$((${HS_TEST_SECONDS:-1500} / 10))
out="$prefix.guard.out"
deadline=20
"$scripts/guard.sh" $deadline bash -c 'sleep infinity | wine cmd.exe /c more >/dev/null 2>&1' >"$out" 2>&1 &
guard=$!
# The program never ends by itself: only the guard can end it, at its
# deadline, and the guard must end then too.
bound=$((SECONDS + deadline + event_wait))
running() { kill -0 $guard 2>/dev/null && [ $SECONDS -lt $bound ]; }
# Seen while the guard still runs it: what the guard stops was running.
seen=""
until [ -n "$seen" ] || ! running; do
  [ -n "$(prefix_pids)" ] && running && seen=1
  sleep 0.5
done
while running; do sleep 1; done
failed=0
if kill -0 $guard 2>/dev/null; then
  echo "FAIL: the guard did not end within $event_wait s of its $deadline s deadline"
  kill $guard 2>/dev/null
  failed=1
fi
wait $guard
status=$?
[ -n "$seen" ] || { echo "FAIL: no Wine process of the prefix was ever seen running"; failed=1; }
[ $status -ne 0 ] || { echo "FAIL: the guard reported success for a test that never ended"; failed=1; }
grep -q "^TIMEOUT: killed after $deadline s; stopped the wineserver of: .*$prefix" "$out" ||
  { echo "FAIL: no TIMEOUT line naming the prefix:"; cat "$out"; failed=1; }
left=""
bound=$((SECONDS + event_wait))
while :; do
  left=$(prefix_pids)
  [ -z "$left" ] || [ $SECONDS -ge $bound ] && break
  sleep 1
done
if [ -n "$left" ]; then
  echo "FAIL: processes of the prefix left after the timeout:"
  for p in $left; do tr '\0' ' ' <"/proc/$p/cmdline"; echo; done
  failed=1
fi
[ $failed -eq 0 ] && { echo "stopped at its deadline with every process of its prefix"; remove_prefix "$prefix"; }
exit $failed
