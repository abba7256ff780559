#!/usr/bin/env python3
"""End-to-end tests of brandinst.exe, the Win32 build, under Wine.

Each scenario stages a delivery under a Wine prefix's drive_c, seeds the
registry with Wine's own regedit and reg, runs `brandinst.exe` with its
current folder inside drive_c, answers its dialogs under Xvfb with xdotool,
and checks the files and the registry afterwards (exported with regedit /e).
A small test double of the package installer at C:\\windows\\wceload.exe logs
what it was asked to install. With --brandsim, each scenario then runs again
on brandsim, the emulated device, and both must end the same way.

    wine_test.py setup   --source DIR --work DIR   build the program and the
                                                   helpers, make the prefix
    wine_test.py run NAME --source DIR --work DIR [--brandsim PATH]
                                                   one scenario
    wine_test.py cleanup --work DIR                remove the prefix
    wine_test.py list                              the scenarios' names
    wine_test.py runs-32bit                        whether 32-bit programs run here

setup, run and cleanup take --arch win64 (the default: the mingw preset's
64-bit program in a 64-bit prefix) or --arch win32 (the mingw32 preset's
32-bit program in a 32-bit prefix, under Debian's wine32). Each build needs
its own WORK folder.

Creating a prefix takes tens of seconds, so `setup` makes one and every
scenario runs on a fresh copy of it. Exit status 77 means skipped: a tool the
tests need is not installed. BRANDINST_WINE_KEEP=1 keeps each scenario's
prefix under WORK/scenarios/NAME for a look afterwards; BRANDINST_WINEDEBUG
sets Wine's WINEDEBUG (default -all) for a closer look at a failure.
"""

import argparse
import fcntl
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SKIP = 77

# The two builds under test. Each has its own mingw-w64 compiler, its own
# preset and its own Wine loader, called by its full path: once Debian's
# wine32 is installed beside wine64, plain `wine` starts 32-bit programs such
# as regedit with the 32-bit loader, which in a 64-bit prefix either fails or
# reads and writes HKEY_LOCAL_MACHINE\Software through Wow6432Node, not the
# view the 64-bit program uses. The 32-bit build gets a 32-bit prefix, so that
# there is only one view.
ARCHES = {
    "win64": {"preset": "mingw", "mingw": "x86_64-w64-mingw32-g++",
              "loaders": ("/usr/lib/wine/wine64", "wine64"),
              "packages": "g++-mingw-w64-x86-64 wine wine64 xvfb xauth xdotool"},
    "win32": {"preset": "mingw32", "mingw": "i686-w64-mingw32-g++",
              "loaders": ("/usr/lib/wine/wine",),
              "packages": "g++-mingw-w64-i686 wine xvfb xauth xdotool, and wine32:i386 "
                          "after dpkg --add-architecture i386"},
}
ARCH = "win64"  # set from --arch

GATE_KEY = r"HKEY_CLASSES_ROOT\CLSID\{F15D7471-D623-11d2-BE64-008048FD5745}"
TRACE_KEY = r"HKEY_LOCAL_MACHINE\Software\brandinst"
CONSENT = "Branding"
NOTICE = "System Reboot"
ANSWER_KEYS = {"yes": "y", "no": "n", "ok": "Return"}
DIALOG_NEVER_SHOWN = "the program ended without showing the dialogs"

# Wine's own settings, which Wine may rewrite on its own: left out when
# comparing the registry before and after a run.
REGISTRY_NOISE = (
    "hkey_local_machine\\software\\wine",
    "hkey_current_user\\software\\wine",
)


class Failure(Exception):
    pass


# ---- Tools --------------------------------------------------------------------------


def runs_32bit_programs():
    """Whether this machine's kernel starts 32-bit x86 programs at all: some
    virtual machines run 64-bit ones only, and there the 32-bit Wine loader
    fails with "Exec format error". Tried with the smallest static program
    (it only exits), so no 32-bit library needs to be installed first."""
    import struct
    base = 0x08048000
    code = bytes.fromhex("31dbb801000000cd80")  # xor ebx,ebx; mov eax,1 (exit); int 0x80
    size = 52 + 32 + len(code)
    header = struct.pack("<16sHHIIIIIHHHHHH", b"\x7fELF\x01\x01\x01", 2, 3, 1, base + 84, 52, 0,
                         0, 52, 32, 1, 0, 0, 0)
    segment = struct.pack("<8I", 1, 0, base, base, size, size, 5, 0x1000)
    with tempfile.TemporaryDirectory() as folder:
        program = Path(folder) / "exit32"
        program.write_bytes(header + segment + code)
        program.chmod(0o755)
        try:
            return subprocess.run([str(program)], timeout=10).returncode == 0
        except (OSError, subprocess.TimeoutExpired):
            return False


def find_wine_loader():
    for candidate in ARCHES[ARCH]["loaders"]:
        path = candidate if os.path.isabs(candidate) else shutil.which(candidate)
        if path and os.access(path, os.X_OK):
            return path
    return None


def wine_command(tools):
    """The words that start a Windows program under Wine.

    Debian's wine64 comes without Wine's preloader, which would reserve the
    addresses Wine needs before anything else is mapped. The loader itself is
    a program at a fixed address (0x7d000000), and the kernel starts its heap
    at a random place up to 1 GiB above it; when the heap (about 550 KiB as
    Wine starts) covers 0x7ffe0000, where Wine maps the shared user data,
    Wine ends at once with status 1 ("failed to map the shared user data:
    c0000018"): about one start in 1,700, as measured. With address
    randomisation off (setarch -R, which every program Wine starts from it
    inherits), the heap starts right after the loader every time."""
    return ["setarch", "-R", tools["wine"]]


def find_wineserver():
    for candidate in (shutil.which("wineserver"), "/usr/lib/wine/wineserver64",
                      "/usr/lib/wine/wineserver"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def require_tools(names):
    """The tools by name; exits with SKIP when any of them is missing."""
    found = {}
    lookups = {
        "wine": find_wine_loader,
        "wineserver": find_wineserver,
        "xvfb-run": lambda: shutil.which("xvfb-run"),
        "xdotool": lambda: shutil.which("xdotool"),
        "mingw": lambda: shutil.which(ARCHES[ARCH]["mingw"]),
        "cmake": lambda: shutil.which("cmake"),
    }
    missing = []
    for name in names:
        path = lookups[name]()
        if path:
            found[name] = path
        else:
            missing.append(name)
    if ARCH == "win32" and "wine" in names and not runs_32bit_programs():
        print("SKIPPED: this machine's kernel does not start 32-bit programs (Exec format "
              "error), so 32-bit Wine cannot run here (the setup still builds the 32-bit program)")
        sys.exit(SKIP)
    if missing:
        print(f"SKIPPED: not installed: {', '.join(missing)} "
              f"(apt-get install {ARCHES[ARCH]['packages']})")
        sys.exit(SKIP)
    return found


def run(command, timeout, what, **kwargs):
    """Runs a command with a time bound; raises Failure naming `what`.
    Yields the exit status and the output. The output goes through a file, not
    a pipe: Wine's background processes (services, devices, the desktop)
    inherit it and hold a pipe open long after the command itself ended."""
    with tempfile.TemporaryFile() as output:
        try:
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=output,
                                  stderr=subprocess.STDOUT, timeout=timeout, **kwargs)
        except subprocess.TimeoutExpired:
            raise Failure(f"{what}: no result within {timeout} s: {' '.join(map(str, command))}")
        output.seek(0)
        return done.returncode, output.read().decode("utf-8", "replace")


