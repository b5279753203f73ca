#!/usr/bin/env python3
"""Loopback TLS servers for the TLS tests, and the certificates they present.

  tls_test_server.py start --dir DIR [--trust PROGRAM...]
      Makes a fresh test CA and server certificates in DIR with the openssl command (the keys
      live only there), starts the servers in the background and waits until DIR/servers.txt
      names their ports. With --trust, the given command is run with "add DIR/ca.pem" so that
      a Windows program under Wine trusts the test CA.
  tls_test_server.py stop --dir DIR [--trust PROGRAM...]
      Stops the servers (and runs the command with "remove DIR/ca.pem").

Every server listens on its own free port of 127.0.0.1 and plays one scenario per connection:
TLS from the first byte or after a plain STARTTLS exchange, then the greeting "220 tls ready"
(written together with the end of the handshake) and an echo of everything the client sends,
until the client's close_notify (answered with one) or the end of the connection; "closer"
ends with close_notify right after the greeting, "corrupt" sends a record that does not
decrypt. Each ended
connection appends "SCENARIO CLIENT-PORT OUTCOME BYTES" to DIR/events.txt, BYTES being the
application bytes received from the client. The servers end by themselves after --lifetime
seconds.

The relay (port "relay" in servers.txt) puts TLS under the scripted SMTP server of the mail
tests. The scripted server connects to it and is told "PORT\n", the port on which the relay
then takes one client; when the client has come the scripted server is told "accepted
ADDRESS\n", and from then on the relay passes the bytes on both ways. "\0TLS:NAME\n" from the
scripted server ends the plain part: the relay becomes the TLS server towards the client, with
the certificate NAME ("good", "wrongname", "expired", "notyetvalid", "selfsigned"), and passes
the application data on in plain. After a failed handshake whatever the client still sends is
passed on as it is, so that the scripted server sees it. Either side's end ends both.
"""
import argparse
import datetime
import os
import select
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

GREETING = b"220 tls ready\r\n"
NAME = "/O=QBNotify Tests/CN=localhost"

# scenario -> certificate, how the connection begins, protocol versions.
SCENARIOS = {
    "tls13": dict(cert="good"),
    "tls12": dict(cert="good", maximum="TLSv1_2"),
    "starttls": dict(cert="good", starttls=b"220 go ahead\r\n"),
    # Plain text after the go-ahead that a client must not take for a reply inside TLS.
    "starttls_injected": dict(cert="good", starttls=b"220 go ahead\r\n250 injected\r\n"),
    "wrongname": dict(cert="wrongname"),
    "expired": dict(cert="expired"),
    "notyetvalid": dict(cert="notyetvalid"),
    "selfsigned": dict(cert="selfsigned"),
    "tls11": dict(cert="good", minimum="TLSv1_1", maximum="TLSv1_1"),
    "closes": dict(cert="good", closes=True),
    # The greeting and close_notify in one write, then the end of the connection.
    "closer": dict(cert="good", close_after_greeting=True),
    # The greeting, then a record that does not decrypt.
    "corrupt": dict(cert="good", corrupt_after_greeting=True),
}

CA_CONFIG = """
[ca]
default_ca = test_ca
[test_ca]
dir = {dir}
database = $dir/index.txt
new_certs_dir = $dir/issued
serial = $dir/serial
certificate = $dir/ca.pem
private_key = $dir/ca.key
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
email_in_dn = no
[any_name]
organizationName = optional
commonName = supplied
[req]
distinguished_name = empty_name
prompt = no
[empty_name]
[ca_cert]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server_localhost]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost,IP:127.0.0.1
[server_wrong_name]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:wrong.example
"""


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def stamp(days):
    moment = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=days)
    return moment.strftime("%Y%m%d%H%M%SZ")


