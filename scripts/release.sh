#!/bin/bash
# Builds the release: dist/HostSweeper-<version>.exe and dist/SHA256SUMS.
# It is built from a clean tree, the commit checked out exported afresh
# (without git, the files as they are), in a new build folder; the same
# commit gives the same bytes wherever and whenever it is built.
# With a certificate, the program is signed (Authenticode, SHA-256) before
# the sums are written:
#   HS_SIGN_CERT=cert.pem HS_SIGN_KEY=key.pem   or   HS_SIGN_PKCS12=file.p12
#   HS_SIGN_PASSWORD      the key's or the PKCS#12 file's password, if any
#   HS_SIGN_TIMESTAMP     an RFC 3161 timestamp server's URL (none unless named)
# HS_DIST_DIR and HS_RELEASE_WORK put the output and the build elsewhere.
set -euo pipefail
# Paths given are taken from where the script is started.
sign=()
if [ -n "${HS_SIGN_PKCS12:-}" ]; then
  sign=(-pkcs12 "$(realpath "$HS_SIGN_PKCS12")")
elif [ -n "${HS_SIGN_CERT:-}${HS_SIGN_KEY:-}" ]; then
  [ -n "${HS_SIGN_CERT:-}" ] && [ -n "${HS_SIGN_KEY:-}" ] ||
    { echo "HS_SIGN_CERT and HS_SIGN_KEY go together" >&2; exit 1; }
  sign=(-certs "$(realpath "$HS_SIGN_CERT")" -key "$(realpath "$HS_SIGN_KEY")")
fi
dist="$(realpath -m "${HS_DIST_DIR:-$(dirname "$0")/../dist}")"
work="$(realpath -m "${HS_RELEASE_WORK:-$(dirname "$0")/../build-release}")"
cd "$(dirname "$0")/.."
root="$PWD"

rm -rf "$work"
mkdir -p "$work/source"
if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$root" ]; then
  commit="$(git rev-parse HEAD)"
  git diff --quiet HEAD || echo "uncommitted changes are left out: the release is commit $commit"
  git archive HEAD | tar -x -C "$work/source"
  # The export is no checkout: the build takes the commit's time from here.
  SOURCE_DATE_EPOCH="$(git log -1 --format=%ct HEAD)"
  export SOURCE_DATE_EPOCH
else
  echo "not a git checkout: the release is built from the files as they are"
  tar --exclude='./build*' --exclude=./dist -cf - . | tar -x -C "$work/source"
fi
build="$work/source/build"
HS_BUILD_DIR="$build" "$work/source/scripts/build.sh" HostSweeper

version="$(cat "$build/version")"
exe="$dist/HostSweeper-$version.exe"
mkdir -p "$dist"
rm -f "$dist"/HostSweeper-*.exe "$dist/SHA256SUMS"
if [ ${#sign[@]} -gt 0 ]; then
  if [ -n "${HS_SIGN_PASSWORD:-}" ]; then
    # From a file: a command line is visible to every user of the machine.
    (umask 077 && printf '%s' "$HS_SIGN_PASSWORD" >"$work/password")
    sign+=(-readpass "$work/password")
  fi
  [ -n "${HS_SIGN_TIMESTAMP:-}" ] && sign+=(-ts "$HS_SIGN_TIMESTAMP")
  status=0
  osslsigncode sign "${sign[@]}" -h sha256 -n "Norvale NVX Host Sweeper" \
    -in "$build/HostSweeper.exe" -out "$exe" >"$work/sign.log" 2>&1 || status=$?
  rm -f "$work/password"
  [ $status -eq 0 ] || { cat "$work/sign.log" >&2; echo "signing failed" >&2; exit 1; }
  echo "signed with Authenticode (SHA-256)${HS_SIGN_TIMESTAMP:+, timestamped by $HS_SIGN_TIMESTAMP}"
else
  cp "$build/HostSweeper.exe" "$exe"
  echo "not signed: no certificate given (HS_SIGN_CERT and HS_SIGN_KEY, or HS_SIGN_PKCS12)"
fi
(cd "$dist" && sha256sum "$(basename "$exe")" >SHA256SUMS)
echo "released $exe and $dist/SHA256SUMS"
