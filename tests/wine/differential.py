#!/usr/bin/env python3
"""Differential runs: brandinst.exe under Wine against brandsim.

A seeded generator writes a delivery that mixes every feature: brand.ini with
good and bad lines, every file group with free and taken destinations,
read-only files, registry scripts with every value form and bad lines, the key
removal list, message files, packages, the theme, the gate, the marker. Each
delivery runs in brandsim and in brandinst.exe under Wine, and the end states
must agree: files (names and contents), the registry below the keys that
deliveries use, the package installer's command lines and the dialogs.

    differential.py run --source DIR --work DIR --brandsim PATH
                        [--arch win64|win32] [--seeds FIRST-LAST | --seed N ...]
                        [--jobs N] [--with FEATURE ...]
    differential.py show SEED [--with FEATURE ...]   the delivery of one seed

WORK is the Wine suite's work folder, prepared by `wine_test.py setup` (the
wine.setup test). Seeds run one after another in one prefix per job, which is
put back after each seed. A failing seed prints its delivery and the command
that runs it alone. Exit status 77 means skipped (a tool is missing).

--with FEATURE adds a dimension that the default mix leaves out because the
desktop and the device are known to differ there (docs/desktop-vs-device.md):
  classes          scripts that write HKEY_LOCAL_MACHINE\\Software\\Classes
  order            scripts and mapped files whose end state depends on the
                   order in which a folder is listed
"""

import argparse
import copy
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import wine_test  # noqa: E402
from wine_test import (CONSENT, GATE_KEY, GIF, NOTICE, Failure, Session,  # noqa: E402
                       cp1250, message_file)

FEATURES = ("classes", "order")
# Seeds that CI runs. 35: a script header and a removal-list entry whose key
# paths begin with a backslash, which the real API refuses (the emulation
# accepted both, and desktop Windows opens such a path below
# HKEY_CLASSES_ROOT). 85: a destination with a ':' in its name, which Wine
# made as a file and the device cannot hold. 84: a destination through "..",
# which the desktop resolved.
DEFAULT_SEEDS = "1-12,35,84,85"

# The keys that deliveries write below the roots. HKEY_CLASSES_ROOT\DiffClassic
# is the desktop's merged view of HKEY_LOCAL_MACHINE\Software\Classes\DiffClassic,
# read back on its own and cleared with it.
DELIVERY_KEYS = [
    r"HKEY_CURRENT_USER\Software\Microsoft\Today",
    r"HKEY_CURRENT_USER\Software\Diff",
    r"HKEY_CURRENT_USER\DiffTop",
    r"HKEY_LOCAL_MACHINE\Software\Diff",
    r"HKEY_LOCAL_MACHINE\Software\Apps",
    r"HKEY_LOCAL_MACHINE\Software\brandinst",
    r"HKEY_LOCAL_MACHINE\Software\Classes\DiffClassic",
    r"HKEY_CLASSES_ROOT\DiffClass",
    GATE_KEY,
]

# The registry that deliveries touch, read back from Wine after each run. A
# delivery writes nowhere else; "=" reads a key's own values only.
DUMP_KEYS = ([r"=HKEY_CURRENT_USER", r"=HKEY_LOCAL_MACHINE", r"=HKEY_CLASSES_ROOT"] +
             DELIVERY_KEYS + [r"HKEY_CLASSES_ROOT\DiffClassic"])

# Clears what an earlier seed left in the same prefix, before the next seed.
RESET = "".join(f"[-{key}]\n\n" for key in DELIVERY_KEYS) + "".join(
    f'[{root}]\n"Root{n}"=-\n"@"=-\n\n'.replace('"@"=-', "@=-")
    for root in ("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_CLASSES_ROOT")
    for n in range(2))

CZECH = "ěščřžýáíéúůťďňĚŠČŘŽÝÁÍÉÚŮŤĎŇ"
NAME_CHARS = "abcdefghijklmnopqrstuvwxyz0123456789-_"


# ---- The generator --------------------------------------------------------------------


