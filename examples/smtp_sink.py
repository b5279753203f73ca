#!/usr/bin/python3
"""A loopback SMTP server that accepts every message and keeps it: for the demo and the
end-to-end tests.

SmtpSink listens on 127.0.0.1 on a free port (aiosmtpd, in a thread of its own) and records
every MAIL FROM and RCPT TO it is given and every message as received: the envelope and the
DATA content after the server removed the dot-stuffing, byte for byte.

Run as a program it prints each message as it arrives, Windows-1252 shown as UTF-8:
    smtp_sink.py [--port-file FILE]    (the port is written to FILE once the server listens)
It runs until it is interrupted or terminated.
"""
import argparse
import asyncio
import collections
import os
import signal
import socket
import sys
import threading

from aiosmtpd.smtp import SMTP

Message = collections.namedtuple("Message", "mail_from rcpt_tos content")


class SmtpSink:
    def __init__(self, on_message=None):
        self.messages = []  # Message, in the order of arrival
        self.commands = []  # ("MAIL", address) and ("RCPT", address), in the order given
        self._on_message = on_message
        self._loop = asyncio.new_event_loop()
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        self.port = listener.getsockname()[1]
        # A fixed host name: the default looks the machine's name up in DNS.
        self._server = self._loop.run_until_complete(
            self._loop.create_server(lambda: SMTP(self, hostname="localhost", loop=self._loop), sock=listener))
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
    args = parser.parse_args()
    sys.stdout.reconfigure(encoding="utf-8")
    sink = SmtpSink(on_message=print_message)
    stopped = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stopped.set())
    if args.port_file:
        with open(args.port_file + ".new", "w") as f:
            f.write(f"{sink.port}\n")
        os.replace(args.port_file + ".new", args.port_file)
    print(f"SMTP server listening on 127.0.0.1:{sink.port}", flush=True)
    while not stopped.wait(0.5):
        pass
    sink.stop()


if __name__ == "__main__":
    main()
