"""Helpers for the mail worker tests: the real queue, SMTP sink and HTTP sink."""
import re
import urllib

import pika
import pika.exceptions

from qz import qzconfig, qzmqobj
import rabbit

AMQP = dict(userid="guest", password="plovk562", host="127.0.0.1", ssl=False)
LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} (.*)$")
HELD = "QZMQObject: holding a failed request on qz_mail "


def broker_channel():
    return rabbit.channel()


def declare_and_purge():
    conn, ch = broker_channel()
    ch.exchange_declare(exchange="qz_mail", exchange_type="direct", durable=True)
    ch.queue_declare(queue="qz_mail", durable=True)
    ch.queue_bind(queue="qz_mail", exchange="qz_mail", routing_key="qz_mail")
    ch.queue_purge(queue="qz_mail")
    conn.close()


def waiting_requests():
    """Requests in the queue, ready for delivery (unacknowledged ones come
    back here once the consumer's channel has closed)."""
    conn, ch = broker_channel()
    count = ch.queue_declare(queue="qz_mail", durable=True, passive=True).method.message_count
    conn.close()
    return count


def publish(requests):
    """requests: (body, headers) pairs; a mapping body is URL-encoded."""
    conn, ch = broker_channel()
    for body, headers in requests:
        if isinstance(body, dict):
            body = urllib.urlencode(sorted(body.items()))
        ch.basic_publish(exchange="qz_mail", routing_key="qz_mail", body=body,
                         properties=pika.BasicProperties(headers=headers))
    conn.close()


class Worker(object):
    """Runs postrunner's handler in this process on the real queue."""

    def __init__(self, module, capsys, monkeypatch):
        self.module, self.capsys, self.monkeypatch = module, capsys, monkeypatch

    def serve(self, *requests, **kw):
        """Publishes the requests and the cancel word, serves until the cancel,
        and returns the log lines (without their time)."""
        protocol = kw.get("protocol", True)
        self.monkeypatch.setattr(qzconfig, "QZ_MQ_PROTOCOL", protocol)
        publish(list(requests) + [("cancel_qz_mail", None)])
        mq = qzmqobj.QZMQObject()
        mq.open(**AMQP)
        handler = self.module.recv_callback2 if protocol else self.module.recv_callback
        mq.consume("qz_mail", callback=handler, durable=True, exclusive=False,
                   auto_delete=False, type="direct")
        assert mq.wait() is True
        mq.close()
        lines = self.log_lines()
        # every failed request is held by the client, to come back later
        assert len(self.held) == len([l for l in lines if l.startswith("ML095 ")]), lines
        return lines

    def log_lines(self):
        """The handler's log lines; the client's lines on the requests it
        holds go to self.held."""
        lines, self.held = [], []
        for line in self.capsys.readouterr().out.splitlines():
            m = LOG_LINE.match(line)
            line = m.group(1) if m else line
            (self.held if line.startswith(HELD) else lines).append(line)
        return lines


def publish_many(requests, batch=500):
    """Publishes (body, headers) pairs on one connection, fast."""
    conn, ch = broker_channel()
    for i, (body, headers) in enumerate(requests):
        ch.basic_publish(exchange="qz_mail", routing_key="qz_mail", body=body,
                         properties=pika.BasicProperties(headers=headers))
        if i % batch == 0:
            conn.process_data_events(0)
    conn.close()


def drain():
    """Takes every ready request out of the queue: a list of (body, headers)."""
    conn, ch = broker_channel()
    out = []
    while True:
        method, properties, body = ch.basic_get(queue="qz_mail", auto_ack=True)
        if method is None:
            break
        out.append((body, properties.headers))
    conn.close()
    return out


PARKED = "qz_mail.failed"


def parked_requests():
    """Takes every request out of the parked queue: a list of (body, headers)."""
    conn, ch = broker_channel()
    out = []
    try:
        while True:
            method, properties, body = ch.basic_get(queue=PARKED, auto_ack=True)
            if method is None:
                break
            out.append((body, properties.headers))
    except pika.exceptions.ChannelClosedByBroker:
        pass  # never declared: nothing was parked
    finally:
        if conn.is_open:
            conn.close()
    return out


def parked_count():
    conn, ch = broker_channel()
    try:
        return ch.queue_declare(queue=PARKED, durable=True, passive=True).method.message_count
    finally:
        conn.close()


def delete_parked():
    conn, ch = broker_channel()
    ch.queue_delete(queue=PARKED)
    conn.close()
