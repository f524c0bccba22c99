"""The platform's message-queue client over RabbitMQ (pika).

A key names one topology, the same for every program and caller: a direct
exchange named by the key and a queue named by the key, bound to it under the
key; consume() applies its durable/exclusive/auto_delete flags to both.

The window. A consumer holds at most qzconfig.QZ_MQ_PREFETCH unacknowledged
deliveries (the broker's prefetch limit): the client's memory follows that,
not the queue's length, and a stop returns at most that many to the queue.

Failed requests. A handler that returns (or raises) without settling its
delivery (ack, nack, reject) has failed on it. The client holds such a
delivery for a back-off, QZ_MQ_RETRY_DELAY seconds after its first failure,
doubling with each further failure up to QZ_MQ_RETRY_MAX_DELAY, then rejects
it with requeue, so that the running worker (or another consumer of the
queue) tries it again. Held deliveries stay in the window: in an outage the
deliveries slow down to the window's worth per back-off instead of every
queued request failing once. Failures are counted per request by its digest
(the one the records of requests in hand use), in this process. At its
QZ_MQ_MAX_FAILURES-th failure a request is parked: copied, persistent, to the
durable queue <key>.failed (with the header x-qz-failures) and then
acknowledged, with a log line naming it; qzmqtool.replay_parked puts parked
requests back.

Handlers run on the thread that called wait(), one message at a time, in one
of two forms chosen by qzconfig.QZ_MQ_PROTOCOL at consume() time:
    true:  callback(channel, method, properties, body)
    false: callback(message), message having channel, properties, body,
           consumer_tag and delivery_tag.

Stops. From open() to close() SIGTERM and SIGINT only ask for a stop: the
handler in hand finishes (the signals are held while it runs, so that its
socket calls are not cut short), deliveries already buffered or held are not
handled and go back to the queue when the connection closes, and wait()
returns True. wait() also returns True after the consumers were cancelled by
the client itself (the cancel word). It returns False, never raises, when
the connection is lost in any way or when the broker cancels a consumer (its
queue deleted, its node lost): the program should end with a failure, so that
its supervisor starts it again.

Requests in hand. Before a handler runs, a record of the request is kept in
<base>/tmp/<key>.inhand.<pid> and cleared once the handler returns, the
connection up or not. A record left behind names a request that was in hand
when the process ended; a stop signal received meanwhile is noted in it as
the signal arrives, and such an end does not count. A request that has ended
the process DEATHS_TO_DROP times is acknowledged and dropped with a log line
the next time it comes, so that it cannot keep a service in a crash loop.
"""
import collections
import ctypes
import ctypes.util
import errno
import functools
import hashlib
import json
import os
import signal
import struct
import sys
import threading
import time
import traceback

import pika
import pika.data
import pika.exceptions

from qz import qzconfig, qztool
from qz.qztool import _log

# How often wait() looks at its stop flag while no message arrives (seconds).
POLL = 0.25

# A request that was in hand when the process ended this many times is
# dropped the next time it is delivered.
DEATHS_TO_DROP = 2

_STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT)

# What enter() and stopping() write, resolved when the write is made: the
# request in hand at that moment, with the stop mark once a stop was asked.
_ENTRY = object()
_STOP_MARK = object()

# Failure counts kept per consumer at most: a request that failed here and
# then went to another consumer (or succeeded after a restart of the count)
# leaves its entry behind, and requests are anyone's to publish.
TRACKED_FAILURES = 4096

# The header a parked copy carries: the failures that parked it.
FAILURES_HEADER = "x-qz-failures"


def _read_unreadable_tables_as_empty():
    """A header table that pika cannot decode (nested too deep for the host's
    recursion limit, a timestamp out of the platform's range, an unknown
    field type) makes it drop the whole connection; the message then comes
    back at every start and no consumer of the queue ever gets past it. Read
    such a table as empty instead, skipping its bytes: the message arrives
    without headers, and the workers drop it as such, with their warning."""
    decode = pika.data.decode_table
    nesting = threading.local()

    def decode_table(encoded, offset):
        level = getattr(nesting, "level", 0)
        nesting.level = level + 1
        try:
            return decode(encoded, offset)
        except Exception as e:
            if level:
                raise  # the outermost table is skipped as a whole
            size = struct.unpack_from(">I", encoded, offset)[0]
            _log("QZMQObject: a table of", size, "bytes could not be read, taken as empty:",
                 "%s: %s" % (type(e).__name__, e))
            return {}, offset + 4 + size
        finally:
            nesting.level = level

    pika.data.decode_table = decode_table


