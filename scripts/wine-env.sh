# Sourced by every script that runs Wine: wine_env PREFIX_DIR win64|win32|winxp
# No .NET or HTML add-ons in a new prefix; no automatic debugger (under
# qemu a crash arrives as an illegal instruction and winedbg then hangs on
# the dead process); no menu entries written under the user's home.
wine_env() {
  export WINEPREFIX="$1" WINEDEBUG="${WINEDEBUG:--all}"
  export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d;winemenubuilder.exe=d"
  case "$2" in
    win64*) export WINEARCH=win64 ;;
    *) export WINEARCH=win32 ;;
  esac
}

# Tests run by CTest alone find their display where the display fixture
# (scripts/test-display.sh) wrote it: test_display PREFIX_ROOT
test_display() {
  if [ -f "$1/display" ]; then
    DISPLAY="$(cat "$1/display")"
    export DISPLAY
  fi
}

# Stops the wineserver of a prefix and waits until it has really exited:
# stop_prefix PREFIX_DIR. Only then may the folder go; a server outliving
# its folder keeps running for nothing, and the folder's inode can come
# back as a new prefix's.
stop_prefix() {
  # The server's folder is named in PREFIX/wineserver (Debian's Wine):
  # without that file no server of this prefix can be reached.
  [ -f "$1/wineserver" ] || return 0
  # -k asks it to end and waits up to about 10 s before it kills it;
  # -w then returns once it has gone (at once when none runs).
  WINEPREFIX="$1" timeout 60 wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX="$1" timeout 60 wineserver -w >/dev/null 2>&1 || true
}

# Removes a prefix folder once its wineserver has ended: remove_prefix DIR.
# Links are removed first, so nothing below a hostile seeding's link is
# reached (rm does not follow them either; this is belt and braces).
remove_prefix() {
  [ -e "$1" ] || return 0
  stop_prefix "$1"
  find "$1" -type l -delete 2>/dev/null || true
  rm -rf "$1"
}

# A fresh prefix for a test of its own: make_test_prefix DIR KIND. Under
# CTest it is a copy of the prefix the KIND fixture made first and never
# runs anything in (HS_PREFIX_ROOT/template-KIND); without one, wineboot.
make_test_prefix() {
  local here template
  here="$(dirname "${BASH_SOURCE[0]}")"
  template="${HS_PREFIX_ROOT:-}/template-$2"
  if [ -n "${HS_PREFIX_ROOT:-}" ] && [ -f "$template/system.reg" ]; then
    "$here/prefix.sh" --copy "$template" "$1"
  else
    "$here/prefix.sh" "$1" "$2"
  fi
}
