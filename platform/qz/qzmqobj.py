"""The platform's message-queue client over RabbitMQ (pika).

A key names one topology, the same for every program and caller: a direct
exchange named by the key and a queue named by the key, bound to it under the
key; consume() applies its durable/exclusive/auto_delete flags to both.

No prefetch limit is set. The workers leave a failed request unacknowledged
until they restart; with a limit, enough such requests would stop the
deliveries silently. Without one, the broker keeps delivering, and every
unacknowledged request is delivered again when the consumer's channel closes.

Handlers run on the thread that called wait(), one message at a time, in one
of two forms chosen by qzconfig.QZ_MQ_PROTOCOL at consume() time:
    true:  callback(channel, method, properties, body)
    false: callback(message), message having channel, properties, body,
           consumer_tag and delivery_tag.
"""
import datetime
import signal
import sys
import traceback

import pika
import pika.exceptions

from qz import qzconfig

# How often wait() looks at its stop flag while no message arrives (seconds).
POLL = 0.25


def _log(*items):
    print datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M:%S.%f"), " ".join(map(str, items))


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


class QZMQObject(object):
    def __init__(self):
        self.connection = None
        self.channel = None
        self._stop = False

    def open(self, userid="guest", password="guest", host="localhost", ssl=False, port=None,
             virtual_host="/"):
        """Connects and opens one channel. host may be "name" or "name:port"."""
        if port is None and ":" in host:
            host, port = host.rsplit(":", 1)
        port = int(port) if port else (5671 if ssl else 5672)
        params = pika.ConnectionParameters(
            host=host, port=port, virtual_host=virtual_host,
            credentials=pika.PlainCredentials(userid, password),
            ssl_options=pika.SSLOptions(__import__("ssl").create_default_context(), host)
            if ssl else None,
            heartbeat=60, blocked_connection_timeout=300)
        self.connection = pika.BlockingConnection(params)
        self.channel = self.connection.channel()
        return True

    def consume(self, key, callback=None, durable=False, exclusive=False, auto_delete=False,
                type="direct"):
        """Declares the key's exchange and queue and registers callback on the queue."""
        ch = self.channel
        ch.exchange_declare(exchange=key, exchange_type=type, durable=durable,
                            auto_delete=auto_delete)
        ch.queue_declare(queue=key, durable=durable, exclusive=exclusive, auto_delete=auto_delete)
        ch.queue_bind(queue=key, exchange=key, routing_key=key)
        four_arguments = bool(qzconfig.QZ_MQ_PROTOCOL)

        def deliver(channel, method, properties, body):
            try:
                if four_arguments:
                    callback(channel, method, properties, body)
                else:
                    callback(Message(channel, method, properties, body))
            except Exception:
                # The message stays unacknowledged; the next ones still come.
                _log("QZMQObject: handler failed on", key, "delivery", method.delivery_tag)
                traceback.print_exc(file=sys.stdout)

        return ch.basic_consume(queue=key, on_message_callback=deliver, auto_ack=False)

    def wait(self):
        """Delivers messages until the consumers are cancelled (True), SIGTERM
        or SIGINT arrives (True) or the connection is lost (False)."""
        self._stop = False

        def request_stop(signum, frame):
            self._stop = True

        previous = dict((s, signal.signal(s, request_stop)) for s in (signal.SIGTERM, signal.SIGINT))
        try:
            while not self._stop and self.channel.consumer_tags:
                self.connection.process_data_events(time_limit=POLL)
            if self._stop:
                for tag in list(self.channel.consumer_tags):
                    self.channel.basic_cancel(tag)
            return True
        except (pika.exceptions.AMQPConnectionError, pika.exceptions.AMQPChannelError) as e:
            _log("QZMQObject: connection lost", repr(e))
            return False
        finally:
            for s, handler in previous.items():
                signal.signal(s, handler)

    def close(self):
        if self.connection is not None and self.connection.is_open:
            try:
                self.connection.close()
            except pika.exceptions.AMQPError:
                pass
        self.connection = self.channel = None


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
