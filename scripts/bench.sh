#!/bin/bash
# Measures Host Sweeper's speed under Wine and writes docs/benchmarks.md:
# the registry subkey search against a bare enumeration of the same keys,
# whole cleanup runs (on a clean prefix and with installer products), the
# class registration phase on a registry of a real PC's size, the start-up
# to a visible window against a minimal dialog program, the program's
# size and peak memory, each file deletion primitive against the plain
# delete loop, and the browser cache clearing against the same loop. Everything runs in one fresh throwaway prefix; run it again
# to get a new set of numbers.
#
# Needs what scripts/build.sh installs. HS_BUILD_DIR picks the build folder
# (default build-bench), HS_BENCH_PREFIX the kind of prefix (win64, win32 or
# winxp; default win64), HS_BENCH_CPUS the CPUs the Wine processes may use
# (a taskset list; default 0). HS_BENCH_ONLY=files measures the file
# deletion alone and rewrites only its section of the file;
# HS_BENCH_ONLY=browser the same for the browser cache clearing.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${HS_BUILD_DIR:-build-bench}"
kind="${HS_BENCH_PREFIX:-win64}"
cpus="${HS_BENCH_CPUS:-0}"
doc=docs/benchmarks.md

# Repetitions: enough for a steady median, few enough for a few minutes.
registry_repeats=15
registry_sizes="5000 20000 50000"
classes_repeats=15
# A PC in use: subkeys of HKEY_CLASSES_ROOT, HKCU\Software\Classes, CLSID,
# Wow6432Node\CLSID (64-bit prefixes only) and HKCU\Software\Classes\CLSID.
classes_sizes="30000 2000 15000 8000 500"
startup_repeats=9
clean_repeats=9
phase_repeats=5
product_repeats=7
# Each round fills the folder anew before every pass: 30,000 files take a
# while to make.
files_repeats=7
files_sizes="3000 30000"
# A browser's cache folder holds thousands to tens of thousands of files.
browser_repeats=7
browser_sizes="3000 20000"
only="${HS_BENCH_ONLY:-}"
case "$only" in
  "" | files | browser) ;;
  *) echo "HS_BENCH_ONLY takes only: files, browser" >&2; exit 2 ;;
esac

mkdir -p "$build"
build_abs="$(cd "$build" && pwd)"
out="$build_abs/bench-results"
rm -rf "$out"
mkdir -p "$out"

# Only the program, the measuring tools and the test packages are built, so
# a test that does not compile yet cannot stop the measurements.
echo "building $build ..."
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake &&
       cmake --build "$build" --target bench_tools test_packages; } >"$out/build.log" 2>&1; then
  cat "$out/build.log" >&2
  exit 1
fi

root="$build_abs/bench-prefixes"
export HS_PREFIX_ROOT="$root" HS_PREFIX="$kind" HS_BUILD_DIR="$build_abs"
export HS_MSI_DIR="$build_abs/msi" HS_SOURCE_DIR="$PWD"
WINEPREFIX="$root/$kind" wineserver -k >/dev/null 2>&1 || true
echo "making a fresh $kind prefix ..."
scripts/prefix.sh "$root/$kind" "$kind"

# A display for the windows; only what this script starts is stopped.
started_xvfb=""
if [ -z "${DISPLAY:-}" ] || ! xdotool getdisplaygeometry >/dev/null 2>&1; then
  display=""
  for n in $(seq 121 160); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
  done
  [ -n "$display" ] || { echo "no free display number" >&2; exit 1; }
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  started_xvfb=$!
  export DISPLAY="$display"
  sleep 1
fi
stop() {
  WINEPREFIX="$root/$kind" wineserver -k >/dev/null 2>&1 || true
  [ -n "$started_xvfb" ] && kill "$started_xvfb" 2>/dev/null || true
}
trap stop EXIT

# One server for all the measurements, kept up between them so that Wine's
# own services do not start again in the middle of one. Everything runs on
# one CPU: most calls are round trips to wineserver, and across two otherwise
# idle virtual CPUs each waits for the other to wake up, which made the times
# swing several-fold from run to run.
WINEPREFIX="$root/$kind" taskset -c "$cpus" wineserver -p
# The file deletion bench also reads the server's CPU time.
for p in $(pgrep -f wineserver); do
  if tr '\0' '\n' 2>/dev/null <"/proc/$p/environ" | grep -qx "WINEPREFIX=$root/$kind"; then
    export HS_WINESERVER_PID="$p"
    break
  fi
done
run() { taskset -c "$cpus" scripts/wine-run.sh "$@"; }

tools="$build/tests/tools"
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
started_at=$(date +%s)

if [ -z "$only" ]; then
echo "start-up ($startup_repeats starts of each program) ..."
run "$tools/bench_startup.exe" "$startup_repeats" >"$out/startup.txt"
echo "cleanup runs on the clean prefix ($clean_repeats) ..."
run "$tools/bench_cleanup_run.exe" clean "$clean_repeats" >"$out/clean.txt"
run "$tools/bench_cleanup_run.exe" phases "$phase_repeats" >"$out/phases.txt"

# The products a run removes, in the order it removes them: the endpoint
# suite's listed products (the primary one last), the endpoint-control
# product, the tunnel client's service and client for this Windows.
case "$kind" in
  win64) bits=64 ;;
  *) bits=32 ;;
