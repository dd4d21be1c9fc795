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
