"""Servers that misbehave on purpose, for the fault tests: each binds to
127.0.0.1 on a free port, runs in daemon threads and stops with close()."""
import BaseHTTPServer
import socket
import threading


class Endpoint(object):
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

        self.server = BaseHTTPServer.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/qz/message" % self.server.server_port
        t = threading.Thread(target=self.server.serve_forever)
        t.daemon = True
        t.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


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