def wine_environment(prefix, display=None):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": str(prefix),
        "WINEARCH": ARCH,
        "WINEDEBUG": os.environ.get("BRANDINST_WINEDEBUG", "-all"),
        # No offer to install Mono or Gecko while the prefix is made.
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
    })
    loader = find_wine_loader()
    if loader:
        # The loader Wine itself uses to start further programs.
        env["WINELOADER"] = loader
    if display is None:
        env.pop("DISPLAY", None)
    else:
        env["DISPLAY"] = display
    return env


# ---- The registry as regedit exports it ---------------------------------------------


def unescape_reg_string(text):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            i += 1
            c = {"n": "\n", "r": "\r", "0": "\0"}.get(text[i], text[i])
        out.append(c)
        i += 1
    return "".join(out)


def parse_quoted(line, start):
    """The text of the quoted string opening at line[start]; and the index after it."""
    i = start + 1
    raw = []
    while i < len(line) and line[i] != '"':
        if line[i] == "\\" and i + 1 < len(line):
            raw.append(line[i:i + 2])
            i += 2
        else:
            raw.append(line[i])
            i += 1
    if i >= len(line):
        raise ValueError(f"unterminated string: {line}")
    return unescape_reg_string("".join(raw)), i + 1


def parse_reg_data(data):
    if data.startswith('"'):
        text, end = parse_quoted(data, 0)
        return ("sz", text)
    if data.startswith("dword:"):
        return ("dword", int(data[6:], 16))
    match = re.match(r"hex(\(([0-9a-fA-F]+)\))?:(.*)$", data)
    if match:
        kind = "hex" if match.group(1) is None else f"hex({int(match.group(2), 16)})"
        digits = match.group(3).replace(",", "").replace(" ", "")
        return (kind, bytes.fromhex(digits))
    raise ValueError(f"unknown value data: {data}")


def parse_reg(text):
    """{lower-case key path: (key path, {lower-case name: (name, (kind, data))})}."""
    lines = text.replace("\r\n", "\n").split("\n")
    keys = {}
    current = None
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line.startswith("["):
            path = line[1:line.rindex("]")]
            current = keys.setdefault(path.lower(), (path, {}))
            continue
        if not line or current is None or not (line.startswith('"') or line.startswith("@")):
            continue
        if line.startswith("@"):
            name, rest = "", line[1:]
        else:
            name, end = parse_quoted(line, 0)
            rest = line[end:]
        if not rest.startswith("="):
            raise ValueError(f"no '=' in value line: {line}")
        data = rest[1:]
        if data.startswith("hex"):
            while data.endswith("\\") and i < len(lines):
                data = data[:-1] + lines[i].strip()
                i += 1
        current[1][name.lower()] = (name, parse_reg_data(data))
    return keys


def registry_changes(before, after):
    """The set of differences: ('+key', path), ('-key', path),
    ('set', path, name, value), ('-value', path, name); paths and names in lower case."""
    def noise(path):
        return any(path == n or path.startswith(n + "\\") for n in REGISTRY_NOISE)

    changes = set()
    for low, (path, values) in after.items():
        if noise(low):
            continue
        if low not in before:
            changes.add(("+key", low))
            for name_low, (_, value) in values.items():
                changes.add(("set", low, name_low, value))
            continue
        old = before[low][1]
        for name_low, (_, value) in values.items():
            if name_low not in old or old[name_low][1] != value:
                changes.add(("set", low, name_low, value))
        for name_low in old:
            if name_low not in values:
                changes.add(("-value", low, name_low))
    for low in before:
        if low not in after and not noise(low):
            changes.add(("-key", low))
    return changes


def with_ancestors(keys):
    """`keys` with every key above each of them: a file that names only
    HKEY_CURRENT_USER\\Software\\Microsoft\\Today still implies its parents."""
    complete = dict(keys)
    for path, _ in list(keys.values()):
        parts = path.split("\\")
        for n in range(1, len(parts)):
            parent = "\\".join(parts[:n])
            complete.setdefault(parent.lower(), (parent, {}))
    return complete


def reg_file_bytes(text):
    """A .reg file as regedit reads non-ASCII text: UTF-16LE with its mark, CR LF."""
    return "\ufeff".encode("utf-16-le") + text.replace("\n", "\r\n").encode("utf-16-le")


# ---- Text helpers -------------------------------------------------------------------


def utf16_units(text):
    return len(text.encode("utf-16-le")) // 2


def message_file(text, mark=True):
    return (("\ufeff" if mark else "") + text).encode("utf-16-le")


def cp1250(text):
    return text.encode("cp1250")


def read_string_table(source):
    """{id: text} from res/strings.inc, the string table's one source."""
    table = {}
    text = (Path(source) / "res" / "strings.inc").read_text(encoding="utf-8")
    for match in re.finditer(r'BRANDINST_STRING\(\s*(\d+)\s*,\s*"((?:[^"\\]|\\.)*)"\s*\)', text):
        table[int(match.group(1))] = unescape_reg_string(match.group(2))
    return table


# ---- A scenario's Wine session ------------------------------------------------------