class Delivery:
    def __init__(self, seed, features):
        self.seed = seed
        self.features = set(features)
        self.staged = {}          # name in the staging folder: bytes
        self.read_only = set()    # staged names
        self.device_files = {}    # Windows path: bytes, present before the run
        self.registry = ""        # the device's registry before the run (regedit text)
        self.gate = False
        self.answer = "yes"
        self.installer_removed = False
        self.words = ["inst"]

    def describe(self):
        out = [f"seed {self.seed} (with: {', '.join(sorted(self.features)) or 'nothing extra'})",
               f"command line: {' '.join(self.words)!r}; gate: {self.gate}; "
               f"answer: {self.answer}; installer present: {not self.installer_removed}"]
        for name, data in self.staged.items():
            mark = " (read-only)" if name in self.read_only else ""
            out.append(f"--- \\Temp\\branding\\{name}{mark}: {len(data)} bytes")
            out.append(show_bytes(name, data))
        for path, data in self.device_files.items():
            out.append(f"--- on the device before: {path}: {data!r}")
        out.append("--- the device's registry before:")
        out.append(self.registry.rstrip())
        return "\n".join(out)


def show_bytes(name, data):
    lower = name.lower()
    if lower.endswith(".msg"):
        return repr(data.decode("utf-16-le", "replace"))
    if lower.endswith((".ini", ".reg")) and not data.startswith(b"\xff\xfe"):
        return data.decode("cp1250", "replace").replace("\r", "<CR>")
    return repr(data)


