#!/bin/bash
# Runs one test with a deadline shorter than CTest's own, so that a test
# that hangs still ends every Wine process it started: CTest's kill cannot
# be caught, and the prefix's wineserver and services would outlive it.
#   guard.sh SECONDS COMMAND [ARGS...]
# The command runs in a session of its own; at the deadline every process
# of that session is killed and the wineserver of every prefix they used
# is stopped. Exit code: the command's, or 1 on timeout.
set -u
source "$(dirname "$0")/wine-env.sh"
limit="$1"
shift

session_pids() {
  local stat line rest
  for stat in /proc/[0-9]*/stat; do
    read -r line 2>/dev/null <"$stat" || continue
    rest="${line##*) }"
    # After the name: state, parent, process group, session.
    set -- $rest
    [ "${4:-}" = "$session" ] && { p="${stat#/proc/}"; echo "${p%/stat}"; }
  done
}

prefixes_of() {
  local p
  for p in "$@"; do
    tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | sed -n 's/^WINEPREFIX=//p'
  done | sort -u
}

setsid "$@" &
session=$!
deadline=$((SECONDS + limit))
while kill -0 "$session" 2>/dev/null; do
  if [ $SECONDS -ge $deadline ]; then
    pids=$(session_pids)
    prefixes=$(prefixes_of $pids)
    kill -KILL $pids 2>/dev/null
    wait "$session" 2>/dev/null
    for prefix in $prefixes; do
      stop_prefix "$prefix"
    done
    echo "TIMEOUT: killed after $limit s; stopped the wineserver of: ${prefixes:-no prefix}"
    exit 1
  fi
  sleep 1
done
wait "$session"
