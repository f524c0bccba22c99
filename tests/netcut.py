"""A loopback TCP relay that a test can cut, to lose a connection for real."""
import socket
import threading


class Relay(object):
    """Accepts on 127.0.0.1:<port> and relays to target; cut() drops every
    relayed connection at once, as a network failure would."""

    def __init__(self, target_port, target_host="127.0.0.1"):
        self.target = (target_host, target_port)
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.sockets = []
        self.lock = threading.Lock()
        self.closed = False
        t = threading.Thread(target=self._accept)
        t.daemon = True
        t.start()

    def _accept(self):
        while not self.closed:
            try:
                client, _ = self.listener.accept()
            except socket.error:
                return
            upstream = socket.create_connection(self.target)
            with self.lock:
                self.sockets += [client, upstream]
            for a, b in ((client, upstream), (upstream, client)):
                t = threading.Thread(target=self._pump, args=(a, b))
                t.daemon = True
                t.start()

    @staticmethod
    def _pump(src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
        except socket.error:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except socket.error:
                pass

    def cut(self):
        with self.lock:
            for s in self.sockets:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except socket.error:
                    pass
                s.close()
            self.sockets = []

    def close(self):
        self.closed = True
        self.cut()
        self.listener.close()
