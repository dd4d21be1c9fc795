#!/bin/bash
# Runs tests/pc/no_explorer.cpp in a throwaway prefix of its own: it ends
# that prefix's explorer.exe, which no other test could live with.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${HS_BUILD_DIR:?}"
prefix="${HS_PREFIX_ROOT:?}/no-explorer"
: "${DISPLAY:?a display is needed for the window}"
"$here/../scripts/prefix.sh" "$prefix" win32
source "$here/../scripts/wine-env.sh"
wine_env "$prefix" win32
status=0
wine "$build/tests/pc/no_explorer.exe" >"$prefix.out" 2>"$prefix.err" </dev/null || status=$?
wineserver -k || true
cat "$prefix.out"
exit $status
