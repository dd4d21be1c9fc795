#!/bin/bash
# Makes a throwaway Wine prefix: prefix.sh DIR win64|win32|winxp
set -euo pipefail
dir="$1"
kind="$2"
rm -rf "$dir"
mkdir -p "$(dirname "$dir")"
source "$(dirname "$0")/wine-env.sh"
wine_env "$dir" "$kind"
log="$dir.log"
wineboot -i >"$log" 2>&1
if [ "$kind" = winxp ]; then
  wine reg add 'HKCU\Software\Wine' /v Version /d winxp /f >>"$log" 2>&1
fi
wineserver -w
