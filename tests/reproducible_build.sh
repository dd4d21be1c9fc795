#!/bin/bash
# The same source makes the same bytes: builds the program again from a
# copy of the source tree at another path (another name and depth, so a
# path leaking into the file shows), in a build folder of another name,
# and compares the two files' SHA-256.
#   reproducible_build.sh SOURCE_DIR BUILT_EXE WORK_DIR
set -u
src="$(realpath "$1")"
exe="$(realpath "$2")"
work="$3"
copy="$work/elsewhere/at/another/depth/sweeper-copy"
fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$work"
mkdir -p "$copy"
if [ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" = "$src" ]; then
  # The commit (for its time) and the files as they are, uncommitted ones too.
  git clone -q --shared --no-checkout "$src" "$copy" || fail "cannot clone $src"
  (cd "$src" && git ls-files -z --cached --others --exclude-standard |
     tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C "$copy" || fail "cannot copy $src"
else
  (cd "$src" && tar --exclude='./build*' --exclude=./dist -cf - .) | tar -xf - -C "$copy" ||
    fail "cannot copy $src"
fi

out="$copy/other-build"
cmake -S "$copy" -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DHS_BUILD_TESTS=OFF >"$work/build.log" 2>&1 &&
  cmake --build "$out" --target HostSweeper >>"$work/build.log" 2>&1 ||
  { tail -n 30 "$work/build.log"; fail "the second build failed"; }

first=$(sha256sum <"$exe" | cut -d' ' -f1)
second=$(sha256sum <"$out/HostSweeper.exe" | cut -d' ' -f1)
if [ "$first" != "$second" ]; then
  i686-w64-mingw32-objdump -p "$exe" | grep -m1 'Time/Date'
  i686-w64-mingw32-objdump -p "$out/HostSweeper.exe" | grep -m1 'Time/Date'
  echo "first differing bytes (offset, octal values):"
  cmp -l "$exe" "$out/HostSweeper.exe" | head -n 5
  fail "$exe ($first) and $out/HostSweeper.exe ($second) differ"
fi
for path in "$src" "$copy" "$(dirname "$exe")"; do
  { strings -a "$exe"; strings -a -el "$exe"; } | grep -qF "$path" && fail "$exe holds the path $path"
done
rm -rf "$work"
echo "built twice, the same bytes: $first"