def make_certificates(directory):
    """CA, one server key, and the certificates: name -> PEM file."""
    os.makedirs(os.path.join(directory, "issued"), exist_ok=True)
    with open(os.path.join(directory, "ca.cnf"), "w") as f:
        f.write(CA_CONFIG.format(dir=directory))
    open(os.path.join(directory, "index.txt"), "w").close()
    with open(os.path.join(directory, "serial"), "w") as f:
        f.write("%016X\n" % int(time.time() * 1000))
    run = lambda *args: openssl(*args, cwd=directory)
    run("req", "-x509", "-config", "ca.cnf", "-extensions", "ca_cert", "-newkey", "rsa:2048", "-nodes",
        "-keyout", "ca.key", "-out", "ca.pem", "-days", "30", "-subj", "/O=QBNotify Tests/CN=QBNotify Test CA")
    run("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", "server.key")
    run("req", "-new", "-config", "ca.cnf", "-key", "server.key", "-subj", NAME, "-out", "server.csr")
    signed = {
        "good": ("server_localhost", -1, 30),
        "wrongname": ("server_wrong_name", -1, 30),
        "expired": ("server_localhost", -30, -1),
        "notyetvalid": ("server_localhost", 1, 30),
    }
    files = {}
    for name, (extensions, start, end) in signed.items():
        files[name] = name + ".pem"
        run("ca", "-batch", "-notext", "-config", "ca.cnf", "-extensions", extensions, "-in", "server.csr",
            "-out", files[name], "-startdate", stamp(start), "-enddate", stamp(end))
    files["selfsigned"] = "selfsigned.pem"
    run("req", "-x509", "-config", "ca.cnf", "-extensions", "server_localhost", "-key", "server.key",
        "-subj", NAME, "-days", "30", "-out", files["selfsigned"])
    return {name: os.path.join(directory, file) for name, file in files.items()}


def fingerprint(pem):
    out = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", pem], check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    return out.strip().split("=", 1)[1]


def context(directory, certificate, minimum=None, maximum=None, **_):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(certificate, os.path.join(directory, "server.key"))
    if minimum or maximum:
        ctx.set_ciphers("DEFAULT:@SECLEVEL=0")  # lets OpenSSL 3 speak TLS 1.1 at all
    if minimum:
        ctx.minimum_version = getattr(ssl.TLSVersion, minimum)
    if maximum:
        ctx.maximum_version = getattr(ssl.TLSVersion, maximum)
    return ctx


def read_decrypted(tls, ends=(ssl.SSLZeroReturnError,)):
    """The application bytes that `tls` can give now, and whether the peer ended (close_notify,
    end of stream, or an error of `ends`)."""
    chunks = []
    while True:
        try:
            chunk = tls.read(262144)
        except ssl.SSLWantReadError:
            return b"".join(chunks), False
        except ends:
            return b"".join(chunks), True
        if not chunk:
            return b"".join(chunks), True
        chunks.append(chunk)


class Session:
    """The server's side of one TLS connection, through memory BIOs so that what the server
    writes after the handshake leaves together with the handshake's last flight."""

    def __init__(self, conn, ctx):
        self.conn = conn
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = ctx.wrap_bio(self.incoming, self.outgoing, server_side=True)

    def flush(self):
        data = self.outgoing.read()
        if data:
            self.conn.sendall(data)

    def receive(self):
        data = self.conn.recv(262144)
        if not data:
            self.incoming.write_eof()
            return False
        self.incoming.write(data)
        return True

    def handshake(self):
        while True:
            try:
                self.tls.do_handshake()
                return "ok"
            except ssl.SSLWantReadError:
                self.flush()
                if not self.receive():
                    return "handshake-eof"
            except (ssl.SSLError, OSError) as error:
                try:
                    self.flush()  # the alert
                except OSError:
                    pass
                return "handshake-failed:" + str(getattr(error, "reason", None) or type(error).__name__)

    def echo(self):
        """Echoes until the client ends; (outcome, application bytes received)."""
        total = 0
        while True:
            data, closing = read_decrypted(self.tls)
            if data:
                total += len(data)
                self.tls.write(data)
                self.flush()
            if closing:
                try:
                    self.tls.unwrap()
                except (ssl.SSLError, OSError):
                    pass
                self.flush()
                return "close_notify", total
            if not self.receive():
                return "eof", total



TLS_MARK = b"\0TLS:"


