#!/bin/bash
# The package set-up against an archive out of step with itself, played by
# a stand-in apt-get first on PATH (the archive's state cannot be had on
# demand): one index keeps failing mid-sync, and the plain install cannot
# be resolved. The set-up must go on past both, and say so.
set -u
source_dir="$(cd "$(dirname "$0")/.." && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/lists"
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/bash
echo "$*" >>"$HS_APT_CALLS"
case " $* " in
  *" update "*)
    echo "Err:6 http://archive.invalid/security bookworm-security/main i386 Packages"
    echo "  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Failed to fetch http://archive.invalid/security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  *" install -t "*) exit 0 ;;
  *" install "*)
    echo "libwine : Depends: libgstreamer-plugins-base1.0-0 (>= 1.0.0) but it is not installable"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100 ;;
esac
exit 1
EOF
chmod 755 "$work/bin/apt-get"
# The indexes that did arrive, where apt's own configuration says they are.
echo "Dir::State::Lists \"$work/lists\";" >"$work/apt.conf"

setup() {
  : >"$work/calls"
  PATH="$work/bin:$PATH" APT_CONFIG="$work/apt.conf" HS_APT_CALLS="$work/calls" HS_APT_PAUSE=0 \
    bash -c '. "$1/scripts/apt.sh" && hs_apt_install hs-package' _ "$source_dir" >"$work/out" 2>&1
}

status=0
fail() { echo "FAIL: $*"; cat "$work/out"; status=1; }
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")

touch "$work/lists/archive_dists_bookworm_main_binary-amd64_Packages"
setup || fail "the set-up stopped"
[ "$(grep -c "update" "$work/calls")" = 3 ] || fail "the update was not tried three times"
grep -qx -- "install -t $codename -y -q --no-install-recommends hs-package" "$work/calls" ||
  fail "no install with -t $codename"
grep -q "^apt-get update: going on without the index that failed 3 times: http://archive.invalid/security/dists/bookworm-security/main/binary-i386/Packages.xz$" "$work/out" ||
  fail "no note of the failed index"
grep -q "^apt-get install: .*(-t $codename)$" "$work/out" || fail "no note of the second install"

# Without any index there is nothing to go on with: apt's message, and a stop.
rm -f "$work/lists"/*
if setup; then fail "went on without any index"; fi
grep -q "^E: Failed to fetch" "$work/out" || fail "apt's message was not shown"
grep -q " install " "$work/calls" && fail "installed without any index"

[ $status = 0 ] && echo "the set-up went past the failing index and the unresolvable install"
exit $status
