#!/bin/bash
# Seeds a Wine prefix as a technician's problem PC: the vendor's suite with
# its uninstall list, the endpoint-control product, the tunnel client with
# its keys, files and folders, class registrations, both desktop
# components, browser caches and cookies; and a decoy set that belongs to
# nobody of ours and must survive a cleanup.
#   seed-pc.sh PREFIX_DIR win64|win32|winxp BUILD_DIR [hostile]
# "hostile" also puts directory links in place of or inside each vendor
# folder (which, depends on the kind), each pointing at a scratch folder
# under C:\scratch that a cleanup must leave untouched.
set -euo pipefail
prefix="$1"
kind="$2"
build="$(cd "$3" && pwd)"
hostile="${4:-}"
source "$(dirname "$0")/wine-env.sh"
wine_env "$prefix" "$kind"
msi="$build/msi"
log="$prefix.seed.log"
: >"$log"
w() { wine "$@" >>"$log" 2>&1 </dev/null; }

c="$prefix/drive_c"
user=$(ls "$c/users" | grep -v -x -e Public -e public | head -n 1)
home="$c/users/$user"
roaming="$home/AppData/Roaming"
local="$home/AppData/Local"
temp="$home/Temp"  # where GetTempPathW points in a Wine prefix
if [ "$kind" = win64 ]; then system="$c/windows/syswow64"; else system="$c/windows/system32"; fi

# --- installer products ----------------------------------------------------
if [ "$kind" = win64 ]; then tunnel=64; else tunnel=32; fi
for package in suite_agent suite_monitor suite_primary endpoint_control \
               "tunnel_service$tunnel" "tunnel_client$tunnel" decoy_notes; do
  w msiexec /i "Z:${msi//\//\\}\\$package.msi" /qn
done

# --- registry --------------------------------------------------------------
if [ "$kind" = win64 ]; then view=/reg:64; else view=/reg:32; fi
# reg import writes the 32-bit view: plain paths land below Wow6432Node on win64.
clsid32='HKEY_CLASSES_ROOT\CLSID'
policy='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Internet Explorer\Low Rights\ElevationPolicy'

# Keys of the native view (64-bit on win64).
native="$prefix.native.reg"
cat >"$native" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Kestrix\\XPV\\Uninstall]
"XPV"="{D0E23B25-4356-4F25-A776-3100922C2DA3}"
"Kestrix Test Suite Agent"="{3A4CDF74-01B6-4B24-A16C-968AA72CBB61}"
"Kestrix Test Suite Monitor"="{2026E12B-B7D9-455B-917F-6FD1DD8CA93E}"
"InstallCount"=dword:00000003

[HKEY_LOCAL_MACHINE\\Software\\Kestrix VPN Client\\Connections]
"Gateway"="vpn.example.test"

[HKEY_LOCAL_MACHINE\\Software\\KESTRIX VPN CLIENT Archive]
"Note"="other spelling, must stay"

[HKEY_CLASSES_ROOT\\CLSID\\{EEF90444-7203-CA1F-B072-9A3D5354BC0E}\\InprocServer32]
@="C:\\\\windows\\\\system32\\\\qvclient.dll"

[HKEY_CLASSES_ROOT\\CLSID\\{195ACC28-8CC7-34E1-1711-DBE164305F54}]
@="Kestrix helper"

[HKEY_CLASSES_ROOT\\CLSID\\{0A0A0A0A-1111-2222-3333-444444444444}]
@="Orbweave Notes viewer, must stay"
REG
w reg import "Z:${native//\//\\}" $view

# Keys of the 32-bit view, and per-user keys (which have one view).
plain="$prefix.plain.reg"
cat >"$plain" <<REG
REGEDIT4

[HKEY_CURRENT_USER\\Software\\Kestrix VPN Client\\Profiles]
"Last"="office"

[HKEY_CURRENT_USER\\Software\\Kestrix VPN Client Updater]
"Channel"="stable"

[HKEY_CURRENT_USER\\Software\\Kestrix\\Preferences]
"Theme"="dark, not a tunnel key: must stay"

[HKEY_CURRENT_USER\\Software\\Kestrix VPN-Client]
"Note"="other spelling, must stay"

[HKEY_USERS\\.DEFAULT\\Software\\Kestrix VPN Client]
"Installed"=dword:00000001

[HKEY_CLASSES_ROOT\\Kestrix.Widget\\CLSID]
@="{EEF90444-7203-CA1F-B072-9A3D5354BC0E}"