_read_unreadable_tables_as_empty()


class Message(object):
    """A delivered message in the one-argument form."""
    __slots__ = ("channel", "method", "properties", "body", "consumer_tag", "delivery_tag")

    def __init__(self, channel, method, properties, body):
        self.channel = channel
        self.method = method
        self.properties = properties
        self.body = body
        self.consumer_tag = method.consumer_tag
        self.delivery_tag = method.delivery_tag


class _SignalHold(object):
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
            for s in _STOP_SIGNALS:
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


_hold = _SignalHold()


def _restorable(signum, handler):
    # A handler installed outside Python (the launcher's) reads as None and
    # cannot be put back by signal.signal; the host's own default stands in.
    if handler is not None:
        return handler
    return signal.default_int_handler if signum == signal.SIGINT else signal.SIG_DFL


class _InHand(object):
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
        if self.current is not None and (_hold.noting() or self.holding or self.writing):
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
        if _hold.noting():
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


def _queue_arguments(durable, exclusive, auto_delete):
    """A durable, shared queue is a quorum queue when the platform says so:
    RabbitMQ replicates those over a cluster's nodes, and a consumer on a
    surviving node goes on when the leader's node is lost. Other queues (a
    service's transient queue, a caller's reply queue) cannot be quorum
    queues and stay classic."""
    kind = getattr(qzconfig, "QZ_MQ_QUEUE_TYPE", "classic") or "classic"
    if kind == "classic" or not durable or exclusive or auto_delete:
        return None
    return {"x-queue-type": kind}


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


def _digest(key, properties, body):
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


# A setting that cannot work, named with its value (never a secret's); the
# settings module's own kind, so that one catch serves both.
SettingError = qzconfig.SettingError


# The longest virtual host name AMQP carries (a short string).
_VHOST_BYTES = 255


def _text_setting(name):
    value = getattr(qzconfig, name, "")
    if value is None:
        return ""
    if isinstance(value, unicode):
        value = value.encode("utf-8")
    if not isinstance(value, str):
        raise SettingError("setting %s=%r is not a text" % (name, value))
    return value


def virtual_host_setting():
    """QZ_MQ_VHOST, checked: a virtual host the broker can be asked for."""
    vhost = getattr(qzconfig, "QZ_MQ_VHOST", "/")
    if isinstance(vhost, unicode):
        vhost = vhost.encode("utf-8")
    if not isinstance(vhost, str) or not vhost or len(vhost) > _VHOST_BYTES:
        raise SettingError("setting QZ_MQ_VHOST=%r is not a virtual host name (1 to %d bytes)"
                           % (vhost, _VHOST_BYTES))
    return vhost


def _no_key_password():
    # OpenSSL would otherwise ask for an encrypted key's pass phrase on the
    # terminal, and a supervised worker would wait there for ever.
    return ""


def tls_context(ssl):
    """The TLS context of a broker connection, or None without TLS. The
    chain and the host name are always checked; QZ_MQ_SSL_CAFILE, when
    set, is the only trust (a private CA), else the system's store is.
    The files are read here, so that a bad one is named before any
    connection; the message names the setting and its path, never what
    the file holds."""
    files = [(name, _text_setting(name))
             for name in ("QZ_MQ_SSL_CAFILE", "QZ_MQ_SSL_CERTFILE", "QZ_MQ_SSL_KEYFILE")]
    if not ssl:
        # Named without TLS, they say that TLS was meant: the connection
        # would go, password and all, in the clear.
        for name, path in files:
            if path:
                raise SettingError("setting %s=%r is set but the connection has no TLS (--ssl)"
                                   % (name, path))
        return None
    import ssl as tls
    (_, cafile), (_, certfile), (_, keyfile) = files
    if keyfile and not certfile:
        raise SettingError("setting QZ_MQ_SSL_KEYFILE=%r is set without QZ_MQ_SSL_CERTFILE"
                           % keyfile)
    try:
        context = tls.create_default_context(cafile=cafile or None)
    except (IOError, tls.SSLError) as e:
        raise SettingError("setting QZ_MQ_SSL_CAFILE=%r: no CA could be read from it: %s"
                           % (cafile, _reason(e)))
    if certfile:
        try:
            context.load_cert_chain(certfile, keyfile or None, password=_no_key_password)
        except (IOError, tls.SSLError) as e:
            raise SettingError("setting QZ_MQ_SSL_CERTFILE=%r, QZ_MQ_SSL_KEYFILE=%r: no"
                               " certificate and unencrypted key could be read from them: %s"
                               % (certfile, keyfile, _reason(e)))
    return context


