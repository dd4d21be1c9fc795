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

# cmd.exe waits for ever on a pipe that nobody writes to.
out="$prefix.guard.out"
start=$SECONDS
deadline=20
"$scripts/guard.sh" $deadline bash -c 'sleep infinity | wine cmd.exe /c more >/dev/null 2>&1' >"$out" 2>&1 &
guard=$!
seen=""
for _ in $(seq 1 70); do
  [ -n "$(prefix_pids)" ] && { seen=1; break; }
  sleep 0.5
done
wait $guard
status=$?
took=$((SECONDS - start))
failed=0
[ -n "$seen" ] || { echo "FAIL: no Wine process of the prefix was ever seen running"; failed=1; }
[ $status -ne 0 ] || { echo "FAIL: the guard reported success for a test that never ended"; failed=1; }
grep -q '^TIMEOUT: ' "$out" || { echo "FAIL: no TIMEOUT line:"; cat "$out"; failed=1; }
[ $took -lt $((deadline + 50)) ] || { echo "FAIL: the guard took $took s for a $deadline s deadline"; failed=1; }
left=""
for _ in $(seq 1 30); do
  left=$(prefix_pids)
  [ -z "$left" ] && break
  sleep 1
done
if [ -n "$left" ]; then
  echo "FAIL: processes of the prefix left after the timeout:"
  for p in $left; do tr '\0' ' ' <"/proc/$p/cmdline"; echo; done
  failed=1
fi
[ $failed -eq 0 ] && { echo "stopped after $took s with every process of its prefix"; remove_prefix "$prefix"; }
exit $failed
