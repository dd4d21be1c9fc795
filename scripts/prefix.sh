#!/bin/bash
# Makes a throwaway Wine prefix: prefix.sh DIR win64|win32|winxp
set -euo pipefail
dir="$1"
kind="$2"
rm -rf "$dir"
mkdir -p "$(dirname "$dir")"
export WINEPREFIX="$dir" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "$kind" in
  win64) export WINEARCH=win64 ;;
  *) export WINEARCH=win32 ;;
esac
log="$dir.log"
wineboot -i >"$log" 2>&1
if [ "$kind" = winxp ]; then
  wine reg add 'HKCU\Software\Wine' /v Version /d winxp /f >>"$log" 2>&1
fi
wineserver -w
