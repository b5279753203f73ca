#!/usr/bin/env python3
"""End-to-end runs of qbhost with the add-on module loaded from disk.

Each test copies the module into a temporary directory (so that its Data directory is the
test's own), seeds the registry with `qbhost reg import`, replays a session script, and checks
the journal files that `ShowData` prints while the mail job owns them, and the data directory
after qbhost has unloaded the module.

Natively the registry is a temporary file ($QBNOTIFY_REGISTRY). With --runner (the Windows
build) qbhost.exe runs under Wine through that script, paths are given as Z:\\... and the
add-on's keys in the prefix's registry are deleted before and after each test.

SMTP servers are started here on loopback: SilentSmtpServer accepts and never answers, so the
mail job keeps the journal files until qbhost ends. A delivering server (aiosmtpd) can be added
as another class with the same interface (start, stop, port).
"""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

ARGS = None
CONFIG_KEY = r"HKEY_USERS\.DEFAULT\Software\Tarsk Software\FTP Quorbit Notify"
GLOBAL_KEY = CONFIG_KEY + r"\Configurations\QBNotifyAddOn Global Configuration"
PROFILE_KEY = CONFIG_KEY + r"\Configurations\Main server"

EXIT_OK, EXIT_USAGE, EXIT_MODULE, EXIT_TIMEOUT = 0, 1, 2, 3


def cp(text):
    return text.encode("cp1252")


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


class SilentSmtpServer:
    """Listens on a free loopback port, accepts connections and never says a word."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.connections = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.connections.append(conn)

    def stop(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.thread.join(5)
        for conn in self.connections:
            conn.close()


def refused_port():
    """A loopback port on which nothing listens."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Host:
    """Runs qbhost natively or under Wine, in a temporary directory of its own."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.env = dict(os.environ)
        if not ARGS.runner:
            self.env["QBNOTIFY_REGISTRY"] = os.path.join(workdir, "registry.sqlite3")
        self.module_dir = os.path.join(workdir, "module")
        os.makedirs(self.module_dir)
        self.module = os.path.join(self.module_dir, os.path.basename(ARGS.module))
        shutil.copy(ARGS.module, self.module)
        self.data_dir = os.path.join(self.module_dir, "Data")

    def path(self, path):
        if not ARGS.runner:
            return path
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def run(self, *args, stdin=b"", timeout=120):
        command = ARGS.runner + [ARGS.qbhost] + list(args)
        return subprocess.run(command, input=stdin, capture_output=True, env=self.env, cwd=self.workdir,
                              timeout=timeout)

    def reg(self, *args):
        result = self.run("reg", *args)
        if result.returncode != 0:
            raise AssertionError(f"qbhost reg {args} failed: {result.stderr!r}")
        return result

    def import_reg(self, example, port):
        text = read_bytes(os.path.join(ARGS.examples, example))
        text = re.sub(rb'"SMTP Port"=dword:[0-9a-fA-F]+', b'"SMTP Port"=dword:%08x' % port, text)
        path = os.path.join(self.workdir, example)
        write_bytes(path, text)
        self.reg("import", self.path(path))

    def run_script(self, script, *extra_args):
        """Runs a script given as text (through standard input) or as an example's name."""
        if isinstance(script, bytes):
            return self.run("run", *extra_args, self.path(self.module), "-", stdin=script)
        return self.run("run", *extra_args, self.path(self.module), self.path(os.path.join(ARGS.examples, script)))

    def data_files(self):
        return sorted(os.listdir(self.data_dir)) if os.path.isdir(self.data_dir) else []


def parse_output(stdout):
    """Splits qbhost's output into text lines and the files that ShowData printed:
    a list of ("line", bytes) and ("file", name, bytes)."""
    items = []
    pos = 0
    header = re.compile(rb"==> (\S+) \((\d+) bytes\)\n")
    while pos < len(stdout):
        m = header.match(stdout, pos)
        if m:
            start = m.end()
            size = int(m.group(2))
            items.append(("file", m.group(1).decode(), stdout[start:start + size]))
            pos = start + size + 1  # the blank line after the contents
            continue
        end = stdout.find(b"\n", pos)
        end = len(stdout) if end < 0 else end
        items.append(("line", stdout[pos:end].rstrip(b"\r")))
        pos = end + 1
    return items