class Session:
    """One scenario on a fresh copy of the prepared prefix."""

    def __init__(self, name, work, source, tools, brandsim=None):
        self.brandsim = brandsim
        self.name = name
        self.work = Path(work)
        self.source = Path(source)
        self.tools = tools
        self.dir = self.work / "scenarios" / name
        self.prefix = self.dir / "prefix"
        self.drive_c = self.prefix / "drive_c"
        self.env = wine_environment(self.prefix, os.environ.get("DISPLAY"))
        self.failures = []
        self.log = []
        self.probe_count = 0
        # What the scenario set up and saw, for running it again on brandsim.
        self.device_files = {}
        self.read_only = set()
        self.installer_removed = False
        self.registry_seed = ""
        self.exports = {}
        self.last_run = None

    # -- set-up and tear-down

    def start(self):
        if self.dir.exists():
            shutil.rmtree(self.dir)
        self.dir.mkdir(parents=True)
        template = self.work / "template"
        started = time.monotonic()
        code, out = run(["cp", "-a", str(template), str(self.prefix)], 120, "copying the prefix")
        if code != 0:
            raise Failure(f"copying the prefix {template}: {out}")
        self.log.append(f"copied the prefix ({time.monotonic() - started:.1f} s)")
        # One server for the whole scenario, instead of one per command, each
        # loading the registry anew. Once a program has run, it ends by itself
        # 30 s after the last one, should this script die before stopping it
        # (a server that never had a program would wait for one for ever: the
        # scenario's first command follows at once).
        started = time.monotonic()
        run([self.tools["wineserver"], "-p30"], 30, "starting wineserver", env=self.env)
        self.log.append(f"started wineserver ({time.monotonic() - started:.1f} s)")

    def finish(self, keep):
        started = time.monotonic()
        run([self.tools["wineserver"], "-k"], 30, "stopping wineserver", env=self.env)
        if not keep and self.prefix.exists():
            shutil.rmtree(self.prefix, ignore_errors=True)
        self.log.append(f"stopped wineserver, removed the prefix ({time.monotonic() - started:.1f} s)")

    # -- checks

    def check(self, condition, message):
        if not condition:
            self.failures.append(message)
        return condition

    def equal(self, actual, expected, what):
        if isinstance(expected, set) and isinstance(actual, set) and actual != expected:
            return self.check(False, f"{what}: missing {sorted(expected - actual, key=repr)!r}; "
                                     f"unexpected {sorted(actual - expected, key=repr)!r}")
        return self.check(actual == expected, f"{what}: expected {expected!r}, got {actual!r}")

    # -- files under drive_c, named by Windows paths on C:

    def host_path(self, windows_path, must_exist=False):
        """The host path of C:\\..., each component found without regard to case."""
        parts = [p for p in windows_path.replace("/", "\\").split("\\") if p and p != "C:"]
        path = self.drive_c
        for part in parts:
            exact = path / part
            if not exact.exists() and path.is_dir():
                for entry in path.iterdir():
                    if entry.name.lower() == part.lower():
                        exact = entry
                        break
            path = exact
        if must_exist and not path.exists():
            raise Failure(f"missing: {windows_path}")
        return path

    def put(self, windows_path, data):
        path = self.host_path(windows_path)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        if windows_path.lower() != "\\seed.reg":
            self.device_files[windows_path] = data

    def make_read_only(self, windows_path):
        self.host_path(windows_path, must_exist=True).chmod(0o444)
        self.read_only.add(windows_path)

    def remove_installer(self):
        self.host_path("\\Windows\\wceload.exe", must_exist=True).unlink()
        self.installer_removed = True

    def stage(self, files):
        for name, data in files.items():
            self.put("\\Temp\\branding\\" + name, data)

    def exists(self, windows_path):
        return self.host_path(windows_path).exists()

    def read(self, windows_path):
        path = self.host_path(windows_path)
        return path.read_bytes() if path.is_file() else None

    def snapshot(self, windows_folder):
        """{relative path: bytes} of every file below a folder."""
        root = self.host_path(windows_folder)
        if not root.exists():
            return {}
        return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*"))
                if p.is_file()}

    # -- Wine

    def wine(self, args, timeout=60, what=None, cwd=None):
        started = time.monotonic()
        code, out = run(wine_command(self.tools) + list(args), timeout, what or args[0],
                        env=self.env, cwd=str(cwd or self.drive_c))
        self.log.append(f"$ wine {' '.join(args)} -> {code} "
                        f"({time.monotonic() - started:.1f} s)\n{out}")
        return code, out

    def seed_registry(self, text, reset=""):
        """Imports regedit text (version 5 layout) with Wine's regedit. `reset`
        goes in front: deletions ([-KEY], "NAME"=-) that clear what an earlier
        run in the same prefix left, and that the emulated device, which
        starts from the seed alone, does not need."""
        self.registry_seed += text
        self.put("\\seed.reg",
                 reg_file_bytes("Windows Registry Editor Version 5.00\n\n" + reset + text))
        code, out = self.wine(["regedit", "/s", "C:\\seed.reg"], what="regedit /s")
        if code != 0:
            raise Failure(f"regedit /s seed.reg failed ({code}): {out}")
        self.host_path("\\seed.reg").unlink()

    def reg_add(self, key, name, kind, data):
        code, out = self.wine(["reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f"],
                              what="reg add")
        if code != 0:
            raise Failure(f"reg add {key} {name} failed ({code}): {out}")
        roots = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER", "HKCR": "HKEY_CLASSES_ROOT"}
        root, _, rest = key.partition("\\")
        assert kind == "REG_DWORD", "only numbers are added this way"
        self.registry_seed += (f"[{roots.get(root, root)}\\{rest}]\n"
                               f'"{name}"=dword:{int(data):08x}\n\n')

    def reg_query(self, key, name):
        """Whether `reg query` finds the value."""
        code, _ = self.wine(["reg", "query", key, "/v", name], what="reg query")
        return code == 0

    def export_registry(self, label):
        """HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE\\Software (HKEY_CLASSES_ROOT
        lives there) as regedit /e exports them, parsed and merged."""
        roots = ("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE\\Software")
        files = [f"\\export-{label}-{n}.reg" for n in range(len(roots))]
        # Side by side: the second is by far the larger (HKEY_CLASSES_ROOT).
        started = time.monotonic()
        processes = [subprocess.Popen(wine_command(self.tools) +
                                      ["regedit", "/e", "C:" + file, root],
                                      cwd=str(self.drive_c), env=self.env,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                     for file, root in zip(files, roots)]
        codes = []
        for process in processes:
            try:
                codes.append(process.wait(max(1, started + 120 - time.monotonic())))
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(10)
                codes.append(None)
        self.log.append(f"$ wine regedit /e ({label}) -> {codes} "
                        f"({time.monotonic() - started:.1f} s)")
        keys = {}
        for file, root, code in zip(files, roots, codes):
            data = self.read(file)
            if code != 0 or data is None:
                raise Failure(f"regedit /e {root} failed (status {code})")
            shutil.move(str(self.host_path(file)), str(self.dir / file.lstrip("\\")))
            keys.update(parse_reg(data.decode("utf-16")))
        # HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\Software\Classes on desktop Windows.
        classes = "hkey_local_machine\\software\\classes"
        for low in [k for k in keys if k == classes or k.startswith(classes + "\\")]:
            path, values = keys[low]
            keys["hkey_classes_root" + low[len(classes):]] = (
                "HKEY_CLASSES_ROOT" + path[len(classes):], values)
        self.exports[label] = keys
        return keys

    # -- dialogs

    def find_windows(self, caption):
        code, out = run([self.tools["xdotool"], "search", "--name", f"^{re.escape(caption)}$"], 10,
                        "xdotool search", env=self.env)
        ids = out.split()
        return ids if code == 0 and ids and all(i.isdigit() for i in ids) else []

    def find_window(self, caption):
        ids = self.find_windows(caption)
        return ids[0] if ids else None

    def probe_dialog(self, caption, paths):
        """What the message box captioned `caption` shows, read from inside Wine."""
        self.probe_count += 1
        out_file = f"\\probe-{self.probe_count}.json"
        code, out = self.wine(["C:\\brandinst\\probe.exe", "dialog", caption, "10000",
                               "C:" + out_file] + list(paths), timeout=40, what="probe dialog")
        data = self.read(out_file)
        if code != 0 or data is None:
            raise Failure(f"probe could not read the dialog {caption!r} ({code}): {out}")
        return json.loads(data.decode("ascii"))

    def press(self, caption, window, key):
        """Sends `key` to the dialog's window until that window goes away. The
        key is sent again only while the same window is still there: a key
        sent after it closed would go to whatever has the focus next."""
        for _ in range(3):
            run([self.tools["xdotool"], "windowfocus", "--sync", window], 10, "xdotool windowfocus",
                env=self.env)
            if window not in self.find_windows(caption):
                return
            run([self.tools["xdotool"], "key", "--clearmodifiers", key], 10, "xdotool key",
                env=self.env)
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline:
                if window not in self.find_windows(caption):
                    return
                time.sleep(0.1)
        raise Failure(f"the dialog {caption!r} did not close on the key {key!r}")

    def run_program(self, words, answers=(), probe_paths=(), timeout=120, respond=None):
        """Runs brandinst.exe with `words`, answering the dialogs as `answers`
        lists them ((caption, "yes"|"no"|"ok"), in order). Fails on any other
        dialog. Or, with `respond` ({caption: answer}), answers whichever of
        those dialogs shows, in any number, none required. Returns (exit
        status, [what each dialog showed], seconds from the last answer to the
        program's end)."""
        files_before = self.drive_state()
        log = open(self.dir / "brandinst.log", "ab")
        # Wine's own error messages about the program go to its log.
        env = dict(self.env, WINEDEBUG=os.environ.get("BRANDINST_WINEDEBUG", "err+all"))
        process = subprocess.Popen(wine_command(self.tools) +
                                   ["C:\\brandinst\\brandinst.exe"] + words,
                                   stdin=subprocess.DEVNULL,
                                   cwd=str(self.host_path("\\brandinst")), env=env,
                                   stdout=log, stderr=subprocess.STDOUT)
        shown = []
        answered_at = None
        deadline = time.monotonic() + timeout
        pending = list(answers)
        try:
            while True:
                if time.monotonic() > deadline:
                    raise Failure(f"brandinst.exe {' '.join(words)} did not end within {timeout} s"
                                  f" (dialogs still expected: {pending})")
                for caption in (CONSENT, NOTICE):
                    window = self.find_window(caption)
                    if window is None:
                        continue
                    if respond is not None and caption in respond:
                        info = self.probe_dialog(caption, probe_paths)
                        info["caption"] = caption
                        shown.append(info)
                        self.press(caption, window, ANSWER_KEYS[respond[caption]])
                        answered_at = time.monotonic()
                        continue
                    if not pending or pending[0][0] != caption:
                        # Let the program go on, then fail the scenario.
                        self.failures.append(f"unexpected dialog {caption!r} "
                                             f"(expected {pending[0][0] if pending else 'none'})")
                        self.press(caption, window, "n" if caption == CONSENT else "Return")
                        continue
                    info = self.probe_dialog(caption, probe_paths)
                    info["caption"] = caption
                    shown.append(info)
                    self.press(caption, window, ANSWER_KEYS[pending.pop(0)[1]])
                    answered_at = time.monotonic()
                if process.poll() is not None:
                    break
                time.sleep(0.1)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait(10)
            log.close()
        ended = time.monotonic()
        self.log.append(f"$ brandinst.exe {' '.join(words)} -> {process.returncode} "
                        f"({ended - (deadline - timeout):.1f} s)")
        if pending:
            # What Wine said while the program ran is the evidence of why.
            said = (self.dir / "brandinst.log").read_text(encoding="utf-8", errors="replace")
            errors = [line for line in said.splitlines() if ":err:" in line][-10:]
            self.check(False, f"{DIALOG_NEVER_SHOWN}: {pending} (exit status {process.returncode} "
                              f"after {ended - (deadline - timeout):.1f} s; Wine's errors: "
                              f"{errors or 'none'})")
        if respond is not None:
            answers = list(answers) + list(respond.items())
        self.last_run = {"words": words, "answers": list(answers), "status": process.returncode,
                         "shown": shown, "files_before": files_before}
        return process.returncode, shown, (ended - answered_at if answered_at else None)

    # Files the tests themselves leave on C:, and Wine's own bookkeeping.
    HARNESS_FILES = re.compile(r"^(wceload\.log|seed\.reg|strings\.json|probe-\d+\.json|"
                               r"export-.*\.reg)$|^(windows\\(logs|temp|inf)\\|users\\)")

    def drive_state(self):
        """{lower-case path under C:: (path, size, mtime)} of every file."""
        state = {}
        for folder, _, names in os.walk(self.drive_c):
            for name in names:
                path = Path(folder) / name
                relative = str(path.relative_to(self.drive_c)).replace("/", "\\")
                if self.HARNESS_FILES.search(relative.lower()) or path.is_symlink():
                    continue
                info = path.stat()
                state[relative.lower()] = (relative, info.st_size, info.st_mtime_ns)
        return state

    def file_changes(self, before):
        """{lower-case path: bytes, or None when removed} since `before`."""
        after = self.drive_state()
        changes = {}
        for low, (relative, size, mtime) in after.items():
            if low not in before or before[low][1:] != (size, mtime):
                changes[low] = (self.drive_c / relative.replace("\\", "/")).read_bytes()
        for low in before:
            if low not in after:
                changes[low] = None
        return changes

    # -- the package installer's log

    def installer_log(self, expected_ends, timeout=30):
        """The stand-in installer's log, once it holds `expected_ends` "end"
        lines (a theme installer is not waited for by the program)."""
        deadline = time.monotonic() + timeout
        while True:
            data = self.read("\\wceload.log") or b""
            lines = [line.split("\t") for line in data.decode("utf-8").splitlines()]
            ends = sum(1 for line in lines if line[0] == "end")
            if ends >= expected_ends or time.monotonic() > deadline:
                return lines
            time.sleep(0.1)

    # -- the same scenario on the emulation

    def compare_with_brandsim(self):
        """Runs the scenario's last run again on brandsim, the emulated device,
        and checks that both end the same: dialogs, installer command lines,
        files and registry. Wine's restart trace stands for brandsim's
        recorded restart."""
        if self.brandsim is None:
            self.log.append("no brandsim given: not compared")
            return
        run_info = self.last_run
        device = self.dir / "device"
        fs = device / "fs"
        if device.exists():
            shutil.rmtree(device)
        (fs / "Windows" / "Favorites").mkdir(parents=True)
        if not self.installer_removed:
            (fs / "Windows" / "wceload.exe").write_bytes(b"stand-in")
        for windows_path, data in self.device_files.items():
            path = fs.joinpath(*[p for p in windows_path.split("\\") if p])
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
        for windows_path in self.read_only:
            fs.joinpath(*[p for p in windows_path.split("\\") if p]).chmod(0o444)
        seed = "Windows Registry Editor Version 5.00\n\n" + self.registry_seed
        (device / "registry.reg").write_bytes(reg_file_bytes(seed))
        installer_log = self.dir / "brandsim-installer.log"
        installer_log.unlink(missing_ok=True)
        installer = self.dir / "brandsim-installer.sh"
        installer.write_text('#!/bin/sh\nprintf \'%s\\n\' "$2" >> "$BRANDINST_INSTALLER_LOG"\n')
        installer.chmod(0o755)
        journal = self.dir / "brandsim-journal.jsonl"
        journal.unlink(missing_ok=True)

        def fs_state():
            return {str(p.relative_to(fs)).replace("/", "\\").lower(): p.read_bytes()
                    for p in fs.rglob("*") if p.is_file()}

        files_before = fs_state()
        command = [str(self.brandsim), "--device", str(device), "--installer", str(installer),
                   "--journal", str(journal), "--quiet"]
        consent = [answer for caption, answer in run_info["answers"] if caption == CONSENT]
        if consent:
            command += ["--answer", consent[0]]
        env = dict(os.environ, BRANDINST_INSTALLER_LOG=str(installer_log))
        code, out = run(command + ["--"] + run_info["words"], 60, "brandsim", env=env)
        self.log.append(f"$ {' '.join(command)} -> {code}\n{out}")
        if not self.equal(code, run_info["status"], f"brandsim exit status ({out.strip()})"):
            return
        events = [json.loads(line) for line in journal.read_text(encoding="utf-8").splitlines()]

        what = "brandsim and brandinst.exe under Wine differ: "
        self.equal([(e["caption"], e["text"]) for e in events if e["event"] == "dialog"],
                   [(d["caption"], d["text"]) for d in run_info["shown"]], what + "dialogs")
        wine_installs = [line[1] for line in self.installer_log(0, timeout=0) if line[0] == "start"]
        sim_installs = (installer_log.read_text(encoding="utf-8").splitlines()
                        if installer_log.exists() else [])
        self.equal(sim_installs, wine_installs, what + "installer command lines")

        files_after = fs_state()
        sim_files = {low: files_after.get(low) for low in set(files_before) | set(files_after)
                     if files_before.get(low) != files_after.get(low)}
        wine_files = self.file_changes(run_info["files_before"])
        # As sets, so that a difference names only the files that differ
        # ("missing": under Wine only; "unexpected": on brandsim only).
        self.equal(set(sim_files.items()), set(wine_files.items()), what + "files")

        roots = {("+key", r) for r in ("hkey_local_machine", "hkey_current_user",
                                       "hkey_classes_root")}
        sim_registry = registry_changes(
            with_ancestors(parse_reg(seed)),
            with_ancestors(parse_reg((device / "registry.reg").read_bytes().decode("utf-16"))))
        sim_registry -= roots
        wine_registry = registry_changes(self.exports["before"], self.exports["after"]) - roots
        trace = TRACE_KEY.lower()
        wine_restart = any(change[1] == trace for change in wine_registry)
        wine_registry = {change for change in wine_registry if change[1] != trace}
        self.equal(sim_registry, wine_registry, what + "registry")
        self.equal(any(e["event"] == "restart" for e in events), wine_restart, what + "restart")


# ---- Scenarios ----------------------------------------------------------------------

TODAY_SEED = r"""[HKEY_CURRENT_USER\Software\Microsoft\Today]
"Skin"="\\Windows\\default.tsk"
"UseStartImage"=dword:00000001
"Wall"="\\Windows\\tdywater.gif"
"WallFile"="\\Windows\\tdywater.gif"

[HKEY_LOCAL_MACHINE\Software\Apps]

"""

GATE_SEED = f"[{GATE_KEY}]\n\n"

GIF = bytes.fromhex("47494638396101000100800000000000ffffff21f90401000000002c00000000"
                    "010001000002024401003b")


def ini(text):
    """brand.ini: code page 1250 with CR LF, as the delivery's tools write it."""
    return cp1250(text.replace("\n", "\r\n"))


# Every byte from 0x80 up through the real MultiByteToWideChar(1250). The
# five that code page 1250 leaves undefined come out as the same code points.
HIGH_BYTES = bytes(range(0x80, 0x100))
HIGH_TEXT = "".join(chr(b) if b in (0x81, 0x83, 0x88, 0x90, 0x98) else bytes([b]).decode("cp1250")
                    for b in HIGH_BYTES)


def scenario_full_run(s):
    """No consent gate: every step of the run order, then the restart."""
    notice = "Branding installed.\r\nTap OK to restart."
    s.stage({
        "brand.ini": ini(
            "[ADDITIONAL_CABS]\n"
            'cab0="extra.cab"\n'
            'cab1="pkgs\\second.cab"\n'
            'cab3="never.cab"\n'
            "\n[skin]\n"
            'skin="\\Windows\\blue.tsk"\n'
            "\n[HOMEPAGE]\n"
            'start.hp="\\Windows\\Start Menu\\Web\\start.htm"\n'
            "\n[URLS]\n"
            'links.ur="\\Program Files\\Brand\\Links\\links.url"\n'
            "\n[REG_DEL_KEY]\n"
            'key0="HKEY_LOCAL_MACHINE\\Software\\OldBrand"\n'
            'key1="HKEY_CURRENT_USER\\Software\\Stará značka"\n'
            'key2="HKEY_LOCAL_MACHINE\\Software\\ExampleBrand\\Temporary"\n'),
        "extra.cab": b"first package",
        "pkgs\\second.cab": b"second package",
        "never.cab": b"listed after a gap",
        "logo.gif": GIF,
        "Banner.GIF": b"upper-case extension",
        "a.gifx": b"not an image: its short name A~1.GIF matches *.gif",
        "keep.gif": b"staged copy",
        "Home.url": b"[InternetShortcut]\r\nURL=http://example.invalid/\r\n",
        "blue.tsk": b"theme",
        "start.hp": b"<html>start</html>",
        "links.ur": b"links",
        "orphan.ur": b"no destination named",
        "settings.reg": cp1250(
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\ExampleBrand]\r\n"
            '@="Example default"\r\n'
            '"Name"="Example"\r\n'
            '"Owner"="Značka s.r.o."\r\n'
            '"Version"=dword:0000002a\r\n'
            '"Colors"=hex:00,33,66,99,cc,ff,\\\r\n'
            "  ff,cc,99,66,33,00\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\ExampleBrand\\Temporary]\r\n"
            '"Gone"="removed by the key list, which comes after the scripts"\r\n'
            "\r\n"
            "[HKEY_CURRENT_USER\\Software\\Microsoft\\Today]\r\n"
            '"Wall"="brandwall.gif"\r\n'
            "\r\n"
            "[HKEY_CURRENT_USER]\r\n"
            '"BrandRoot"="on the root key itself"\r\n') +
            b'\r\n[HKEY_LOCAL_MACHINE\\Software\\ExampleBrand\\Text]\r\n"High"="' + HIGH_BYTES +
            b'"\r\n',
        "reboot.msg": message_file(notice),
        "notes.txt": b"read-only, removed all the same",
    })
    s.make_read_only("\\Temp\\branding\\notes.txt")
    s.put("\\Windows\\keep.gif", b"already on the device")
    s.seed_registry(TODAY_SEED + r"""[HKEY_LOCAL_MACHINE\Software\OldBrand]
"Name"="Old Brand"

[HKEY_LOCAL_MACHINE\Software\OldBrand\Logos]
"Logo"="\\Windows\\oldlogo.gif"

[HKEY_CURRENT_USER\Software\Stará značka]
"Owner"="Stará značka s.r.o."

[HKEY_LOCAL_MACHINE\Software\Unrelated]
"Stays"="yes"

""")
    s.reg_add(r"HKLM\Software\Apps", "CABInst", "REG_DWORD", "3")
    before = s.export_registry("before")

    status, shown, after_ok = s.run_program(["inst"], [(NOTICE, "ok")],
                                            probe_paths=["C:\\Temp\\branding"])
    s.equal(status, 0, "exit status")
    if s.equal(len(shown), 1, "dialogs shown"):
        dialog = shown[0]
        s.equal(dialog["text"], notice, "notice text (reboot.msg without its mark)")
        s.equal((dialog["ok"], dialog["yes"], dialog["no"]), (True, False, False), "notice buttons")
        s.equal(dialog["exists"]["C:\\Temp\\branding"], False,
                "staging folder present while the notice is shown")
    s.check(after_ok is not None and after_ok >= 1.9,
            f"the program ended {after_ok} s after the notice, before its 2 s pause")

    # Fixed groups: whole names only, without regard to case; nothing replaced.
    s.equal(s.read("\\Windows\\logo.gif"), GIF, "\\Windows\\logo.gif")
    s.equal(s.read("\\Windows\\Banner.GIF"), b"upper-case extension", "\\Windows\\Banner.GIF")
    s.equal(s.exists("\\Windows\\a.gifx"), False, "a.gifx moved by *.gif")
    s.equal(s.read("\\Windows\\keep.gif"), b"already on the device", "existing keep.gif")
    s.equal(s.read("\\Windows\\Favorites\\Home.url")[:18], b"[InternetShortcut]",
            "\\Windows\\Favorites\\Home.url")
    s.equal(s.read("\\Windows\\blue.tsk"), b"theme", "\\Windows\\blue.tsk")
    # Mapped groups, their folders made first.
    s.equal(s.read("\\Windows\\Start Menu\\Web\\start.htm"), b"<html>start</html>", "start.htm")
    s.equal(s.read("\\Program Files\\Brand\\Links\\links.url"), b"links", "links.url")
    s.equal(s.exists("\\Temp\\branding"), False, "staging folder removed (with pkgs\\, notes.txt)")
    staged = ["brand.ini", "extra.cab", "pkgs\\second.cab", "never.cab", "logo.gif", "banner.gif",
              "a.gifx", "keep.gif", "home.url", "blue.tsk", "start.hp", "links.ur", "orphan.ur",
              "settings.reg", "reboot.msg", "notes.txt"]
    placed = ["windows\\logo.gif", "windows\\banner.gif", "windows\\favorites\\home.url",
              "windows\\blue.tsk", "windows\\start menu\\web\\start.htm",
              "program files\\brand\\links\\links.url"]
    changes = s.file_changes(s.last_run["files_before"])
    s.equal({path: data is None for path, data in changes.items()},
            {**{"temp\\branding\\" + name: True for name in staged},
             **{path: False for path in placed}}, "file changes (True: removed)")
    s.equal(sorted(p.name for p in s.host_path("\\Temp").iterdir()), [], "what is left in \\Temp")

    # Packages in order, each waited for and found in place; the theme after
    # the fixed groups (its file already moved), never the package after a gap.
    lines = s.installer_log(3)
    events = [(line[0], line[1]) for line in lines]
    s.equal(events, [
        ("start", '/noui "\\Temp\\Branding\\extra.cab"'),
        ("end", '/noui "\\Temp\\Branding\\extra.cab"'),
        ("start", '/noui "\\Temp\\Branding\\pkgs\\second.cab"'),
        ("end", '/noui "\\Temp\\Branding\\pkgs\\second.cab"'),
        ("start", '/safe /noui /nouninstall /delete 0 "\\Windows\\blue.tsk"'),
        ("end", '/safe /noui /nouninstall /delete 0 "\\Windows\\blue.tsk"'),
    ], "package installer log")
    starts = [line for line in lines if line[0] == "start"]
    if s.equal(len(starts), 3, "installer starts"):
        s.equal([line[2] for line in starts], ["1", "1", "1"], "package files present at install")
        staged = starts[0][3].lower().split("|")
        s.check("logo.gif" in staged and "start.hp" in staged,
                f"the first package ran before any file was placed (staged: {staged})")

    after = s.export_registry("after")
    s.equal(registry_changes(before, after), {
        ("+key", "hkey_local_machine\\software\\examplebrand"),
        ("set", "hkey_local_machine\\software\\examplebrand", "", ("sz", "Example default")),
        ("set", "hkey_local_machine\\software\\examplebrand", "name", ("sz", "Example")),
        ("set", "hkey_local_machine\\software\\examplebrand", "owner", ("sz", "Značka s.r.o.")),
        ("set", "hkey_local_machine\\software\\examplebrand", "version", ("dword", 42)),
        ("set", "hkey_local_machine\\software\\examplebrand", "colors",
         ("hex", bytes.fromhex("00336699ccffffcc99663300"))),
        ("+key", "hkey_local_machine\\software\\examplebrand\\text"),
        ("set", "hkey_local_machine\\software\\examplebrand\\text", "high", ("sz", HIGH_TEXT)),
        ("set", "hkey_current_user", "brandroot", ("sz", "on the root key itself")),
        ("set", "hkey_current_user\\software\\microsoft\\today", "skin",
         ("sz", "\\Windows\\blue.tsk")),
        ("set", "hkey_current_user\\software\\microsoft\\today", "wall", ("sz", "brandwall.gif")),
        ("set", "hkey_current_user\\software\\microsoft\\today", "wallfile", ("sz", "")),
        ("-value", "hkey_current_user\\software\\microsoft\\today", "usestartimage"),
        ("-key", "hkey_local_machine\\software\\oldbrand"),
        ("-key", "hkey_local_machine\\software\\oldbrand\\logos"),
        ("-key", "hkey_current_user\\software\\stará značka"),
        ("-value", "hkey_local_machine\\software\\apps", "cabinst"),
        ("+key", TRACE_KEY.lower()),
        ("set", TRACE_KEY.lower(), "restartrequested", ("dword", 1)),
    }, "registry changes")
    s.compare_with_brandsim()


