#!/usr/bin/env python3
"""End-to-end runs of qbhost with the add-on module loaded from disk.

Each test copies the module into a temporary directory (so that its Data directory is the
test's own), seeds the registry with `qbhost reg import`, and replays session scripts.
EndToEndTest checks the exports' arguments in the journal files that `ShowData` prints while the
mail job owns them, and the data directory after qbhost has unloaded the module. DeliveryTest
lets the mail job deliver to a real SMTP server and checks the message that the server received;
SecureDeliveryTest does the same inside TLS (STARTTLS, or TLS from the first byte) with a login,
with the certificate of the TLS fixture (--tls-dir).

Natively the registry is a temporary file ($QBNOTIFY_REGISTRY). With --runner (the Windows
build) qbhost.exe runs under Wine through that script, paths are given as Z:\\... and the
add-on's keys in the prefix's registry are deleted before and after each test.

SMTP servers are started here on loopback, each on a free port: SilentSmtpServer accepts and
never answers, so the mail job keeps the journal files until qbhost ends; SmtpSink (aiosmtpd,
from examples/smtp_sink.py) accepts every message and keeps it.
"""
import argparse
import datetime
import email
import email.policy
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ARGS = None
SmtpSink = None  # from examples/smtp_sink.py, imported by main()
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

    def run(self, *args, stdin=b"", timeout=120, env=None):
        command = ARGS.runner + [ARGS.qbhost] + list(args)
        # A session of its own: qbhost never finds a terminal to ask a dialog on.
        return subprocess.run(command, input=stdin, capture_output=True, env=dict(self.env, **(env or {})),
                              cwd=self.workdir, timeout=timeout, start_new_session=True)

    def reg(self, *args, stdin=b""):
        result = self.run("reg", *args, stdin=stdin)
        if result.returncode != 0:
            raise AssertionError(f"qbhost reg {args} failed: {outcome(result)}")
        return result

    def set_text(self, key, name, text):
        """Sets a REG_SZ value to a Windows-1252 text (through a .reg file, which carries any byte)."""
        data = cp(text).replace(b"\\", b"\\\\").replace(b'"', b'\\"')
        path = os.path.join(self.workdir, "value.reg")
        write_bytes(path, b"REGEDIT4\r\n\r\n[%s]\r\n\"%s\"=\"%s\"\r\n" % (key.encode(), name.encode(), data))
        self.reg("import", self.path(path))

    def import_reg(self, example, port):
        text = read_bytes(os.path.join(ARGS.examples, example))
        text = re.sub(rb'"SMTP Port"=dword:[0-9a-fA-F]+', b'"SMTP Port"=dword:%08x' % port, text)
        path = os.path.join(self.workdir, example)
        write_bytes(path, text)
        self.reg("import", self.path(path))

    def run_script(self, *scripts, env=None):
        """Runs scripts in order in one qbhost: examples by name, and scripts given as text, which
        are joined and read from standard input in the place of the first."""
        stdin = b"".join(script for script in scripts if isinstance(script, bytes))
        paths = []
        for script in scripts:
            if not isinstance(script, bytes):
                paths.append(self.path(os.path.join(ARGS.examples, script)))
            elif "-" not in paths:
                paths.append("-")
        return self.run("run", self.path(self.module), *paths, stdin=stdin, env=env)

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


def outcome(result):
    """What a qbhost run ended with, for assertion messages: the exit code or signal, its
    standard error and the end of its output."""
    code = result.returncode
    how = f"killed by {signal.Signals(-code).name}" if code < 0 else f"exit code {code}"
    tail = b"\n".join(result.stdout.splitlines()[-8:])
    return f"{how}; stderr: {result.stderr!r}; last output: {tail!r}"


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


def log_line(prefix, text, end=b"\r\n"):
    return cp(f"{prefix:<10} ") + (text if isinstance(text, bytes) else cp(text)) + end