def _reason(error):
    """An error's kind and message on one line, as the log shows them."""
    return "%s: %s" % (type(error).__name__, error)


def check_connection_settings(ssl):
    """Checks the settings of a broker connection (the window, virtual host,
    TLS files), as open() does before it connects; raises SettingError
    naming a bad one."""
    _Window()
    virtual_host_setting()
    tls_context(ssl)


def connection_parameters(userid="guest", password="guest", host="localhost", ssl=False,
                          port=None, virtual_host=None):
    """The broker connection that open() makes. host may be "name" or
    "name:port"; virtual_host None is QZ_MQ_VHOST. With TLS, host is the
    name the broker's certificate must carry (a DNS name: Python 2.7 never
    matches a certificate's IP address entries)."""
    if virtual_host is None:
        virtual_host = virtual_host_setting()
    context = tls_context(ssl)
    if port is None and ":" in host:
        host, port = host.rsplit(":", 1)
    port = int(port) if port else (5671 if ssl else 5672)
    return pika.ConnectionParameters(
        host=host, port=port, virtual_host=virtual_host,
        credentials=pika.PlainCredentials(userid, password),
        ssl_options=pika.SSLOptions(context, host) if context is not None else None,
        heartbeat=60, blocked_connection_timeout=300)


def _whole_setting(name, default, low, high):
    value = getattr(qzconfig, name, default)
    if isinstance(value, float) and value.is_integer():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, (int, long)) or not low <= value <= high:
        raise SettingError("setting %s: %r is not a whole number from %d to %d"
                         % (name, value, low, high))
    return value


def _seconds_setting(name, default):
    value = getattr(qzconfig, name, default)
    if isinstance(value, bool) or not isinstance(value, (int, long, float)) \
            or not 0 < value < float("inf"):
        raise SettingError("setting %s: %r is not a number of seconds above 0" % (name, value))
    return float(value)


class _Window(object):
    """The settings of a consumer's window and of its failed requests, read
    and checked when the consumer starts: a bad one stops the start, named
    with its value, instead of surfacing at the first failure."""

    def __init__(self):
        # AMQP carries the prefetch count in 16 bits; 0 would mean no limit.
        self.prefetch = _whole_setting("QZ_MQ_PREFETCH", 50, 1, 65535)
        self.max_failures = _whole_setting("QZ_MQ_MAX_FAILURES", 10, 1, 1 << 30)
        self.first_delay = _seconds_setting("QZ_MQ_RETRY_DELAY", 5.0)
        self.most_delay = _seconds_setting("QZ_MQ_RETRY_MAX_DELAY", 300.0)
        if self.most_delay < self.first_delay:
            raise SettingError("setting QZ_MQ_RETRY_MAX_DELAY: %r is below QZ_MQ_RETRY_DELAY (%r)"
                             % (qzconfig.QZ_MQ_RETRY_MAX_DELAY, qzconfig.QZ_MQ_RETRY_DELAY))

    def delay(self, failures):
        """The back-off after a request's failures-th failure."""
        return min(self.first_delay * 2.0 ** min(failures - 1, 64), self.most_delay)