class RelayPump:
    """One relayed connection: the client's side (`front`) and the scripted server's (`back`)."""

    def __init__(self, front, back, contexts):
        self.front, self.back, self.contexts = front, back, contexts
        self.mode = "plain"  # then "handshake", "open" or "failed"
        self.pending = b""  # from the scripted server, not yet passed on
        self.tls = self.incoming = self.outgoing = None

    def run(self):
        while True:
            ready, _, _ = select.select([self.front, self.back], [], [], 180)
            if not ready:
                return
            if self.back in ready:
                data = self.back.recv(262144)
                if not data:
                    return
                self.pending += data
                self.from_server()
            if self.front in ready:
                data = self.front.recv(262144)
                if not data or not self.from_client(data):
                    return

    def flush(self):
        data = self.outgoing.read()
        if data:
            self.front.sendall(data)

    def from_server(self):
        while self.pending:
            if self.mode == "plain":
                at = self.pending.find(TLS_MARK)
                end = self.pending.find(b"\n", at) if at >= 0 else -1
                if end < 0:
                    # Everything but what may be the start of a mark goes to the client.
                    keep = next((n for n in range(len(TLS_MARK), 0, -1) if self.pending.endswith(TLS_MARK[:n])), 0)
                    cut = at if at >= 0 else len(self.pending) - keep
                    self.front.sendall(self.pending[:cut])
                    self.pending = self.pending[cut:]
                    return
                self.front.sendall(self.pending[:at])
                name = self.pending[at + len(TLS_MARK):end].decode()
                self.pending = self.pending[end + 1:]
                self.start_tls(name)
            elif self.mode == "open":
                self.tls.write(self.pending)
                self.pending = b""
                self.flush()
            elif self.mode == "failed":
                self.pending = b""
            else:
                return  # the handshake is not over yet

    def start_tls(self, name):
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = self.contexts[name].wrap_bio(self.incoming, self.outgoing, server_side=True)
        self.mode = "handshake"
        self.handshake()

    def handshake(self):
        try:
            self.tls.do_handshake()
        except ssl.SSLWantReadError:
            self.flush()
            return True
        except (ssl.SSLError, OSError):
            try:
                self.flush()  # the alert
            except OSError:
                pass
            self.mode = "failed"
            return True
        self.mode = "open"
        self.flush()
        self.from_server()
        return self.read_application()

    def from_client(self, data):
        """Takes bytes from the client; False when the relayed connection is over."""
        if self.mode in ("plain", "failed"):
            self.back.sendall(data)
            return True
        self.incoming.write(data)
        return self.handshake() if self.mode == "handshake" else self.read_application()

    def read_application(self):
        data, closing = read_decrypted(self.tls, (ssl.SSLZeroReturnError, ssl.SSLError))
        if data:
            self.back.sendall(data)
        self.flush()
        if closing:
            try:
                self.tls.unwrap()
            except (ssl.SSLError, OSError):
                pass
            try:
                self.flush()
            except OSError:
                pass
        return not closing


def relay_connection(back, contexts):
    listener = None
    try:
        back.settimeout(60)
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        back.sendall(b"%d\n" % listener.getsockname()[1])
        early = b""  # what the scripted server sent before the client came (a TLS mark)
        while True:
            ready, _, _ = select.select([listener, back], [], [], 60)
            if not ready:
                return
            if listener in ready:
                break
            data = back.recv(4096)
            if not data:
                return
            early += data
        front, peer = listener.accept()
        with front:
            back.sendall(b"accepted %s\n" % peer[0].encode())
            pump = RelayPump(front, back, contexts)
            pump.pending = early
            pump.from_server()
            pump.run()
    except (OSError, ssl.SSLError):
        pass
    finally:
        if listener:
            listener.close()
        back.close()


