#!/bin/bash
# Builds everything and runs every test under Wine, in throwaway prefixes
# (64-bit, 32-bit and one set to Windows XP) made in build/prefixes by
# CTest's fixtures, on the display the display fixture provides (a private
# Xvfb when there is no working display). Extra arguments go to ctest
# (-R unit, say); HS_BUILD_DIR picks another build folder, HS_I386=emulate
# runs Wine's 32-bit side under qemu-user even where the host needs none.
# Four at a time on two CPUs: the tests spend much of their time waiting for
# Wine (process starts, windows, the deadline test); HS_TEST_JOBS changes it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
build="${HS_BUILD_DIR:-build}"
cd "$build"
exec ctest --output-on-failure -j "${HS_TEST_JOBS:-4}" "$@"
