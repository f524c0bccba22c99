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

The reply queue and the declared exchanges are kept per channel, since
creating and deleting a queue costs the broker milliseconds on every call;
the queue is exclusive, so it goes with the channel's connection.
"""
import time
import uuid
import weakref

import pika

from qz import qzconfig, qztool


class RpcTimeout(Exception):
    """No reply to a remote call within its time-out."""


class _ChannelState(object):
    """What one channel has set up: its reply queue, the replies that came in
    for keys still waited for, and the exchanges already declared."""

    def __init__(self):
        self.reply_queue = None
        self.waiting = {}
        self.exchanges = set()


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

        channel.basic_consume(queue=queue, on_message_callback=on_reply, auto_ack=True)
        state.reply_queue = queue
    return state.reply_queue


def rpc_call_with_timeout(body, timeout, channel, queue):
    """Calls the service on queue with body and returns its reply text."""
    key = uuid.uuid4().hex
    exchange = queue + qzconfig.QZ_MQ_EXCHANGE_TAG
    _declare_reply_exchange(channel, exchange)
    reply_queue = _reply_queue(channel)
    state = _state(channel)
    # No-wait bind: the broker handles a channel's commands in order, so the
    # binding is in place before the request below is routed, and the call
    # saves a round trip.
    channel._impl.queue_bind(reply_queue, exchange, routing_key=key)
    state.waiting[key] = None
    try:
        channel.basic_publish(
            exchange="", routing_key=queue, body=qztool.qz_gzip_data(body),
            properties=pika.BasicProperties(headers={"response_key": key}))
        deadline = time.time() + float(timeout)
        while state.waiting[key] is None:
            left = deadline - time.time()
            if left <= 0:
                raise RpcTimeout("no reply from %s within %s seconds" % (queue, timeout))
            channel.connection.process_data_events(time_limit=left)
        reply = state.waiting[key]
    finally:
        del state.waiting[key]
        if channel.is_open:
            channel.queue_unbind(queue=reply_queue, exchange=exchange, routing_key=key)
    return qztool.qz_gunzip_data(reply)