class Servers:
    def __init__(self, directory, certificates):
        self.directory = directory
        self.lock = threading.Lock()
        self.listeners = {}
        for name, scenario in SCENARIOS.items():
            listener = socket.socket()
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind(("127.0.0.1", 0))
            listener.listen(16)
            ctx = context(directory, certificates[scenario["cert"]], **scenario)
            self.listeners[name] = (listener, scenario, ctx)
        self.relay = socket.socket()
        self.relay.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.relay.bind(("127.0.0.1", 0))
        self.relay.listen(16)
        self.relay_contexts = {name: context(directory, pem) for name, pem in certificates.items()}

    def log(self, name, port, outcome, count):
        with self.lock, open(os.path.join(self.directory, "events.txt"), "a") as f:
            f.write("%s %d %s %d\n" % (name, port, outcome, count))

    def accept(self, name):
        listener, scenario, ctx = self.listeners[name]
        while True:
            conn, peer = listener.accept()
            threading.Thread(target=self.play, args=(name, scenario, ctx, conn, peer[1]), daemon=True).start()

    def play(self, name, scenario, ctx, conn, port):
        outcome, count = "?", 0
        try:
            conn.settimeout(60)
            if scenario.get("closes"):
                conn.recv(5)  # the start of the client's hello
                outcome = "closed"
                return
            if scenario.get("starttls"):
                conn.sendall(b"220 plain\r\n")
                line = b""
                while not line.endswith(b"\n"):
                    byte = conn.recv(1)
                    if not byte:
                        break
                    line += byte
                if line != b"STARTTLS\r\n":
                    outcome = "bad-command"
                    return
                conn.sendall(scenario["starttls"])
            session = Session(conn, ctx)
            outcome = session.handshake()
            if outcome != "ok":
                return
            session.tls.write(GREETING)
            if scenario.get("corrupt_after_greeting"):
                session.flush()
                conn.sendall(b"\x17\x03\x03\x00\x20" + bytes(range(32)))
                conn.recv(1)  # until the client gives up
                outcome = "corrupted"
                return
            if scenario.get("close_after_greeting"):
                try:
                    session.tls.unwrap()
                except ssl.SSLWantReadError:
                    pass  # close_notify is written; the client's is not awaited
                session.flush()
                outcome = "server-closed"
                return
            session.flush()
            outcome, count = session.echo()
        except (OSError, ssl.SSLError) as error:
            outcome = "error:" + type(error).__name__
        finally:
            conn.close()
            self.log(name, port, outcome, count)

    def accept_relayed(self):
        while True:
            back, _ = self.relay.accept()
            threading.Thread(target=relay_connection, args=(back, self.relay_contexts), daemon=True).start()

    def run(self, lifetime):
        for name in self.listeners:
            threading.Thread(target=self.accept, args=(name,), daemon=True).start()
        threading.Thread(target=self.accept_relayed, daemon=True).start()
        time.sleep(lifetime)


def serve(args):
    certificates = {name: os.path.join(args.dir, name + ".pem") for name in
                    ("good", "wrongname", "expired", "notyetvalid", "selfsigned")}
    servers = Servers(args.dir, certificates)
    lines = ["%s=%d" % (name, listener.getsockname()[1]) for name, (listener, _, _) in servers.listeners.items()]
    lines.append("relay=%d" % servers.relay.getsockname()[1])
    lines += ["fingerprint.%s=%s" % (name, fingerprint(pem)) for name, pem in certificates.items()]
    info = os.path.join(args.dir, "servers.txt")
    with open(info + ".tmp", "w") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(info + ".tmp", info)
    servers.run(args.lifetime)


def stop_running(directory):
    try:
        with open(os.path.join(directory, "server.pid")) as f:
            os.kill(int(f.read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass


def trust(args, verb):
    if args.trust:
        subprocess.run([*args.trust, verb, os.path.join(args.dir, "ca.pem")], check=True,
                       stdin=subprocess.DEVNULL)


def start(args):
    stop_running(args.dir)
    os.makedirs(args.dir, exist_ok=True)
    for name in os.listdir(args.dir):
        path = os.path.join(args.dir, name)
        if os.path.isfile(path):
            os.remove(path)
    make_certificates(args.dir)
    with open(os.path.join(args.dir, "server.log"), "w") as log:
        server = subprocess.Popen([sys.executable, os.path.abspath(__file__), "serve", "--dir", args.dir,
                                   "--lifetime", str(args.lifetime)], stdin=subprocess.DEVNULL, stdout=log,
                                  stderr=log, start_new_session=True)
    with open(os.path.join(args.dir, "server.pid"), "w") as f:
        f.write(str(server.pid))
    deadline = time.monotonic() + 30
    while not os.path.exists(os.path.join(args.dir, "servers.txt")):
        if server.poll() is not None or time.monotonic() > deadline:
            sys.exit("the TLS test servers did not start; see " + os.path.join(args.dir, "server.log"))
        time.sleep(0.05)
    trust(args, "add")


def stop(args):
    stop_running(args.dir)
    trust(args, "remove")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("command", choices=("start", "stop", "serve"))
    parser.add_argument("--dir", required=True)
    parser.add_argument("--lifetime", type=int, default=3600)
    parser.add_argument("--trust", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    args.dir = os.path.abspath(args.dir)
    {"start": start, "stop": stop, "serve": serve}[args.command](args)


if __name__ == "__main__":
    main()
