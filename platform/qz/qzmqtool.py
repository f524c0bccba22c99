"""Publishing and remote calls over RabbitMQ, one convention for both sides.

A remote call to service queue Q:
  - the caller makes a fresh response key, declares the reply exchange
    Q + qzconfig.QZ_MQ_EXCHANGE_TAG (direct, not durable), and binds its
    exclusive reply queue to it under the key, all before it publishes;
  - it publishes the gzip-compressed body to Q through the default exchange,
    with the application header "response_key";
  - the service publishes its gzip-compressed reply with do_basic_publish to
    the reply exchange under the response key, with the same header;
  - the caller waits at most the time-out for that reply, unbinds the key and
    returns the reply decompressed, or raises RpcTimeout.
The caller declares nothing of the service's own queue, so their flags never
clash. A reply that comes after its call timed out finds its key unbound and
is dropped by the broker; one already on its way is told apart by its
response key and dropped here: it never reaches a later call.

Where a call's time goes. The broker takes about 0.15 ms to add a binding and
as long to remove one, and it handles a channel's commands one after the
other, deliveries to the channel's consumers included; a bind just before
the request and a synchronous unbind after the reply put both, and a round
trip, on every call (two thirds of a bare call's time). So:
  - the key of the next call to the same service is bound right after this
    call's request has gone out, while the service works; the broker handles
    it before any later request on the channel, so it is in place when that
    request is routed;
  - an answered key stays bound until its reply queue is retired: after
    ROTATE_AFTER answers the caller takes a fresh exclusive queue and the old
    one is deleted, with its bindings, on a second channel of the connection
    that nobody waits for (a binding goes three times faster with its queue
    than by itself). A second reply to an answered key reaches the caller's
    queue and is dropped here by its key;
  - a key whose call timed out is unbound at once, before the call returns.
Keys stay unique per call, and each is bound before its request leaves.

The reply queue and the declared exchanges are kept per channel: creating a
queue costs the broker about 2 ms, too much for every call.
"""
import binascii
import os
import time
import weakref

import pika
import pika.exceptions

from qz import qzconfig, qztool

# Answered keys a reply queue collects before it is replaced (see
# _reply_queue_retired).
ROTATE_AFTER = 256


class RpcTimeout(Exception):
    """No reply to a remote call within its time-out."""


class _ChannelState(object):
    """What one channel has set up: its reply queue, the replies that came in
    for keys still waited for, the exchanges already declared, and the key
    bound ahead for the next call, per reply exchange."""

    def __init__(self):
        self.reply_queue = None
        self.waiting = {}
        self.exchanges = set()
        self.ahead = {}
        self.consumer_tag = None
        self.answered = 0


_channels = weakref.WeakKeyDictionary()


def _state(channel):
    state = _channels.get(channel)
    if state is None:
        state = _channels[channel] = _ChannelState()
    return state


def _declare_reply_exchange(channel, exchange):
    state = _state(channel)
    if exchange not in state.exchanges:
        channel.exchange_declare(exchange=exchange, exchange_type="direct", durable=False,
                                 auto_delete=False)
        state.exchanges.add(exchange)


def do_basic_publish(body, headers, routing_key, ch=None, tag=None, exchange=None):
    """Publishes body to exchange under routing_key with application headers.
    Returns True once handed to the broker, False when there is no channel."""
    if ch is None or not ch.is_open:
        return False
    _declare_reply_exchange(ch, exchange)
    props = pika.BasicProperties(headers=dict(headers or {}), app_id=tag)
    ch.basic_publish(exchange=exchange, routing_key=routing_key, body=body, properties=props)
    return True


def _reply_queue(channel):
    state = _state(channel)
    if state.reply_queue is None:
        queue = channel.queue_declare(queue="", exclusive=True, auto_delete=True).method.queue

        def on_reply(ch, method, properties, payload):
            key = (properties.headers or {}).get("response_key")
            if key in state.waiting and state.waiting[key] is None:
                state.waiting[key] = payload
            # anything else answers a call that has given up: dropped

        state.consumer_tag = channel.basic_consume(queue=queue, on_message_callback=on_reply,
                                                   auto_ack=True)
        state.reply_queue = queue
    return state.reply_queue


