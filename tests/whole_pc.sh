#!/bin/bash
# One cleanup of the real window on a freshly seeded PC, checked twice: the
# log line by line, and the whole prefix before and after (every key,
# value, file and folder). Anything that disappeared or changed must be on
# the list of what the run was meant to remove.
#   whole_pc.sh KIND OPTIONS    (KIND win64|win32|winxp; OPTIONS e.g.
#                                default, skip-tunnel, restricted,no-cache)
set -euo pipefail
kind="$1"
options="$2"
here="$(cd "$(dirname "$0")" && pwd)"
source_dir="$(cd "$here/.." && pwd)"
build="${HS_BUILD_DIR:?}"
root="${HS_PREFIX_ROOT:?}"
source "$source_dir/scripts/wine-env.sh"
test_display "$root"
: "${DISPLAY:?a display is needed for the window}"

work="$root/pc-$kind-${options//,/-}"
prefix="$work/prefix"
remove_prefix "$prefix"
rm -rf "$work"
mkdir -p "$work"
make_test_prefix "$prefix" "$kind"
hostile=""
case ",$options," in *,hostile,*) hostile=hostile ;; esac
"$source_dir/scripts/seed-pc.sh" "$prefix" "$kind" "$build" $hostile >/dev/null
python3 "$source_dir/scripts/prefix_snapshot.py" snapshot "$prefix" "$work/before.json"

flags=()
IFS=, read -ra wanted <<<"$options"
for o in "${wanted[@]}"; do
  [ "$o" = default ] || [ "$o" = hostile ] || flags+=("--$o")
done
# Another program holds a file in the vendor's common data folder
# (seed-pc.sh); in a hostile seed that folder is or holds a link instead.
[ -n "$hostile" ] || flags+=(--hold 'C:\ProgramData\Kestrix\held.lock')
wine_env "$prefix" "$kind"
export HS_BUILD_DIR="$build"
status=0
wine "$build/tests/pc/hs_drive.exe" "Z:${work//\//\\}\\run.log" "${flags[@]}" \
  >"$work/drive.out" 2>"$work/drive.err" </dev/null || status=$?
# The registry reaches the disk when the server ends: waited for as long as
# any one event, a tenth of the test's deadline.
if ! timeout $(( ${HS_TEST_SECONDS:-1500} / 10 )) wineserver -w; then
  echo "the prefix's wineserver did not end within a tenth of the test's deadline"
  exit 1
fi
if [ $status -ne 0 ]; then
  echo "driving the window failed ($status):"; cat "$work/drive.out"; grep -v fixme "$work/drive.err" || true
  exit 1
fi

python3 "$source_dir/scripts/prefix_snapshot.py" snapshot "$prefix" "$work/after.json"
python3 "$here/pc/expectations.py" "$kind" "$options" "$work/before.json" "$work/expect.json" "$work/expected.log"

failed=0
if ! cmp -s "$work/expected.log" "$work/run.log"; then
  echo "the log differs from the expected lines:"
  diff <(tr -d '\r' <"$work/expected.log") <(tr -d '\r' <"$work/run.log") || true
  failed=1
fi
if ! python3 "$source_dir/scripts/prefix_snapshot.py" compare "$work/before.json" "$work/after.json" "$work/expect.json"; then
  failed=1
fi
[ $failed -eq 0 ] && { echo "$kind $options: log as expected, nothing else touched";
  remove_prefix "$prefix"; }
exit $failed