[HKEY_CLASSES_ROOT\\Kestrix.Widget.1]
@="Kestrix widget"

[HKEY_CLASSES_ROOT\\Kestrix.QvWinActiveX]
@="ActiveX control, must stay"

[HKEY_CLASSES_ROOT\\Kestrix.QvWinActiveX.1]
@="ActiveX control, must stay"

[HKEY_CLASSES_ROOT\\KESTRIX.Launcher]
@="other case, must stay"

[HKEY_CLASSES_ROOT\\Kestrel.Document]
@="other spelling, must stay"

[HKEY_CURRENT_USER\\Software\\Classes\\Kestrix.UserWidget]
@="per-user ProgID"

[HKEY_CURRENT_USER\\Software\\Classes\\AppxpvVersionInfo]
@="suite version marker"

[HKEY_CURRENT_USER\\Software\\Classes\\XPVVERSION.Other]
@="other case, must stay"

[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\{ABD65AEF-F006-4E7A-580E-9CE7DCF75952}\\LocalServer32]
@="qvmonitor.exe"

[HKEY_CURRENT_USER\\Software\\Classes\\CLSID\\{52a45655-7bdb-1c48-5892-a3440de1069a}]
@="lower-case identifier, must stay"

[$clsid32\\{46A2591E-E875-F365-3921-60BB374BE058}]
@="Kestrix 32-bit helper"

[$clsid32\\{51BA3E78-ECB2-16F4-A22E-A41505A64625}\\InprocServer32]
@="halcyra.dll"

[$clsid32\\{0D8708AD-A9F4-C810-A862-5D84D75FBB4D}\\InprocServer32]
@="pyrewick.dll"

[HKEY_CURRENT_USER\\SOFTWARE\\LowRegistry\\Pyrewick]
"State"=dword:00000001

[HKEY_CURRENT_USER\\SOFTWARE\\LowRegistry\\tarn.exe]
"State"=dword:00000001

[HKEY_CURRENT_USER\\SOFTWARE\\LowRegistry\\tarn-checkstate.exe]
"State"=dword:00000001

[HKEY_CURRENT_USER\\SOFTWARE\\LowRegistry\\tarn.exe.bak]
"State"=dword:00000002

[HKEY_CURRENT_USER\\SOFTWARE\\LowRegistry\\Tarnish]
"State"=dword:00000002

[$policy\\{8970B2CF-5421-019c-F069-0878C09D6FEE}]
"AppName"="tarn.exe"
"Policy"=dword:00000003

[$policy\\{0BCAFBB1-EDA2-14d1-6151-29023E4881F6}]
"AppName"="tarn-checkstate.exe"
"Policy"=dword:00000003

[$policy\\{68B7402F-CCA1-69F5-5754-82F7B727DBA5}]
"AppName"="pyrewick.exe"
"Policy"=dword:00000003

[$policy\\{5C5C5C5C-0000-1111-2222-333333333333}]
"AppName"="orbweave.exe"
"Policy"=dword:00000003
REG
w reg import "Z:${plain//\//\\}"

# --- files and folders -----------------------------------------------------
put() { mkdir -p "$(dirname "$1")"; printf '%s\n' "${2:-seeded by seed-pc.sh}" >"$1"; }
for f in qvclient.dll qvcommon.dll qvhelp.chm qvlogon.dll qvupdate.exe qvdial.exe \
         qvlocenu.dll qvmonitor.exe qvras.dll qvvpnmgr.exe; do
  put "$system/$f"
done
put "$system/qvclient.dll.orig" "decoy: not one of the client files"
put "$system/orbweave.dll" "decoy: unrelated system file"

put "$c/ProgramData/Kestrix/qvclient.log"
put "$c/ProgramData/Kestrix/settings.ini"
# Below a nested folder, which only a whole-tree deletion removes; and a
# file another program holds through the run (tests/whole_pc.sh), which
# keeps the folder, and is named in the log.
put "$c/ProgramData/Kestrix/logs/2026/old.log"
put "$c/ProgramData/Kestrix/held.lock" "held by another program through the run"
put "$c/ProgramData/KestrixBackup/keep.txt" "decoy: other folder"
put "$c/ProgramData/Kestrel Tools/keep.txt" "decoy: other vendor"

