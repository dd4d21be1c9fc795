# Package set-up shared by build.sh and host-i386.sh (sourced, not run).
# The archive is not always in step with itself: one index may be served
# mid-sync for hours, and then the security versions of some amd64
# libraries have no i386 twins at the same version. Both are met here
# instead of ending the set-up.
#
#   hs_apt_install PACKAGE...     the system's indexes updated, then the
#                                 packages (names or .deb files) installed
#   hs_apt_update [APT-OPTION...] apt-get update alone, tried again, going
#                                 on without an index that keeps failing
#
# The install is tried once more preferring the release's own versions
# when apt cannot resolve it as it is. HS_APT_TRIES and HS_APT_PAUSE
# (seconds) set the update's tries.

# Runs apt-get with its output in the file log; true when it succeeded.
hs_apt_logged() {
  local log="$1"
  shift
  DEBIAN_FRONTEND=noninteractive apt-get "$@" >"$log" 2>&1
}

# Whether apt has any package index at all (with these options): with none,
# as on a machine without a network, nothing can install.
hs_apt_has_indexes() {
  local lists
  lists=$(apt-config "$@" shell lists Dir::State::Lists/d | sed "s/^lists='\(.*\)'$/\1/")
  compgen -G "${lists%/}/*_Packages*" >/dev/null
}

hs_apt_update() {
  local tries="${HS_APT_TRIES:-3}" pause="${HS_APT_PAUSE:-5}" log try failed
  log=$(mktemp)
  for ((try = 1; ; try++)); do
    hs_apt_logged "$log" "$@" update -q && { rm -f "$log"; return 0; }
    [ "$try" -ge "$tries" ] && break
    sleep "$pause"
  done
  failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\).*/\1/p' "$log" | tr '\n' ' ')
  if [ -n "$failed" ] && hs_apt_has_indexes "$@"; then
    echo "apt-get update: going on without the index that failed $tries times: ${failed% }"
    rm -f "$log"
    return 0
  fi
  cat "$log" >&2
  rm -f "$log"
  return 1
}

hs_apt_install() {
  hs_apt_update || return 1
  local log codename flags=(-y -q --no-install-recommends)
  log=$(mktemp)
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if hs_apt_logged "$log" install "${flags[@]}" "$@"; then
    rm -f "$log"
    return 0
  fi
  if [ -n "$codename" ] && grep -q "Unable to correct problems\|not installable" "$log"; then
    echo "apt-get install: the plain install cannot be resolved; installing again with $codename's own versions preferred (-t $codename)"
    if hs_apt_logged "$log" install -t "$codename" "${flags[@]}" "$@"; then
      rm -f "$log"
      return 0
    fi
  fi
  cat "$log" >&2
  rm -f "$log"
  return 1
}