# The Log file of examples/failed-session.txt: (prefix, text) per line.
FAILED_SESSION_LOG = [
    ("STATUS:>", "Connecting to ftp.example.com"),
    ("", "220 FTP server ready."),
    ("KOMMANDO:>", "USER anna"),
    ("", "331 Password required for anna"),
    ("KOMMANDO:>", "PASS ********"),
    ("", "530 Login incorrect."),
    ("FEHLER:>", "Login failed"),
    ("KOMMANDO:>", "USER anna"),
    ("", "331 Password required for anna"),
    ("KOMMANDO:>", "PASS ********"),
    ("", "230 User anna logged in."),
    ("KOMMANDO:>", "TYPE I"),
    ("", "200 Type set to I"),
    ("KOMMANDO:>", "RETR /pub/report.pdf"),
    ("", "550 /pub/report.pdf: No such file or directory"),
    ("FEHLER:>", "Download failed"),
    ("KOMMANDO:>", "QUIT"),
    ("", "221 Goodbye."),
]
# Its Information file, each line without its date and time stamp.
FAILED_SESSION_EVENTS = [
    cp(' - (Ung\xfcltiges Kennwort) - Verbindung: "ftp.example.com"'),
    cp(' - (Fehler beim \xd6ffnen der Datei) - Download: "/pub/report.pdf" --> "C:\\Downloads\\report.pdf"'),
]


class SessionTestCase(unittest.TestCase):
    """A test with a module copy, a registry and an SMTP server of its own."""

    def make_server(self):
        raise NotImplementedError

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="qbhost-e2e-")
        self.host = Host(self.workdir)
        self.server = self.make_server()
        self.clear_registry()

    def tearDown(self):
        self.server.stop()
        self.clear_registry()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def clear_registry(self):
        if ARGS.runner:
            self.host.run("reg", "delete", CONFIG_KEY)


class EndToEndTest(SessionTestCase):
    def make_server(self):
        return SilentSmtpServer()

    def set_notify_when(self, key, value):
        self.host.reg("set", key, "Notify When", "dword:%x" % value)

    def assert_no_journal_left(self):
        self.assertEqual(self.host.data_files(), [], "journal files left after the module was unloaded")

    def test_clean_session_with_notify_on_error_leaves_nothing(self):
        self.host.import_reg("global-config.reg", self.server.port)
        result = self.host.run_script("clean-session.txt")
        self.assertEqual(result.returncode, EXIT_OK, outcome(result))
        items = parse_output(result.stdout)
        lines = lines_of(items)
        self.assertTrue(lines[0].startswith(cp("FTP Quorbit\xae Notify Add-On von ")), lines[0])
        self.assertEqual(files_after(items, b"--- data directory after SessionDestroy"), {})
        self.assertIn(b"(no files in ", b"\n".join(lines))
        self.assertEqual(lines[-1], b"1")  # no worker was ever needed
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
        self.assertEqual(result.returncode, EXIT_OK, outcome(result))
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
        self.assertEqual(result.returncode, EXIT_OK, outcome(result))
        self.assertEqual(lines_of(parse_output(result.stdout)), [b"0", b"1"])
        self.assert_no_journal_left()

        self.host.import_reg("global-config.reg", self.server.port)
        result = self.host.run_script(b"SessionCreate 1 x\nConnectionStart 1 1 h\nSessionDestroy 1\n"
                                      b"WaitUnload 0.3\nEcho not reached\n")
        self.assertEqual(result.returncode, EXIT_TIMEOUT, outcome(result))
        self.assertIn(b"<stdin>:4: WaitUnload", result.stderr)
        self.assertNotIn(b"not reached", result.stdout)
        self.assert_no_journal_left()


# The message that the add-on sends (examples/global-config.reg and profile-config.reg).
SENDER = "ftp-notify@example.com"
DEFAULT_SUBJECT = b"FTP Quorbit Notify Add-On Nachricht"
INTRO = (b"Folgende Nachricht wurde Ihnen vom FTP Quorbit Notify Add-On aufgrund des konfigurierten "
         b"Ereignisses geschickt.")
LOG_SEPARATOR = b"---------- Sitzungsprotokoll ----------"
DAY_NAMES = [b"Mon", b"Tue", b"Wed", b"Thu", b"Fri", b"Sat", b"Sun"]
MONTH_NAMES = [b"Jan", b"Feb", b"Mar", b"Apr", b"May", b"Jun", b"Jul", b"Aug", b"Sep", b"Oct", b"Nov", b"Dec"]
DATE_LINE = re.compile(rb"Date: (\w{3}), ([1-9]|[12]\d|3[01]) (\w{3}) (\d{4}) ([01]\d|2[0-3]):([0-5]\d):([0-5]\d) "
                       rb"([+-])(\d\d)([0-5]\d)")
