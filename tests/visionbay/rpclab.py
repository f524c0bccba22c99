"""Helpers for the classification tests: requests on "dnn_arpc", the service's
handler run in this process on the real queue, and its replies."""
import json
import re

import pika

from qz import qzconfig, qzmqobj, qztool
import rabbit

AMQP = dict(userid="guest", password="plovk562", host="127.0.0.1", ssl=False)
KEY = "dnn_arpc"
LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} (.*)$")


def broker():
    conn = rabbit.connect()
    return conn, conn.channel()


def envelope(service, request=None):
    body = {"qz_service_name": service}
    if request is not None:
        body["qz_request"] = request if isinstance(request, basestring) else json.dumps(request)
    return json.dumps(body)


def classify_request(job_id, image_url):
    return envelope("qz_dnn_classify", {"job_id": job_id, "image_url": image_url})


def reset_queue():
    conn, ch = broker()
    ch.exchange_declare(exchange=KEY, exchange_type="direct", durable=False)
    ch.queue_declare(queue=KEY, durable=False)
    ch.queue_bind(queue=KEY, exchange=KEY, routing_key=KEY)
    ch.queue_purge(queue=KEY)
    conn.close()


def waiting():
    conn, ch = broker()
    n = ch.queue_declare(queue=KEY, durable=False, passive=True).method.message_count
    conn.close()
    return n


class Replies(object):
    """A reply queue bound to the service's reply exchange under one key."""

    def __init__(self, key="test-response-key"):
        self.key = key
        self.conn, self.ch = broker()
        exchange = KEY + qzconfig.QZ_MQ_EXCHANGE_TAG
        self.ch.exchange_declare(exchange=exchange, exchange_type="direct", durable=False)
        self.queue = self.ch.queue_declare(queue="", exclusive=True).method.queue
        self.ch.queue_bind(queue=self.queue, exchange=exchange, routing_key=key)

    def take(self):
        """Every reply so far: (decompressed body, headers)."""
        out = []
        while True:
            method, props, body = self.ch.basic_get(queue=self.queue, auto_ack=True)
            if method is None:
                return out
            out.append((qztool.qz_gunzip_data(body), props.headers))

    def close(self):
        self.conn.close()


def publish(messages):
    """messages: (body, headers); a text body is gzip-compressed unless raw=True."""
    conn, ch = broker()
    for item in messages:
        body, headers = item[:2]
        raw = len(item) > 2 and item[2]
        ch.basic_publish(exchange=KEY, routing_key=KEY,
                         body=body if raw else qztool.qz_gzip_data(body),
                         properties=pika.BasicProperties(headers=headers))
    conn.close()


def serve(handler, messages, protocol=True):
    """Publishes the messages and the cancel word, and runs handler on them in
    this process until the cancel."""
    qzconfig.QZ_MQ_PROTOCOL = protocol
    publish(list(messages) + [("cancel_dnn_arpc", None, True)])
    mq = qzmqobj.QZMQObject()
    mq.open(**AMQP)
    mq.consume(KEY, callback=handler, durable=False, exclusive=False, auto_delete=False,
               type="direct")
    assert mq.wait() is True
    mq.close()


def log_lines(capsys):
    lines = []
    for line in capsys.readouterr().out.splitlines():
        m = LOG_LINE.match(line)
        lines.append(m.group(1) if m else line)
    return lines