def scenario_consent_yes(s):
    """The gate asks, the user agrees, and no restart is requested: the steps
    run and the device stays up."""
    question = "Install the Example branding? " + "x" * 300
    s.stage({
        "brand.ini": ini('[HOMEPAGE]\nstart.hp="\\Windows\\start.htm"\n'),
        "logo.gif": GIF,
        "start.hp": b"start",
        "inst.msg": message_file(question),
    })
    s.seed_registry(TODAY_SEED + GATE_SEED)
    before = s.export_registry("before")
    status, shown, _ = s.run_program(["inst"], [(CONSENT, "yes")],
                                     probe_paths=["C:\\Temp\\branding\\logo.gif"])
    s.equal(status, 0, "exit status")
    if s.equal(len(shown), 1, "dialogs shown"):
        dialog = shown[0]
        # 510 bytes are read: the mark and 254 code units.
        s.equal(dialog["text"], question[:254], "consent text (inst.msg, first 510 bytes)")
        s.equal((dialog["yes"], dialog["no"], dialog["ok"]), (True, True, False),
                "consent buttons")
        s.equal(dialog["exists"]["C:\\Temp\\branding\\logo.gif"], True,
                "logo.gif still staged while consent is asked")
    s.equal(s.read("\\Windows\\logo.gif"), GIF, "\\Windows\\logo.gif")
    s.equal(s.read("\\Windows\\start.htm"), b"start", "\\Windows\\start.htm")
    s.equal(s.exists("\\Temp\\branding"), False, "staging folder removed")
    s.equal(s.exists("\\wceload.log"), False, "package installer started")
    s.equal(registry_changes(before, s.export_registry("after")), set(), "registry changes")
    s.compare_with_brandsim()