esac
packages=("Agent=suite_agent.msi" "Monitor=suite_monitor.msi" "XPV=suite_primary.msi"
          endpoint_control.msi "tunnel_service$bits.msi" "tunnel_client$bits.msi")
have_packages=yes
for p in "${packages[@]}"; do
  [ -f "$HS_MSI_DIR/${p#*=}" ] || have_packages=""
done
if [ -n "$have_packages" ]; then
  echo "cleanup runs with ${#packages[@]} installer products ($product_repeats) ..."
  run "$tools/bench_cleanup_run.exe" products "$product_repeats" "${packages[@]}" \
    >"$out/products.txt"
  # The account of what stays, weighed on a typical PC (the tunnel client
  # installed): whole runs with and without it, in turn.
  echo "cleanup runs with and without the account of what stays ($product_repeats each) ..."
  run "$tools/bench_cleanup_run.exe" account "$product_repeats" "tunnel_service$bits.msi" \
    "tunnel_client$bits.msi" >"$out/account.txt"
else
  echo "no test packages in $HS_MSI_DIR: the run with installer products is skipped"
fi

echo "registry search ($registry_sizes subkeys, $registry_repeats passes each) ..."
# shellcheck disable=SC2086
run "$tools/bench_registry.exe" "$registry_repeats" $registry_sizes >"$out/registry.txt"
echo "class registration phase, clean and at real size ($classes_sizes; $classes_repeats passes each) ..."
# shellcheck disable=SC2086
run "$tools/bench_registry.exe" classes "$classes_repeats" $classes_sizes >"$out/classes.txt"
fi
if [ "$only" != browser ]; then
echo "file deletion ($files_sizes files, $files_repeats rounds) ..."
# shellcheck disable=SC2086
run "$tools/bench_files.exe" "$files_repeats" $files_sizes >"$out/files.txt"
fi
if [ "$only" != files ]; then
echo "browser cache clearing ($browser_sizes files, $browser_repeats rounds) ..."
# shellcheck disable=SC2086
run "$tools/bench_browser_cache.exe" "$browser_repeats" $browser_sizes >"$out/browser.txt"
fi

load_after="$(cut -d' ' -f1-3 /proc/loadavg)"
elapsed=$(( $(date +%s) - started_at ))

# --- the numbers ------------------------------------------------------------
declare -A R
while read -r key value; do
  R[$key]=$value
done < <(cat "$out"/*.txt | tr -d '\r' | grep -E '^[a-z_]+\.[A-Za-z0-9_.]+ -?[0-9.]+$' || true)

has() { [ -n "${R[$1]:-}" ]; }
# f KEY [DECIMALS]: a number as measured
f() { has "$1" && printf "%.${2:-1}f" "${R[$1]}" || printf 'n/a'; }
# calc EXPRESSION [DECIMALS]
calc() { awk "BEGIN { printf \"%.${2:-1}f\", $1 }"; }
spread() { echo "$(f "$1.median") ($(f "$1.min")–$(f "$1.max"), n=$(f "$1.count" 0))"; }

exe_size=$(stat -c %s "$build/HostSweeper.exe")
minimal_size=$(stat -c %s "$tools/bench_minimal_dialog.exe")
imports_size=$(stat -c %s "$tools/bench_minimal_imports.exe")
cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
cores="$(nproc)"
memory="$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
wine_version="$(wine --version)"
kernel="$(uname -sr)"
i386_mode="$(scripts/host-i386.sh 2>/dev/null || echo "32-bit programs: mode unknown")"
distro="Debian $(cat /etc/debian_version 2>/dev/null || echo '?')"
compiler="$(i686-w64-mingw32-g++-posix --version | head -1)"
revision="$(git rev-parse --short HEAD 2>/dev/null || echo '?')"
if [ -n "$(git status --porcelain 2>/dev/null)" ]; then
  revision="$revision with uncommitted changes"
fi
today="$(date -u '+%Y-%m-%d %H:%M UTC')"

files_section=""
if [ "$only" != browser ]; then
# Each file deletion primitive against the plain loop over the same folder.
files_rows=""
files_over=""
files_flat=""
files_flat_over=""
for size in $files_sizes; do
  for primitive in tree:"Tree (DeleteTreeViaShell)" empty:"Emptying (EmptyAndRemoveFolder)"; do
    k="files.$size.${primitive%%:*}"
    mark=""
    if awk "BEGIN { exit !(${R[$k.paired_ratio]} > 1.3) }"; then
      mark=" (above 1.3)"
      files_over="$files_over ${primitive%%:*} at $size,"
    fi
    files_rows+="| $size | ${primitive#*:} | $(spread "$k.ms") | $(spread "$k.plain_ms") | $(f "$k.ratio" 2) | $(f "$k.paired_ratio" 2)$mark | $(f "$k.fastest_ratio" 2) | $(f "$k.us_per_file" 1) | $(f "$k.plain_us_per_file" 1) | $(f "$k.cpu_paired_ratio" 2) | $(f "$k.cpu_us_per_file" 1) / $(f "$k.plain_cpu_us_per_file" 1) |"$'\n'
  done
done
smallest_files="${files_sizes%% *}"
largest_files="${files_sizes##* }"
for primitive in tree empty; do
  small="files.$smallest_files.$primitive"
  large="files.$largest_files.$primitive"
  own=$(calc "${R[$large.us_per_file]} / ${R[$small.us_per_file]}" 2)
  plain=$(calc "${R[$large.plain_us_per_file]} / ${R[$small.plain_us_per_file]}" 2)
  paired=$(calc "${R[$large.paired_ratio]} / ${R[$small.paired_ratio]}" 2)
  cpu=$(calc "${R[$large.cpu_us_per_file]:-0} / ${R[$small.cpu_us_per_file]:-1}" 2)
  plain_cpu=$(calc "${R[$large.plain_cpu_us_per_file]:-0} / ${R[$small.plain_cpu_us_per_file]:-1}" 2)
  files_flat+="${files_flat:+; }$primitive by the clock $own (plain loop $plain), in CPU time $cpu (plain loop $plain_cpu), paired ratios $paired"
  if awk "BEGIN { exit !($paired > 1.2 || $paired < 1 / 1.2 || $cpu > 1.2 || $cpu < 1 / 1.2) }"; then
    files_flat_over="$files_flat_over $primitive"
  fi
done
files_verdict="Every primitive is within 1.3 times the plain loop at every size (paired ratios)"
[ -n "$files_over" ] && files_verdict="Above 1.3 times the plain loop (paired ratio) for:${files_over%,}"
files_flat_verdict="in CPU time and against the plain loop of the same rounds, within 1.2 (the clock also moves with the machine's load, for the plain loop as much)"
[ -n "$files_flat_over" ] && files_flat_verdict="in CPU time or against the plain loop, beyond 1.2 for:$files_flat_over"
files_where="together with the rest of this file"
[ -n "$only" ] && files_where="alone (HS_BENCH_ONLY=files; the other sections are from the run named at the top; ${i386_mode})"
files_section="### 5. File deletion

Each deletion primitive against the plain loop a program would write over the same folder: FindFirstFileW/FindNextFileW, DeleteFileW for each entry, RemoveDirectoryW. ms as median (min–max, n); the ratio is of the medians, \"paired\" the median of the ratios of each pass to the plain pass run next to it, \"fastest\" the ratio of the fastest passes; cost per file from the medians. The CPU columns count the CPU time of the bench process and of the Wine server over each pass (/proc/PID/task/*/schedstat), which the other programs on the machine disturb less than the clock: the paired ratio of those, and the medians per file.