class Generator:
    def __init__(self, seed, features):
        self.r = random.Random(seed)
        self.odd = random.Random(f"odd-paths {seed}")
        self.d = Delivery(seed, features)
        self.ini = []  # sections: (header line, [entry lines])
        self.taken = set()  # lower-case Windows paths already used as destinations

    def chance(self, p):
        return self.r.random() < p

    def pick(self, items):
        return self.r.choice(items)

    def word(self, low=3, high=8):
        return "".join(self.r.choice(NAME_CHARS) for _ in range(self.r.randint(low, high)))

    def text(self, length):
        alphabet = "abc xyz ABC 0123 .,-!" + CZECH
        return "".join(self.r.choice(alphabet) for _ in range(length))

    def stage(self, name, data, movable=False):
        """Stages a file, unless one of that name (any case) is there already."""
        if any(n.lower() == name.lower() for n in self.d.staged):
            return None
        self.d.staged[name] = data
        # Read-only files: moved into place, or removed by the clean-up.
        if self.chance(0.15):
            self.d.read_only.add(name)
        return name

    def take(self, windows_path, data=None):
        """Puts a file where the run would place one: the destination is taken."""
        if windows_path.lower() in self.taken:
            return
        self.taken.add(windows_path.lower())
        self.d.device_files[windows_path] = data or b"on the device before " + self.word().encode()

    def section(self, header, entries):
        self.ini.append((header, entries))

    # -- the parts of a delivery

    def fixed_groups(self):
        names = []
        for ext, folder in (("gif", "\\Windows\\"), ("url", "\\Windows\\Favorites\\"),
                            ("tsk", "\\Windows\\")):
            for _ in range(self.r.randint(0, 3)):
                base = self.word()
                name = self.pick([f"{base}.{ext}", f"{base.capitalize()}.{ext.upper()}",
                                  f"{base}.x.{ext}", f"{base} {self.word(1, 3)}.{ext}",
                                  f"{base}{self.pick(CZECH)}.{ext}"])
                free = self.chance(0.7)
                if self.stage(name, (GIF if ext == "gif" else b"") + self.word().encode(),
                              movable=free) is None:
                    continue
                names.append(name)
                if not free:
                    self.take(folder + self.pick([name, name.upper(), name.lower()]))
        # Names that the groups' patterns must not take: a longer extension
        # (whose short 8.3 name on the desktop ends in the group's), an
        # extension in the middle, no extension at all.
        for ext in ("gif", "url", "tsk"):
            if self.chance(0.3):
                self.stage(self.pick([f"{self.word()}.{ext}x", f"{self.word()}.{ext}.txt",
                                      f"{self.word()}{ext}"]), b"not in the group")
        return names

    def theme(self, tsk_names):
        if not self.chance(0.5):
            return
        choices = ['"\\Windows\\none.tsk"', '""', f'"\\Windows\\{self.word()}.tsk"']
        if tsk_names:
            choices += [f'"\\Windows\\{self.pick(tsk_names)}"'] * 3
        value = self.pick(choices)
        header = self.pick(["[skin]", "[SKIN]", "[Skin"])
        self.section(header, [self.pick(["skin", "Skin", "SKIN"]) + "=" + value])

    def odd_destination(self):
        """Destinations spelled oddly: the folders between must be made and
        the file placed, or both refused, the same way."""
        w = self.word()
        forms = [f"\\Diff/{w}/{w}.htm", f"\\Diff\\\\{w}.htm",
                 f"\\Diff\\{w}?.htm", f"\\Diff\\{w}:x.htm", f"\\Diff\\{w}*.htm",
                 f"\\Diff\\{w}<.htm", "\\Diff\\" + "d" * 250 + ".htm", "\\Diff\\", "",
                 f"C:\\Diff\\{w}.htm", f"\\Diff\\..\\{w}.htm", f"\\Diff\\.\\{w}.htm"]
        form = self.pick(forms)
        # The desktop drops a name's trailing dots and blanks, and reads a
        # path without a leading backslash from its current folder; the
        # device does neither. These come from a stream of their own, so
        # that every seed kept as a regression case still makes the
        # delivery it was kept for.
        if self.odd.random() < 0.3:
            form = self.odd.choice([f"\\Diff\\{w}.htm.", f"\\Diff\\{w}.htm ",
                                    f"Diff\\{w}.htm", f"\\Diff\\{w}.\\{w}.htm"])
        return form

    def destination(self):
        """A destination, and whether it is an ordinary path that a file
        present before the run can take."""
        if self.chance(0.15):
            return self.odd_destination(), False
        folders = self.pick(["\\Windows", "\\Windows\\Start Menu\\Web", "", "\\Diff",
                             f"\\Diff\\{self.word()}", f"\\Diff\\{self.word()}\\{self.word()}",
                             f"\\Diff\\{self.pick(CZECH)}{self.word()}"])
        return f"{folders}\\{self.word()}.{self.pick(['htm', 'url', 'txt', 'hp'])}", True

    def mapped_groups(self):
        for ext, section in (("hp", "HOMEPAGE"), ("ur", "URLS")):
            entries = []
            for _ in range(self.r.randint(0, 3)):
                name = self.pick([f"{self.word()}.{ext}", f"{self.word().upper()}.{ext.upper()}"])
                dest, ordinary = self.destination()
                if "order" not in self.d.features:
                    while dest.lower() in self.taken:
                        dest, ordinary = self.destination()
                mapped = self.chance(0.8)
                free = mapped and (not ordinary or self.chance(0.75))
                if self.stage(name, self.word().encode(), movable=free) is None:
                    continue
                if not mapped:
                    continue
                key = self.pick([name, name.upper(), name.lower()])
                entries.append(f'{key}="{dest}"')
                if free:
                    self.taken.add(dest.lower())
                else:
                    self.take(dest)
            if self.chance(0.2):
                self.stage(f"{self.word()}.{ext}x", b"not in the group")
            if entries or self.chance(0.2):
                self.section(self.pick([f"[{section}]", f"[{section.lower()}]"]), entries)

    def packages(self):
        if not self.chance(0.6):
            return
        entries = []
        count = self.r.randint(0, 4)
        for n in range(count):
            kind = self.r.random()
            if kind < 0.6:
                name = self.stage(f"{self.word()}.cab", b"MSCF package " + self.word().encode())
                name = name or "missing.cab"
            elif kind < 0.75:
                name = f"{self.word()}.cab"  # not staged
            elif kind < 0.85:
                # In a folder of its own: the clean-up cannot remove the folder,
                # so the staging folder stays, on the device too.
                name = f"pkgs\\{self.word()}.cab"
                self.stage(name, b"MSCF nested")
            else:
                name = f"{self.word()} {self.word()}.cab"
                self.stage(name, b"MSCF blank")
            quoted = self.pick([f'"{name}"'] * 6 + [f"x{name}", f'"{name}" trailing', '""'])
            entries.append(f"cab{n}={quoted}")
        if count and self.chance(0.3):
            entries.append(f'cab{count + 1}="after.gap.cab"')  # after a gap: never installed
        if self.chance(0.2):
            entries.insert(0, f'cab1{self.r.randint(0, 9)}="ten.cab"')
        self.section(self.pick(["[ADDITIONAL_CABS]", "[additional_cabs]"]), entries)
        if self.chance(0.3):
            self.d.installer_removed = True

    def key_removals(self, existing):
        if not self.chance(0.5):
            return
        candidates = existing + [
            "HKEY_LOCAL_MACHINE\\Software\\Diff\\Missing",
            "HKEY_USERS\\.DEFAULT\\Software\\Diff",
            "NoBackslashAtAll",
            "HKEY_CURRENT_USER\\DiffTop",
            "hkey_local_machine\\Software\\Diff\\Script0",
            "HKEY_CLASSES_ROOT\\DiffClass\\Sub",
            "HKEY_CURRENT_USER\\Software\\Microsoft\\Today",
            "HKEY_LOCAL_MACHINE\\Software\\Diff\\Old\\",
            "HKEY_LOCAL_MACHINE\\\\Software\\Diff\\Old",
            "HKEY_CLASSES_ROOT\\\\DiffClass\\Sub",
            "HKEY_CLASSES_ROOT\\\\DiffClass",
            "HKEY_LOCAL_MACHINE\\Software\\Diff\\\\Old",
        ]
        if self.d.gate:
            candidates.append(GATE_KEY)
        entries = [f'key{n}="{self.pick(candidates)}"' for n in range(self.r.randint(1, 4))]
        if self.chance(0.2):
            entries.append(f'key{len(entries) + 1}="{self.pick(candidates)}"')  # after a gap
        self.section(self.pick(["[REG_DEL_KEY]", "[reg_del_key]"]), entries)

    def restart_request(self):
        if self.chance(0.5):
            self.section(self.pick(["[LENGREBOOT]", "[lengreboot]"]),
                         [self.pick(['reboot="1"', 'reboot=""', "reboot", "REBOOT=0"])])

    def messages(self):
        for name in ("inst.msg", "reboot.msg"):
            if not self.chance(0.5):
                continue
            kind = self.r.random()
            if kind < 0.15:
                data = b""
            elif kind < 0.25:
                data = message_file(self.text(4))[:-1]  # an odd byte count
            else:
                text = self.text(self.pick([5, 40, 300])).replace("  ", "\r\n")
                data = message_file(text, mark=self.chance(0.6))
            self.stage(name, data)

    def settings_file(self):
        lines = []
        if self.chance(0.3):
            lines.append(self.pick(['cab0="before.any.header.cab"', "; a comment", "garbage"]))
        sections = list(self.ini)
        self.r.shuffle(sections)
        for header, entries in sections:
            lines.append(header)
            body = list(entries)
            for _ in range(self.r.randint(0, 2)):
                body.insert(self.r.randint(0, len(body)), self.pick([
                    "; comment", "no equals sign", '="empty key"', 'cab0 ="blank before"',
                    f"unknown=\"{self.text(5)}\"", 'skin="\\Windows\\ignored.tsk"']))
            lines.extend(body)
            if self.chance(0.7):
                lines.append("")
        if self.chance(0.2):
            lines.append('[skin]\nskin="\\Windows\\second.section.tsk"')
        ending = self.pick(["\r\n"] * 4 + ["\n"])
        data = cp1250(("\n".join(lines) + "\n").replace("\n", ending))
        if self.chance(0.1):
            data = data.rstrip(b"\r\n")  # a last line without its end is not read
        if self.ini or self.chance(0.5):
            self.stage(self.pick(["brand.ini", "BRAND.INI", "Brand.ini"]), data)

    def reg_value_line(self, n):
        name = self.pick([f"V{n}", f"Value {n}", f"Hodnota{self.pick(CZECH)}{n}", "@"])
        quoted = "@" if name == "@" and self.chance(0.5) else f'"{name}"'
        forms = [
            lambda: f'"{self.text(self.r.randint(0, 30))}"',
            lambda: '""',
            lambda: f'"{self.text(10)}',  # no closing quote
            lambda: f"dword:{self.r.getrandbits(32):08x}",
            lambda: f"dword:{self.r.getrandbits(12):x}",
            lambda: f"dword:{self.r.getrandbits(36):X}",
            lambda: "dword:",
            lambda: "hex:" + ",".join(f"{self.r.getrandbits(8):02x}"
                                      for _ in range(self.r.randint(0, 12))),
            lambda: "hex:01,02,\\\n  " + ",".join(f"{b:02x}" for b in range(self.r.randint(0, 6))),
            lambda: "hex(2):41,00,42,00,00,00",
            lambda: "hex(7):61,00,00,00,00,00",
            lambda: "DWORD:00000001",
            lambda: "HEX:01",
            lambda: "other",
            lambda: "hex:0",
        ]
        return f"{quoted}={self.pick(forms)()}"

    def registry_scripts(self):
        existing = []
        for n in range(self.r.randint(0, 3)):
            first = self.pick(["REGEDIT4", "Windows Registry Editor Version 5.00", "REGEDIT4"])
            lines = [first, ""]
            for b in range(self.r.randint(1, 4)):
                # Each script writes keys of its own, so that the end state does
                # not depend on the order in which the scripts are found.
                own = f"Script{n}" if "order" not in self.d.features else "Shared"
                key = self.pick([
                    f"HKEY_LOCAL_MACHINE\\Software\\Diff\\{own}",
                    f"HKEY_LOCAL_MACHINE\\Software\\Diff\\{own}\\Sub{b}",
                    f"hkey_current_user\\Software\\Diff\\{own}{self.pick(CZECH)}",
                    f"HKEY_CLASSES_ROOT\\DiffClass\\{own}",
                    f"HKEY_CURRENT_USER\\DiffTop\\{own}",
                    f"HKEY_USERS\\.DEFAULT\\{own}",
                    f"HKEY_BOGUS\\{own}",
                ] + (["HKEY_CURRENT_USER\\Software\\Microsoft\\Today"] if n == 0 else [])
                  + (["HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"] if n == 0 else [])
                  + ([f"HKEY_LOCAL_MACHINE\\Software\\Classes\\DiffClassic\\{own}"]
                     if "classes" in self.d.features else []))
                if self.chance(0.15):
                    # Empty names between backslashes, and a path that begins
                    # with one (which the real API refuses). Not below a root
                    # itself: the new key would be outside the keys read back.
                    odd = self.pick([key + "\\", key.replace("\\Software", "\\\\Software"),
                                     key + "\\a/b", key + "\\\\x", key + "\\ "])
                    key = odd if "\\" in key else key
                lines.append(f"[{key}]")
                if key.count("\\") == 0:
                    # Values on a root key itself: only names that the reset
                    # clears between seeds.
                    lines += [f'"Root{v}"="{self.text(6)}"' for v in range(self.r.randint(0, 2))]
                else:
                    lines += [self.reg_value_line(v) for v in range(self.r.randint(0, 5))]
                if key.startswith("HKEY_LOCAL_MACHINE\\Software\\Diff"):
                    existing.append(key)
                lines.append(self.pick(["", "", "", "; comment ends the block too"]))
            data = cp1250("\r\n".join(lines) + "\r\n")
            if self.chance(0.07):
                data = ("\ufeff" + "\r\n".join(lines) + "\r\n").encode("utf-16-le")
            self.stage(self.pick([f"script{n}.reg", f"SCRIPT{n}.REG", f"{self.word()}{n}.reg"]),
                       data)
        if self.chance(0.2):
            self.stage(f"{self.word()}.regx",
                       cp1250("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Diff\\NotAScript]"
                              "\r\n\"A\"=\"b\"\r\n"))
        return existing

    def device_registry(self):
        # The keys above those a delivery uses are always there on the desktop.
        lines = [f"[{key}]\n" for key in ("HKEY_CURRENT_USER\\Software",
                                          "HKEY_CURRENT_USER\\Software\\Microsoft",
                                          "HKEY_LOCAL_MACHINE\\Software",
                                          "HKEY_CLASSES_ROOT\\CLSID")]
        if self.chance(0.85):
            lines += ["[HKEY_CURRENT_USER\\Software\\Microsoft\\Today]",
                      '"Skin"="\\\\Windows\\\\default.tsk"', '"UseStartImage"=dword:00000001',
                      '"Wall"="\\\\Windows\\\\tdywater.gif"', ""]
        if self.chance(0.9):
            lines.append("[HKEY_LOCAL_MACHINE\\Software\\Apps]")
            marker = self.r.random()
            if marker < 0.2:
                lines.append('"CABInst"=dword:00000007')
            elif marker < 0.35:
                lines.append(f'"CABInst"=dword:{self.pick([0, 3, 0x107]):08x}')
            elif marker < 0.42:
                lines.append(self.pick(['"CABInst"="7"', '"CABInst"=hex:07,00,00,00']))
            lines.append("")
        lines += ["[HKEY_LOCAL_MACHINE\\Software\\Diff\\Old]", '"Name"="old brand"', "",
                  "[HKEY_LOCAL_MACHINE\\Software\\Diff\\Old\\Logos]", '"Logo"=hex:01,02', "",
                  "[HKEY_CURRENT_USER\\DiffTop]", '"Stays"=dword:00000001', "",
                  "[HKEY_CLASSES_ROOT\\DiffClass\\Sub]", '"Kind"="class"', ""]
        self.d.gate = self.chance(0.5)
        if self.d.gate:
            lines += [f"[{GATE_KEY}]", ""]
            self.d.answer = "yes" if self.chance(0.8) else "no"
        self.d.registry = "\n".join(lines) + "\n"
        return ["HKEY_LOCAL_MACHINE\\Software\\Diff\\Old",
                "HKEY_LOCAL_MACHINE\\Software\\Diff\\Old\\Logos",
                "hkey_classes_root\\DiffClass"]

    def awkward_names(self):
        # Names the desktop reads its own way: device names, and names near
        # and beyond the longest path the device holds.
        if self.chance(0.5):
            name = self.pick(["nul", "con", "aux", "prn", "com1", "lpt9"])
            self.stage(f"{name}.{self.pick(['gif', 'reg', 'url', 'txt'])}", GIF, movable=True)
        if self.chance(0.5):
            length = self.r.randint(241, 250)
            self.stage("n" * (length - 4) + ".txt", b"long name")

    def generate(self):
        existing = self.device_registry()
        tsk = [n for n in self.fixed_groups() if n.lower().endswith(".tsk")]
        self.packages()
        self.theme(tsk)
        self.mapped_groups()
        existing += self.registry_scripts()
        self.key_removals(existing)
        self.restart_request()
        self.messages()
        if self.chance(0.3):
            self.stage(self.pick(["notes.txt", "README", "Read Me.doc"]), b"not for any step")
        self.awkward_names()
        self.settings_file()
        if self.chance(0.03):
            self.d.words = [self.pick(["Inst", "unin", "inst now"])]
        return self.d


