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

    def _pump(self, src, dst):
        try:
            from_target = src.getpeername() == self.target
            while True:
                data = src.recv(65536)
                if not data:
                    break
                self._passing(from_target, data)
                dst.sendall(data)
        except socket.error:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except socket.error:
                pass

    def _passing(self, from_target, data):
        """Called with each piece before it is relayed; a relay of another
        kind holds it here."""

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


class StallingRelay(Relay):
    """A relay that stall() makes hold every byte, the connections left
    open, as a hung peer or a firewall that swallows the traffic would;
    stall_after(n) does so once n more bytes came from the target (in the
    middle of an answer); resume() lets the bytes through again."""

    def __init__(self, target_port, target_host="127.0.0.1"):
        self.flowing = threading.Event()
        self.flowing.set()
        self.budget = None
        Relay.__init__(self, target_port, target_host)

    def _passing(self, from_target, data):
        if from_target and self.budget is not None:
            with self.lock:
                self.budget -= len(data)
                if self.budget <= 0:
                    self.budget = None
                    self.flowing.clear()
        self.flowing.wait()

    def stall(self):
        self.flowing.clear()

    def stall_after(self, size):
        with self.lock:
            self.budget = size

    def resume(self):
        self.flowing.set()
