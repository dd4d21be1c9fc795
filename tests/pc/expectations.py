#!/usr/bin/env python3
"""What one cleanup run on the PC made by scripts/seed-pc.sh must log, may
remove and must remove, for a Windows kind and a set of options.

  expectations.py KIND OPTIONS BEFORE.json EXPECT.json LOG.txt
KIND is win64, win32 or winxp; OPTIONS a comma list of restricted,
skip-tunnel, skip-desktop, no-cache (or "default").
"""
import json
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
MSI_SOURCES = os.path.join(HERE, "..", "msi")

SUITE = ["suite_agent", "suite_monitor", "suite_primary"]
CLASS_IDS = ["{EEF90444-7203-CA1F-B072-9A3D5354BC0E}", "{46A2591E-E875-F365-3921-60BB374BE058}",
             "{ABD65AEF-F006-4E7A-580E-9CE7DCF75952}", "{52A45655-7BDB-1C48-5892-A3440DE1069A}",
             "{195ACC28-8CC7-34E1-1711-DBE164305F54}", "{32666F9A-C2D3-DBC2-A850-7D530EAE01D8}"]
DESKTOP_IDS = ["{51BA3E78-ECB2-16F4-A22E-A41505A64625}", "{0D8708AD-A9F4-C810-A862-5D84D75FBB4D}"]
POLICY_IDS = ["{8970B2CF-5421-019c-F069-0878C09D6FEE}", "{0BCAFBB1-EDA2-14d1-6151-29023E4881F6}",
              "{68B7402F-CCA1-69F5-5754-82F7B727DBA5}"]
# The files of the Internet Explorer cache entries and the cookie that
# tests/pc/seed_cache.exe makes.
IE_ENTRIES = [r"^users/[^/]+/AppData/Local/Microsoft/Windows/INetCache/Content\.IE5/[^/]+/(page[0-9]+|large)\[[0-9]+\]\.htm$",
              r"^users/[^/]+/AppData/Local/Microsoft/Windows/INetCookies/[0-9A-Z]{8}\.txt$"]
CLIENT_FILES = ["qvclient.dll", "qvcommon.dll", "qvhelp.chm", "qvlogon.dll", "qvupdate.exe",
                "qvdial.exe", "qvlocenu.dll", "qvmonitor.exe", "qvras.dll", "qvvpnmgr.exe"]


def packed(guid):
    """The installer's packed form of a GUID."""
    g = guid.strip("{}").replace("-", "").upper()
    return g[7::-1] + g[11:7:-1] + g[15:11:-1] + "".join(g[i + 1] + g[i] for i in range(16, 32, 2))


def package_guids(name):
    with open(os.path.join(MSI_SOURCES, name + ".wxs")) as f:
        text = f.read()
    product = re.search(r'<Product Id="(\{[^}]+\})"', text).group(1)
    upgrade = re.search(r'UpgradeCode="(\{[^}]+\})"', text).group(1)
    components = re.findall(r'<Component [^>]*Guid="(\{[^}]+\})"', text)
    folder = re.findall(r'<Directory Id="INSTALLDIR" Name="([^"]+)"', text)
    return product, upgrade, components, folder[0] if folder else None


