"""The records of requests in hand, which let the next process know which
request a dead one was handling, and the digest that names a request in
them (records outlive the process, so the digest's text is a contract)."""
import errno
import hashlib
import json
import os
import threading

from qz import qztool
from qz._qzmq_signals import hold
from qz.qztool import _log

# A request that was in hand when the process ended this many times is
# dropped the next time it is delivered.
DEATHS_TO_DROP = 2

# What enter() and stopping() write, resolved when the write is made: the
# request in hand at that moment, with the stop mark once a stop was asked.
_ENTRY = object()
_STOP_MARK = object()


class InHand(object):
    """The record of the request in hand, kept so that the next process
    knows which request a dead one was handling."""

    def __init__(self, key):
        self.key = key
        self.folder = os.path.join(qztool.get_base_path(), "tmp")
        self.path = os.path.join(self.folder, "%s.inhand.%d" % (key, os.getpid()))
        self.fd = None
        self.length = 0  # bytes in the record file
        self.lock = threading.Lock()  # taken in turns with the signal sink
        self.writing = False  # a write of the record is under way
        self.pending = None  # text a stop handler left to that write
        self.stop_asked = False  # a stop signal came: every note says so
        self.holding = False  # the record names a request in hand
        self.current = None  # (digest, deaths) of the request in hand
        self.suspects = {}  # digest -> how many processes it has ended

    def claim_leftovers(self):
        """Takes over the records of dead processes that consumed this key.

        A record named by this process's own pid is a predecessor's (in a
        container a restarted service often gets its old pid back): this
        process writes its own only when its first request arrives."""
        prefix = self.key + ".inhand."
        try:
            names = os.listdir(self.folder)
        except OSError:
            return
        for name in names:
            if not name.startswith(prefix):
                continue
            # <key>.inhand.<pid>, or <key>.inhand.<pid>.claimed.<claimant>
            # left by a claimant that died before it was done.
            owners = name[len(prefix):].split(".claimed.")
            try:
                pids = [int(p) for p in owners]
            except ValueError:
                continue
            if any(p != os.getpid() and _alive(p) for p in pids):
                continue
            path = os.path.join(self.folder, name)
            claimed = "%s.inhand.%d.claimed.%d" % (os.path.join(self.folder, self.key),
                                                  pids[0], os.getpid())
            try:
                os.rename(path, claimed)  # only one claimant wins a record
            except OSError:
                continue
            try:
                with open(claimed) as f:
                    fields = f.read(200).split()
                self._count_death(*fields)
            except (IOError, ValueError, TypeError):
                pass  # an empty record: nothing was in hand
            finally:
                _unlink(claimed)

    def _count_death(self, digest, deaths, stop=None):
        # A process that was asked to stop and was killed while it finished
        # its request (a supervisor's stop time-out) was not ended by the
        # request: the count stays as it was.
        deaths = int(deaths) + (0 if stop == "stop" else 1)
        self.suspects[digest] = max(self.suspects.get(digest, 0), deaths)

    def enter(self, digest):
        """Records digest as in hand; returns how many processes it ended before."""
        deaths = self.suspects.get(digest, 0)
        self.current = (digest, deaths)
        if deaths < DEATHS_TO_DROP:
            self._write(_ENTRY)
        return deaths

    def stopping(self):
        """Notes in the record that a stop was asked for while the request was
        in hand. Called by Python's signal handler on the main thread, or by
        the signal sink on its own thread as the signal arrives."""
        self.stop_asked = True
        if self.current is not None and (hold.noting() or self.holding or self.writing):
            self._write(_STOP_MARK)

    def leave(self, digest):
        self.suspects.pop(digest, None)
        self.current = None
        self._write("")

    def _write(self, data):
        # No two writes may interleave their seek, write and truncate. With
        # the signal sink, the stop is noted on the sink's thread and the
        # two threads take turns on the lock (Python's handler then writes
        # nothing). Without it, Python's handler notes the stop on this
        # thread, maybe in the middle of another write: it then leaves its
        # text to the write in progress, which puts it down after its own.
        if self.fd == -1:
            return
        if hold.noting():
            with self.lock:
                self._put(data)
            return
        if self.writing:
            self.pending = data
            return
        self.writing = True
        try:
            while True:
                self.pending = None
                self._put(data)
                if self.pending is None or self.fd == -1:
                    return
                data = self.pending
        finally:
            self.writing = False

    def _put(self, data):
        if data is _ENTRY or data is _STOP_MARK:
            # Resolved here, under the lock, from the request in hand now: a
            # stop noted just before a request's own entry is not lost to it.
            if self.current is None:
                return
            data = "%s %d%s\n" % (self.current + (" stop" if self.stop_asked else "",))
        try:
            if self.fd is None:
                if not os.path.isdir(self.folder):
                    os.makedirs(self.folder)
                self.fd = os.open(self.path, os.O_WRONLY | os.O_CREAT, 0o600)
                self.length = os.fstat(self.fd).st_size
            # Every request passes here twice: two system calls when it is
            # taken (the record only grows), one when it is done.
            if data:
                os.lseek(self.fd, 0, os.SEEK_SET)
                if os.write(self.fd, data) != len(data):
                    raise IOError(errno.ENOSPC, "short write")
            if len(data) < self.length:
                os.ftruncate(self.fd, len(data))
            self.length = len(data)
            self.holding = bool(data)
        except (OSError, IOError) as e:
            # Without the record the guard is off; the requests still flow.
            _log("QZMQObject: cannot keep the record of the request in hand", self.path, repr(e))
            self.close()
            self.fd = -1

    def close(self):
        """Ends the record; one that still names a request in hand stays for
        the next process to find."""
        if self.fd is not None and self.fd >= 0:
            os.close(self.fd)
            if not self.holding:
                _unlink(self.path)
        self.fd = None


def _alive(pid):
    try:
        os.kill(pid, 0)
    except OSError as e:
        return e.errno == errno.EPERM
    return True


def _unlink(path):
    try:
        os.unlink(path)
    except OSError:
        pass


def _json_scalar(value):
    """The text json.dumps gives a header value of the usual kinds, or None."""
    kind = type(value)
    if kind is str or kind is unicode:
        return json.encoder.encode_basestring_ascii(value)  # refuses bytes that are not UTF-8
    if kind is int or kind is long:
        return str(value)
    if kind is bool:
        return "true" if value else "false"
    if value is None:
        return "null"
    return None


def _sorted_json(headers):
    """json.dumps(headers, sort_keys=True, default=repr), the same text: the
    digest names requests in records that outlive the process. With sorted
    keys json.dumps takes its pure-Python encoder (7 us for two headers); a
    flat table of text keys and plain values is written here instead."""
    if type(headers) is dict:
        items = []
        for key in sorted(headers):
            value = _json_scalar(headers[key])
            if value is None or type(key) not in (str, unicode):
                break
            items.append(json.encoder.encode_basestring_ascii(key) + ": " + value)
        else:
            return "{" + ", ".join(items) + "}"
    return json.dumps(headers, sort_keys=True, default=repr)


def digest(key, properties, body):
    """Names a request by its key, headers and body. Never raises: it runs
    before the request is on record, so a raise here would end the service
    at every delivery of the same request, past the crash-loop guard."""
    headers = getattr(properties, "headers", None) or {}
    try:
        shown = _sorted_json(headers)
    except Exception:
        try:
            shown = repr(sorted(headers.items()))
        except Exception:
            shown = "?"  # named by its key and body alone
    return hashlib.sha1("%s\0%s\0%s" % (key, shown, body)).hexdigest()