def _bind_without_wait(channel, queue, exchange, key):
    """Binds key so that it is in place before anything published later on
    this channel is routed, without waiting for the broker's answer."""
    if channel._impl._blocking:
        # A synchronous command is still out: pika would hold the bind back
        # while the request went ahead of it. Wait for the answer instead.
        channel.queue_bind(queue=queue, exchange=exchange, routing_key=key)
    else:
        channel._impl.queue_bind(queue, exchange, routing_key=key)


def _reply_queue_retired(channel, state):
    """Starts a fresh reply queue once the current one holds ROTATE_AFTER
    answered keys, and has the old one deleted, with its bindings, on the
    connection's second channel: the broker removes a binding about three
    times faster with its queue than by itself, and nobody waits for it."""
    old = state.reply_queue
    channel.basic_cancel(state.consumer_tag)
    state.reply_queue = state.consumer_tag = None
    state.ahead.clear()
    state.answered = 0
    connection = channel.connection
    sweeper = getattr(connection, "_qz_sweeper", None)
    if sweeper is None or not sweeper.is_open:
        # Kept on the connection itself: a table keyed by connection would
        # hold it alive through the channel's own reference back to it.
        sweeper = connection._qz_sweeper = connection.channel()
    sweeper._impl.queue_delete(old)


def _new_key():
    return binascii.hexlify(os.urandom(16))


def rpc_call_with_timeout(body, timeout, channel, queue):
    """Calls the service on queue with body and returns its reply text."""
    # Before anything is sent: a time-out that is no number (an unusable
    # setting among them) must not leave a request on its way unwaited for.
    seconds = float(timeout)
    exchange = queue + qzconfig.QZ_MQ_EXCHANGE_TAG
    _declare_reply_exchange(channel, exchange)
    state = _state(channel)
    if state.answered >= ROTATE_AFTER and not state.waiting:
        _reply_queue_retired(channel, state)
    reply_queue = _reply_queue(channel)
    key = state.ahead.pop(exchange, None)
    if key is None:
        key = _new_key()
        # The broker handles a channel's commands in order: the binding is in
        # place before the request below is routed.
        _bind_without_wait(channel, reply_queue, exchange, key)
    state.waiting[key] = None
    answered = False
    try:
        # Sent with the next call's binding behind it; the wait below flushes
        # both, so the request leaves first and the binding is made while
        # the service works.
        channel._impl.basic_publish(
            exchange="", routing_key=queue, body=qztool.qz_gzip_data(body),
            properties=pika.BasicProperties(headers={"response_key": key}))
        following = _new_key()
        _bind_without_wait(channel, reply_queue, exchange, following)
        state.ahead[exchange] = following
        deadline = time.time() + seconds
        while state.waiting[key] is None:
            left = deadline - time.time()
            if left <= 0:
                raise RpcTimeout("no reply from %s within %s seconds" % (queue, timeout))
            channel.connection.process_data_events(time_limit=left)
        reply = state.waiting[key]
        answered = True
    finally:
        del state.waiting[key]
        if channel.is_open:
            if answered:
                state.answered += 1
            else:
                channel.queue_unbind(queue=reply_queue, exchange=exchange, routing_key=key)
    return qztool.qz_gunzip_data(reply)


