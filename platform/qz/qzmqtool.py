"""Publishing and remote calls over RabbitMQ, one convention for both sides.

A remote call to service queue Q:
  - the caller makes a fresh response key, declares the reply exchange
    Q + qzconfig.QZ_MQ_EXCHANGE_TAG (direct, not durable) and an exclusive
    reply queue bound to it under the key, all before it publishes;
  - it publishes the gzip-compressed body to Q through the default exchange,
    with the application header "response_key";
  - the service publishes its gzip-compressed reply with do_basic_publish to
    the reply exchange under the response key;
  - the caller waits at most the time-out for one reply, deletes its reply
    queue and returns the reply decompressed, or raises RpcTimeout.
The caller declares nothing of the service's own queue, so their flags never
clash. A reply that comes after its call timed out finds no queue and is
dropped by the broker: it never reaches a later call.
"""
import time
import uuid

import pika

from qz import qzconfig, qztool


class RpcTimeout(Exception):
    """No reply to a remote call within its time-out."""


def _declare_reply_exchange(channel, exchange):
    channel.exchange_declare(exchange=exchange, exchange_type="direct", durable=False,
                             auto_delete=False)


def do_basic_publish(body, headers, routing_key, ch=None, tag=None, exchange=None):
    """Publishes body to exchange under routing_key with application headers.
    Returns True once handed to the broker, False when there is no channel."""
    if ch is None or not ch.is_open:
        return False
    _declare_reply_exchange(ch, exchange)
    props = pika.BasicProperties(headers=dict(headers or {}), app_id=tag)
    ch.basic_publish(exchange=exchange, routing_key=routing_key, body=body, properties=props)
    return True


def rpc_call_with_timeout(body, timeout, channel, queue):
    """Calls the service on queue with body and returns its reply text."""
    key = uuid.uuid4().hex
    exchange = queue + qzconfig.QZ_MQ_EXCHANGE_TAG
    _declare_reply_exchange(channel, exchange)
    reply_queue = channel.queue_declare(queue="", exclusive=True, auto_delete=True).method.queue
    channel.queue_bind(queue=reply_queue, exchange=exchange, routing_key=key)
    replies = []

    def on_reply(ch, method, properties, payload):
        replies.append(payload)

    tag = channel.basic_consume(queue=reply_queue, on_message_callback=on_reply, auto_ack=True)
    try:
        channel.basic_publish(
            exchange="", routing_key=queue, body=qztool.qz_gzip_data(body),
            properties=pika.BasicProperties(headers={"response_key": key}))
        deadline = time.time() + float(timeout)
        while not replies:
            left = deadline - time.time()
            if left <= 0:
                raise RpcTimeout("no reply from %s within %s seconds" % (queue, timeout))
            channel.connection.process_data_events(time_limit=left)
    finally:
        if channel.is_open:
            channel.basic_cancel(tag)
            channel.queue_delete(queue=reply_queue)
    return qztool.qz_gunzip_data(replies[0])