def files_after(items, marker):
    """The files that ShowData printed after the Echo line `marker`."""
    files = {}
    seen = False
    for item in items:
        if item[0] == "line":
            if seen and files:
                break
            seen = seen or item[1] == marker
        elif seen:
            files[item[1]] = item[2]
    return files


def lines_of(items):
    return [item[1] for item in items if item[0] == "line"]


def event_suffixes(info):
    """The Information file's lines without their date and time stamp, which depends on the
    platform's date format. Every line must end with CR LF and start with a stamp."""
    suffixes = []
    assert info.endswith(b"\r\n") or info == b"", info
    for line in info.split(b"\r\n")[:-1] if info else []:
        cut = line.find(b" - (")
        assert cut > 0, line
        assert re.fullmatch(rb"\S+ \S+( [AP]M)?", line[:cut]), line
        suffixes.append(line[cut:])
    return suffixes


def journal_pair(files, handle):
    """The Information and Log file of one session (same handle, same tick number)."""
    info = {n: d for n, d in files.items() if re.fullmatch(rf"Information_{handle}_-?\d+\.txt", n)}
    log = {n: d for n, d in files.items() if re.fullmatch(rf"Log_{handle}_-?\d+\.txt", n)}
    assert len(info) == 1 and len(log) == 1, files.keys()
    (info_name, info_data), (log_name, log_data) = info.popitem(), log.popitem()
    assert info_name.split("_", 1)[1] == log_name.split("_", 1)[1], (info_name, log_name)
    return info_data, log_data


def log_line(prefix, text):
    return cp(f"{prefix:<10} ") + (text if isinstance(text, bytes) else cp(text)) + b"\r\n"