def replay_parked(key, userid="guest", password="guest", host="127.0.0.1", ssl=False,
                  limit=None):
    """Puts the requests parked in <key>.failed back on the queue key, oldest
    first, as they were before they failed (without the x-qz-failures
    header). Each parked copy is acknowledged only once the broker has
    confirmed the request on the queue: an interrupted replay leaves a request
    on one queue or, at worst, on both, never on neither. Moves at most the
    requests parked when it starts (a worker that parks a replayed request
    again does not keep the replay going), or `limit`. Returns how many it
    moved; 0 when nothing was ever parked."""
    from qz import qzmqobj  # the client imports this module's neighbours, not it

    parked = key + ".failed"
    conn = pika.BlockingConnection(qzmqobj.connection_parameters(userid, password, host, ssl))
    try:
        source = conn.channel()
        try:
            waiting = source.queue_declare(queue=parked, passive=True).method.message_count
        except pika.exceptions.ChannelClosedByBroker as e:
            if e.reply_code == 404:
                return 0
            raise
        if limit is not None:
            waiting = min(waiting, limit)
        target = conn.channel()
        target.confirm_delivery()
        moved = 0
        while moved < waiting:
            method, properties, body = source.basic_get(queue=parked, auto_ack=False)
            if method is None:
                break
            headers = dict(properties.headers or {})
            headers.pop(qzmqobj.FAILURES_HEADER, None)
            properties.headers = headers or None
            # Through the default exchange: straight to the queue, whatever
            # its bindings; a queue that is not there refuses it (mandatory).
            target.basic_publish(exchange="", routing_key=key, body=body, properties=properties,
                                 mandatory=True)
            source.basic_ack(method.delivery_tag)
            moved += 1
        return moved
    finally:
        if conn.is_open:
            conn.close()


def _main(argv):
    """python -m qz.qzmqtool replay KEY [--host HOST] [-u USER] [-p PASSWORD] [--ssl] [--limit N]"""
    import optparse
    parser = optparse.OptionParser(
        usage="%prog replay KEY [options]: puts the requests parked in KEY.failed back on KEY")
    parser.add_option("--host", default="localhost", help="AMQP server (default: %default)")
    parser.add_option("-u", "--userid", default="guest", help="user (default: %default)")
    parser.add_option("-p", "--password", default="plovk562",
                      help="password (default: %default; QZ_MQ_PASSWORD replaces it)")
    parser.add_option("--ssl", action="store_true", default=False,
                      help="connect with TLS (trusting QZ_MQ_SSL_CAFILE, else the system's store)")
    parser.add_option("--limit", type="int", default=None,
                      help="move at most this many (default: every request parked at the start)")
    options, args = parser.parse_args(argv)
    if len(args) != 2 or args[0] != "replay":
        parser.error("expected: replay KEY")
    if options.limit is not None and options.limit < 0:
        parser.error("--limit: %d is below 0" % options.limit)
    from qz import qzmqobj
    try:
        qzmqobj.check_connection_settings(options.ssl)
    except qzmqobj.SettingError as e:
        parser.error(str(e))
    moved = replay_parked(args[1], options.userid, qztool.check_mq_password(options.password),
                          options.host, options.ssl, options.limit)
    print "replayed %d requests from %s.failed to %s" % (moved, args[1], args[1])


def serve_remote_calls(queue, answer, tag, userid="guest", password="guest", host="127.0.0.1",
                       ssl=False):
    """The service side of the convention, for small services (stand-ins for
    the platform's own): consumes `queue` (not durable), hands every
    request's text to answer(text), publishes the text it returns as the
    reply with do_basic_publish, and acknowledges. Prints "serving" once
    consuming. An answer of None sends no reply (a service that stays silent,
    for callers' time-outs). Returns wait()'s status: true after the cancel
    word or a stop signal, false when the broker connection was lost."""
    import sys
    from qz import qzmqobj  # the client imports this module's neighbours, not it

    exchange = queue + qzconfig.QZ_MQ_EXCHANGE_TAG

    def reply(channel, method, properties, body):
        text = answer(qztool.qz_gunzip_data(body))
        if text is not None:
            key = qzmqobj.get_headers_obj(properties)["response_key"]
            do_basic_publish(qztool.qz_gzip_data(text), {"retry": 0, "response_key": key}, key,
                             ch=channel, tag=tag, exchange=exchange)
        channel.basic_ack(method.delivery_tag)

    def handler(*delivery):
        if len(delivery) == 1:  # the one-argument form
            message = delivery[0]
            delivery = (message.channel, message, message.properties, message.body)
        reply(*delivery)

    mq = qzmqobj.QZMQObject()
    mq.open(userid=userid, password=password, host=host, ssl=ssl)
    mq.consume(queue, callback=handler, durable=False, exclusive=False, auto_delete=False,
               type="direct")
    print "serving"
    sys.stdout.flush()
    try:
        return mq.wait()
    finally:
        mq.close()


if __name__ == "__main__":
    import sys
    _main(sys.argv[1:])
