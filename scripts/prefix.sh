#!/bin/bash
# Makes a throwaway Wine prefix:  prefix.sh DIR win64|win32|winxp
# Stops every Wine process of one: prefix.sh --stop DIR
set -uo pipefail
source "$(dirname "$0")/wine-env.sh"
if [ "$1" = --stop ]; then
  [ -d "$2" ] || exit 0
  wine_env "$2" win64
  timeout 60 wineserver -k >/dev/null 2>&1
  exit 0
fi
dir="$1"
kind="$2"
rm -rf "$dir"
mkdir -p "$(dirname "$dir")"
wine_env "$dir" "$kind"
log="$dir.log"
fail() {
  echo "making the $kind prefix $dir failed: $*; its log:" >&2
  tail -n 40 "$log" >&2
  exit 1
}
wineboot -i >"$log" 2>&1 || fail "wineboot exited with $?"
if [ "$kind" = winxp ]; then
  wine reg add 'HKCU\Software\Wine' /v Version /d winxp /f >>"$log" 2>&1 ||
    fail "cannot set the Windows version"
fi
wineserver -w
[ -f "$dir/system.reg" ] && [ -d "$dir/drive_c/windows" ] || fail "no registry or Windows folder was made"
echo "made the $kind prefix $dir"
