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
import functools
import signal
import sys
import traceback

import pika
import pika.exceptions

from qz import _qzmq_tables  # noqa: F401 (pika's header tables, patched on import)
from qz import qzconfig
from qz._qzmq_connection import (SettingError, connection_parameters, tls_context,
                                 virtual_host_setting)
from qz._qzmq_inhand import DEATHS_TO_DROP, InHand as _InHand, digest as _digest
from qz._qzmq_signals import STOP_SIGNALS as _STOP_SIGNALS, hold as _hold
from qz._qzmq_signals import restorable as _restorable
from qz.qztool import _log

# How often wait() looks at its stop flag while no message arrives (seconds).
POLL = 0.25

# Failure counts kept per consumer at most: a request that failed here and
# then went to another consumer (or succeeded after a restart of the count)
# leaves its entry behind, and requests are anyone's to publish.
TRACKED_FAILURES = 4096

# The header a parked copy carries: the failures that parked it.
FAILURES_HEADER = "x-qz-failures"


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


def check_connection_settings(ssl):
    """Checks the settings of a broker connection (the window, virtual host,
    TLS files), as open() does before it connects; raises SettingError
    naming a bad one."""
    _Window()
    virtual_host_setting()
    tls_context(ssl)


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