def expectations(kind, options, before):
    restricted = "restricted" in options
    hostile = "hostile" in options
    skip_tunnel = "skip-tunnel" in options
    skip_desktop = "skip-desktop" in options or restricted
    clear_cache = "no-cache" not in options
    bits = "64" if kind == "win64" else "32"

    removed_packages = list(SUITE)
    if not skip_tunnel:
        removed_packages += ["endpoint_control", "tunnel_service" + bits, "tunnel_client" + bits]

    may_remove, must_remove, may_change = [], [], []
    # The account of what stays, at the log's end: what the run set out to
    # remove and could not ("%s" is the user).
    stays = []
    link_inside = " (a link inside that could not be deleted)"
    # What may appear during the run, each with its reason; anything else
    # new is a fault.
    may_add = []
    # The WinINet index changes on any run; Wine rewrites the monitor's
    # device properties and the display adapter's driver date whenever its
    # desktop starts.
    may_change += [r"^HKLM\\System\\CurrentControlSet\\Control\\Class\\\{4D36E968-E325-11CE-BFC1-08002BE10318\}\\[0-9]{4}\|DriverDateData$",
                   r"/INetCache/Content\.IE5/index\.dat$",
                   r"/INetCookies/index\.dat$",
                   r"^HKLM\\System\\CurrentControlSet\\Enum\\DISPLAY\\.*\\Properties\\"]

    installer_keys = r"^HKLM\\Software\\(Classes\\Installer|Microsoft\\Windows\\CurrentVersion\\Installer)\\"
    for name in removed_packages:
        product, upgrade, components, folder = package_guids(name)
        for code in [product, upgrade] + components:
            may_remove.append(installer_keys + r".*\\" + packed(code) + r"(\\|$)")
        may_remove.append(r"^HKLM\\Software\\(Wow6432Node\\)?Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                          + re.escape(product) + r"(\\|$)")
        if folder:
            may_remove.append(r"^Program Files( \(x86\))?/HsTest/" + re.escape(folder) + r"(/|$)")
            may_remove.append(r"^Program Files( \(x86\))?/HsTest$")
        props = ("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Products\\"
                 + packed(product) + "\\InstallProperties")
        local = before["registry"].get(props, {}).get("LocalPackage", "")
        m = re.match(r'^"C:\\\\(.*)"$', local)
        if m:
            cached = m.group(1).replace("\\\\", "/")
            may_remove.append("^" + re.escape(cached) + "$")
            must_remove.append(cached)
        must_remove.append(props)

    # The suite installer's leftovers go in every run.
    may_remove.append(r"^users/[^/]+/Temp/(xpv\.msi|xpvMsiBootstraper\.exe)$")
    must_remove += ["users/%s/Temp/xpv.msi", "users/%s/Temp/xpvMsiBootstraper.exe"]

    # Class registrations and ProgIDs go in every run.
    may_remove += [r"^HKLM\\Software\\Classes\\Kestrix\.Widget(\.1)?(\\|$)",
                   r"^HKCU\\Software\\Classes\\Kestrix\.UserWidget(\\|$)",
                   r"^HKCU\\Software\\Classes\\AppxpvVersionInfo(\\|$)"]
    must_remove += ["HKLM\\Software\\Classes\\Kestrix.Widget.1", "HKCU\\Software\\Classes\\AppxpvVersionInfo"]
    for cid in CLASS_IDS:
        may_remove.append(r"^HKLM\\Software\\Classes\\(Wow6432Node\\)?CLSID\\" + re.escape(cid) + r"(\\|$)")
        may_remove.append(r"^HKCU\\Software\\Classes\\CLSID\\" + re.escape(cid) + r"(\\|$)")
    must_remove += ["HKLM\\Software\\Classes\\CLSID\\{195ACC28-8CC7-34E1-1711-DBE164305F54}",
                    "HKCU\\Software\\Classes\\CLSID\\{ABD65AEF-F006-4E7A-580E-9CE7DCF75952}"]

    if not skip_tunnel:
        may_remove += [r"^HKCU\\Software\\Kestrix VPN Client( Updater)?(\\|$)", r"^HKLM\\Software\\Kestrix VPN Client(\\|$)",
                       r"^HKU\\\.DEFAULT\\Software\\Kestrix VPN Client(\\|$)"]
        # Each vendor folder holds or is a link (seed-pc.sh): what the one
        # that holds a link holds goes, the link (which Wine cannot delete as
        # itself) and the folder excepted.
        # Without links, another program holds ProgramData/Kestrix/held.lock
        # (tests/whole_pc.sh): the rest of its tree goes, the folder stays.
        if hostile and kind == "winxp":
            emptied = ["ProgramData/Kestrix/" + f for f in ("qvclient.log", "settings.ini", "logs", "logs/2026",
                                                            "logs/2026/old.log", "held.lock")]
            stays.append("C:\\ProgramData\\Kestrix" + link_inside)
        elif hostile:
            emptied = ["users/%s/AppData/Roaming/Kestrix/" + f for f in ("client.ini", "certs", "certs/user.pem")]
            stays += ["C:\\ProgramData\\Kestrix", "C:\\users\\%s\\AppData\\Roaming\\Kestrix" + link_inside]
        else:
            emptied = ["ProgramData/Kestrix/" + f for f in ("qvclient.log", "settings.ini", "logs")]
            stays.append("C:\\ProgramData\\Kestrix (in use by another program)")
        may_remove += ["^" + re.escape(f).replace("%s", "[^/]+") + "$" for f in emptied]
        if not hostile:
            may_remove += [r"^ProgramData/Kestrix/logs(/|$)", r"^users/[^/]+/AppData/Roaming/Kestrix(/|$)"]
        system = "windows/syswow64" if kind == "win64" else "windows/system32"
        for f in CLIENT_FILES:
            may_remove.append("^" + re.escape(system + "/" + f) + "$")
            must_remove.append(system + "/" + f)
        must_remove += ["HKCU\\Software\\Kestrix VPN Client Updater", "HKU\\.DEFAULT\\Software\\Kestrix VPN Client",
                        "HKLM\\Software\\Kestrix VPN Client"]
        must_remove += emptied
        if not hostile:
            must_remove += ["users/%s/AppData/Roaming/Kestrix"]

    if not skip_desktop:
        data = "ProgramData"  # the all-users application data in every Wine prefix
        for cid in DESKTOP_IDS:
            may_remove.append(r"^HKLM\\Software\\Classes\\(Wow6432Node\\)?CLSID\\" + re.escape(cid) + r"(\\|$)")
        may_remove.append(r"^HKCU\\Software\\LowRegistry\\(Pyrewick|tarn\.exe|tarn-checkstate\.exe)$")
        for pid in POLICY_IDS:
            may_remove.append(r"^HKLM\\Software\\(Wow6432Node\\)?Microsoft\\Internet Explorer\\Low Rights\\ElevationPolicy\\"
                              + re.escape(pid) + "$")
        must_remove.append("HKCU\\Software\\LowRegistry\\tarn.exe")
        if not hostile:
            # Seeded by reg import, so in the 32-bit view.
            wow = "Wow6432Node\\" if kind == "win64" else ""
            must_remove += ["HKLM\\Software\\Classes\\" + wow + "CLSID\\" + cid for cid in DESKTOP_IDS]
            must_remove += ["HKLM\\Software\\" + wow + "Microsoft\\Internet Explorer\\Low Rights\\ElevationPolicy\\"
                            + pid for pid in POLICY_IDS]
        if not hostile:
            # A data folder that is or holds a link stays, with the user's.
            may_remove += ["^" + re.escape(data) + r"/(Halcyra|Pyrewick)(/|$)",
                           r"^users/[^/]+/AppData/Roaming/Halcyra(/|$)"]
            must_remove += [data + "/Halcyra", data + "/Pyrewick", "users/%s/AppData/Roaming/Halcyra"]
        else:
            # The data folder that holds a link loses all but the link.
            folder, held = (data + "/Pyrewick", ["cleaner.dat", "log"]) if kind == "winxp" \
                else (data + "/Halcyra", ["desktop.dat", "profiles", "cache"])
            may_remove.append("^" + re.escape(folder) + "/(?!linked$).+")
            must_remove += [folder + "/" + f for f in held]
            # The other data folder is a link itself, which the run refuses.
            if kind == "winxp":
                stays += ["C:\\ProgramData\\Halcyra", "C:\\ProgramData\\Pyrewick" + link_inside]
            else:
                stays += ["C:\\ProgramData\\Halcyra" + link_inside, "C:\\ProgramData\\Pyrewick"]

    if clear_cache:
        may_add.append([r"^users/[^/]+/AppData/Local/Microsoft/Windows/History/History\.IE5$",
                        "WinINet makes its history container when the cache is opened"])
        may_remove += [r"^users/[^/]+/AppData/Roaming/Mozilla/Firefox/Profiles/[^/]+/(cookies\.[^/]*|[^/]*\.cache)$",
                       r"^users/[^/]+/AppData/Local/Google/Chrome/User Data/[^/]+/(Cookies|Cache/(data_0|index))$"]
        # The Internet Explorer entries seed_cache.exe made, and only those
        # (main() adds each as found before the run to must_remove).
        may_remove += IE_ENTRIES
        must_remove += ["users/%s/AppData/Roaming/Mozilla/Firefox/Profiles/k3x9.default/cookies.sqlite",
                        "users/%s/AppData/Local/Google/Chrome/User Data/Profile 1/Cache/data_0",
                        "users/%s/AppData/Local/Google/Chrome/User Data/Default/Cookies"]

    log = ["", "Starting Tessaline Manager Uninstallation Please wait .... ",
           "Tessaline Manager Uninstallation Successful"]
    if not skip_tunnel:
        log += ["Starting Brisolt Link Uninstallation Please wait ...", "Uninstalled Brisolt Link services...",
                "Uninstalled Brisolt Link ...", "Cleaning Registry for Brisolt Link......"]
    log += ["Cleaning Registry... ", "Registry Cleanup Successful"]
    if not skip_desktop and hostile:
        log += ["Uninstalling HLD... ", "Uninstallation Failed", "Uninstalling Pyrewick... ",
                "Uninstallation Failed"]
    elif not skip_desktop:
        log += ["Uninstalling HLD... ", "HLD Uninstallation Successful", "Uninstalling Pyrewick... ",
                "PW Uninstallation Successful"]
    if clear_cache:
        log += ["Clearing the Browser(IE/FireFox/Chrome) Cache ....", "The Browsers Cache is Cleared"]
    log += ["Not removed: " + line for line in stays]
    return {"may_remove": may_remove, "must_remove": must_remove, "may_change": may_change,
            "may_add": may_add}, log


def main():
    kind, options, before_path, expect_path, log_path = sys.argv[1:6]
    with open(before_path) as f:
        before = json.load(f)
    users = sorted({p.split("/")[1] for p in before["files"] if p.startswith("users/") and p.count("/") >= 2
                    and p.split("/")[1] not in ("Public", "public")})
    user = users[0] if users else "root"
    expect, log = expectations(kind, options.split(","), before)
    expect["must_remove"] = [m.replace("%s", user) if m.startswith("users/") else m for m in expect["must_remove"]]
    if "no-cache" not in options.split(","):
        # Every seeded entry goes; a seeding that made none of a kind fails.
        for pattern in IE_ENTRIES:
            found = [p for p in before["files"] if re.search(pattern, p)]
            expect["must_remove"] += found or ["(no file matching %s was seeded)" % pattern]
    with open(expect_path, "w") as f:
        json.dump(expect, f, indent=1)
    log = [line.replace("%s", user) for line in log]
    with open(log_path, "w", newline="") as f:
        f.write(" \r\n".join(log))


if __name__ == "__main__":
    main()
