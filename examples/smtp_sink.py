#!/usr/bin/python3
"""A loopback SMTP server that accepts every message and keeps it: for the demo and the
end-to-end tests.

SmtpSink listens on 127.0.0.1 on a free port (aiosmtpd, in a thread of its own) and records
every MAIL FROM and RCPT TO it is given and every message as received: the envelope and the
DATA content after the server removed the dot-stuffing, byte for byte. It can ask for
STARTTLS or speak TLS from the first byte (with a certificate and key in PEM files), and can
ask for a login (one user and password; the login is then required before MAIL).

Run as a program it prints each message as it arrives, Windows-1252 shown as UTF-8:
    smtp_sink.py [--port-file FILE] [--tls starttls|implicit --cert PEM --key PEM]
                 [--login USER:PASSWORD]
(the port is written to FILE once the server listens). It runs until it is interrupted or
terminated.
"""
import argparse
import asyncio
import collections
import os
import signal
import socket
import ssl
import sys
import threading
import warnings

from aiosmtpd.smtp import SMTP, AuthResult

# aiosmtpd itself still sets the attribute it warns about on every login.
warnings.filterwarnings("ignore", message="Session.login_data is deprecated")

Message = collections.namedtuple("Message", "mail_from rcpt_tos content")


class SmtpSink:
    """tls: None, "starttls" (required before MAIL) or "implicit"; login: (user, password) to
    require a login, mechanisms: the login mechanisms offered (default: all of aiosmtpd's)."""

    def __init__(self, on_message=None, tls=None, cert=None, key=None, login=None, mechanisms=None, on_login=None):
        self.messages = []  # Message, in the order of arrival
        self.commands = []  # ("MAIL", address) and ("RCPT", address), in the order given
        self.logins = []  # (mechanism, user, accepted) for every login tried
        self._on_message = on_message
        self._on_login = on_login
        self._login = login
        self._loop = asyncio.new_event_loop()
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        self.port = listener.getsockname()[1]
        context = None
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
        options = dict(hostname="localhost", loop=self._loop)  # the default looks the name up in DNS
        if tls == "starttls":
            options.update(tls_context=context, require_starttls=True)
        if login:
            # Inside TLS from the first byte aiosmtpd does not know that TLS is on.
            options.update(authenticator=self._authenticate, auth_required=True, auth_require_tls=tls == "starttls")
            offered = {"LOGIN", "PLAIN"}
            options.update(auth_exclude_mechanism=sorted(offered - set(mechanisms or offered)))
        self._server = self._loop.run_until_complete(
            self._loop.create_server(lambda: SMTP(self, **options), sock=listener,
                                     ssl=context if tls == "implicit" else None))
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)
        self._thread.start()

    def stop(self):
        async def shut_down():
            self._server.close()
            tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            self._loop.stop()

        if self._thread.is_alive():
            asyncio.run_coroutine_threadsafe(shut_down(), self._loop)
            self._thread.join(10)
        if not self._thread.is_alive():
            self._loop.close()

    def _authenticate(self, server, session, envelope, mechanism, auth_data):
        user, password = self._login  # compared as Windows-1252, the module's encoding
        accepted = auth_data.login == user.encode("cp1252") and auth_data.password == password.encode("cp1252")
        self.logins.append((mechanism, auth_data.login.decode("cp1252", errors="replace"), accepted))
        if self._on_login:
            self._on_login(*self.logins[-1])
        # A refusal is not handled yet: aiosmtpd then answers 535.
        return AuthResult(success=accepted, handled=False)

    # aiosmtpd handler hooks; they run on the server's thread.

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        self.commands.append(("MAIL", address))
        envelope.mail_from = address
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        self.commands.append(("RCPT", address))
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        message = Message(envelope.mail_from, list(envelope.rcpt_tos), bytes(envelope.content))
        self.messages.append(message)
        if self._on_message:
            self._on_message(message)
        return "250 OK: message accepted"


def print_message(message, out=sys.stdout):
    """Prints a message readably: its envelope, then its content with CR LF shown as line ends."""
    text = message.content.decode("cp1252", errors="backslashreplace")
    out.write(f"MAIL FROM: <{message.mail_from}>\n")
    for address in message.rcpt_tos:
        out.write(f"RCPT TO:   <{address}>\n")
    out.write(f"DATA ({len(message.content)} bytes):\n")
    out.write(text.replace("\r\n", "\n"))
    if not text.endswith("\n"):
        out.write("\n")
    out.write("(end of data)\n")
    out.flush()


def main():
    parser = argparse.ArgumentParser(description="Loopback SMTP server that prints each message.")
    parser.add_argument("--port-file", help="write the port to this file once the server listens")
    parser.add_argument("--tls", choices=("starttls", "implicit"), help="STARTTLS required, or TLS from the first byte")
    parser.add_argument("--cert", help="the server's certificate (PEM)")
    parser.add_argument("--key", help="its private key (PEM)")
    parser.add_argument("--login", help="USER:PASSWORD that a client must log in with")
    args = parser.parse_args()
    sys.stdout.reconfigure(encoding="utf-8")
    login = tuple(args.login.split(":", 1)) if args.login else None
    sink = SmtpSink(on_message=print_message, tls=args.tls, cert=args.cert, key=args.key, login=login,
                    on_login=lambda mechanism, user, accepted: print(
                        f"AUTH {mechanism} as {user}: {'accepted' if accepted else 'refused'}", flush=True))
    stopped = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stopped.set())
    if args.port_file:
        with open(args.port_file + ".new", "w") as f:
            f.write(f"{sink.port}\n")
        os.replace(args.port_file + ".new", args.port_file)
    security = {"starttls": ", STARTTLS required", "implicit": ", TLS from the first byte"}.get(args.tls, "")
    print(f"SMTP server listening on 127.0.0.1:{sink.port}{security}{', login required' if login else ''}",
          flush=True)
    while not stopped.wait(0.5):
        pass
    sink.stop()


if __name__ == "__main__":
    main()