def scenario_consent_yes_restart(s):
    """Consent given and a restart requested: the notice comes from the
    string table (no reboot.msg), in Czech and whole."""
    question = "Install?\r\nNo byte-order mark here."
    s.stage({
        "brand.ini": ini("[LENGREBOOT]\nreboot=\"1\"\n"),
        "inst.msg": message_file(question, mark=False),
        "logo.gif": GIF,
    })
    s.seed_registry(TODAY_SEED + GATE_SEED)
    before = s.export_registry("before")
    status, shown, _ = s.run_program(["inst"], [(CONSENT, "yes"), (NOTICE, "ok")])
    s.equal(status, 0, "exit status")
    strings = read_string_table(s.source)
    if s.equal(len(shown), 2, "dialogs shown"):
        s.equal(shown[0]["text"], question, "consent text (inst.msg without a mark)")
        s.equal(shown[1]["text"], strings[1], "notice text (string 1)")
        s.equal(utf16_units(shown[1]["text"]), 131, "notice length in code units")
    s.equal(s.read("\\Windows\\logo.gif"), GIF, "\\Windows\\logo.gif")
    s.equal(s.exists("\\Temp\\branding"), False, "staging folder removed")
    s.equal(registry_changes(before, s.export_registry("after")), {
        ("+key", TRACE_KEY.lower()),
        ("set", TRACE_KEY.lower(), "restartrequested", ("dword", 1)),
    }, "registry changes")
    s.compare_with_brandsim()