def generate(seed, features=()):
    return Generator(seed, features).generate()


# ---- Running a delivery ---------------------------------------------------------------


def registry_value(kind, data):
    """A value as wine_test.parse_reg gives it, from its type and bytes."""
    if kind == 1 and len(data) >= 2 and len(data) % 2 == 0 and data[-2:] == b"\0\0":
        text = data[:-2].decode("utf-16-le", "replace")
        if "\0" not in text:
            return ("sz", text)
    if kind == 4 and len(data) == 4:
        return ("dword", int.from_bytes(data, "little"))
    if kind == 3:
        return ("hex", data)
    return (f"hex({kind})", data)


def read_registry(s, label):
    """The keys of DUMP_KEYS as the program sees them, in parse_reg's form."""
    out = s.dir / f"registry-{label}.json"
    out.unlink(missing_ok=True)
    code, text = s.wine(["C:\\brandinst\\probe.exe", "registry",
                         "Z:" + str(out).replace("/", "\\")] + DUMP_KEYS,
                        what="probe registry")
    if code != 0 or not out.is_file():
        raise Failure(f"probe registry failed ({code}): {text}")
    keys = {}
    for key in json.loads(out.read_text(encoding="ascii"))["keys"]:
        values = {}
        for v in key["values"]:
            value = registry_value(v["type"], bytes.fromhex(v["data"]))
            values[v["name"].lower()] = (v["name"], value)
        keys[key["path"].lower()] = (key["path"], values)
    return keys