# The all-users application data folder: Wine names it so in every
# prefix, an XP one too.
data="$c/ProgramData"
put "$data/Halcyra/desktop.dat"
put "$data/Halcyra/profiles/user.dat"
put "$data/Pyrewick/cleaner.dat"
put "$data/Pyrewick/log/today.log"
# A tree as years of updates leave it: twelve levels, past 600 units, and
# names Win32 paths cannot say.
deep="$data/Halcyra/cache"
for n in $(seq -w 1 12); do deep="$deep/$(printf 'level%s-%044d' "$n" 0)"; done
put "$deep/sub./CON"
put "$data/Halcyra Backup/keep.txt" "decoy: other folder"

put "$roaming/Kestrix/client.ini"
put "$roaming/Kestrix/certs/user.pem"
put "$roaming/Halcyra/session.dat"
put "$roaming/Kestrel/keep.txt" "decoy: other vendor"
put "$temp/xpv.msi" "leftover of the suite installer"
put "$temp/xpvMsiBootstraper.exe" "leftover of the suite installer"
put "$temp/xpv.msi.txt" "decoy: other name"

ff="$roaming/Mozilla/Firefox/Profiles"
put "$ff/k3x9.default/cookies.sqlite"
put "$ff/k3x9.default/cookies.sqlite-journal"
put "$ff/k3x9.default/startupCache.cache"
put "$ff/k3x9.default/places.sqlite" "history: must stay"
put "$ff/k3x9.default/cache2/entries/deep.cache" "in a subfolder: must stay"
put "$ff/profiles.ini" "a plain file among the profiles: must stay"
chrome="$local/Google/Chrome/User Data"
for p in Default "Profile 1"; do
  put "$chrome/$p/Cookies"
  put "$chrome/$p/Cookies-journal" "must stay"
  put "$chrome/$p/Cache/data_0"
  put "$chrome/$p/Cache/index"
  put "$chrome/$p/Cache/sub/keep" "in a subfolder of Cache: must stay"
  put "$chrome/$p/History" "must stay"
done
put "$chrome/Local State" "must stay"

# --- links a cleanup must not follow ------------------------------------------
if [ "$hostile" = hostile ]; then
  scratch="$c/scratch"
  for t in programdata-kestrix roaming-kestrix halcyra pyrewick roaming-halcyra chrome-cache ff-profile \
           ff-cache2; do
    put "$scratch/$t/precious.txt" "must survive: reached only through a link"
    put "$scratch/$t/sub/precious.dat" "must survive: reached only through a link"
  done
  put "$scratch/ff-profile/cookies.sqlite" "must survive: reached only through a link"
  put "$scratch/chrome-cache/data_0" "must survive: reached only through a link"
  put "$scratch/ff-cache2/entries/cache.bin" "must survive: reached only through a link"
  in_place() { rm -rf "$1"; ln -s "$2" "$1"; }
  # The folder that holds the link stays, hidden as it was (Wine keeps a
  # folder's hidden attribute in this extended attribute).
  inside() {
    ln -s "$2" "$1/linked"
    python3 -c 'import os, sys; os.setxattr(sys.argv[1], "user.DOSATTRIB", b"0x2")' "$1"
  }
  # Each vendor folder is a link on one kind and holds one on the other
  # (tests/pc/expectations.py knows which).
  if [ "$kind" = winxp ]; then first=inside; second=in_place; else first=in_place; second=inside; fi
  $first "$c/ProgramData/Kestrix" "$scratch/programdata-kestrix"
  $second "$roaming/Kestrix" "$scratch/roaming-kestrix"
  $second "$data/Halcyra" "$scratch/halcyra"
  $first "$data/Pyrewick" "$scratch/pyrewick"
  $first "$roaming/Halcyra" "$scratch/roaming-halcyra"
  # The linked cache is a profile of its own: the real caches stay to be cleared.
  mkdir -p "$chrome/Profile 2"
  ln -s "$scratch/chrome-cache" "$chrome/Profile 2/Cache"
  ln -s "$scratch/ff-profile" "$ff/linked.default"
  # A folder the cleanup holds by its name, not as the listing shows it.
  mkdir -p "$local/Mozilla/Firefox/Profiles/k3x9.default"
  ln -s "$scratch/ff-cache2" "$local/Mozilla/Firefox/Profiles/k3x9.default/cache2"
fi

# --- Internet Explorer cache -------------------------------------------------
w "$build/tests/pc/seed_cache.exe" 3

wineserver -w
echo "seeded $kind prefix $prefix"
