"""Stop signals around a queue handler: held away from the thread that runs
it, and told to listeners the moment they arrive (see SignalHold)."""
import ctypes
import ctypes.util
import errno
import os
import signal
import threading
import time

STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT)


class SignalHold(object):
    """Keeps SIGTERM and SIGINT away from the thread that runs a handler, and
    tells its listeners of a stop signal the moment it arrives.

    A signal that lands on the handler's thread cuts its socket call short
    (EINTR under Python 2), so while a handler runs that thread blocks them,
    and a sink thread that never blocks them receives them instead. Python
    runs its own handler of a signal only on the main thread, and only once
    the handler in hand returns to Python: a stop followed by a kill before
    that (a supervisor's stop time-out shorter than the request) would leave
    no trace of the stop. So the signal's arrival is also taken from the
    host's wake-up descriptor (signal.set_wakeup_fd: the host's C-level
    handler writes a byte there whichever thread it runs on), and the sink
    thread, blocked on it, calls the listeners at once.

    Python 2 has no pthread_sigmask of its own; the C library's is called
    through ctypes. Where that is not possible the mask does nothing, and a
    stop signal may then cut a handler's socket call short (the request then
    stays unacknowledged, nothing is lost).
    """

    def __init__(self):
        self._libc = None
        self._sink = None
        self._wake = None  # (read end, write end) of the wake-up pipe
        self.listeners = []  # called on the sink thread at each stop signal
        try:
            libc = ctypes.CDLL(ctypes.util.find_library("c") or None, use_errno=True)
            self._set = ctypes.create_string_buffer(128)  # sigset_t on Linux is 1024 bits
            libc.sigemptyset(self._set)
            for s in STOP_SIGNALS:
                libc.sigaddset(self._set, s)
            self._libc = libc
        except (OSError, AttributeError):
            pass

    def _mask(self, how):
        if self._libc is not None:
            self._libc.pthread_sigmask(how, self._set, None)

    def listen(self):
        """Starts the sink and the wake-up descriptor (on the main thread,
        the only one that may set it; elsewhere only the mask is had).
        Started before the first block: a thread inherits its creator's mask."""
        if self._sink is not None:
            return
        try:
            wake = os.pipe()
        except OSError:
            wake = None
        if wake is not None:
            import fcntl
            # The host's handler must never block on a full pipe.
            fcntl.fcntl(wake[1], fcntl.F_SETFL, fcntl.fcntl(wake[1], fcntl.F_GETFL) | os.O_NONBLOCK)
            try:
                signal.set_wakeup_fd(wake[1])
            except ValueError:  # not the main thread
                os.close(wake[0])
                os.close(wake[1])
                wake = None
        self._wake = wake

        def receive_signals():
            while True:
                if self._wake is None:
                    time.sleep(3600)
                    continue
                try:
                    if not os.read(self._wake[0], 64):
                        return
                except OSError as e:
                    if e.errno == errno.EINTR:
                        continue
                    return
                for listener in list(self.listeners):
                    try:
                        listener()
                    except Exception:
                        pass  # a note that cannot be written leaves the stop to Python's handler

        self._sink = threading.Thread(target=receive_signals, name="qzmqobj-signals")
        self._sink.daemon = True
        self._sink.start()

    def noting(self):
        """True when stop signals reach the listeners as they arrive."""
        return self._wake is not None

    def __enter__(self):
        if self._sink is None:
            self.listen()
        self._mask(0)  # SIG_BLOCK

    def __exit__(self, *exc):
        self._mask(1)  # SIG_UNBLOCK
        return False


# One for the process: the mask, the sink and the wake-up descriptor are
# the process's own.
hold = SignalHold()


def restorable(signum, handler):
    # A handler installed outside Python (the launcher's) reads as None and
    # cannot be put back by signal.signal; the host's own default stands in.
    if handler is not None:
        return handler
    return signal.default_int_handler if signum == signal.SIGINT else signal.SIG_DFL
