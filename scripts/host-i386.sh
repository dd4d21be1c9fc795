#!/bin/bash
# Makes sure this host can run 32-bit (i386) Linux programs, which Wine's
# 32-bit side is. Some x86_64 kernels run none at all (IA-32 emulation off);
# there every i386 ELF is handed to qemu-user through binfmt_misc.
#
#   host-i386.sh            native when the host can, emulated otherwise
#   host-i386.sh emulate    emulated even on a host that runs i386 itself
#   host-i386.sh remove     unregister our handler (the host goes back to
#                           native, or to emulation set up anew next time)
#
# HS_I386=emulate in the environment has the same effect as "emulate", so
# that scripts/test.sh and scripts/demo.sh can be timed in that mode anywhere.
# Prints one line saying which mode is in use. Needs root to change anything.
set -euo pipefail

mode="${1:-${HS_I386:-auto}}"
binfmt=/proc/sys/fs/binfmt_misc
handler="$binfmt/hostsweeper-i386"
# Fixed interpreter path: the handler is registered with F, so the kernel
# opens it once, at registration, whatever PATH says later.
interp=/usr/local/libexec/hostsweeper/qemu-i386
state=/var/lib/hostsweeper/apt-backports
reason=/var/lib/hostsweeper/i386-mode

probe_dir="${HS_BUILD_DIR:-build}"
case "$probe_dir" in /*) ;; *) probe_dir="$(cd "$(dirname "$0")/.." && pwd)/$probe_dir" ;; esac

die() { echo "host-i386: $*" >&2; exit 1; }
. "$(dirname "$0")/apt.sh"

# A static i386 program of 96 bytes: exit(42) through int 0x80.
probe_file() {
  local f
  # In the checkout's build folder rather than /tmp, which may be noexec.
  mkdir -p "$probe_dir"
  f=$(mktemp "$probe_dir/hs-i386-probe.XXXXXX")
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$f"
  printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000' >>"$f"
  printf '\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000' >>"$f"
  printf '\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010' >>"$f"
  printf '\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000' >>"$f"
  printf '\000\020\000\000\270\001\000\000\000\273\052\000\000\000\315\200' >>"$f"
  chmod 755 "$f"
  echo "$f"
}

runs_i386() {
  local f rc=0
  f=$(probe_file)
  "$f" 2>/dev/null || rc=$?
  rm -f "$f"
  [ "$rc" = 42 ]
}

# The enabled binfmt_misc handlers that take i386 ELF files: ours, or one
# that another package (an old qemu-user-static, say) registered.
i386_handlers() {
  local entry
  [ -d "$binfmt" ] || return 0
  for entry in "$binfmt"/*; do
    case "$(basename "$entry")" in register|status) continue ;; esac
    grep -qx enabled "$entry" 2>/dev/null || continue
    # ELF, 32-bit, little-endian, ..., machine 3 (bytes 18 and 19).
    grep -q '^magic 7f454c460101\(..\)\{12\}0300' "$entry" && echo "$entry"
  done
}

# Whether the kernel itself runs i386, with every i386 handler set aside.
runs_i386_natively() {
  local handlers entry ok=1
  handlers=$(i386_handlers)
  if [ -n "$handlers" ] && [ "$(id -u)" != 0 ]; then
    # Cannot set them aside: only ours may decide, and only as emulation.
    [ -e "$handler" ] && return 1
    runs_i386
    return
  fi
  for entry in $handlers; do echo 0 >"$entry"; done
  runs_i386 && ok=0
  for entry in $handlers; do echo 1 >"$entry"; done
  return $ok
}

remove_handler() {
  if [ -e "$handler" ]; then
    echo -1 >"$handler"
    echo "host-i386: handler removed"
  fi
}

qemu_version_ok() {
  local v
  v=$(dpkg-query -W -f '${Version}' qemu-user 2>/dev/null) || return 1
  dpkg --compare-versions "$v" ge 1:10
}

# qemu-user 10 comes from bookworm-backports alone, fetched through a
# private source list and private apt state, so the system's own sources
# and package lists stay exactly as they are. Bookworm's 7.2 ignores
# MAP_FIXED_NOREPLACE, which makes every 32-bit Wine start take ~50 s.
install_qemu() {
  qemu_version_ok && return 0
  [ "$(id -u)" = 0 ] || die "qemu-user 10 is missing (run as root to install it)"
  mkdir -p "$state/lists/partial" "$state/archives/partial" "$state/parts"
  cat >"$state/backports.sources" <<'EOF'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  local opts=(-o "Dir::Etc::SourceList=$state/backports.sources"
              -o "Dir::Etc::SourceParts=$state/parts"
              -o "Dir::State::Lists=$state/lists"
              -o "Dir::Cache::Archives=$state/archives"
              -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
              -o "APT::Sandbox::User=root")
  hs_apt_update "${opts[@]}"
  rm -f "$state"/archives/qemu-user_*.deb
  (cd "$state/archives" && apt-get "${opts[@]}" download -q qemu-user/bookworm-backports >/dev/null)
  local deb
  deb=$(ls "$state"/archives/qemu-user_*.deb)
  hs_apt_install "$deb"
  qemu_version_ok || die "qemu-user 10 did not install"
}

register_handler() {
  if ! mountpoint -q "$binfmt"; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
      die "this host runs no 32-bit programs and binfmt_misc cannot be mounted at $binfmt; Wine's 32-bit side needs one or the other"
  fi
  [ -w "$binfmt/register" ] || die "this host runs no 32-bit programs and $binfmt/register is not writable"
  mkdir -p "$(dirname "$interp")"
  ln -sf /usr/bin/qemu-i386 "$interp"
  [ -e "$handler" ] && echo -1 >"$handler"
  # i386 ELF, little-endian, version 1, machine 3, ET_EXEC or ET_DYN.
  printf '%s' ':hostsweeper-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$interp"':OPF' \
    >"$binfmt/register"
}

case "$mode" in
  remove)
    [ "$(id -u)" = 0 ] || die "run as root to remove the handler"
    remove_handler
    rm -f "$reason"
    exit 0 ;;
  auto|emulate) ;;
  *) die "unknown mode '$mode' (auto, emulate or remove)" ;;
esac

# Our handler, once registered, is never set aside or replaced while it
# works: Wine processes of other runs may be starting through it.
if [ -e "$handler" ] && grep -qx enabled "$handler" && qemu_version_ok && runs_i386; then
  echo "32-bit programs: emulated by qemu-i386 ($(cat "$reason" 2>/dev/null || echo "registered earlier"))"
  exit 0
fi

if [ "$mode" = auto ] && runs_i386_natively; then
  echo "32-bit programs: native (this kernel runs i386 itself)"
  exit 0
fi

why="this kernel runs no i386 itself"
[ "$mode" = emulate ] && why="forced; scripts/host-i386.sh remove undoes it"
[ "$(id -u)" = 0 ] || die "this host runs no 32-bit programs; run as root to set up qemu-user emulation"
install_qemu
register_handler
runs_i386 || die "the qemu-i386 handler is registered but a test i386 program still does not run"
mkdir -p "$(dirname "$reason")"
echo "$why" >"$reason"
echo "32-bit programs: emulated by qemu-i386 ($why)"