# The date and time at the start of an Information line (the platform's formats).
STAMP = re.compile(rb"^\d\S*\d \d\S*\d(?: [AP]M)?(?= - \()")
MAX_LINE = 998  # characters of a body line on the wire
MAX_HEADER_LINE = 78


def log_rows(entries):
    """Log lines, without their line ends, from (prefix, text) pairs."""
    return [log_line(prefix, text, end=b"") for prefix, text in entries]


def expected_message(recipients, subject, events, log=None):
    """The DATA content that the server must receive, as DeliveryTest.normalized leaves it:
    `events` are the Information lines without their stamps, `log` the Log lines that the
    message carries (None: no Log part)."""
    rows = [b"Message-ID: <" + cp(SENDER) + b"@TICK>",
            b"From: <" + cp(SENDER) + b">",
            b"To: " + b",\r\n\t".join(cp(r) for r in recipients),
            b"Subject: " + subject,
            b"Date: DATE",
            b"MIME-Version: 1.0",
            b"Content-Type: text/plain;",
            b'\tcharset="iso-8859-1"',
            b"Content-Transfer-Encoding: 7bit",
            b"",
            INTRO,
            b""]
    rows += [b"STAMP" + event for event in events]
    if log is not None:
        rows += [b"", LOG_SEPARATOR, b""] + log
    rows.append(b"")  # the CR LF that opens the end-of-data marker
    return b"\r\n".join(rows) + b"\r\n"


def quoted(text):
    """A text without line breaks as an argument of a qbhost script."""
    return b'"' + text.replace(b"\\", b"\\\\").replace(b'"', b'\\"') + b'"'


class DeliveryCase(SessionTestCase):
    """Sessions whose mail is delivered to a real SMTP server on loopback: the checks."""

    maxDiff = None

    def make_server(self):
        return SmtpSink()

    def setUp(self):
        super().setUp()
        self.host.import_reg("global-config.reg", self.server.port)

    def deliver(self, *scripts, env=None):
        """Replays the scripts, waits until the add-on can unload, and returns the one message
        that the server received. By then the mail job has deleted the journal files itself."""
        result = self.host.run_script(*scripts, b"WaitUnload 30\nCanUnload\nShowData\n", env=env)
        self.assertEqual(result.returncode, EXIT_OK, outcome(result))
        lines = lines_of(parse_output(result.stdout))
        self.assertEqual(lines[-2], b"1", "CanUnload after the delivery")
        self.assertTrue(lines[-1].startswith(b"(no files in "), lines[-1])
        self.assertEqual(self.host.data_files(), [])
        self.assertEqual(len(self.server.messages), 1, self.server.messages)
        return self.server.messages[0]

    def assert_envelope(self, message, recipients):
        self.assertEqual(message.mail_from, SENDER)
        self.assertEqual(message.rcpt_tos, recipients)
        self.assertEqual(self.server.commands, [("MAIL", SENDER)] + [("RCPT", r) for r in recipients])

    def check_date(self, line):
        """Checks the Date header's form and that it names the present moment; returns its zone
        offset."""
        m = DATE_LINE.fullmatch(line)
        self.assertIsNotNone(m, line)
        day_name, day, month, year, hour, minute, second, sign, zone_hours, zone_minutes = m.groups()
        self.assertIn(month, MONTH_NAMES, line)
        offset = datetime.timedelta(hours=int(zone_hours), minutes=int(zone_minutes)) * (-1 if sign == b"-" else 1)
        sent = datetime.datetime(int(year), MONTH_NAMES.index(month) + 1, int(day), int(hour), int(minute),
                                 int(second), tzinfo=datetime.timezone(offset))
        self.assertEqual(day_name, DAY_NAMES[sent.weekday()], line)
        self.assertLess(abs(sent.timestamp() - time.time()), 600, line)
        return offset

    def normalized(self, content):
        """The content with the values that vary replaced once their form was checked: the
        Message-ID's number by TICK, the Date value by DATE, the Information lines' date and time
        by STAMP; the Subject field, checked within the header line limit, by one line with the
        text that a mail reader decodes from it. Stores the Date's zone offset in self.zone."""
        head, _, body = content.partition(b"\r\n\r\n")
        for row in head.split(b"\r\n"):
            self.assertLessEqual(len(row), MAX_HEADER_LINE, row)
        subject = str(email.message_from_bytes(head + b"\r\n\r\n", policy=email.policy.default)["Subject"])
        head = re.sub(rb"Subject: [^\r\n]*(\r\n [^\r\n]*)*", lambda _: b"Subject: " + cp(subject), head)
        rows = head.split(b"\r\n")
        for i, row in enumerate(rows):
            if row.startswith(b"Message-ID: "):
                m = re.fullmatch(rb"Message-ID: <" + re.escape(cp(SENDER)) + rb"@(-?\d+)>", row)
                self.assertIsNotNone(m, row)
                self.assertTrue(-2**31 <= int(m.group(1)) < 2**31, row)
                rows[i] = b"Message-ID: <" + cp(SENDER) + b"@TICK>"
            elif row.startswith(b"Date: "):
                self.zone = self.check_date(row)
                rows[i] = b"Date: DATE"
        # The Information lines follow the introduction and an empty line, up to the next empty line.
        lines = body.split(b"\r\n")
        for i in range(2, len(lines)):
            if not lines[i]:
                break
            lines[i] = STAMP.sub(b"STAMP", lines[i], count=1)
        return b"\r\n".join(rows) + b"\r\n\r\n" + b"\r\n".join(lines)

    def assert_message(self, message, expected):
        self.assertEqual(self.normalized(message.content).split(b"\r\n"), expected.split(b"\r\n"))


