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