def wait_for_installer(s, timeout=20):
    """Until every installer started (the theme's is not waited for) has ended."""
    deadline = time.monotonic() + timeout
    while True:
        lines = s.installer_log(0, timeout=0)
        starts = sum(1 for line in lines if line[0] == "start")
        ends = sum(1 for line in lines if line[0] == "end")
        if ends >= starts:
            return
        if time.monotonic() > deadline:
            raise Failure(f"the package installer did not end within {timeout} s")
        time.sleep(0.1)


def drive_entries(drive_c):
    """Lower-case relative paths of every file and folder under drive_c."""
    entries = set()
    for folder, dirs, names in os.walk(drive_c):
        for name in dirs + names:
            entries.add(os.path.relpath(os.path.join(folder, name), drive_c).lower())
    return entries


def restore_drive(batch, baseline):
    """Removes every file and folder that was not there after the prefix was
    copied, and puts the package installer back."""
    drive_c = batch.drive_c
    for folder, dirs, names in os.walk(drive_c, topdown=False):
        for name in names + dirs:
            path = os.path.join(folder, name)
            if os.path.relpath(path, drive_c).lower() in baseline:
                continue
            if os.path.isdir(path) and not os.path.islink(path):
                os.chmod(path, 0o755)
                shutil.rmtree(path, ignore_errors=True)
            else:
                os.chmod(path, 0o644) if not os.path.islink(path) else None
                os.unlink(path)
    installer = drive_c / "windows" / "wceload.exe"
    if not installer.exists():
        shutil.copy2(batch.work / "bin" / "wceload.exe", installer)


