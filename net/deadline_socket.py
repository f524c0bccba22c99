"""The house way to bound a whole exchange over one socket in Python: every
wait on the socket (connect, TLS handshake, each read and write) gets only
the time left before one deadline, on a non-blocking socket. A socket
time-out alone restarts with every byte, and the stdlib's TLS handshake and
reads wait once per record received, so a peer that drips a byte now and
then would hold the exchange for ever; under one deadline it is cut off at
the deadline with socket.timeout(message).

Used by the platform's forwarding (qz.qztool.post_qz_message) and the image
loader's fetches (digits.utils.image_fetch). The native SMTP session, whose
socket smtplib makes and reads itself, has the same rule from a watcher in
net/socket_deadline.h."""
import errno
import math
import select
import socket
import ssl
import time

TIMED_OUT = "timed out"


def left(deadline, message=TIMED_OUT):
    """Seconds left before the deadline; socket.timeout(message) once none are."""
    remaining = deadline - time.time()
    if remaining <= 0:
        raise socket.timeout(message)
    return remaining


def wait(sock, writing, deadline, message=TIMED_OUT):
    """Waits until `sock` is ready, for no longer than the deadline allows."""
    while True:
        remaining = left(deadline, message)
        try:
            if hasattr(select, "poll"):
                poller = select.poll()
                poller.register(sock.fileno(), select.POLLOUT if writing else select.POLLIN)
                ready = poller.poll(int(math.ceil(remaining * 1000)))
            else:
                ready = select.select([] if writing else [sock], [sock] if writing else [], [],
                                      remaining)[:2]
                ready = ready[0] or ready[1]
        except (select.error, OSError, IOError) as e:
            if e.args and e.args[0] == errno.EINTR:
                continue
            raise
        if ready:
            return


def nonblocking(op, sock, arg, writing, deadline, message=TIMED_OUT):
    """op(arg) on a non-blocking socket, waiting within the deadline while it would block."""
    while True:
        try:
            return op(arg)
        except ssl.SSLWantReadError:
            writing = False
        except ssl.SSLWantWriteError:
            writing = True
        except ssl.SSLError:
            raise
        except socket.error as e:
            if e.args and e.args[0] in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EINTR):
                pass
            else:
                raise
        wait(sock, writing, deadline, message)


class DeadlineSocket(object):
    """A non-blocking socket (or TLS socket) whose every wait gets only the
    time left before one deadline, as httplib and socket._fileobject use a
    socket. `closes`: whether close() closes the socket; a caller that
    closes the descriptor itself once done passes False (httplib closes its
    connection while the answer is still read from it)."""

    def __init__(self, sock, deadline, message=TIMED_OUT, closes=True):
        sock.settimeout(0.0)
        self._sock = sock
        self._deadline = deadline
        self._message = message
        self._closes = closes
        # SSLSocket.send reports a blocked write as 0 bytes, without saying
        # whether it waits to read or to write; write() raises which one.
        self._send = sock.write if isinstance(sock, ssl.SSLSocket) else sock.send

    def recv(self, size):
        return nonblocking(self._sock.recv, self._sock, size, False, self._deadline, self._message)

    def sendall(self, data):
        view = memoryview(data)
        while view:
            sent = nonblocking(self._send, self._sock, view[:65536], True,
                               self._deadline, self._message)
            view = view[sent:]

    def makefile(self, mode="r", bufsize=-1):
        return socket._fileobject(self, mode, bufsize)

    def close(self):
        if self._closes:
            self._sock.close()

    def __getattr__(self, name):
        return getattr(self._sock, name)


def connect(addresses, deadline, message=TIMED_OUT):
    """A non-blocking socket connected to the first of `addresses` (rows of
    getaddrinfo) that answers, within the deadline."""
    error = None
    for family, socktype, proto, _, address in addresses:
        remaining = left(deadline, message)
        sock = socket.socket(family, socktype, proto)
        try:
            sock.settimeout(remaining)  # a connect is one wait: this bounds it
            sock.connect(address)
            sock.settimeout(0.0)
            return sock
        except socket.timeout:
            sock.close()
            raise socket.timeout(message)
        except socket.error as e:
            sock.close()
            error = e
    raise error or socket.error("no address to connect to")


def handshake(context, sock, host, deadline, message=TIMED_OUT):
    """`sock` wrapped by `context` for `host`, the handshake under the
    deadline. What httplib.HTTPSConnection.connect does: the host name goes
    out as SNI and, if the context checks host names, is matched against the
    certificate once the handshake is done."""
    sock.settimeout(0.0)
    tls = context.wrap_socket(sock, server_hostname=host, do_handshake_on_connect=False)
    nonblocking(lambda _: tls.do_handshake(), tls, None, False, deadline, message)
    return tls