def scenario_consent_no(s):
    """The user refuses: the staging folder goes and nothing else changes."""
    s.stage({
        "brand.ini": ini('[ADDITIONAL_CABS]\ncab0="extra.cab"\n[LENGREBOOT]\nreboot="1"\n'),
        "extra.cab": b"package",
        "logo.gif": GIF,
        "settings.reg": b'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Refused]\r\n"A"="b"\r\n',
    })
    s.seed_registry(TODAY_SEED + GATE_SEED)
    before = s.export_registry("before")
    status, shown, _ = s.run_program(["inst"], [(CONSENT, "no")])
    s.equal(status, 0, "exit status")
    if s.equal(len(shown), 1, "dialogs shown"):
        s.equal(shown[0]["text"], read_string_table(s.source)[2], "consent text (string 2)")
    s.equal(s.exists("\\Temp\\branding"), False, "staging folder removed")
    s.equal(s.exists("\\wceload.log"), False, "package installer started")
    s.equal(s.file_changes(s.last_run["files_before"]),
            {"temp\\branding\\" + name: None for name in ("brand.ini", "extra.cab", "logo.gif",
                                                          "settings.reg")},
            "file changes (only the staged files removed)")
    s.equal(registry_changes(before, s.export_registry("after")), set(), "registry changes")
    s.compare_with_brandsim()


