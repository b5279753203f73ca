#!/usr/bin/env python3
"""The x86_64 setup program under wine64: silent install and uninstall against the host stand-in.

Each case seeds the registry of a Wine prefix of these tests' own: the host's uninstall entry
(pointing at a temporary folder that holds the stand-in as FTPQuorbit.exe) unless the case has
no host, and a complete global configuration, with which the module asks nothing and starts
nothing when the setup installs it; without one, the module shows its configuration dialog
and dialog_confirmer.exe answers it as a user would, so that the module goes on to the host.
Then each case runs the setup with /S, checks the installed files, the uninstall entry and the
event source, runs the uninstaller with /S, checks the command lines that the stand-in
recorded, and that nothing is left.

The uninstaller normally copies itself to the temporary folder and returns at once; to wait
for it, the test runs such a copy itself with "_?=<folder>", as NSIS does. That argument, like
/D=, must not be quoted, so it is handed to Wine split at its blanks.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import typing
import unittest

ARGS = None
UNINSTALL_ENTRY = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall\QBNotifyAddOn"
EVENT_SOURCE = r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog\Application\QBNotifyAddOn"
HOST_ENTRY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\FTP Quorbit_is1"
GLOBAL_CONFIGURATION = (r"HKEY_USERS\.DEFAULT\Software\Tarsk Software\FTP Quorbit Notify\Configurations"
                        r"\QBNotifyAddOn Global Configuration")
CREATED_FOLDER = "QBNotifyAddOn: Created Folder"
TIMEOUT = 120


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(*args, check=True):
    env = dict(os.environ, QB_WINE_PREFIX=ARGS.prefix)
    try:
        result = subprocess.run([ARGS.wine_run, *args], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        subprocess.run(["wineserver", "-k"], env=dict(env, WINEPREFIX=ARGS.prefix), check=False)
        raise AssertionError(f"{args[0]} did not end within {TIMEOUT} s (does a window wait for a user?)")
    if check and result.returncode != 0:
        raise AssertionError(f"{args} ended with {result.returncode}: {result.stderr.decode(errors='replace')}")
    return result


def reg_import(lines):
    """Applies REGEDIT4 lines (a "[-key]" deletes the key) to the 64-bit view in one call."""
    with tempfile.TemporaryDirectory(prefix="qbnotify-reg-") as temp:
        path = os.path.join(temp, "seed.reg")
        with open(path, "w", encoding="cp1252", newline="\r\n") as f:
            f.write("REGEDIT4\n\n" + "\n".join(lines) + "\n")
        wine("reg", "import", windows_path(path), "/reg:64")


def reg_text(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_values(key):
    """The values of `key` in the 64-bit view as {name: (type, text)}; None when it is missing."""
    result = wine("reg", "query", key, "/reg:64", check=False)
    if result.returncode != 0:
        return None
    values = {}
    for line in result.stdout.decode("utf-8", errors="replace").splitlines():
        if line.startswith("    "):
            name, kind, *text = line[4:].split("    ", 2)
            values[name] = (kind, text[0] if text else "")
    return values


def tree(root):
    """Every file and folder below `root`, relative, folders with a trailing slash."""
    entries = set()
    for folder, dirs, files in os.walk(root):
        relative = os.path.relpath(folder, root)
        for name in dirs:
            entries.add(os.path.normpath(os.path.join(relative, name)) + "/")
        for name in files:
            entries.add(os.path.normpath(os.path.join(relative, name)))
    return entries


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def wait_for_launches(record, count):
    """The stand-in's record once it holds `count` launches (two lines each), or as it is after 30 s."""
    def recorded():
        return read_bytes(record) if os.path.exists(record) else b""

    deadline = time.monotonic() + 30
    while recorded().count(b"\n") < 2 * count and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(0.3)  # a launch too many would show now
    return recorded()


class Case(typing.NamedTuple):
    name: str
    host: bool = True              # the host's uninstall entry points at the stand-in
    settings_complete: bool = True  # else the module asks for them and a user confirms
    other_addons: str = None       # a folder below the temporary one that already holds another add-on
    chosen: str = None             # /D=, below the temporary folder