def run_delivery(batch, delivery, baseline):
    """One delivery on the batch's prefix, then on brandsim. Yields the failures."""
    s = copy.copy(batch)
    s.dir = batch.dir / "seeds" / str(delivery.seed)
    shutil.rmtree(s.dir, ignore_errors=True)
    s.dir.mkdir(parents=True)
    s.failures, s.log, s.device_files, s.read_only = [], [], {}, set()
    s.installer_removed, s.registry_seed, s.exports, s.last_run = False, "", {}, None
    s.probe_count = 0
    try:
        s.seed_registry(delivery.registry, reset=RESET)
        s.stage(delivery.staged)
        for path, data in delivery.device_files.items():
            s.put(path, data)
        for name in delivery.read_only:
            s.make_read_only("\\Temp\\branding\\" + name)
        if delivery.installer_removed:
            s.remove_installer()
        s.exports["before"] = read_registry(s, "before")
        s.run_program(delivery.words, respond={CONSENT: delivery.answer, NOTICE: "ok"},
                      timeout=60)
        wait_for_installer(s)
        s.exports["after"] = read_registry(s, "after")
        s.compare_with_brandsim()
    except Failure as error:
        s.failures.append(str(error))
    except Exception as error:  # a fault of this script: the other seeds still run
        s.failures.append(f"the test itself failed: {error!r}")
    finally:
        (s.dir / "wine.log").write_text("\n".join(s.log), encoding="utf-8")
        restore_drive(batch, baseline)
    if not s.failures and os.environ.get("BRANDINST_WINE_KEEP") != "1":
        shutil.rmtree(s.dir, ignore_errors=True)
    return s.failures