def scenario_marker_holds(s):
    """CABInst = 7 holds the restart back, and is consumed; without the
    package installer the packages are skipped and the run goes on."""
    s.stage({
        "brand.ini": ini('[ADDITIONAL_CABS]\ncab0="extra.cab"\n[LENGREBOOT]\nreboot="1"\n'),
        "extra.cab": b"package",
        "logo.gif": GIF,
    })
    s.remove_installer()
    s.seed_registry(TODAY_SEED)
    s.reg_add(r"HKLM\Software\Apps", "CABInst", "REG_DWORD", "7")
    before = s.export_registry("before")
    status, shown, _ = s.run_program(["inst"], [])
    s.equal(status, 0, "exit status")
    s.equal(shown, [], "dialogs shown")
    s.equal(s.read("\\Windows\\logo.gif"), GIF, "\\Windows\\logo.gif")
    s.equal(s.exists("\\Temp\\branding"), False, "staging folder removed")
    s.equal(s.reg_query(r"HKLM\Software\Apps", "CABInst"), False, "CABInst after the run")
    s.equal(registry_changes(before, s.export_registry("after")), {
        ("-value", "hkey_local_machine\\software\\apps", "cabinst"),
    }, "registry changes")
    s.compare_with_brandsim()


def scenario_empty_device(s):
    """No staging folder at all and no gate: the device still restarts after
    the notice, whose text comes from the string table."""
    s.seed_registry(TODAY_SEED)
    before = s.export_registry("before")
    status, shown, _ = s.run_program(["inst"], [(NOTICE, "ok")])
    s.equal(status, 0, "exit status")
    if s.equal(len(shown), 1, "dialogs shown"):
        s.equal(shown[0]["text"], read_string_table(s.source)[1], "notice text (string 1)")
    s.equal(registry_changes(before, s.export_registry("after")), {
        ("+key", TRACE_KEY.lower()),
        ("set", TRACE_KEY.lower(), "restartrequested", ("dword", 1)),
    }, "registry changes")
    s.compare_with_brandsim()


def scenario_device_names(s):
    """Names that desktop Windows keeps for its devices (NUL, AUX, CON, COM1,
    LPT1, with any extension) are plain files on the device: the script is
    read, the image placed, and the staging folder removed."""
    s.seed_registry(TODAY_SEED)
    s.stage({
        "nul.reg": cp1250(
            "REGEDIT4\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\DeviceNames]\r\n"
            '"Read"=dword:00000001\r\n'),
        "aux.gif": GIF,
        "Com1.GIF": b"a second image",
        "con.txt": b"left for the clean-up",
        "lpt1": b"no extension",
    })
    before = s.export_registry("before")
    status, _, _ = s.run_program(["inst"], [(NOTICE, "ok")])
    s.equal(status, 0, "exit status")
    s.equal(s.read("\\Windows\\aux.gif"), GIF, "aux.gif placed")
    s.equal(s.read("\\Windows\\Com1.GIF"), b"a second image", "Com1.GIF placed")
    s.check(not s.exists("\\Temp\\branding"), "the staging folder is removed")
    s.equal(registry_changes(before, s.export_registry("after")), {
        ("+key", "hkey_local_machine\\software\\devicenames"),
        ("set", "hkey_local_machine\\software\\devicenames", "read", ("dword", 1)),
        ("+key", TRACE_KEY.lower()),
        ("set", TRACE_KEY.lower(), "restartrequested", ("dword", 1)),
    }, "registry changes")
    s.compare_with_brandsim()


def scenario_wildcard(s):
    """The wildcard rule both backends list with, against FindFirstFileW."""
    code, out = s.wine(["C:\\brandinst\\wildcard.exe", "C:\\wildcard"], timeout=60,
                       what="wildcard check")
    s.check(code == 0, f"FindFirstFileW and the wildcard rule differ ({code}):\n{out}")


def scenario_command_line(s):
    """Only the exact word `inst` runs the installation."""
    files = {
        "brand.ini": ini('[ADDITIONAL_CABS]\ncab0="extra.cab"\n'),
        "extra.cab": b"package",
        "logo.gif": GIF,
        "settings.reg": b'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Ran]\r\n"A"="b"\r\n',
    }
    s.stage(files)
    s.seed_registry(TODAY_SEED + GATE_SEED)
    before = s.export_registry("before")
    for words in (["unin"], ["Inst"], ["INST"], [], ["inst", "now"]):
        status, shown, _ = s.run_program(words, [], timeout=60)
        s.equal(status, 0, f"exit status for {words}")
        s.equal(shown, [], f"dialogs shown for {words}")
    s.equal(s.snapshot("\\Temp\\branding"), files, "staged files")
    s.equal(s.file_changes(s.last_run["files_before"]), {}, "file changes")
    s.equal(s.exists("\\Windows\\logo.gif"), False, "\\Windows\\logo.gif")
    s.equal(s.exists("\\wceload.log"), False, "package installer started")
    s.equal(registry_changes(before, s.export_registry("after")), set(), "registry changes")


def scenario_string_table(s):
    """The resource holds the Czech table, and LoadStringW gives each text whole."""
    strings = read_string_table(s.source)
    code, out = s.wine(["C:\\brandinst\\probe.exe", "strings", "C:\\brandinst\\brandinst.exe",
                        "C:\\strings.json"], what="probe strings")
    data = s.read("\\strings.json")
    if not s.check(code == 0 and data is not None, f"probe strings failed ({code}): {out}"):
        return
    table = json.loads(data.decode("ascii"))
    s.equal(table["czech"], True, "a Czech (0x0405) string table")
    for string_id in (1, 2):
        entry = table[str(string_id)]
        s.equal(entry["text"], strings[string_id], f"string {string_id}")
        s.equal(entry["copied"], utf16_units(strings[string_id]), f"string {string_id} length")
    s.equal(table["1"]["copied"], 131, "string 1 length in code units")


SCENARIOS = {
    "full_run": scenario_full_run,
    "consent_yes": scenario_consent_yes,
    "consent_yes_restart": scenario_consent_yes_restart,
    "consent_no": scenario_consent_no,
    "marker_holds": scenario_marker_holds,
    "empty_device": scenario_empty_device,
    "command_line": scenario_command_line,
    "string_table": scenario_string_table,
    "device_names": scenario_device_names,
    "wildcard": scenario_wildcard,
}


# ---- Commands -----------------------------------------------------------------------


