#!/bin/bash
# The release, signed with a throwaway certificate authority's code-signing
# certificate: the signature is Authenticode SHA-256 and chains to that CA
# (and to no other), the sums match, the program carries the release's
# version, passes the import check and still starts under Wine.
#   release_test.sh SOURCE_DIR VERSION
set -u
src="$(realpath "$1")"
version="$2"
work="${HS_BUILD_DIR:?}/release-test"
source "$src/scripts/wine-env.sh"
fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cd "$work" || fail "no $work"
ca() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 \
    -subj "/CN=$1" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign >>openssl.log 2>&1 || fail "cannot make the CA $1"
}
ca test-ca
ca other-ca
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=test signer" \
  >>openssl.log 2>&1 &&
  openssl x509 -req -in signer.csr -CA test-ca.pem -CAkey test-ca.key -CAcreateserial -days 2 \
    -extfile signer.ext -out signer.pem >>openssl.log 2>&1 || fail "cannot make the signing certificate"

HS_SIGN_CERT=signer.pem HS_SIGN_KEY=signer.key HS_DIST_DIR="$work/dist" HS_RELEASE_WORK="$work/build" \
  "$src/scripts/release.sh" >release.log 2>&1 || { tail -n 30 release.log; fail "the release failed"; }
grep -qx "signed with Authenticode (SHA-256)" release.log || fail "the release does not say it signed"
exe="$work/dist/HostSweeper-$version.exe"
[ -f "$exe" ] || fail "no $exe; dist holds: $(ls dist)"
(cd dist && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the release"

osslsigncode verify -CAfile test-ca.pem -in "$exe" >verify.log 2>&1 ||
  { cat verify.log; fail "the signature does not verify against the CA that issued it"; }
grep -Eiq 'digest algorithm *: *SHA256' verify.log || { cat verify.log; fail "the signature is not SHA-256"; }
osslsigncode verify -CAfile other-ca.pem -in "$exe" >verify-other.log 2>&1 &&
  fail "the signature verifies against a CA that did not issue it"

# One version: the file's version information and the manifest carry it.
strings -a -el "$exe" | grep -A1 -x -e FileVersion -e ProductVersion | grep -cx "$version" | grep -qx 2 ||
  fail "FileVersion and ProductVersion are not both $version"
strings -a "$exe" | grep -q "name=\"Norvale.NVX.HostSweeper\" version=\"$version\"" ||
  fail "the manifest's assemblyIdentity is not version $version"

"$src/tests/check_imports.sh" "$exe" || fail "the signed program fails the import check"

# Starts under Wine: its window appears.
test_display "${HS_PREFIX_ROOT:?}"
make_test_prefix "$work/prefix" win64 >prefix.log 2>&1 || fail "cannot make a prefix"
wine_env "$work/prefix" win64
wine "$exe" >wine.out 2>&1 </dev/null &
pid=$!
shown=""
# Looks every 0.2 s for a tenth of the test's deadline, as every wait of the tests.
for _ in $(seq 1 $(( ${HS_TEST_SECONDS:-1500} / 2 ))); do
  xdotool search --onlyvisible --pid $pid --name '^Norvale NVX Host Sweeper$' >/dev/null 2>&1 &&
    { shown=1; break; }
  sleep 0.2
done
remove_prefix "$work/prefix"
[ -n "$shown" ] || fail "the signed program showed no window under Wine"
rm -rf "$work"
echo "signed release $version: verifies against its CA only, sums match, imports clean, starts under Wine"
