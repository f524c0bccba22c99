"""Servers that misbehave on purpose, for the fault tests: each binds to
127.0.0.1 on a free port, runs in daemon threads and stops with close()."""
import BaseHTTPServer
import socket
import threading
import time
import zlib


def gzip_stream(pieces):
    """gzip of the concatenated pieces, compressed as they come: a bomb never
    exists in memory uncompressed."""
    z = zlib.compressobj(9, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
    return "".join([z.compress(p) for p in pieces] + [z.flush()])


class _HTTPServer(object):
    """An HTTP server on a free loopback port, serving in a daemon thread."""

    def __init__(self, handler, path="/"):
        self.server = BaseHTTPServer.HTTPServer(("127.0.0.1", 0), handler)
        self.url = "http://127.0.0.1:%d%s" % (self.server.server_port, path)
        t = threading.Thread(target=self.server.serve_forever)
        t.daemon = True
        t.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Endpoint(_HTTPServer):
    """A forwarding endpoint: POST answers `post_status` (with a Location to
    itself for redirects), GET answers 200, as a login page would."""

    def __init__(self, post_status):
        seen = self.seen = []

        class Handler(BaseHTTPServer.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("content-length", 0))
                seen.append(("POST", self.rfile.read(length)))
                self.send_response(post_status)
                self.send_header("Location", "/landing")
                self.send_header("Content-Length", "0")
                self.end_headers()

            def do_GET(self):
                seen.append(("GET", ""))
                self.send_response(200)
                self.send_header("Content-Length", "2")
                self.end_headers()
                self.wfile.write("ok")

            def log_message(self, *args):
                pass

        _HTTPServer.__init__(self, Handler, "/qz/message")


class BlackHole(object):
    """A TCP server that accepts every connection and never says a word, as
    an SMTP server whose process hangs would."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.accepted = []
        t = threading.Thread(target=self._accept)
        t.daemon = True
        t.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except socket.error:
                return
            self.accepted.append(conn)

    def close(self):
        self.listener.close()
        for conn in self.accepted:
            conn.close()


class FullBacklog(object):
    """A listener that never accepts, its backlog filled by connections of
    its own: the kernel drops a further SYN, so a connect to it waits."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        self.fillers = []
        for _ in range(4):
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex(("127.0.0.1", self.port))
            self.fillers.append(filler)
        time.sleep(0.2)  # the fillers' handshakes done

    def close(self):
        for filler in self.fillers:
            filler.close()
        self.listener.close()


class _SessionServer(object):
    """A TCP server on a free port of 127.0.0.1 that serves each connection
    in a thread of its own with _session(conn), which closes it."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        t = threading.Thread(target=self._serve)
        t.daemon = True
        t.start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except socket.error:
                return
            t = threading.Thread(target=self._session, args=(conn,))
            t.daemon = True
            t.start()

    def close(self):
        self.listener.close()


class DripServer(_SessionServer):
    """Reads what the client sends first (a TLS ClientHello, an HTTP request),
    then answers one byte every `every` seconds for as long as the client
    listens: a per-read time-out never fires."""

    def __init__(self, every=0.3, start="\x16\x03\x01\x40\x00"):
        self.every, self.start = every, start
        _SessionServer.__init__(self)

    def _session(self, conn):
        try:
            conn.recv(4096)
            for byte in self.start + "\0" * 100000:
                conn.sendall(byte)
                time.sleep(self.every)
        except socket.error:
            pass
        finally:
            conn.close()


class ScriptedAnswer(_SessionServer):
    """Reads the request, then sends each (pause, bytes) of `script` in turn
    and closes; `hold` seconds of silence at the end before the close (an
    endpoint that never finishes)."""

    def __init__(self, script, hold=0):
        self.script, self.hold = script, hold
        _SessionServer.__init__(self)

    def _session(self, conn):
        try:
            conn.recv(65536)
            for pause, data in self.script:
                time.sleep(pause)
                conn.sendall(data)
            time.sleep(self.hold)
        except socket.error:
            pass
        finally:
            conn.close()


class Redirector(_HTTPServer):
    """Answers every GET with a redirect to `target`."""

    def __init__(self, target):
        class Handler(BaseHTTPServer.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(302)
                self.send_header("Location", target)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        _HTTPServer.__init__(self, Handler, "/images/x.png")


class SMTPDrip(_SessionServer):
    """An SMTP server that answers promptly until one step of the exchange,
    then sends a byte every `every` seconds of a reply that never comes, for
    30 seconds, so a per-read time-out never fires; with flood, continuation
    lines of that reply as fast as the client reads them. stall_at:
    "greeting", "ehlo", "data" (the reply to the mail's text) or "quit";
    refuse_rcpt answers every recipient with 550. Mails taken are counted in `mails`.

    TLS, with tls=(certfile, keyfile): implicit (from the first byte; stall_at
    "handshake" never answers the client's hello), or with starttls, offered
    after a first EHLO ("plain ehlo"), the steps above then coming under TLS;
    starttls="refuse" answers it 454. auth offers AUTH PLAIN LOGIN in every
    EHLO reply and takes any login. The verbs received are kept in `verbs`,
    with "(tls)" after each one that came encrypted."""

    def __init__(self, stall_at, every=0.2, refuse_rcpt=False, flood=False, tls=None,
                 starttls=None, auth=False):
        self.stall_at, self.every, self.refuse_rcpt = stall_at, every, refuse_rcpt
        self.flood = flood
        self.tls, self.starttls, self.auth = tls, starttls, auth
        self.mails = 0
        self.verbs = []
        _SessionServer.__init__(self)

    def _answer(self, conn, step, reply):
        if step == self.stall_at and self.flood:
            # continuation lines without end, as fast as the client takes them
            line = reply[:3] + "-" + "x" * 1000 + "\r\n"
            deadline = time.time() + 30
            while time.time() < deadline:
                conn.sendall(line)
        elif step == self.stall_at:
            # never a whole reply code: a client that stops listening half-way
            # cannot take the drip for an answer
            for _ in range(int(30 / self.every)):  # then gives up: a test never hangs
                conn.sendall("x")
                time.sleep(self.every)
        conn.sendall(reply + "\r\n")

    def _secure(self, conn):
        import ssl
        return ssl.wrap_socket(conn, server_side=True, certfile=self.tls[0],
                               keyfile=self.tls[1])

    def _ehlo_reply(self, encrypted):
        lines = ["250-drip"]
        if self.auth:
            lines.append("250-AUTH PLAIN LOGIN")
        if self.starttls and not encrypted:
            lines.append("250-STARTTLS")
        return "\r\n".join(lines + ["250 8BITMIME"])

    def _session(self, conn):
        encrypted = False
        try:
            if self.tls and not self.starttls:
                if self.stall_at == "handshake":
                    conn.recv(4096)
                    time.sleep(30)
                    return
                conn = self._secure(conn)
                encrypted = True
            lines = conn.makefile("rb")
            self._answer(conn, "greeting", "220 drip ESMTP")
            while True:
                line = lines.readline()
                if not line:
                    return
                verb = line[:4].upper()
                self.verbs.append(line.split()[0].upper() + (" (tls)" if encrypted else ""))
                if verb in ("EHLO", "HELO"):
                    step = "plain ehlo" if self.starttls and not encrypted else "ehlo"
                    self._answer(conn, step, self._ehlo_reply(encrypted))
                elif verb == "STAR" and self.starttls == "refuse":
                    conn.sendall("454 TLS not available now\r\n")
                elif verb == "STAR" and self.starttls and not encrypted:
                    conn.sendall("220 go ahead\r\n")
                    conn = self._secure(conn)
                    lines = conn.makefile("rb")
                    encrypted = True
                elif verb == "AUTH" and self.auth:
                    conn.sendall("235 ok\r\n")
                elif verb == "RCPT" and self.refuse_rcpt:
                    conn.sendall("550 no such user\r\n")
                elif verb == "DATA":
                    conn.sendall("354 go on\r\n")
                    while lines.readline() not in (".\r\n", ""):
                        pass
                    self.mails += 1
                    self._answer(conn, "data", "250 queued")
                elif verb == "QUIT":
                    self._answer(conn, "quit", "221 bye")
                    return
                else:  # MAIL, RCPT, RSET, NOOP
                    conn.sendall("250 ok\r\n")
        except (socket.error, IOError):
            pass
        finally:
            conn.close()


class SMTPRelay(object):
    """An SMTP relay (no AUTH) that takes mail and keeps it in `mails` as
    (recipient, message text, connection number), and misbehaves on demand:

    per_connection: after this many mails on one connection it answers the
        next MAIL with 421 and closes the connection, as exim does at its
        limit of messages per connection (1,000 by default);
    refuse: recipients answered 550 at RCPT, for ever; every RCPT is counted
        in `rcpts`;
    down(), up(): stop listening (connects are refused) and close each
        connection at its next command, without an answer; then listen again
        on the same port. A mail is kept once its 250 is sent, so a mail is
        never taken without the client being told.
    """

    def __init__(self, per_connection=None, refuse=()):
        self.per_connection, self.refuse = per_connection, set(refuse)
        self.mails, self.rcpts = [], []
        self.connections = 0
        self.lock = threading.Lock()
        self.listener = None
        self.port = 0
        self.up()

    def up(self):
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", self.port))
        listener.listen(16)
        self.port = listener.getsockname()[1]
        self.listener = listener
        t = threading.Thread(target=self._accept, args=(listener,))
        t.daemon = True
        t.start()

    def down(self):
        listener, self.listener = self.listener, None
        if listener is not None:
            # wakes the accept under way, which holds the socket open
            # (and its port taken) past a plain close
            try:
                listener.shutdown(socket.SHUT_RDWR)
            except socket.error:
                pass
            listener.close()

    close = down

    def _accept(self, listener):
        while True:
            try:
                conn, _ = listener.accept()
            except socket.error:
                return
            with self.lock:
                self.connections += 1
                number = self.connections
            t = threading.Thread(target=self._session, args=(conn, listener, number))
            t.daemon = True
            t.start()

    def _session(self, conn, listener, number):
        lines = conn.makefile("rb")
        taken, recipient = 0, None
        try:
            conn.sendall("220 relay ESMTP\r\n")
            while True:
                line = lines.readline()
                if not line or self.listener is not listener:
                    return  # gone down: closed without an answer
                verb = line[:4].upper()
                if verb in ("EHLO", "HELO"):
                    conn.sendall("250 relay\r\n")
                elif verb == "MAIL":
                    if self.per_connection is not None and taken >= self.per_connection:
                        conn.sendall("421 relay Too many messages in one connection\r\n")
                        return
                    conn.sendall("250 ok\r\n")
                elif verb == "RCPT":
                    recipient = line.split(":", 1)[1].strip().strip("<>")
                    self.rcpts.append(recipient)
                    if recipient in self.refuse:
                        conn.sendall("550 no such user here\r\n")
                    else:
                        conn.sendall("250 ok\r\n")
                elif verb == "DATA":
                    conn.sendall("354 go on\r\n")
                    data = []
                    while True:
                        part = lines.readline()
                        if part in (".\r\n", ""):
                            break
                        data.append(part)
                    if not part:
                        return
                    conn.sendall("250 queued\r\n")
                    self.mails.append((recipient, "".join(data), number))
                    taken += 1
                elif verb == "QUIT":
                    conn.sendall("221 bye\r\n")
                    return
                else:  # RSET, NOOP
                    conn.sendall("250 ok\r\n")
        except socket.error:
            pass
        finally:
            conn.close()