class DeliveryTest(DeliveryCase):
    """Sessions whose mail is delivered to a real SMTP server on loopback."""

    def test_failed_session_arrives_with_its_events_and_log(self):
        # A zone east of UTC with half an hour (POSIX form: needs no time zone data). Wine takes
        # its zone from the prefix, not from TZ.
        message = self.deliver("failed-session.txt", env={"TZ": "IST-5:30"})
        self.assert_envelope(message, ["anna@example.com"])
        self.assert_message(message, expected_message(["anna@example.com"], DEFAULT_SUBJECT, FAILED_SESSION_EVENTS,
                                                      log_rows(FAILED_SESSION_LOG)))
        if not ARGS.runner:
            self.assertEqual(self.zone, datetime.timedelta(hours=5, minutes=30))

    def test_profile_that_always_notifies_sends_the_last_lines_to_every_recipient(self):
        self.host.import_reg("profile-config.reg", self.server.port)  # "Log Lines" 20
        self.host.reg("set", PROFILE_KEY, "Deliver to Email", '"anna@example.com, ops@example.com;;audit@example.com "')
        # A response of four lines is four journal lines: "Log Lines" counts those.
        protocol = [("LogStatus", "STATUS:>", b"Connecting to ftp.example.com"),
                    ("LogResponse", "", b"220 FTP server ready."),
                    ("LogCommand", "KOMMANDO:>", b"USER anna"),
                    ("LogResponse", "", b"230 User anna logged in."),
                    ("LogCommand", "KOMMANDO:>", b"FEAT"),
                    ("LogResponse", "", b"211-Features:\r\n MDTM\n SIZE\r211 End")]
        for n in range(1, 9):
            protocol += [("LogCommand", "KOMMANDO:>", b"STOR report-%02d.pdf" % n),
                         ("LogResponse", "", b"226 Transfer complete.")]
        protocol += [("LogCommand", "KOMMANDO:>", b"QUIT"), ("LogResponse", "", b"221 Goodbye.")]
        script = [b'SessionCreate 5 "Main server"', b'ConnectionStart 5 0 "ftp.example.com"']
        script += [b"%s 5 %s" % (command.encode(), quoted(text).replace(b"\r", b"\\r").replace(b"\n", b"\\n"))
                   for command, _, text in protocol]
        script += [b'FileUploaded 5 0 "C:\\\\Berichte\\\\M\\xfcller.pdf" "/pub/M\\xfcller.pdf"',
                   b"ConnectionEnd 5 0", b"SessionDestroy 5", b""]

        message = self.deliver(b"\n".join(script))
        recipients = ["anna@example.com", "ops@example.com", "audit@example.com"]
        self.assert_envelope(message, recipients)
        events = [b' - (Erfolgreich) - Verbindung: "ftp.example.com"',
                  cp(' - (Erfolgreich) - Upload: "C:\\Berichte\\M\xfcller.pdf" --> "/pub/M\xfcller.pdf"'),
                  b" - (Erfolgreich) - Verbindungsende: QUIT Kommando"]
        log = log_rows((prefix, text) for _, prefix, text in protocol[:5])
        log += log_rows([("", b"211-Features:"), ("", b" MDTM"), ("", b" SIZE"), ("", b"211 End")])
        log += log_rows((prefix, text) for _, prefix, text in protocol[6:])
        self.assertEqual(len(log), 27)
        self.assert_message(message, expected_message(recipients, cp('FTP-Sitzung \xfcber "Main server" beendet'),
                                                      events, log[-20:]))

    def test_line_breaks_and_dots_from_the_ftp_server_arrive_as_text_not_as_commands(self):
        # A line break in a protocol text starts a continuation line; one in an event's text
        # becomes a blank. A line longer than the limit is broken on the wire, here right before a
        # dot, which is doubled and taken away again by the server.
        injected = b"\r\n.\r\nMAIL FROM:<attacker@example.net>\r\nRCPT TO:<victim@example.net>\r\nDATA"
        long_text = b"x" * (MAX_LINE - 11) + b".hidden"
        script = b"".join([
            b'SessionCreate 9 "Main server"\n',
            b'LogResponse 9 "220 ready\\r\\n.\\r\\nMAIL FROM:<attacker@example.net>\\r\\n'
            b'RCPT TO:<victim@example.net>\\r\\nDATA"\n',
            b'LogResponse 9 "\\n.\\n.. two dots\\n.\\nQUIT"\n',
            b"LogResponse 9 " + quoted(long_text) + b"\n",
            b'ConnectionStart 9 7 "ftp.example.com\\r\\n.\\r\\nRSET"\n',
            b'LogCommand 9 "QUIT"\n',
            b"SessionDestroy 9\n",
        ])
        message = self.deliver(script)
        self.assert_envelope(message, ["anna@example.com"])
        long_line = log_line("", long_text, end=b"")
        log = log_rows(("", text) for text in [b"220 ready"] + injected.split(b"\r\n")[1:])
        log += log_rows(("", text) for text in [b"", b".", b".. two dots", b".", b"QUIT"])
        log += [long_line[:MAX_LINE], long_line[MAX_LINE:], log_line("KOMMANDO:>", b"QUIT", end=b"")]
        expected = expected_message(["anna@example.com"], DEFAULT_SUBJECT,
                                    [b' - (Ung\xfcltiger Benuztername) - Verbindung: "ftp.example.com  .  RSET"'],
                                    log)
        self.assert_message(message, expected)

    def test_subjects_of_any_length_and_charset_read_back_exactly(self):
        # Header lines stay within 78 characters (normalized checks), folded at blanks or carried by
        # encoded words, and a mail reader decodes the text that was set.
        for subject in ["Sitzung \xfcber \"Main server\": 2 Fehler \u2013 Gr\xfc\xdfe \u20ac",
                        " ".join("Upload%03d" % i for i in range(110)),
                        "x" * 1500]:
            self.server.messages.clear()
            self.host.set_text(GLOBAL_KEY, "Subject", subject)
            message = self.deliver("failed-session.txt")
            self.assert_message(message, expected_message(["anna@example.com"], cp(subject), FAILED_SESSION_EVENTS,
                                                          log_rows(FAILED_SESSION_LOG)))


