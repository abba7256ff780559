#!/usr/bin/env python3
"""Writes a synthetic device image with a branding delivery of any size.

The image is what `brandsim --device DIR inst` runs against:

  DIR/fs/Temp/branding/   the delivery: staged files of every group, packages,
                          brand.ini and registry scripts
  DIR/fs/Windows/         wceload.exe and Favorites/
  DIR/registry.reg        the device's registry (UTF-16LE with its mark, in the
                          layout regedit exports): the Today key, SOFTWARE\\Apps,
                          the keys that brand.ini lists for removal, and filler

Sizes:
  --files N            N staged files in each of the five groups (*.gif,
                       *.url, *.tsk, *.hp, *.ur); --gif/--url/--tsk/--hp/--ur
                       override one group
  --packages M         M package entries cab0..cab(M-1), each a staged file
  --values K           K values in registry scripts, 20 to a key, spread over
                       --scripts S files; a mix of text, dword and binary
                       values (some binary ones continued on a second line)
  --script-bytes B     instead of --values: write values until the scripts
                       hold B bytes in all
  --distinct D         value i writes key/name number i mod D, so that a
                       large script leaves a registry of bounded size
  --keys J             J keys (each with a value and a subkey) in the
                       device's registry, listed in [REG_DEL_KEY]
  --folders F          mapped destinations spread over F nested folders
                       (three levels) below \\Windows\\Web
  --device-values R    R filler values in the device's registry

Only the Python standard library is used. The output folder must not exist
(or give --force to replace it).
"""

import argparse
import os
import shutil
import sys

VALUES_PER_KEY = 20