def _note_settlements(channel, unsettled):
    """Has the channel's ack, nack and reject take their deliveries out of
    unsettled: what is left there once a handler returns was neither
    acknowledged nor given back, so the handler failed on it."""
    ack, nack, reject = channel.basic_ack, channel.basic_nack, channel.basic_reject

    def settled(delivery_tag, multiple):
        if not multiple:
            unsettled.discard(delivery_tag)
        elif delivery_tag == 0:
            unsettled.clear()
        else:
            for tag in [t for t in unsettled if t <= delivery_tag]:
                unsettled.discard(tag)

    def basic_ack(delivery_tag=0, multiple=False):
        ack(delivery_tag, multiple)
        settled(delivery_tag, multiple)

    def basic_nack(delivery_tag=0, multiple=False, requeue=True):
        nack(delivery_tag, multiple, requeue)
        settled(delivery_tag, multiple)

    def basic_reject(delivery_tag=0, requeue=True):
        reject(delivery_tag, requeue)
        settled(delivery_tag, False)

    for operation in (basic_ack, basic_nack, basic_reject):
        functools.update_wrapper(operation, getattr(channel, operation.__name__))
        setattr(channel, operation.__name__, operation)


def _parked_properties(properties, failures):
    """The parked copy's properties: the request's own, persistent, with its
    failures noted. No expiry (the copy is kept until somebody acts on it)
    and no user id (the broker checks that against the parking connection)."""
    headers = dict(getattr(properties, "headers", None) or {})
    headers[FAILURES_HEADER] = failures
    copied = dict((name, getattr(properties, name, None)) for name in (
        "content_type", "content_encoding", "priority", "correlation_id", "reply_to",
        "message_id", "timestamp", "type", "app_id"))
    return pika.BasicProperties(headers=headers, delivery_mode=2, **copied)


class _Retries(object):
    """The failed deliveries of one consumer: each is held for its back-off
    and then given back to the queue, or parked once its request has failed
    max_failures times."""

    def __init__(self, client, key, window):
        self.client = client
        self.key = key
        self.parked_queue = key + ".failed"
        self.window = window
        self.failures = collections.OrderedDict()  # digest -> failures so far
        self.held = 0

    def succeeded(self, digest):
        self.failures.pop(digest, None)

    def failed(self, channel, method, properties, body, digest):
        failures = self.failures.pop(digest, 0) + 1
        tag = method.delivery_tag
        if failures >= self.window.max_failures:
            if self._park(channel, tag, properties, body, digest, failures):
                return
        self.failures[digest] = failures
        while len(self.failures) > TRACKED_FAILURES:
            self.failures.popitem(last=False)
        delay = self.window.delay(failures)
        self.held += 1
        _log("QZMQObject: holding a failed request on", self.key, "delivery", tag, "digest",
             digest, "- failure", failures, "of", self.window.max_failures,
             "- back to the queue in", delay, "s;", self.held, "held of a window of",
             self.window.prefetch)
        self.client.connection.call_later(delay, functools.partial(self._give_back, channel, tag))

    def _give_back(self, channel, tag):
        # Runs from wait()'s loop: whatever happens here must not end it. A
        # channel that closed meanwhile has given the request back already.
        self.held -= 1
        if not channel.is_open:
            return
        try:
            channel.basic_reject(tag, requeue=True)
        except Exception as e:
            _log("QZMQObject: could not give back delivery", tag, "on", self.key,
                 "%s: %s" % (type(e).__name__, e))

    def _park(self, channel, tag, properties, body, digest, failures):
        """Copies the request to the parked queue, confirmed by the broker,
        and only then acknowledges it; False (and nothing acknowledged) when
        the copy was not taken."""
        try:
            parking = self.client._parking_channel(self.parked_queue)
            parking.basic_publish(exchange="", routing_key=self.parked_queue, body=body,
                                  properties=_parked_properties(properties, failures),
                                  mandatory=True)
        except Exception as e:
            _log("QZMQObject: could not park a request on", self.key, "delivery", tag, "digest",
                 digest, "in", self.parked_queue, "%s: %s" % (type(e).__name__, e))
            return False
        channel.basic_ack(tag)
        _log("QZMQObject: parked a request on", self.key, "delivery", tag, "digest", digest,
             "in", self.parked_queue, "after", failures, "failures")
        return True