| Files | Primitive | Primitive ms | Plain loop ms | Ratio | Ratio, paired | Ratio, fastest | Primitive µs/file | Plain µs/file | CPU ratio, paired | CPU µs/file, primitive / plain |
|---:|---|---|---|---:|---:|---:|---:|---:|---:|---|
${files_rows}
$files_verdict. Cost per file at $largest_files files against $smallest_files, 1.00 being perfectly flat: $files_flat; $files_flat_verdict.

Per file, each primitive opens the entry relative to the held folder (FILE_OPEN_REPARSE_POINT, FILE_NON_DIRECTORY_FILE) and closes it: under Wine 8, which answers STATUS_NOT_IMPLEMENTED to FileDispositionInformationEx once for the run, the open itself carries FILE_DELETE_ON_CLOSE, the same two calls DeleteFileW makes; on Windows 10 1607 and later one NtSetInformationFile with the POSIX disposition comes in between, as in DeleteFileW there. Nothing else is asked per file: the listing's attributes and reparse tag decide what an entry is, and the open cannot reach anything else.

Method (tests/tools/bench_files.cpp): the folder, below the prefix's temporary folder, holds that many empty files (\"file000000.dat\" on), made anew before every timed pass, untimed, on the Unix side (seq and touch): for a name that is not there yet, Wine's case-insensitive lookup reads the whole folder, so CreateFileW would take minutes to make 30,000. Every round measures each size and each primitive, in an order that rotates, next to a plain pass of its own, which one goes first alternating; $files_repeats rounds after one untimed pass of each kind on 100 files. After every pass the bench checks the folder is gone and at the end that a file beside the folder is untouched. Every pair is in \`$build/bench-results/files.txt\` (lines \"files_pair FILES PRIMITIVE ROUND PRIMITIVE_MS PLAIN_MS cpu PRIMITIVE_CPU_MS PLAIN_CPU_MS\"). Measured on $today from revision $revision in a fresh $kind prefix, $files_where; load average before: $load_before; after: $load_after.
"

fi
# The browser cache clearing against the plain loop over the same folder.
browser_section=""
if [ "$only" != files ]; then
browser_rows=""
browser_over=""
browser_flat=""
browser_flat_over=""
for size in $browser_sizes; do
  for folder in chrome_cache:"Chrome, Default\\Cache" chrome_cache_data:"Chrome, Default\\Cache\\Cache_Data" \
                firefox_cache2:"Firefox, local profile's cache2"; do
    k="browser.$size.${folder%%:*}"
    mark=""
    if awk "BEGIN { exit !(${R[$k.paired_ratio]} > 1.3) }"; then
      mark=" (above 1.3)"
      browser_over="$browser_over ${folder%%:*} at $size,"
    fi
    browser_rows+="| $size | ${folder#*:} | $(spread "$k.ms") | $(spread "$k.plain_ms") | $(f "$k.ratio" 2) | $(f "$k.paired_ratio" 2)$mark | $(f "$k.fastest_ratio" 2) | $(f "$k.us_per_file" 1) | $(f "$k.plain_us_per_file" 1) | $(f "$k.cpu_paired_ratio" 2) | $(f "$k.cpu_us_per_file" 1) / $(f "$k.plain_cpu_us_per_file" 1) |"$'\n'
  done
done
smallest_browser="${browser_sizes%% *}"
largest_browser="${browser_sizes##* }"
for folder in chrome_cache chrome_cache_data firefox_cache2; do
  small="browser.$smallest_browser.$folder"
  large="browser.$largest_browser.$folder"
  own=$(calc "${R[$large.us_per_file]} / ${R[$small.us_per_file]}" 2)
  plain=$(calc "${R[$large.plain_us_per_file]} / ${R[$small.plain_us_per_file]}" 2)
  paired=$(calc "${R[$large.paired_ratio]} / ${R[$small.paired_ratio]}" 2)
  cpu=$(calc "${R[$large.cpu_us_per_file]:-0} / ${R[$small.cpu_us_per_file]:-1}" 2)
  browser_flat+="${browser_flat:+; }$folder by the clock $own (plain loop $plain), in CPU time $cpu, paired ratios $paired"
  if awk "BEGIN { exit !($paired > 1.2 || $paired < 1 / 1.2) }"; then
    browser_flat_over="$browser_flat_over $folder"
  fi
done
browser_verdict="The clearing of every cache folder is within 1.3 times the plain loop at every size (paired ratios)"
[ -n "$browser_over" ] && browser_verdict="Above 1.3 times the plain loop (paired ratio) for:${browser_over%,}"
browser_flat_verdict="the paired ratio at one size within 1.2 of the other's: flat"
[ -n "$browser_flat_over" ] && browser_flat_verdict="the paired ratio at one size beyond 1.2 of the other's for:$browser_flat_over"
browser_where="together with the rest of this file"
[ -n "$only" ] && browser_where="alone (HS_BENCH_ONLY=browser; the other sections are from the run named at the top)"
browser_section="### 6. Browser cache clearing

The whole browser clearing (ClearBrowserCaches: the empty Internet Explorer cache, then every Firefox, Chrome and Edge profile of the user at the desk) while one cache folder holds that many files, against the plain loop over the same folder: FindFirstFileW/FindNextFileW, DeleteFileW for each entry, RemoveDirectoryW. Columns as in the file deletion section. Mode of 32-bit programs, the bench included: ${i386_mode}.

| Files | Cache folder | Clearing ms | Plain loop ms | Ratio | Ratio, paired | Ratio, fastest | Clearing µs/file | Plain µs/file | CPU ratio, paired | CPU µs/file, clearing / plain |
|---:|---|---|---|---:|---:|---:|---:|---:|---:|---|
${browser_rows}
$browser_verdict. Cost per file at $largest_browser files against $smallest_browser, 1.00 being perfectly flat: $browser_flat; $browser_flat_verdict.

Each cache folder is listed once, through the handle that holds it, and each file is deleted as it is listed, relative to that handle: one open and close per file, as DeleteFileW makes them; no search by name and no second hold per file.

Method (tests/tools/bench_browser_cache.cpp): the folder, below the prefix's local application data folder, holds that many empty files (\"file000000.dat\" on), made anew before every timed pass, untimed, on the Unix side, as in the file deletion section. Every round measures each size and each cache folder, in an order that rotates, next to a plain pass of its own, which one goes first alternating; $browser_repeats rounds after one untimed pass of each kind on 100 files. After every pass the bench checks that the folder is empty (the clearing leaves the folder itself: it is removed after the timed pass) and at the end that the profiles' History and places.sqlite are untouched. Every pair is in \`$build/bench-results/browser.txt\` (lines \"browser_pair FILES FOLDER ROUND CLEARING_MS PLAIN_MS cpu CLEARING_CPU_MS PLAIN_CPU_MS\"). Measured on $today from revision $revision in a fresh $kind prefix, $browser_where; load average before: $load_before; after: $load_after.
"
fi

if [ -n "$only" ]; then
  section="$files_section"
  heading="### 5. File deletion"
  if [ "$only" = browser ]; then
    section="$browser_section"
    heading="### 6. Browser cache clearing"
  fi
  python3 - "$doc" "$section" "$heading" <<'PY'
import sys
path, section, heading = sys.argv[1], sys.argv[2].rstrip("\n") + "\n\n", sys.argv[3]
text = open(path, encoding="utf-8").read()
start = text.find(heading)
if start < 0:
    start = end = text.index("## Method")
else:
    following = [at for at in (text.find("\n### ", start + 1), text.find("\n## ", start)) if at >= 0]
    end = min(following) + 1
open(path, "w", encoding="utf-8").write(text[:start] + section + text[end:])
PY
  echo
  echo "$section"
  echo "written to $doc (that section only)"
  exit 0
fi

registry_rows=""
above=""
noisy=""
per_key=()
fastest_per_key=()
for size in $registry_sizes; do
  k="registry.$size"
  ratio=$(f "$k.ratio" 2)
  fastest=$(calc "${R[$k.search_ms.min]} / ${R[$k.bare_ms.min]}" 2)
  mark=""
  if awk "BEGIN { exit !(${R[$k.ratio]} > 1.2) }"; then
    mark=" (above 1.2)"
    if awk "BEGIN { exit !(${R[$k.paired_ratio]} > 1.2 || $fastest > 1.2) }"; then
      above="$above $size"
    else
      noisy="$noisy $size"
    fi
  fi
  per_key+=("${R[$k.search_us_per_key]}")
  fastest_per_key+=("${R[$k.fastest_search_us_per_key]}")
  registry_rows+="| $size | $(spread "$k.search_ms") | $(spread "$k.bare_ms") | $ratio$mark | $(f "$k.paired_ratio" 2) | $fastest | $(f "$k.search_us_per_key" 2) | $(f "$k.bare_us_per_key" 2) | $(spread "$k.delete10_ms") |"$'\n'
done
# largest / smallest of the arguments
spread_factor() { printf '%s\n' "$@" | awk 'NR == 1 { lo = hi = $1 } { if ($1 < lo) lo = $1; if ($1 > hi) hi = $1 } END { printf "%.2f", hi / lo }'; }
per_key_spread=$(spread_factor "${per_key[@]}")
fastest_per_key_spread=$(spread_factor "${fastest_per_key[@]}")

run_rows="| Clean prefix (nothing installed) | $(spread run.clean.ms) | n/a | n/a |"$'\n'
if has run.products.ms.median; then
  own="$(calc "${R[run.products.ms.median]} - ${R[installer.products.ms.median]}") (fastest: $(calc "${R[run.products.ms.min]} - ${R[installer.products.ms.min]}"))"
  run_rows+="| ${#packages[@]} installer products installed | $(spread run.products.ms) | $(spread installer.products.ms) | $own |"$'\n'
  run_rows+=$'\n'"A cross-check: the run with products takes $(calc "${R[run.products.ms.median]} - ${R[run.clean.ms.median]}") ms more than the run on the clean prefix (medians), against $(f installer.products.ms.median) ms for the installer calls timed directly."$'\n'
  products_note="The installer share is timed in the bench program, not inside the run: each run is preceded by a seeding (install the packages, write the suite's uninstall list, wait 0.5 s), and each run alternates with an identical seeding on which the bench program itself makes the calls the program makes for each product (MsiQueryProductStateW, MsiSetInternalUI at the level the program uses, MsiSetExternalUIW(NULL, 0, NULL), MsiConfigureProductExW(code, INSTALLLEVEL_MAXIMUM, INSTALLSTATE_ABSENT, \"REMOVE=ALL \")) and times them with QueryPerformanceCounter. \"Program's own\" is the difference of the two medians (and of the two fastest times); both carry the noise described below, so it is an estimate. The packages: ${packages[*]} (built with wixl from tests/msi; \"NAME=\" also lists the product in the suite's uninstall list, \"XPV\" being the primary product, removed with the basic user interface)."
  if has run.account.with.ms.median; then
    account_ratio=$(calc "${R[run.account.with.ms.median]} / ${R[run.account.without.ms.median]}" 3)
    account_fastest=$(calc "${R[run.account.with.ms.min]} / ${R[run.account.without.ms.min]}" 3)
    account_verdict="within the target of 1.05"
    awk "BEGIN { exit !($account_ratio > 1.05) }" && account_verdict="above the target of 1.05"
    run_rows+=$'\n'"The account of what stays, on a typical PC (the tunnel service and client installed, everything else absent), the whole run in the bench process, with and without the account in turn on the same seeding: $(spread run.account.with.ms) ms with it, $(spread run.account.without.ms) ms without; $account_ratio times (medians), $account_fastest times (fastest runs), $account_verdict."$'\n'
  fi
else
  run_rows+="| Installer products installed | skipped: no test packages in \$HS_MSI_DIR | | |"$'\n'
  products_note="The run with installer products was skipped: the test packages were not found in $HS_MSI_DIR."
fi

phase_rows=""
phase_sum=0
for phase in endpoint_manager endpoint_control tunnel_client class_registrations desktop_components browser_caches; do
  phase_rows+="| $phase | $(spread "phase.$phase.ms") |"$'\n'
  phase_sum=$(calc "$phase_sum + ${R[phase.$phase.ms.median]:-0}")
done
class_share=$(calc "${R[phase.class_registrations.ms.median]} * 100 / $phase_sum" 0)
class_verdict=""
if [ "$class_share" -ge 50 ]; then
  class_verdict=" Most of a run on a clean PC is this subkey search."
fi
class_rate=$(calc "${R[phase.class_registrations.ms.median]} * 1000 / ${R[phase.class_registrations.subkeys_read]}" 2)

# The class registration phase against one bare pass over each parent it
# searches, on the clean prefix and at real size.
classes_rows=""
classes_above=""
classes_noisy=""
for stage in clean:"Clean prefix" real:"Real size"; do
  k="classes.${stage%%:*}"
  mark=""
  if awk "BEGIN { exit !(${R[$k.ratio]} > 1.2) }"; then
    mark=" (above 1.2)"
    if awk "BEGIN { exit !(${R[$k.paired_ratio]} > 1.2 || ${R[$k.fastest_ratio]} > 1.2) }"; then
      classes_above="$classes_above ${stage#*:}"
    else
      classes_noisy="$classes_noisy ${stage#*:}"
    fi
  fi
  classes_rows+="| ${stage#*:} | $(f "$k.names" 0) | $(spread "$k.phase_ms") | $(spread "$k.bare_ms") | $(f "$k.ratio" 2)$mark | $(f "$k.paired_ratio" 2) | $(f "$k.fastest_ratio" 2) | $(f "$k.phase_us_per_name" 2) | $(f "$k.bare_us_per_name" 2) |"$'\n'
done
classes_flat=$(calc "${R[classes.real.phase_us_per_name]} / ${R[classes.clean.phase_us_per_name]}" 2)
classes_flat_fastest=$(calc "${R[classes.real.fastest_phase_us_per_name]} / ${R[classes.clean.fastest_phase_us_per_name]}" 2)
classes_flat_paired=$(calc "${R[classes.real.paired_ratio]} / ${R[classes.clean.paired_ratio]}" 2)
classes_parents=""
for parent in root:"HKEY_CLASSES_ROOT" user_classes:"HKCU\\Software\\Classes" clsid:"CLSID" \
              clsid32:"Wow6432Node\\CLSID" user_clsid:"HKCU\\Software\\Classes\\CLSID"; do
  has "classes.real.names.${parent%%:*}" || continue
  classes_parents+="${classes_parents:+, }${parent#*:} $(f "classes.real.names.${parent%%:*}" 0) (clean: $(f "classes.clean.names.${parent%%:*}" 0))"
done
classes_verdict="Within the 1.2 target on the clean prefix and at real size."
if [ -n "$classes_noisy" ]; then
  classes_verdict="The ratio of the medians is above 1.2 for:$classes_noisy in this run, but the paired and fastest ratios are not: passes slowed by a busy neighbour (see the notes on noise), not a slower phase."
fi
if [ -n "$classes_above" ]; then
  classes_verdict="Above the 1.2 target for:$classes_above in this run, in the paired or fastest ratio too."
fi
# Other programs running beside the measurements (a load average above 1
# on either side of them) make the times noisy: the doc says so.
busy_note=""
if awk "BEGIN { exit !(${load_before%% *} > 1 || ${load_after%% *} > 1) }"; then
  busy_note="- Conditions: the machine was busy (load average above 1, see the line above): other programs ran beside the measurements, so the times are noisy; read the paired and CPU-time figures, and run the script again on a quiet machine for steadier numbers."$'\n'
fi
qemu_note=""
case "$i386_mode" in
  *emulated*)
    qemu_note="- Emulation: this host runs no 32-bit x86 programs itself, so Wine's 32-bit side, the program and the bench programs included, ran under qemu-user emulation (scripts/host-i386.sh: \"$i386_mode\"); wineserver is native. Absolute times are therefore not a native host's, and they vary with what the emulator translates; the ratios measured within one process, whose two sides pay the emulation alike, are what these numbers show."$'\n'
    ;;
esac

startup_rows=""
for subject in hostsweeper:HostSweeper.exe minimal:"minimal dialog" minimal_imports:"minimal dialog, same imports"; do
  name="${subject%%:*}"
  startup_rows+="| ${subject#*:} | $(spread "startup.$name.ms") | $(f "startup.$name.first_ms") |"$'\n'
done
startup_extra=$(calc "${R[startup.hostsweeper.ms.median]} - ${R[startup.minimal.ms.median]}")
startup_imports=$(calc "${R[startup.minimal_imports.ms.median]} - ${R[startup.minimal.ms.median]}")
startup_extra_fastest=$(calc "${R[startup.hostsweeper.ms.min]} - ${R[startup.minimal.ms.min]}")
# The program against the dialog that loads the same system libraries: the
# cost of its own start-up work. Target: at most 1.1.
startup_ratio=$(calc "${R[startup.hostsweeper.ms.median]} / ${R[startup.minimal_imports.ms.median]}" 2)
startup_ratio_fastest=$(calc "${R[startup.hostsweeper.ms.min]} / ${R[startup.minimal_imports.ms.min]}" 2)
startup_verdict=$(awk "BEGIN { print ($startup_ratio <= 1.1) ? \"within\" : \"over\" }")
size_verdict=$(awk "BEGIN { print ($exe_size <= 200000) ? \"within\" : \"over\" }")

memory_rows="| HostSweeper.exe, window up, idle | $exe_size | $(f startup.hostsweeper.peak_working_set_kib 0) | $(f startup.hostsweeper.peak_pagefile_kib 0) |"$'\n'
memory_rows+="| HostSweeper.exe, after a run on the clean prefix | $exe_size | $(f run.clean.peak_working_set_kib 0) | $(f run.clean.peak_pagefile_kib 0) |"$'\n'
if has run.products.peak_working_set_kib; then
  memory_rows+="| HostSweeper.exe, after a run removing ${#packages[@]} products | $exe_size | $(f run.products.peak_working_set_kib 0) | $(f run.products.peak_pagefile_kib 0) |"$'\n'
fi
memory_rows+="| minimal dialog, window up | $minimal_size | $(f startup.minimal.peak_working_set_kib 0) | $(f startup.minimal.peak_pagefile_kib 0) |"$'\n'
memory_rows+="| minimal dialog with the same imports, window up | $imports_size | $(f startup.minimal_imports.peak_working_set_kib 0) | $(f startup.minimal_imports.peak_pagefile_kib 0) |"$'\n'

ratio_verdict="Within the 1.2 target at every size."
if [ -n "$noisy" ]; then
  ratio_verdict="The ratio of the medians is above 1.2 at$noisy subkeys in this run, but the paired and fastest ratios are not: passes slowed by a busy neighbour (see the notes on noise), not a slower search."
fi
if [ -n "$above" ]; then
  ratio_verdict="Above the 1.2 target at$above subkeys in this run, in the paired or fastest ratio too."
fi

tables="### 1. Registry subkey search

DeleteSubkeysContaining under HKCU\\Software\\HostSweeperBench\\Parent<subkeys>, searching for \"Kestrix VPN Client\", which no subkey contains, against the bare enumeration loop over the same keys. Times in ms as median (min–max, n); the ratio is of the medians, \"paired\" the median of the ratios of each search to the bare pass run next to it, \"fastest\" the ratio of the fastest passes; the last column is one search that finds and deletes 10 matching subkeys (each with a subkey and a value) spread over the parent.

| Subkeys | Search ms | Bare loop ms | Ratio | Ratio, paired | Ratio, fastest | Search µs/key | Bare µs/key | Search deleting 10, ms |
|---:|---|---|---:|---:|---:|---:|---:|---:|
${registry_rows}
$ratio_verdict The search's cost per key (median) varies by a factor of $per_key_spread between the sizes, that of the fastest passes by $fastest_per_key_spread (1.00 would be perfectly flat).

### 2. Whole cleanup run

From the click on Start Cleanup to the controls coming back, default options (browser caches cleared, no restart), each run in a freshly started program. ms as median (min–max, n).

| Prefix | Run ms | Windows Installer ms | Program's own ms |
|---|---|---|---:|
${run_rows}
Where the run's time goes on the clean prefix: the phases called one by one in a bench process on the real dialog (ms, median (min–max, n)). Their medians add up to $phase_sum ms.

| Phase | ms |
|---|---|
${phase_rows}
The class registration phase, $class_share% of that, reads $(f phase.class_registrations.subkeys_read 0) subkey names (HKEY_CLASSES_ROOT, HKCU\\Software\\Classes, CLSID in each view and HKCU\\Software\\Classes\\CLSID, each once), $class_rate µs per name.$class_verdict

The class registration phase on the clean prefix and on a registry of a real PC's size, against one bare enumeration loop over each parent it searches (the same loop as in section 1), in the same process: ms as median (min–max, n), ratios as in section 1, costs per name read.

| Registry | Names read | Phase ms | Bare passes ms | Ratio | Ratio, paired | Ratio, fastest | Phase µs/name | Bare µs/name |
|---|---:|---|---|---:|---:|---:|---:|---:|
${classes_rows}
Names read at real size, per parent: $classes_parents. Each real-size pass finds and deletes $(f classes.real.vendor_keys 0) vendor keys spread among them (each with a subkey and a value) and keeps the $(f classes.real.kept_keys 0) ActiveX ProgIDs. With a pass of its own for each text it looks for, the phase would read $(f classes.real.names_one_pass_per_text 0) names at real size ($(f classes.clean.names_one_pass_per_text 0) on the clean prefix) instead of $(f classes.real.names 0).

$classes_verdict The phase's cost per name read changes by a factor of $classes_flat from the clean prefix to the real size, that of the fastest passes by $classes_flat_fastest; taken against the bare loop of the same rounds (the paired ratios), which cancels the machine's load changing between the two stages, by $classes_flat_paired (1.00 would be perfectly flat).

### 3. Start-up to a visible window

From just before CreateProcessW to the program's window, found by its caption, being visible; the three programs take turns. ms as median (min–max, n); the first start of each, in the fresh prefix, is left out of the median and shown apart.

| Program | Start-up ms | First start ms |
|---|---|---:|
${startup_rows}
Differences of the medians: HostSweeper.exe minus the minimal dialog $startup_extra ms (of the fastest starts: $startup_extra_fastest ms); the minimal dialog with the same imports minus the bare one $startup_imports ms.

HostSweeper.exe against the minimal dialog with the same imports: $startup_ratio times (medians), $startup_ratio_fastest times (fastest starts); $startup_verdict the target of 1.1.

### 4. Size and peak memory

File size in bytes; PeakWorkingSetSize and PeakPagefileUsage from GetProcessMemoryInfo in KiB, read by the bench program just before it closes the program (the largest over the runs; the median over the starts for the idle rows).

| Program | Size, bytes | Peak working set KiB | Peak pagefile KiB |
|---|---:|---:|---:|
${memory_rows}
HostSweeper.exe is $exe_size bytes, $size_verdict the target of 200,000: it is built without exception and unwinding tables, RTTI and the C++ runtime's allocation, and the linker drops what nothing calls (the import check of the test suite fails above 200,000 bytes).

$files_section
$browser_section"

cat >"$doc" <<EOF
# Benchmarks

Generated by \`scripts/bench.sh\` on $today from revision $revision; do not edit by hand, run the script again. It builds the program and the measuring tools (tests/tools) into \`$build\`, makes a fresh throwaway $kind prefix with \`scripts/prefix.sh\`, runs every measurement in that one prefix and writes this file. The measurements took ${elapsed} s.

## Machine

- CPU: $cpu, $cores cores
- Memory: $memory
- $distro, $kernel
- $i386_mode
- $wine_version, prefix $kind, display: Xvfb without a window manager; wineserver and every Wine process of the measurements pinned to CPU $cpus (taskset), see the notes
- Build: $compiler, the project's MinSizeRel flags (static, stripped)
- Load average (1, 5, 15 min) before the measurements: $load_before; after: $load_after
${busy_note}
## Results

$tables
## Method

- Clock: QueryPerformanceCounter in the bench programs, under Wine. Each figure is the median of repeated measurements; the minimum and maximum are shown so the spread can be judged.
- Registry search (tests/tools/bench_registry.cpp): the bench program creates the subkeys itself under HKCU in the same registry view the search opens (names "Bench.Component.NNNNNN", 22 characters), one parent for each size ($registry_sizes). No name contains the searched text, so nothing is deleted and every size is measured $registry_repeats times; the bench checks that the counts are unchanged afterwards. The sizes are measured round by round (each round times every size), so a busy spell falls on all sizes alike. The bare loop is RegOpenKeyExW with the search's access mask, RegQueryInfoKeyW for the count, and RegEnumKeyExW over every index into a 255-unit buffer. Search and bare loop run in the same process, one after the other (swapping which goes first every round) after one untimed pass of each. For the deleting column, 10 matching keys are added before each of 5 searches, and the bench checks they are all gone and nothing else is. Everything the bench made is deleted at the end.
- Cleanup run (tests/tools/bench_cleanup_run.cpp): ProgramUnderTest (tests/support/window_driver.h) starts the real $build/HostSweeper.exe and clicks Start Cleanup with BM_CLICK; the call returns when the program has handled the click, that is when the run is over. The bench checks that the controls are enabled again and that the log holds "Registry Cleanup Successful", reads the peak memory, then closes the program. $products_note
- Class registration phase at real size (tests/tools/bench_registry.cpp, "classes"): CleanClassRegistrations with both tunnel flags clear, so the user-folder step after the searches is left out and what is timed is the searches alone, against the bare loop run once over each parent the phase searches, in the same process, alternating which goes first, after one untimed pass of each; $classes_repeats pairs on the prefix as it is, then as many after the bench fills those parents up to $classes_sizes subkeys (in the phase's order: HKEY_CLASSES_ROOT, HKCU\\Software\\Classes, CLSID, Wow6432Node\\CLSID on a 64-bit prefix, HKCU\\Software\\Classes\\CLSID; ProgID-like names whose first letter runs through the alphabet, class ids spread over the whole range). At real size the vendor's keys are seeded before each timed pass of either kind, so both read the same names: two ProgIDs at the root, two in the user's classes, every vendor class id in each CLSID. After each pass of the phase the bench checks that exactly those are gone, the ActiveX ProgIDs still there and every parent's count as before; at the end it deletes all it made and checks the counts are back.
- Phases: the same phase functions the run calls, in its order, on the real dialog from template 129 created in the bench process (TestWindow); this tells where the time goes but is not the program itself.
- Start-up (tests/tools/bench_startup.cpp): the bench program starts each program with CreateProcessW and polls EnumWindows every millisecond for a visible top-level window of that process with the expected caption, then reads its peak memory and closes it with WM_CLOSE, waiting for it to exit before the next start. The minimal dialog (tests/tools/bench_minimal_dialog.cpp) is one modeless dialog with one button, the program's window style, font and manifest, built with the program's flags (static, stripped, GUI subsystem, the same runtime); the "same imports" variant also imports the system libraries HostSweeper.exe imports, without calling them, and takes the program's first step, the restriction of the library search (so the installer's and WinINet's libraries, which the program loads from the system folder, are loaded at start-up by both or by neither).
- Sizes are of the files in \`$build\`.

## Notes

${qemu_note}- One CPU: every registry call (and most other calls) is a round trip between the program and the single-threaded wineserver. On the 2-CPU virtual machine this script was written on, with the two on different, otherwise idle CPUs, each round trip waited for the other CPU to wake up: the bare enumeration then cost about 35 µs per key instead of 5, and the figures swung several-fold from run to run depending on what else kept the CPUs awake. Pinned to one CPU the round trip is a plain task switch and the figures repeat; HS_BENCH_CPUS=0-1 measures without the pinning.
- Noise: the machine is shared (see the load average), so a busy neighbour still shows up in the times. Medians and the interleaving absorb most of it; compare the paired and "fastest" ratios with the median one, and re-run the script when in doubt. The registry bench keeps every search/bare pair in \`$build/bench-results/registry.txt\` (lines "pair SIZE REPEAT SEARCH_MS BARE_MS"), and the class registration bench every phase/bare pair in \`$build/bench-results/classes.txt\` (lines "classes_pair STAGE REPEAT PHASE_MS BARE_MS"), to show when a neighbour got in the way.
- Closing a program's window takes Wine about 2 s under Xvfb: with no window manager, the X11 driver's wait for the window to be withdrawn runs into its 2-second timeout. It is outside every timed interval, but it is why the start-up and run measurements take most of the script's time.
EOF

echo
echo "$tables"
echo "written to $doc"
