#!/bin/bash
# Runs a Windows program under Wine in the test prefix of the kind HS_PREFIX,
# in the folder HS_PREFIX_DIR (by default HS_PREFIX_ROOT/HS_PREFIX), on the
# display written below HS_DISPLAY_ROOT (by default HS_PREFIX_ROOT). Output goes through files, never pipes: Wine's
# helper processes inherit the handles and would hold a pipe open.
set -u
root="${HS_PREFIX_ROOT:?HS_PREFIX_ROOT is not set}"
name="${HS_PREFIX:-win64}"
source "$(dirname "$0")/wine-env.sh"
wine_env "${HS_PREFIX_DIR:-$root/$name}" "$name"
test_display "${HS_DISPLAY_ROOT:-$root}"
out=$(mktemp "${TMPDIR:-/tmp}/hs-run.XXXXXX")
err="$out.err"
wine "$@" >"$out" 2>"$err" </dev/null
rc=$?
cat "$out"
grep -v -e '^[0-9a-f]*:fixme:' -e '^wine: ' "$err" >&2 || true
rm -f "$out" "$err"
exit $rc
