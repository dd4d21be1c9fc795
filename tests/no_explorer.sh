#!/bin/bash
# Runs tests/pc/no_explorer.cpp in a throwaway prefix of its own: it ends
# that prefix's explorer.exe, which no other test could live with.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${HS_BUILD_DIR:?}"
prefix="${HS_PREFIX_ROOT:?}/no-explorer"
source "$here/../scripts/wine-env.sh"
test_display "$HS_PREFIX_ROOT"
: "${DISPLAY:?a display is needed for the window}"
make_test_prefix "$prefix" win32
wine_env "$prefix" win32
status=0
wine "$build/tests/pc/no_explorer.exe" >"$prefix.out" 2>"$prefix.err" </dev/null || status=$?
stop_prefix "$prefix"
cat "$prefix.out"
exit $status
