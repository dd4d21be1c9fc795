#!/bin/bash
# Runs a Windows program under Wine in the test prefix named by HS_PREFIX
# (below HS_PREFIX_ROOT). Output goes through files, never pipes: Wine's
# helper processes inherit the handles and would hold a pipe open.
set -u
root="${HS_PREFIX_ROOT:?HS_PREFIX_ROOT is not set}"
name="${HS_PREFIX:-win64}"
source "$(dirname "$0")/wine-env.sh"
wine_env "$root/$name" "$name"
test_display "$root"
out=$(mktemp "${TMPDIR:-/tmp}/hs-run.XXXXXX")
err="$out.err"
wine "$@" >"$out" 2>"$err" </dev/null
rc=$?
cat "$out"
grep -v -e '^[0-9a-f]*:fixme:' -e '^wine: ' "$err" >&2 || true
rm -f "$out" "$err"
exit $rc