def registry_text(keys_to_remove, filler):
    """The device's registry as regedit would export it."""
    out = ["Windows Registry Editor Version 5.00", ""]

    def key(path, values=()):
        out.append("[" + path + "]")
        out.extend(values)
        out.append("")

    key(r"HKEY_CURRENT_USER\Software\Microsoft\Today", [
        r'"Skin"="\\Windows\\default.tsk"',
        '"UseStartImage"=dword:00000001',
        r'"Wall"="\\Windows\\tdywater.gif"',
        r'"WallFile"="\\Windows\\tdywater.gif"',
    ])
    key(r"HKEY_LOCAL_MACHINE\SOFTWARE\Apps", ['"Installed"=dword:00000001'])
    for j in range(keys_to_remove):
        base = r"HKEY_LOCAL_MACHINE\SOFTWARE\OldBench\Key%06d" % j
        key(base, ['"Name"="old %d"' % j])
        key(base + r"\Sub", ['"Level"=dword:%08x' % j])
    per_key = 50
    for f in range(0, filler, per_key):
        values = ['"Value%02d"="filler %d"' % (v, f + v)
                  for v in range(min(per_key, filler - f))]
        key(r"HKEY_LOCAL_MACHINE\SOFTWARE\Filler\Key%06d" % (f // per_key), values)
    return "\r\n".join(out) + "\r\n"


def value_line(i, name_index):
    """One value line of a registry script (8-bit text), and whether it
    takes a continuation line."""
    name = "Value%02d" % (name_index % VALUES_PER_KEY)
    kind = i % 20
    if kind < 12:
        return '"%s"="text %d for the bench, some words to make it longer"\r\n' % (name, i)
    if kind < 17:
        return '"%s"=dword:%08x\r\n' % (name, (i * 2654435761) & 0xFFFFFFFF)
    data = ",".join("%02x" % ((i + b) & 0xFF) for b in range(24))
    if kind < 19:
        return '"%s"=hex:%s\r\n' % (name, data)
    more = ",".join("%02x" % ((i * 7 + b) & 0xFF) for b in range(24))
    return '"%s"=hex:%s,\\\r\n  %s\r\n' % (name, data, more)


def write_scripts(folder, scripts, values, script_bytes, distinct):
    """Writes the registry scripts; yields (values, bytes) written."""
    paths = [os.path.join(folder, "script%03d.reg" % s) for s in range(scripts)]
    files = [open(p, "wb") for p in paths]
    for f in files:
        f.write(b"REGEDIT4\r\n\r\n")
    written = sum(f.tell() for f in files)
    i = 0
    chunk = []
    chunk_bytes = 0
    current = -1  # the script being filled
    open_key = None

    def flush():
        nonlocal chunk, chunk_bytes
        if chunk:
            files[current].write("".join(chunk).encode("ascii"))
        chunk = []
        chunk_bytes = 0

    def more():
        if script_bytes is not None:
            return written < script_bytes
        return i < values

    while more():
        # Which script this value goes to: scripts are filled one after the
        # other, evenly.
        if script_bytes is not None:
            target = min(scripts - 1, written * scripts // max(script_bytes, 1))
        else:
            target = min(scripts - 1, i * scripts // max(values, 1))
        slot = i % distinct if distinct else i
        key_number = slot // VALUES_PER_KEY
        if target != current:
            flush()
            current = target
            open_key = None
        if key_number != open_key:
            header = ("\r\n[HKEY_LOCAL_MACHINE\\Software\\Bench\\Group%03d\\Key%06d]\r\n"
                      % (key_number // 1000, key_number))
            chunk.append(header)
            chunk_bytes += len(header)
            written += len(header)
            open_key = key_number
        line = value_line(i, slot)
        chunk.append(line)
        chunk_bytes += len(line)
        written += len(line)
        i += 1
        if chunk_bytes > (1 << 20):
            flush()
    flush()
    for f in files:
        f.close()
    return i, written


def main(argv):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("out", help="the device image folder to write")
    p.add_argument("--force", action="store_true", help="replace an existing folder")
    p.add_argument("--files", type=int, default=100)
    for group in ("gif", "url", "tsk", "hp", "ur"):
        p.add_argument("--" + group, type=int, default=None)
    p.add_argument("--packages", type=int, default=10)
    p.add_argument("--values", type=int, default=200)
    p.add_argument("--script-bytes", type=int, default=None)
    p.add_argument("--scripts", type=int, default=1)
    p.add_argument("--distinct", type=int, default=0)
    p.add_argument("--keys", type=int, default=10)
    p.add_argument("--folders", type=int, default=None)
    p.add_argument("--device-values", type=int, default=0)
    p.add_argument("--theme", action=argparse.BooleanOptionalAction, default=True,
                   help="stage a theme and name it in [skin] (default: yes)")
    a = p.parse_args(argv)

    counts = {g: (getattr(a, g) if getattr(a, g) is not None else a.files)
              for g in ("gif", "url", "tsk", "hp", "ur")}
    mapped = counts["hp"] + counts["ur"]
    folders = a.folders if a.folders is not None else max(1, mapped // 50)
    if a.scripts < 1:
        p.error("--scripts must be at least 1")

    if os.path.lexists(a.out):
        if not a.force:
            p.error(a.out + " exists (give --force to replace it)")
        shutil.rmtree(a.out)
    fs = os.path.join(a.out, "fs")
    staging = os.path.join(fs, "Temp", "branding")
    windows = os.path.join(fs, "Windows")
    os.makedirs(staging)
    os.makedirs(os.path.join(staging, "cabs"))
    os.makedirs(os.path.join(windows, "Favorites"))
    with open(os.path.join(windows, "wceload.exe"), "wb") as f:
        f.write(b"MZ")

    def stage(name, payload=b""):
        with open(os.path.join(staging, name), "wb") as f:
            if payload:
                f.write(payload)

    prefixes = {"gif": "img", "url": "link", "tsk": "theme", "hp": "page", "ur": "site"}
    for group, count in counts.items():
        for n in range(count):
            stage("%s%06d.%s" % (prefixes[group], n, group))
    for m in range(a.packages):
        stage(os.path.join("cabs", "pkg%06d.cab" % m), b"MSCF")
    if a.theme:
        stage("brand.tsk")

    # Three nested levels: Web\aNN\bNN\cNN, filled in the order of the names.
    def destination(n):
        f = n % folders
        return r"\Windows\Web\a%02d\b%02d\c%03d" % (f // 1000 % 100, f // 10 % 100, f)

    lines = ["[ADDITIONAL_CABS]"]
    lines += [r'cab%d="cabs\pkg%06d.cab"' % (m, m) for m in range(a.packages)]
    lines += ["", "[skin]", r'skin="\Windows\brand.tsk"' if a.theme else "", ""]
    lines += ["[HOMEPAGE]"]
    lines += ['page%06d.hp="%s\\page%06d.htm"' % (n, destination(n), n)
              for n in range(counts["hp"])]
    lines += ["", "[URLS]"]
    lines += ['site%06d.ur="%s\\site%06d.url"' % (n, destination(counts["hp"] + n), n)
              for n in range(counts["ur"])]
    lines += ["", "[REG_DEL_KEY]"]
    lines += [r'key%d="HKEY_LOCAL_MACHINE\SOFTWARE\OldBench\Key%06d"' % (j, j)
              for j in range(a.keys)]
    lines += [""]
    with open(os.path.join(staging, "brand.ini"), "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode("cp1250"))

    values, script_bytes = write_scripts(staging, a.scripts, a.values, a.script_bytes,
                                         a.distinct)

    with open(os.path.join(a.out, "registry.reg"), "wb") as f:
        f.write(b"\xff\xfe")
        f.write(registry_text(a.keys, a.device_values).encode("utf-16-le"))

    print("%s: %s files staged (%s), %d packages, %d script values in %d bytes, "
          "%d keys to remove, %d destination folders"
          % (a.out, sum(counts.values()),
             " ".join("%s=%d" % kv for kv in counts.items()),
             a.packages, values, script_bytes, a.keys, folders))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