class SecureDeliveryTest(DeliveryCase):
    """Delivery inside TLS with a login, to a server with the TLS fixture's certificate for
    127.0.0.1 (its CA is trusted: SSL_CERT_FILE natively, the prefix's root store under Wine)."""

    USER, PASSWORD = "anna", "Geheim 1 \xfc"  # a blank and a Windows-1252 letter

    def make_server(self):
        tls, mechanisms = self.SERVERS[self._testMethodName]
        return SmtpSink(tls=tls, cert=os.path.join(ARGS.tls_dir, "good.pem"), key=os.path.join(ARGS.tls_dir, "server.key"),
                        login=(self.USER, self.PASSWORD), mechanisms=mechanisms)

    SERVERS = {
        "test_starttls_and_a_login_deliver_the_message_as_in_plain": ("starttls", None),
        "test_tls_from_the_first_byte_and_a_login_by_login_prompts": ("implicit", ["LOGIN"]),
        "test_a_refused_login_delivers_nothing_and_ends_the_job": ("starttls", None),
    }

    def set_login(self, security, password):
        self.host.reg("set", GLOBAL_KEY, "SMTP Security", "dword:%x" % security)
        self.host.reg("set", GLOBAL_KEY, "SMTP User", '"%s"' % self.USER)
        self.host.reg("protect", GLOBAL_KEY, "SMTP Password", stdin=cp(password) + b"\n")

    def deliver_failed_session(self):
        message = self.deliver("failed-session.txt")
        self.assert_envelope(message, ["anna@example.com"])
        self.assert_message(message, expected_message(["anna@example.com"], DEFAULT_SUBJECT, FAILED_SESSION_EVENTS,
                                                      log_rows(FAILED_SESSION_LOG)))

    def test_starttls_and_a_login_deliver_the_message_as_in_plain(self):
        self.set_login(1, self.PASSWORD)
        self.deliver_failed_session()
        self.assertEqual(self.server.logins, [("PLAIN", self.USER, True)])

    def test_tls_from_the_first_byte_and_a_login_by_login_prompts(self):
        self.set_login(2, self.PASSWORD)
        self.deliver_failed_session()
        self.assertEqual(self.server.logins, [("LOGIN", self.USER, True)])

    def test_a_refused_login_delivers_nothing_and_ends_the_job(self):
        self.set_login(1, "wrong")
        result = self.host.run_script("failed-session.txt", b"WaitUnload 30\nCanUnload\n")
        self.assertEqual(result.returncode, EXIT_OK, outcome(result))
        self.assertEqual(lines_of(parse_output(result.stdout))[-1], b"1")
        self.assertEqual(self.server.logins, [("PLAIN", self.USER, False)])
        self.assertEqual((self.server.messages, self.server.commands), ([], []))
        self.assertEqual(self.host.data_files(), [])


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

    def test_configure_install_and_uninstall_commands(self):
        module = self.host.path(self.host.module)
        if not ARGS.runner:
            # Without a terminal the dialog cannot be asked: nothing is saved.
            result = self.host.run("configure", module, "Main server")
            self.assertEqual(result.returncode, EXIT_OK)
            self.assertIn(cp('Kein Terminal: Der Dialog "FTP Quorbit Benachrichtigung Konfiguration"'), result.stderr)
            self.assertEqual(self.host.run("reg", "query", PROFILE_KEY).returncode, EXIT_USAGE)
        # Complete settings: installing shows nothing and starts nothing.
        self.host.import_reg("global-config.reg", 2525)
        result = self.host.run("install", module, self.host.path(self.host.module_dir))
        self.assertEqual((result.returncode, result.stdout, result.stderr), (EXIT_OK, b"", b""))
        # No host installed: uninstalling does nothing and answers 0.
        result = self.host.run("uninstall", module)
        self.assertEqual((result.returncode, result.stdout.strip()), (EXIT_OK, b"0"))
        self.assertEqual(self.host.run("install", module).returncode, EXIT_USAGE)
        self.assertEqual(self.host.run("uninstall", module, "extra").returncode, EXIT_USAGE)

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
    parser.add_argument("--tls-dir", help="the TLS fixture's directory (certificates; SecureDeliveryTest)")
    parser.add_argument("--runner", action="append", default=[],
                        help="runs Windows programs: the words of the command, one --runner each")
    ARGS, rest = parser.parse_known_args()
    for name in ("qbhost", "module", "examples", "tls_dir"):
        if getattr(ARGS, name):
            setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    global SmtpSink
    sys.path.insert(0, ARGS.examples)
    from smtp_sink import SmtpSink
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