class QZMQObject(object):
    def __init__(self):
        self.connection = None
        self.channel = None
        self._stop = False
        self._cancelled_by_broker = None
        self._previous_handlers = None
        self._note_stop = None  # this client's listener on the signal sink
        self._in_hand = {}
        self._unsettled = set()  # delivery tags in a handler's hands
        self._parking = None  # the confirmed channel that parks requests
        self._parking_queues = set()  # parked queues declared on it

    def open(self, userid="guest", password="guest", host="localhost", ssl=False, port=None,
             virtual_host=None):
        """Connects and opens one channel. host may be "name" or "name:port";
        virtual_host None is QZ_MQ_VHOST; ssl: TLS, with the QZ_MQ_SSL_*
        files. A bad setting raises SettingError before any connection."""
        _Window()
        parameters = connection_parameters(userid, password, host, ssl, port, virtual_host)
        self._take_stop_signals()
        self.connection = pika.BlockingConnection(parameters)
        self.channel = self.connection.channel()
        self.channel.add_on_cancel_callback(self._on_broker_cancel)
        _note_settlements(self.channel, self._unsettled)
        return True

    def _parking_channel(self, queue):
        """A channel of its own, in confirm mode, so that a request is
        acknowledged only once the broker has taken its parked copy, and a
        refusal there (the parked queue declared as another kind) closes
        that channel only."""
        if self._parking is None or not self._parking.is_open:
            self._parking = self.connection.channel()
            self._parking.confirm_delivery()
            self._parking_queues = set()
        if queue not in self._parking_queues:
            self._parking.queue_declare(queue=queue, durable=True,
                                        arguments=_queue_arguments(True, False, False))
            self._parking_queues.add(queue)
        return self._parking

    def _take_stop_signals(self):
        if self._previous_handlers is not None:
            return

        def note_stop():
            for in_hand in list(self._in_hand.values()):
                in_hand.stopping()

        def request_stop(signum, frame):
            self._stop = True
            if not _hold.noting():
                note_stop()

        self._previous_handlers = dict(
            (s, signal.signal(s, request_stop)) for s in _STOP_SIGNALS)
        _hold.listen()
        self._note_stop = note_stop
        _hold.listeners.append(note_stop)

    def _give_back_stop_signals(self):
        if self._previous_handlers is None:
            return
        if self._note_stop in _hold.listeners:
            _hold.listeners.remove(self._note_stop)
        for s, handler in self._previous_handlers.items():
            signal.signal(s, _restorable(s, handler))
        self._previous_handlers = None

    def _on_broker_cancel(self, method_frame):
        self._cancelled_by_broker = method_frame.method.consumer_tag

    def consume(self, key, callback=None, durable=False, exclusive=False, auto_delete=False,
                type="direct"):
        """Declares the key's exchange and queue and registers callback on the
        queue, within the window the settings give."""
        window = _Window()
        ch = self.channel
        ch.exchange_declare(exchange=key, exchange_type=type, durable=durable,
                            auto_delete=auto_delete)
        ch.queue_declare(queue=key, durable=durable, exclusive=exclusive, auto_delete=auto_delete,
                         arguments=_queue_arguments(durable, exclusive, auto_delete))
        ch.queue_bind(queue=key, exchange=key, routing_key=key)
        four_arguments = bool(qzconfig.QZ_MQ_PROTOCOL)
        in_hand = self._in_hand.get(key)
        if in_hand is None:
            in_hand = self._in_hand[key] = _InHand(key)
            in_hand.claim_leftovers()
        retries = _Retries(self, key, window)
        unsettled = self._unsettled

        def deliver(channel, method, properties, body):
            if self._stop or not (channel.is_open and self.connection.is_open):
                # Not handled: after a stop it goes back to the queue at close;
                # buffered when the connection went, it is back there already.
                return
            digest = _digest(key, properties, body)
            deaths = in_hand.enter(digest)
            if deaths >= DEATHS_TO_DROP:
                _log("QZMQObject: dropping a request on", key, "delivery", method.delivery_tag,
                     "digest", digest, "- it was in hand when the service ended", deaths,
                     "times")
                channel.basic_ack(method.delivery_tag)
                in_hand.leave(digest)
                return
            unsettled.add(method.delivery_tag)
            try:
                with _hold:
                    try:
                        if four_arguments:
                            callback(channel, method, properties, body)
                        else:
                            callback(Message(channel, method, properties, body))
                    except Exception as e:
                        if not (channel.is_open and self.connection.is_open):
                            # The broker went under the handler (its acknowledgement
                            # failed with it): a loss, which wait() reports, not a
                            # fault of the handler to trace.
                            _log("QZMQObject: the connection went while a handler ran on", key,
                                 "delivery", method.delivery_tag,
                                 "%s: %s" % (e.__class__.__name__, e))
                        else:
                            # A failure like any other; the next requests still come.
                            _log("QZMQObject: handler failed on", key, "delivery", method.delivery_tag)
                            traceback.print_exc(file=sys.stdout)
            finally:
                # The handler returned (or what it raised unwound to here):
                # whatever ends this process next (a lost connection, a
                # stop) is not the request's doing. Only a death that
                # unwinds nothing (a crash, a kill) leaves the record.
                in_hand.leave(digest)
            # With the connection gone the request comes back by itself.
            if not (channel.is_open and self.connection.is_open):
                return
            if method.delivery_tag not in unsettled:
                retries.succeeded(digest)
            else:
                unsettled.discard(method.delivery_tag)
                if not self._stop:  # else it goes back to the queue at close
                    retries.failed(channel, method, properties, body, digest)

        ch.basic_qos(prefetch_count=window.prefetch)
        return ch.basic_consume(queue=key, on_message_callback=deliver, auto_ack=False)

    def wait(self):
        """Delivers messages until the consumers are cancelled by the client
        or a stop signal arrives (True), or until the connection is lost or
        the broker cancels a consumer (False). Never raises for either."""
        self._take_stop_signals()
        # One timer at a time wakes the loop every POLL seconds to look at the
        # stop flag. A time limit on each process_data_events call would leave
        # a cancelled timer behind per call, which pika keeps (and wakes for)
        # until its deadline: at hundreds of deliveries a second the loop
        # would spin instead of sleeping.
        ticking = []

        def tick():
            ticking[:] = [self.connection.call_later(POLL, tick)]

        try:
            tick()
            while (not self._stop and self._cancelled_by_broker is None
                   and self.channel.consumer_tags):
                self.connection.process_data_events(time_limit=None)
            if not (self.connection.is_open and self.channel.is_open):
                # A channel that closed under a handler takes its consumers
                # with it: that is a loss, not the end of the consumers.
                _log("QZMQObject: connection lost while a handler ran")
                return False
            if self._cancelled_by_broker is not None:
                _log("QZMQObject: the broker cancelled consumer", self._cancelled_by_broker,
                     "(queue deleted or its node lost); ending")
                return False
            if self._stop:
                for tag in list(self.channel.consumer_tags):
                    self.channel.basic_cancel(tag)
            return True
        except Exception as e:
            # pika reports a lost connection in several shapes, some of them
            # plain ValueErrors out of its timers; none of them is a stop.
            _log("QZMQObject: connection lost", "%s: %s" % (type(e).__name__, e))
            return False
        finally:
            if ticking and self.connection.is_open:
                try:
                    self.connection.remove_timeout(ticking[0])
                except Exception:
                    pass  # the connection went while we stopped: nothing to cancel

    def close(self):
        """Closes the connection: whatever is held or buffered goes back to
        the queue."""
        for in_hand in self._in_hand.values():
            in_hand.close()
        self._in_hand = {}
        self._unsettled.clear()
        self._parking = None
        if self.connection is not None and self.connection.is_open:
            try:
                self.connection.close()
            except Exception:
                pass  # closing a broken connection: nothing left to save
        self.connection = self.channel = None
        self._give_back_stop_signals()


def get_headers_obj(properties):
    """The application headers of a delivered message, or None when it has none."""
    headers = getattr(properties, "headers", None)
    return headers or None


# Every delivered message that is not a cancel request passes here; the
# platform may watch its consumers from this hook. Ours counts them.
delivered = 0


def check_consumer_message(channel, consumer_tag, body):
    global delivered
    delivered += 1
