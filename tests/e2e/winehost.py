"""Running the built Windows programs under Wine for the end-to-end tests.

The tests run inside the Wine prefix and display that scripts/test set up (WINEPREFIX, DISPLAY);
the build tree is given by PELLMORROW_BUILD (default: build/windows of the checkout).
"""
import json
import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("PELLMORROW_BUILD", ROOT / "build" / "windows"))
# The Linux build of the stamping tool: the one that stamps signed copies.
NATIVE_STAMP = Path(os.environ.get("PELLMORROW_NATIVE_BUILD", ROOT / "build" / "native")) / "stamp"

sys.path.insert(0, str(ROOT / "tests"))
from signing import TestPublisher  # noqa: E402
INSTALLER = BUILD / "PellmorrowInstaller.exe"
DRIVER = BUILD / "tests" / "e2e" / "e2e_driver.exe"
FAKE_GAME = BUILD / "tests" / "e2e" / "Pellmorrow.exe"
PREFIX = Path(os.environ["WINEPREFIX"])
DRIVE_C = PREFIX / "drive_c"


def wine(*args, env=None, timeout=120):
    """Runs a Windows program; its output goes through files, never through a pipe that Wine's
    daemons could keep open."""
    out_path = BUILD / "e2e-out.txt"
    with open(out_path, "wb") as out:
        code = subprocess.call(["wine", *map(str, args)], stdout=out, stderr=subprocess.DEVNULL,
                               stdin=subprocess.DEVNULL, env={**os.environ, **(env or {})},
                               timeout=timeout)
    return code, out_path.read_text(encoding="utf-8", errors="replace")


def drive(command, exe=INSTALLER, env=None):
    """Runs the test driver and returns its JSON report."""
    code, out = wine(DRIVER, command, exe, env=env)
    assert code == 0, f"driver {command} failed with {code}: {out}"
    return json.loads(out)


def reg_add(key, name, data, kind="REG_SZ"):
    code, out = wine("reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f")
    assert code == 0, out


def reg_import(key, values):
    """Sets REG_SZ values through a .reg file: unlike a command line under Wine, a file carries
    text with any characters into the prefix."""
    roots = {"HKCU": "HKEY_CURRENT_USER", "HKLM": "HKEY_LOCAL_MACHINE"}
    root, _, rest = key.partition("\\")
    lines = ["Windows Registry Editor Version 5.00", "", f"[{roots.get(root, root)}\\{rest}]"]
    for name, data in values.items():
        quoted = data.replace("\\", "\\\\").replace('"', '\\"')
        lines.append(f'"{name}"="{quoted}"')
    path = BUILD / "e2e-import.reg"
    path.write_bytes(("\r\n".join(lines) + "\r\n").encode("utf-16"))
    code, out = wine("reg", "import", windows_path(path))
    assert code == 0, out


def program_argument(path):
    """The driver's EXE argument for a program whose path may hold any characters: @FILE, with
    the path in FILE."""
    listing = BUILD / "e2e-program.txt"
    listing.write_text(windows_path(path), encoding="utf-8")
    return "@" + windows_path(listing)


def reg_delete(key):
    wine("reg", "delete", key, "/f")


def reg_query(key):
    """The values of a key as {name: (type, data)}, or None when the key is missing."""
    code, out = wine("reg", "query", key)
    if code != 0:
        return None
    values = {}
    for line in out.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0]] = (parts[1], parts[2] if len(parts) > 2 else "")
    return values


def windows_path(path):
    """The Windows name of a file: on C: inside the prefix's drive_c, on Z: (the Unix root) else."""
    path = Path(path).resolve()
    if path.is_relative_to(DRIVE_C.resolve()):
        return "C:\\" + str(path.relative_to(DRIVE_C.resolve())).replace("/", "\\")
    return "Z:" + str(path).replace("/", "\\")


def _leftovers(folder):
    return {*folder.glob("Pellmorrow-*/*"), *folder.glob("QVTInstaller.exe")}


def temp_leftovers():
    """What installer runs have left so far in the prefix's temporary folders: a run killed by
    an earlier test may have left its files, which are not the next run's doing."""
    found = set()
    for folder in [*DRIVE_C.glob("users/*/AppData/Local/Temp"), *DRIVE_C.glob("users/*/Temp"), DRIVE_C / "windows" / "temp"]:
        found |= _leftovers(folder)
    return found


def left_in_temp(temp, before=frozenset()):
    """What installer runs left in the temporary folder (its Windows name, as the driver reports
    it) that was not there `before` (temp_leftovers): anything in their folders (Pellmorrow-*),
    and setup programs, by relative path."""
    folder = DRIVE_C / temp.rstrip("\\")[3:].replace("\\", "/")
    return sorted(str(path.relative_to(folder)) for path in _leftovers(folder) - set(before))


def publisher():
    """The tests' code-signing publisher, its certificate made once per build tree."""
    return TestPublisher(BUILD / "e2e-publisher")


def native_stamp(source, target, affiliate, remarks):
    done = subprocess.run([str(NATIVE_STAMP), str(source), str(target), "--affiliate", str(affiliate),
                           "--remarks", remarks], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr


class DriverEvents:
    """What the driver has seen so far, as it sees it (its events=FILE option): a test's server
    waits on it, so that what the window must show is shown before the server goes on, however
    slowly the machine runs the installer."""

    def __init__(self, path):
        self.path = Path(path)
        self.path.unlink(missing_ok=True)

    def option(self):
        return "events=" + windows_path(self.path)

    def lines(self):
        try:
            return self.path.read_text(encoding="utf-8", errors="replace").splitlines()
        except FileNotFoundError:
            return []

    def positions(self):
        return [line for line in self.lines() if line.startswith("position ")]

    def wait(self, condition, timeout=60):
        """Waits until `condition` (a line, or a function of the lines) holds; False if it did
        not within `timeout` seconds."""
        test = condition if callable(condition) else (lambda lines: condition in lines)
        deadline = time.monotonic() + timeout
        while not test(self.lines()):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.02)
        return True