def parse_seeds(args):
    if args.seed:
        return list(args.seed)
    seeds = []
    for part in args.seeds.split(","):
        first, _, last = part.partition("-")
        seeds += range(int(first), int(last or first) + 1)
    return seeds


def rerun_command(args, seed):
    parts = [sys.executable, str(Path(__file__).resolve()), "run", "--seed", str(seed),
             "--arch", args.arch, "--source", args.source, "--work", args.work,
             "--brandsim", args.brandsim]
    for feature in args.features:
        parts += ["--with", feature]
    return " ".join(parts)


def run_shard(args, seeds, shard):
    tools = wine_test.require_tools(["wine", "wineserver", "xvfb-run", "xdotool"])
    work = Path(args.work).resolve()
    batch = Session(f"differential-{shard}", work, Path(args.source).resolve(), tools,
                    Path(args.brandsim).resolve())
    failed = []
    started = time.monotonic()
    try:
        batch.start()
        baseline = drive_entries(batch.drive_c)
        for n, seed in enumerate(seeds):
            delivery = generate(seed, args.features)
            seed_started = time.monotonic()
            failures = run_delivery(batch, delivery, baseline)
            seconds = time.monotonic() - seed_started
            if failures:
                failed.append(seed)
                report = [f"FAILED: seed {seed} ({seconds:.1f} s): brandsim and brandinst.exe "
                          f"under Wine differ:"] + [f"  - {f}" for f in failures] + [
                          "the delivery:", delivery.describe(),
                          f"run this seed alone: {rerun_command(args, seed)}",
                          f"logs: {batch.dir / 'seeds' / str(seed)}"]
                text = "\n".join(report)
                print(text, flush=True)
                (batch.dir / "seeds" / str(seed) / "report.txt").write_text(text, encoding="utf-8")
            else:
                print(f"passed: seed {seed} ({seconds:.1f} s; {n + 1}/{len(seeds)} in "
                      f"{time.monotonic() - started:.0f} s)", flush=True)
    finally:
        batch.finish(keep=False)
    return failed


