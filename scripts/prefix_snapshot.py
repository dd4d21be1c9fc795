#!/usr/bin/env python3
"""Snapshots a Wine prefix (every registry key and value, every file and
folder under drive_c) and compares two snapshots against what a cleanup run
was meant to remove.

  prefix_snapshot.py snapshot PREFIX OUT.json
  prefix_snapshot.py compare BEFORE.json AFTER.json EXPECT.json

EXPECT.json holds regular expressions (matched with re.search against
"HKLM\\path", "HKCU\\path", "HKU\\.DEFAULT\\path" for keys, "key|value" for
values, and paths relative to drive_c with forward slashes for files):
  may_remove: keys, values or files the run may delete
  must_remove: exact names (not expressions) that must be there before the
               run and gone afterwards
  may_change: values or files whose content may change (Wine's and the
              installer's own bookkeeping, caches)
  may_add: [pattern, reason] pairs: keys, values or files that may appear
           during the run; anything else new is a problem
Stop the prefix's wineserver first (wineserver -w) so the registry is on disk.
"""
import hashlib
import json
import os
import re
import sys

HIVES = {"system.reg": "HKLM", "user.reg": "HKCU", "userdef.reg": "HKU\\.DEFAULT"}


def unescape_key(raw):
    return raw.replace("\\\\", "\\")


def parse_reg(path, hive):
    keys = {}
    current = None
    pending = ""
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            line = line.rstrip("\n")
            if pending:
                line = pending + line.lstrip()
                pending = ""
            if line.endswith("\\") and not line.startswith("["):
                pending = line[:-1]
                continue
            if line.startswith("["):
                end = line.rfind("]")
                current = hive + "\\" + unescape_key(line[1:end])
                keys.setdefault(current, {})
            elif current is None or not line or line.startswith("#") or line.startswith(";"):
                continue
            else:
                if line.startswith("@="):
                    name, data = "@", line[2:]
                else:
                    m = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
                    if not m:
                        continue
                    name, data = m.group(1), m.group(2)
                keys[current][name] = data
    return keys


def attributes(path):
    """A file's or folder's DOS attributes as Wine keeps them: read-only as the Unix
    write permission, hidden and system in the user.DOSATTRIB attribute."""
    text = "" if os.stat(path).st_mode & 0o200 else ":readonly"
    try:
        text += ":" + os.getxattr(path, "user.DOSATTRIB").decode("ascii", "replace")
    except OSError:
        pass
    return text


def snapshot(prefix):
    registry = {}
    for name, hive in HIVES.items():
        path = os.path.join(prefix, name)
        if os.path.exists(path):
            registry.update(parse_reg(path, hive))
    files = {}
    root = os.path.join(prefix, "drive_c")
    for dirpath, dirnames, filenames in os.walk(root, followlinks=False):
        rel_dir = os.path.relpath(dirpath, root).replace(os.sep, "/")
        for d in list(dirnames):
            full = os.path.join(dirpath, d)
            rel = d if rel_dir == "." else rel_dir + "/" + d
            if os.path.islink(full):
                files[rel] = "link:" + os.readlink(full)
                dirnames.remove(d)
            else:
                files[rel] = "dir" + attributes(full)
        for fn in filenames:
            full = os.path.join(dirpath, fn)
            rel = fn if rel_dir == "." else rel_dir + "/" + fn
            if os.path.islink(full):
                files[rel] = "link:" + os.readlink(full)
                continue
            h = hashlib.sha1()
            try:
                with open(full, "rb") as f:
                    h.update(f.read())
                files[rel] = "file:" + h.hexdigest() + attributes(full)
            except OSError as e:
                files[rel] = "unreadable:" + str(e)
    return {"registry": registry, "files": files}


def matches(patterns, text):
    return any(re.search(p, text) for p in patterns)


def present_keys(registry):
    """Every key of the snapshot, lower-cased. Wine's files list only keys
    that hold values or have no subkeys, so a key is present when it or
    anything below it is listed."""
    present = set()
    for key in registry:
        parts = key.split("\\")
        for i in range(1, len(parts) + 1):
            present.add("\\".join(parts[:i]).lower())
    return present