class SetupTest(unittest.TestCase):
    CASES = [
        Case("HostAddOnFolder"),
        Case("HostAddOnFolderOfOtherAddOns", other_addons="FTP Quorbit/AddOns"),
        Case("ChosenFolder", chosen="chosen place/deeper/QBNotifyAddOn"),
        Case("NoHost", host=False),
        Case("SettingsAskedFor", settings_complete=False),
    ]

    def reset(self, *seed):
        """Removes what a case (or an earlier, failed run) left in the prefix, then adds `seed`."""
        reg_import([f"[-{key}]" for key in (UNINSTALL_ENTRY, EVENT_SOURCE, HOST_ENTRY, GLOBAL_CONFIGURATION)] +
                   list(seed))
        shutil.rmtree(self.program_files_folder(), ignore_errors=True)

    def tearDown(self):
        self.reset()

    def program_files_folder(self):
        return os.path.join(ARGS.prefix, "drive_c", "Program Files", "QBNotifyAddOn")

    def test_installs_and_uninstalls_silently(self):
        for case in self.CASES:
            with self.subTest(case.name), tempfile.TemporaryDirectory(prefix="qbnotify-setup-") as temp:
                self.run_case(temp, case)

    def run_case(self, temp, case):
        host_dir = os.path.join(temp, "FTP Quorbit")
        os.makedirs(host_dir)
        shutil.copy(ARGS.standin, os.path.join(host_dir, "FTPQuorbit.exe"))
        seed = []
        if case.settings_complete:
            seed += [f"[{GLOBAL_CONFIGURATION}]", '"SMTP Server"="smtp.example"', '"SMTP Port"=dword:00000019',
                     '"Deliver to Email"="ops@example.com"', '"From Email"="ftp@example.com"']
        if case.host:
            seed += [f"[{HOST_ENTRY}]", '"Inno Setup: App Path"=' + reg_text(windows_path(host_dir)),
                     '"DisplayName"="FTP Quorbit 11.3"']
        self.reset(*seed)
        if case.other_addons:
            os.makedirs(os.path.join(temp, case.other_addons, "Other"))
        before = tree(temp)

        setup_args = ["/S"]
        if case.chosen:
            folder = os.path.join(temp, case.chosen)
            win_folder = windows_path(folder)
            setup_args += ("/D=" + win_folder).split(" ")
            created = windows_path(os.path.join(temp, case.chosen.split("/")[0]))
        elif case.host:
            folder = os.path.join(host_dir, "AddOns", "QBNotifyAddOn")
            win_folder = windows_path(folder)
            created = win_folder if case.other_addons else windows_path(os.path.join(host_dir, "AddOns"))
        else:
            folder = self.program_files_folder()
            win_folder = created = r"C:\Program Files\QBNotifyAddOn"
        module = win_folder + "\\QBNotifyAddOn.dll"
        uninstaller = win_folder + "\\Uninstall.exe"

        user = None if case.settings_complete else subprocess.Popen(
            [ARGS.wine_run, ARGS.confirmer], env=dict(os.environ, QB_WINE_PREFIX=ARGS.prefix), stdin=subprocess.DEVNULL)
        wine(ARGS.setup, *setup_args)
        if user:
            self.assertEqual(user.wait(TIMEOUT), 0, "no configuration dialog")
        self.assertEqual(tree(folder), {"QBNotifyAddOn.dll", "Help/", "Help/QBNotifyAddOn.htm", "Uninstall.exe", "Data/"})
        self.assertEqual(read_bytes(os.path.join(folder, "QBNotifyAddOn.dll")), read_bytes(ARGS.module))
        self.assertEqual(read_bytes(os.path.join(folder, "Help", "QBNotifyAddOn.htm")), read_bytes(ARGS.help_page))
        self.assertEqual(reg_values(UNINSTALL_ENTRY), {
            "DisplayName": ("REG_SZ", "FTP Quorbit Notify Add-On"),
            "DisplayVersion": ("REG_SZ", ARGS.version),
            "Publisher": ("REG_SZ", "Tarsk Software"),
            "DisplayIcon": ("REG_SZ", module + ",0"),
            "InstallLocation": ("REG_SZ", win_folder),
            "UninstallString": ("REG_SZ", f'"{uninstaller}"'),
            "QuietUninstallString": ("REG_SZ", f'"{uninstaller}" /S'),
            "NoModify": ("REG_DWORD", "0x1"),
            "NoRepair": ("REG_DWORD", "0x1"),
            CREATED_FOLDER: ("REG_SZ", created),
        })
        self.assertEqual(reg_values(EVENT_SOURCE), {
            "EventMessageFile": ("REG_EXPAND_SZ", module),
            "TypesSupported": ("REG_DWORD", "0x7"),
        })

        # The copy that NSIS would make, run in place of the uninstaller so that it is waited for.
        copy = os.path.join(temp, "Au_.exe")
        shutil.copy(os.path.join(folder, "Uninstall.exe"), copy)
        wine(copy, "/S", *("_?=" + win_folder).split(" "))
        os.remove(copy)

        # The module has the host add it (only when it asked for the settings: a complete
        # configuration means it was added before) and remove it; the host's folder is the
        # working directory. The module's path ends in ".DLL".
        launches = os.path.join(host_dir, "launches.txt")
        expected = b""
        if case.host and not case.settings_complete:
            expected += f"-installaddon {win_folder}\\QBNotifyAddOn.DLL\n{windows_path(host_dir)}\n".encode()
        if case.host:
            expected += f"-uninstalladdon {win_folder}\\QBNotifyAddOn.DLL\n{windows_path(host_dir)}\n".encode()
        self.assertEqual(wait_for_launches(launches, expected.count(b"\n") // 2), expected)
        if expected:
            os.remove(launches)
        self.assertEqual(tree(temp), before)
        self.assertFalse(os.path.exists(self.program_files_folder()))
        self.assertIsNone(reg_values(UNINSTALL_ENTRY))
        self.assertIsNone(reg_values(EVENT_SOURCE))


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--wine-run", required=True, help="cmake/wine-run.sh")
    parser.add_argument("--prefix", required=True, help="the tests' own Wine prefix")
    parser.add_argument("--setup", required=True)
    parser.add_argument("--module", required=True, help="the module the setup must install")
    parser.add_argument("--help-page", required=True)
    parser.add_argument("--standin", required=True, help="host_standin.exe")
    parser.add_argument("--confirmer", required=True, help="dialog_confirmer.exe")
    parser.add_argument("--version", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