class EndToEndTest(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="qbhost-e2e-")
        self.host = Host(self.workdir)
        self.server = SilentSmtpServer()
        self.clear_registry()

    def tearDown(self):
        self.server.stop()
        self.clear_registry()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def clear_registry(self):
        if ARGS.runner:
            self.host.run("reg", "delete", CONFIG_KEY)

    def set_notify_when(self, key, value):
        self.host.reg("set", key, "Notify When", "dword:%x" % value)

    def assert_no_journal_left(self):
        self.assertEqual(self.host.data_files(), [], "journal files left after the module was unloaded")

    def test_failed_session_records_only_failures_and_hands_the_files_over(self):
        self.host.import_reg("global-config.reg", self.server.port)
        result = self.host.run_script("failed-session.txt")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        items = parse_output(result.stdout)
        files = files_after(items, b"--- data directory after SessionDestroy")
        info, log = journal_pair(files, 1)
        self.assertEqual(event_suffixes(info), [
            cp(' - (Ung\xfcltiges Kennwort) - Verbindung: "ftp.example.com"'),
            cp(' - (Fehler beim \xd6ffnen der Datei) - Download: "/pub/report.pdf" --> "C:\\Downloads\\report.pdf"'),
        ])
        self.assertEqual(log, b"".join([
            log_line("STATUS:>", "Connecting to ftp.example.com"),
            log_line("", "220 FTP server ready."),
            log_line("KOMMANDO:>", "USER anna"),
            log_line("", "331 Password required for anna"),
            log_line("KOMMANDO:>", "PASS ********"),
            log_line("", "530 Login incorrect."),
            log_line("FEHLER:>", "Login failed"),
            log_line("KOMMANDO:>", "USER anna"),
            log_line("", "331 Password required for anna"),
            log_line("KOMMANDO:>", "PASS ********"),
            log_line("", "230 User anna logged in."),
            log_line("KOMMANDO:>", "TYPE I"),
            log_line("", "200 Type set to I"),
            log_line("KOMMANDO:>", "RETR /pub/report.pdf"),
            log_line("", "550 /pub/report.pdf: No such file or directory"),
            log_line("FEHLER:>", "Download failed"),
            log_line("KOMMANDO:>", "QUIT"),
            log_line("", "221 Goodbye."),
        ]))
        self.assertNotIn(b"secret", log)
        # The mail job (whose server never answers) still holds the files.
        self.assertEqual(lines_of(items)[-1], b"0")
        self.assert_no_journal_left()

    def test_clean_session_with_notify_on_error_leaves_nothing(self):
        self.host.import_reg("global-config.reg", self.server.port)
        result = self.host.run_script("clean-session.txt")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        items = parse_output(result.stdout)
        lines = lines_of(items)
        self.assertTrue(lines[0].startswith(cp("FTP Quorbit\xae Notify Add-On von ")), lines[0])
        self.assertEqual(files_after(items, b"--- data directory after SessionDestroy"), {})
        self.assertIn(b"(no files in ", b"\n".join(lines))
        self.assertEqual(lines[-1], b"1")  # no worker was ever needed
        self.assert_no_journal_left()

    def test_profile_that_always_notifies_records_every_event(self):
        self.host.import_reg("global-config.reg", self.server.port)
        self.host.import_reg("profile-config.reg", self.server.port)
        result = self.host.run_script("busy-session.txt")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        items = parse_output(result.stdout)
        info, log = journal_pair(files_after(items, b"--- data directory after SessionDestroy"), 3)
        script = read_bytes(os.path.join(ARGS.examples, "busy-session.txt")).splitlines()
        events = [l for l in script if re.match(rb"(Connection|File|Dir)\w+ ", l)]
        protocol = [l for l in script if l.startswith(b"Log")]
        suffixes = event_suffixes(info)
        self.assertEqual(len(suffixes), len(events))
        self.assertEqual(log.count(b"\r\n"), len(protocol))
        self.assertIn(cp(' - (Erfolgreich) - Verbindung: "ftp.example.com"'), suffixes)
        self.assertIn(cp(' - (Erfolgreich) - Download: "/pub/M\xfcller \u20ac Preise.xls" --> '
                         '"C:\\Downloads\\M\xfcller \u20ac Preise.xls"'), suffixes)
        self.assertIn(cp(' - (Fehler beim Anlegen oder \xc4ndern des angegebenen Verzeichnisses) - '
                         'Verzeichnis anlegen: "/pub/tmp"'), suffixes)
        self.assertIn(cp(' - (vom Benutzer abgebrochen) - Download: "/pub/huge.iso" --> "C:\\Downloads\\huge.iso"'),
                      suffixes)
        self.assertEqual(suffixes[-1], cp(" - (Erfolgreich) - Verbindungsende: QUIT Kommando"))
        self.assert_no_journal_left()

    def test_handles_texts_and_log_prefixes_reach_the_files_unchanged(self):
        self.host.import_reg("global-config.reg", self.server.port)
        self.set_notify_when(GLOBAL_KEY, 1)
        script = (b'SessionCreate 3000000000 "p\\xe4"\n'
                  b'SessionCreate 7 null\n'
                  b'ConnectionStart 3000000000 11 "h\\xf6st \\"x\\" \\\\y\\tz"\n'
                  b'ConnectionStart 7 99 "other"\n'
                  b'FileRenamed 12345 0 "never" "registered"\n'
                  b'LogCommand 3000000000 "PASS secret"\n'
                  b'LogCommand 3000000000 "CWD \\x80\\xff"\n'
                  b'LogResponse 3000000000 "150 ok"\n'
                  b'LogStatus 3000000000 "plain"\n'
                  b'LogStatus 3000000000 "flagged" error\n'
                  b'LogStatus 3000000000 "any non-zero flag" -7\n'
                  b'LogResponse 7 ""\n'
                  b'SessionDestroy 3000000000\nSessionDestroy 7\n'
                  b'Echo marker\nShowData\n')
        result = self.host.run_script(script)
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        files = files_after(parse_output(result.stdout), b"marker")
        self.assertEqual(len(files), 4, files.keys())
        # Handles at or above 2^31 are printed as signed 32-bit numbers.
        info, log = journal_pair(files, -1294967296)
        self.assertEqual(event_suffixes(info), [cp(' - (Fehler beim Verbinden) - Verbindung: "h\xf6st "x" \\y\tz"')])
        self.assertEqual(log, b"".join([
            log_line("KOMMANDO:>", "PASS ********"),
            log_line("KOMMANDO:>", b"CWD \x80\xff"),
            log_line("", "150 ok"),
            log_line("STATUS:>", "plain"),
            log_line("FEHLER:>", "flagged"),
            log_line("FEHLER:>", "any non-zero flag"),
        ]))
        info, log = journal_pair(files, 7)
        self.assertEqual(event_suffixes(info), [b' - () - Verbindung: "other"'])
        self.assertEqual(log, b" " * 11 + b"\r\n")
        self.assert_no_journal_left()

    def test_wait_unload_ends_when_the_job_fails_and_times_out_while_it_hangs(self):
        self.host.import_reg("global-config.reg", refused_port())
        result = self.host.run_script(b"SessionCreate 1 x\nConnectionStart 1 1 h\nSessionDestroy 1\n"
                                      b"CanUnload\nWaitUnload 60\nCanUnload\n")
        self.assertEqual(result.returncode, EXIT_OK, result.stderr)
        self.assertEqual(lines_of(parse_output(result.stdout)), [b"0", b"1"])
        self.assert_no_journal_left()

        self.host.import_reg("global-config.reg", self.server.port)
        result = self.host.run_script(b"SessionCreate 1 x\nConnectionStart 1 1 h\nSessionDestroy 1\n"
                                      b"WaitUnload 0.3\nEcho not reached\n")
        self.assertEqual(result.returncode, EXIT_TIMEOUT, result.stderr)
        self.assertIn(b"<stdin>:4: WaitUnload", result.stderr)
        self.assertNotIn(b"not reached", result.stdout)
        self.assert_no_journal_left()


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="qbhost-cli-")
        self.host = Host(self.workdir)
        if ARGS.runner:
            self.host.run("reg", "delete", CONFIG_KEY)

    def tearDown(self):
        if ARGS.runner:
            self.host.run("reg", "delete", CONFIG_KEY)
        shutil.rmtree(self.workdir, ignore_errors=True)

    def test_a_bad_script_runs_nothing_and_names_its_line(self):
        result = self.host.run_script(b"SessionCreate 1 x\nLogCommand 1 \"unterminated\n")
        self.assertEqual(result.returncode, EXIT_USAGE)
        self.assertIn(b"<stdin>:2: unterminated quoted text", result.stderr)
        # The module was not even loaded: loading creates its data directory.
        self.assertFalse(os.path.exists(self.host.data_dir))

    def test_module_errors(self):
        result = self.host.run("run", self.host.path(os.path.join(self.workdir, "missing.dll")), "-", stdin=b"Name\n")
        self.assertEqual(result.returncode, EXIT_MODULE)
        self.assertIn(b"cannot load module", result.stderr)
        # A library that is not an add-on lacks the exports.
        library = "kernel32.dll" if ARGS.runner else "libm.so.6"
        result = self.host.run("run", library, "-", stdin=b"Echo x\nName\n")
        self.assertEqual(result.returncode, EXIT_MODULE)
        self.assertIn(b"<stdin>:2: the module has no export QBAddOnName", result.stderr)
        self.assertEqual(self.host.run("--help").returncode, EXIT_OK)
        self.assertEqual(self.host.run("frobnicate").returncode, EXIT_USAGE)

    def test_registry_round_trip_through_the_command_line(self):
        self.host.import_reg("global-config.reg", 2525)
        self.host.import_reg("profile-config.reg", 2525)
        first = os.path.join(self.workdir, "first.reg")
        self.host.reg("export", self.host.path(first), CONFIG_KEY)
        exported = read_bytes(first)
        self.assertIn(cp('"Subject"="FTP-Sitzung \xfcber \\"Main server\\" beendet"\r\n'), exported)
        query = self.host.reg("query", PROFILE_KEY, "log lines").stdout
        self.assertEqual(query.replace(b"\r\n", b"\n"), b'"Log Lines"=dword:00000014\n')

        self.host.reg("delete", CONFIG_KEY)
        self.assertEqual(self.host.run("reg", "query", PROFILE_KEY).returncode, EXIT_USAGE)
        self.host.reg("import", self.host.path(first))
        second = os.path.join(self.workdir, "second.reg")
        self.host.reg("export", self.host.path(second), CONFIG_KEY)
        self.assertEqual(read_bytes(second), exported)

        # A malformed file is rejected as a whole, with its line number.
        bad = os.path.join(self.workdir, "bad.reg")
        write_bytes(bad, b"REGEDIT4\r\n[" + CONFIG_KEY.encode() + b"\\New]\r\n\"a\"=dword:xyz\r\n")
        result = self.host.run("reg", "import", self.host.path(bad))
        self.assertEqual(result.returncode, EXIT_USAGE)
        self.assertIn(b"bad.reg:3: dword:", result.stderr)
        self.assertEqual(self.host.run("reg", "query", CONFIG_KEY + "\\New").returncode, EXIT_USAGE)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--qbhost", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--runner", action="append", default=[],
                        help="runs Windows programs: the words of the command, one --runner each")
    ARGS, rest = parser.parse_known_args()
    for name in ("qbhost", "module", "examples"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