def command_setup(args):
    # The program is built before Wine is looked at, so that a machine that
    # cannot run this build's Wine still checks that it builds.
    tools = require_tools(["mingw", "cmake"])
    source = Path(args.source).resolve()
    work = Path(args.work).resolve()
    work.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()

    # brandinst.exe from this build's mingw preset, brought up to date. Every
    # host build tree's tests use the one build folder: one build at a time.
    preset = ARCHES[ARCH]["preset"]
    (source / "build").mkdir(exist_ok=True)
    with open(source / "build" / f".{preset}-build.lock", "w") as lock:
        deadline = time.monotonic() + 600
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise Failure("another mingw build held its lock for 600 s")
                time.sleep(0.5)
        for command in (["cmake", "--preset", preset], ["cmake", "--build", "--preset", preset]):
            code, out = run(command, 600, " ".join(command), cwd=str(source))
            if code != 0:
                raise Failure(f"{' '.join(command)} failed ({code}):\n{out}")
    exe = source / "build" / preset / "src" / "platform" / "win32" / "brandinst.exe"
    if not exe.is_file():
        raise Failure(f"the mingw build made no {exe}")

    # The helpers, Windows programs too.
    bin_dir = work / "bin"
    bin_dir.mkdir(exist_ok=True)
    helpers = Path(__file__).resolve().parent / "helpers"
    # The wildcard check is built with the device program's own matcher.
    matcher = [f"-I{source / 'src'}", str(source / "src" / "platform" / "wildcard.cpp"),
               str(source / "src" / "platform" / "text.cpp")]
    for name, subsystem, extra in (("wceload", "-mwindows", []), ("probe", "-mconsole", []),
                                   ("wildcard", "-mconsole", matcher)):
        command = [tools["mingw"], "-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", "-municode",
                   subsystem, "-static", "-s", "-o", str(bin_dir / f"{name}.exe"),
                   str(helpers / f"{name}.cpp")] + extra
        code, out = run(command, 300, f"building {name}.exe")
        if code != 0:
            raise Failure(f"building {name}.exe failed ({code}):\n{out}")

    tools.update(require_tools(["wine", "wineserver", "xvfb-run", "xdotool"]))

    # The prefix every scenario copies.
    template = work / "template"
    if template.exists():
        run([tools["wineserver"], "-k"], 30, "wineserver -k", env=wine_environment(template))
        shutil.rmtree(template)
    env = wine_environment(template)
    code, out = run(wine_command(tools) + ["wineboot", "-i"], 300, "wineboot -i", env=env)
    if code != 0:
        raise Failure(f"wineboot -i failed ({code}):\n{out}")
    run([tools["wineserver"], "-w"], 120, "wineserver -w", env=env)
    drive_c = template / "drive_c"
    if not (drive_c / "windows").is_dir():
        raise Failure(f"wineboot made no {drive_c / 'windows'}:\n{out}")
    (drive_c / "windows" / "Favorites").mkdir(exist_ok=True)
    (drive_c / "brandinst").mkdir(exist_ok=True)
    shutil.copy2(bin_dir / "wceload.exe", drive_c / "windows" / "wceload.exe")
    shutil.copy2(bin_dir / "probe.exe", drive_c / "brandinst" / "probe.exe")
    shutil.copy2(bin_dir / "wildcard.exe", drive_c / "brandinst" / "wildcard.exe")
    shutil.copy2(exe, drive_c / "brandinst" / "brandinst.exe")
    (work / "ready").write_text(f"{exe}\n")
    print(f"setup: {exe} ({exe.stat().st_size} bytes) and a prefix at {template} "
          f"in {time.monotonic() - started:.1f} s")
    return 0


def command_run(args):
    tools = require_tools(["wine", "wineserver", "xvfb-run", "xdotool"])
    if args.name not in SCENARIOS:
        print(f"unknown scenario {args.name!r}; known: {', '.join(SCENARIOS)}", file=sys.stderr)
        return 2
    if os.environ.get("BRANDINST_WINE_XVFB") != "1":
        # A display of its own for each scenario, so that scenarios can run
        # side by side; -a moves on from the given number when it is taken.
        number = 120 + 10 * list(SCENARIOS).index(args.name)
        env = dict(os.environ, BRANDINST_WINE_XVFB="1")
        command = [tools["xvfb-run"], "-a", "-n", str(number), "-s",
                   "-screen 0 1024x768x24 -nolisten tcp", sys.executable,
                   str(Path(__file__).resolve())] + sys.argv[1:]
        return subprocess.run(command, env=env).returncode
    work = Path(args.work).resolve()
    if not (work / "ready").is_file() or not (work / "template").is_dir():
        print(f"FAILED: no prepared prefix in {work}: run the setup first "
              f"(ctest runs the wine.setup test for this)", file=sys.stderr)
        return 1
    brandsim = Path(args.brandsim).resolve() if args.brandsim else None
    if brandsim is not None and not brandsim.is_file():
        print(f"FAILED: no brandsim at {brandsim}", file=sys.stderr)
        return 1
    started = time.monotonic()
    session = Session(args.name, work, Path(args.source).resolve(), tools, brandsim)
    try:
        session.start()
        SCENARIOS[args.name](session)
    except Failure as error:
        session.failures.append(str(error))
    finally:
        session.finish(keep=os.environ.get("BRANDINST_WINE_KEEP") == "1")
        (session.dir / "wine.log").write_text("\n".join(session.log), encoding="utf-8")
    seconds = time.monotonic() - started
    if session.failures:
        print(f"FAILED: {args.name} ({seconds:.1f} s); logs in {session.dir}")
        for failure in session.failures:
            print(f"  - {failure}")
        return 1
    print(f"passed: {args.name} ({seconds:.1f} s)")
    return 0


def command_cleanup(args):
    work = Path(args.work).resolve()
    template = work / "template"
    if template.exists():
        server = find_wineserver()
        if server:
            run([server, "-k"], 30, "wineserver -k", env=wine_environment(template))
        shutil.rmtree(template, ignore_errors=True)
    scenarios = work / "scenarios"
    if scenarios.exists() and os.environ.get("BRANDINST_WINE_KEEP") != "1":
        for entry in scenarios.iterdir():
            shutil.rmtree(entry / "prefix", ignore_errors=True)
    (work / "ready").unlink(missing_ok=True)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    setup = commands.add_parser("setup")
    setup.add_argument("--source", required=True)
    setup.add_argument("--work", required=True)
    one = commands.add_parser("run")
    one.add_argument("name")
    one.add_argument("--source", required=True)
    one.add_argument("--work", required=True)
    one.add_argument("--brandsim", help="also run the scenario on brandsim and compare")
    cleanup = commands.add_parser("cleanup")
    cleanup.add_argument("--work", required=True)
    for command in (setup, one, cleanup):
        command.add_argument("--arch", choices=sorted(ARCHES), default="win64",
                             help="which build: win64 (the mingw preset) or win32 (mingw32)")
    commands.add_parser("list")
    commands.add_parser("runs-32bit", help="exit status 0 when this machine starts 32-bit "
                                           "programs, 1 when not")
    args = parser.parse_args()
    global ARCH
    ARCH = getattr(args, "arch", ARCH)
    try:
        if args.command == "setup":
            return command_setup(args)
        if args.command == "run":
            return command_run(args)
        if args.command == "cleanup":
            return command_cleanup(args)
        if args.command == "runs-32bit":
            return 0 if runs_32bit_programs() else 1
        print("\n".join(SCENARIOS))
        return 0
    except Failure as error:
        print(f"FAILED: {error}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