def added_problems(b_reg, a_reg, b_present, b_files, a_files, may_add):
    """Every key, value and file that exists only after the run, unless
    allowed by name. A new key's values and subkeys count as that key."""
    allowed = [p for p, _reason in may_add]
    problems = []
    b_lower = {k.lower(): k for k in b_reg}
    new_keys = []
    for key, values in a_reg.items():
        if key.lower() not in b_present:
            new_keys.append(key)
            continue
        before_values = b_reg.get(b_lower.get(key.lower(), ""), {})
        for name in values:
            item = key + "|" + name
            if name not in before_values and not matches(allowed, item):
                problems.append("value added unexpectedly: " + item)
    # Reported once, at the topmost new key.
    tops = set()
    for key in new_keys:
        parts = key.split("\\")
        top = key
        for i in range(len(parts) - 1, 0, -1):
            if "\\".join(parts[:i]).lower() in b_present:
                break
            top = "\\".join(parts[:i])
        tops.add(top)
    for key in sorted(tops):
        if not matches(allowed, key):
            problems.append("key added unexpectedly: " + key)
    for path in sorted(a_files):
        parent = path.rsplit("/", 1)[0] if "/" in path else None
        if parent is not None and parent not in b_files:
            continue
        if path not in b_files and not matches(allowed, path):
            problems.append("file added unexpectedly: " + path)
    return problems


def compare(before, after, expect):
    may_remove = expect.get("may_remove", [])
    must_remove = expect.get("must_remove", [])
    may_change = expect.get("may_change", [])
    problems = []
    b_reg, a_reg = before["registry"], after["registry"]
    b_present, a_present = present_keys(b_reg), present_keys(a_reg)
    a_lower = {k.lower(): k for k in a_reg}
    removed = []
    for key, values in b_reg.items():
        if key.lower() not in a_present:
            removed.append(key)
            if not matches(may_remove, key):
                problems.append("key removed unexpectedly: " + key)
            continue
        after_values = a_reg.get(a_lower.get(key.lower(), ""), {})
        for name, data in values.items():
            item = key + "|" + name
            if name not in after_values:
                removed.append(item)
                if not matches(may_remove, item) and not matches(may_remove, key):
                    problems.append("value removed unexpectedly: " + item)
            elif after_values[name] != data and not matches(may_change, item):
                problems.append("value changed unexpectedly: %s (%s -> %s)" % (item, data[:60], after_values[name][:60]))
    b_files, a_files = before["files"], after["files"]
    for path, kind in b_files.items():
        if path not in a_files:
            removed.append(path)
            if not matches(may_remove, path):
                problems.append("file removed unexpectedly: " + path)
        elif a_files[path] != kind and not matches(may_change, path):
            problems.append("file changed unexpectedly: " + path)
    problems += added_problems(b_reg, a_reg, b_present, b_files, a_files, expect.get("may_add", []))
    removed_lower = {r.lower() for r in removed}
    b_lower = {k.lower(): k for k in b_reg}
    # What the seeding never made would count as removed: every item must
    # have been there before the run.
    for item in must_remove:
        if "|" in item:
            key, name = item.split("|", 1)
            was = name in b_reg.get(b_lower.get(key.lower(), ""), {})
            gone = name not in a_reg.get(a_lower.get(key.lower(), ""), {})
        elif "/" in item or item in b_files:
            was = item in b_files
            gone = item not in a_files
        else:
            was = item.lower() in b_present
            gone = item.lower() not in a_present
        if not was:
            problems.append("never there, so it cannot show a removal: " + item)
        elif not gone:
            problems.append("still there, should have been removed: " + item)
    return problems, removed_lower


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "snapshot":
        with open(sys.argv[3], "w") as f:
            json.dump(snapshot(sys.argv[2]), f)
        return 0
    if len(sys.argv) == 5 and sys.argv[1] == "compare":
        loaded = []
        for p in sys.argv[2:5]:
            with open(p) as f:
                loaded.append(json.load(f))
        problems, _ = compare(*loaded)
        for p in problems:
            print(p)
        print("%d unexpected differences" % len(problems))
        return 1 if problems else 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