def command_run(args):
    seeds = parse_seeds(args)
    wine_test.require_tools(["wine", "wineserver", "xvfb-run", "xdotool"])
    work = Path(args.work).resolve()
    if not (work / "ready").is_file() or not (work / "template").is_dir():
        print(f"FAILED: no prepared prefix in {work}: run the setup first "
              f"(ctest runs the wine.setup test for this)", file=sys.stderr)
        return 1
    if args.shard is None:
        started = time.monotonic()
        jobs = max(1, min(args.jobs, len(seeds)))
        children = []
        for shard in range(jobs):
            command = [sys.executable, str(Path(__file__).resolve())] + sys.argv[1:] + [
                "--shard", str(shard)]
            # Each job has a display of its own; -a moves on from the number
            # given when it is taken.
            command = [shutil.which("xvfb-run"), "-a", "-n", str(200 + 10 * shard), "-s",
                       "-screen 0 1024x768x24 -nolisten tcp"] + command
            children.append(subprocess.Popen(command))
        codes = [child.wait() for child in children]
        print(f"differential: {len(seeds)} seeds in {time.monotonic() - started:.0f} s "
              f"with {jobs} job(s): " + ("no difference" if not any(codes) else "FAILED"))
        return 0 if not any(codes) else 1
    jobs = max(1, min(args.jobs, len(seeds)))
    failed = run_shard(args, seeds[args.shard::jobs], args.shard)
    if failed:
        print(f"FAILED: seeds {', '.join(map(str, failed))}")
        return 1
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run")
    run.add_argument("--source", required=True)
    run.add_argument("--work", required=True)
    run.add_argument("--brandsim", required=True)
    run.add_argument("--arch", choices=sorted(wine_test.ARCHES), default="win64")
    run.add_argument("--seeds", default=DEFAULT_SEEDS,
                     help="FIRST-LAST, or several joined by commas (default %(default)s)")
    run.add_argument("--seed", type=int, action="append", help="one seed; may be repeated")
    run.add_argument("--jobs", type=int, default=1, help="prefixes side by side")
    run.add_argument("--shard", type=int, help=argparse.SUPPRESS)
    show = commands.add_parser("show")
    show.add_argument("seed", type=int)
    for command in (run, show):
        command.add_argument("--with", dest="features", action="append", default=[],
                             choices=FEATURES, help="a known difference to include")
    args = parser.parse_args()
    if args.command == "show":
        print(generate(args.seed, args.features).describe())
        return 0
    wine_test.ARCH = args.arch
    try:
        return command_run(args)
    except Failure as error:
        print(f"FAILED: {error}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
