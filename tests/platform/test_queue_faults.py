"""The queue client when things go wrong on purpose: the broker cancels the
consumer, a request ends the process every time it is handled, a stop
arrives with requests buffered and one in hand."""
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pika
import pika.exceptions
import pika.spec
import pytest

from qz import qzconfig, qzmqobj
import rabbit

AMQP = dict(userid="guest", password="plovk562", host="127.0.0.1", ssl=False)


def broker():
    return rabbit.connect()


def publish(key, *bodies):
    conn = broker()
    ch = conn.channel()
    ch.exchange_declare(exchange=key, exchange_type="direct")
    ch.queue_declare(queue=key)
    ch.queue_bind(queue=key, exchange=key, routing_key=key)
    for body in bodies:
        ch.basic_publish(exchange=key, routing_key=key, body=body)
    conn.close()


def waiting(key):
    conn = broker()
    n = conn.channel().queue_declare(queue=key, passive=True).method.message_count
    conn.close()
    return n


def test_a_consumer_cancelled_by_the_broker_ends_wait_as_a_loss(key, monkeypatch, capsys):
    monkeypatch.setattr(qzconfig, "QZ_MQ_PROTOCOL", True)
    mq = qzmqobj.QZMQObject()
    mq.open(**AMQP)
    mq.consume(key, callback=lambda *a: None, durable=False, exclusive=False,
               auto_delete=False, type="direct")

    def delete_queue():
        time.sleep(0.5)
        conn = broker()
        conn.channel().queue_delete(queue=key)
        conn.close()
    threading.Thread(target=delete_queue).start()
    started = time.time()
    assert mq.wait() is False
    assert time.time() - started < 10
    mq.close()
    assert "the broker cancelled consumer" in capsys.readouterr().out


CONSUMER = r"""
import os, socket, sys, time
from qz import qzconfig, qzmqobj
qzconfig.QZ_MQ_PROTOCOL = True
key, port = sys.argv[1], int(sys.argv[2])

def handler(ch, method, props, body):
    print "in hand", body
    sys.stdout.flush()
    if body == "poison":
        os._exit(3)
    if body == "slow" and not os.environ.get("QZ_TEST_FAST"):
        for _ in range(600):  # a minute of work, in small steps
            time.sleep(0.1)
    if port:  # a socket call that a stop signal must not cut short
        s = socket.create_connection(("127.0.0.1", port), timeout=5)
        print "handled", body, repr(s.recv(10))
        sys.stdout.flush()
    ch.basic_ack(method.delivery_tag)
    if body == "last":
        ch.basic_cancel(method.consumer_tag)

mq = qzmqobj.QZMQObject()
mq.open(userid="guest", password="plovk562", host="127.0.0.1")
mq.consume(key, callback=handler, durable=False, exclusive=False, auto_delete=False,
           type="direct")
print "serving"
sys.stdout.flush()
status = mq.wait()
mq.close()
print "wait returned", status
"""


def consumer(key, base, port=0, **env):
    env = dict(os.environ, QZ_BASE_PATH=str(base), **env)
    return subprocess.Popen([sys.executable, "-c", CONSUMER, key, str(port)],
                            stdout=subprocess.PIPE, env=env)


def finish(proc, timeout=20):
    timer = threading.Timer(timeout, proc.kill)
    timer.start()
    try:
        out = proc.stdout.read()
        return proc.wait(), out
    finally:
        timer.cancel()


def test_a_request_that_ended_the_process_twice_is_dropped_the_next_time(key, tmp_path):
    publish(key, "poison", "last")
    for _ in range(2):
        status, out = finish(consumer(key, tmp_path))
        assert status == 3 and out.endswith("in hand poison\n")
    status, out = finish(consumer(key, tmp_path))
    assert status == 0, out
    assert "dropping a request on %s" % key in out and "ended 2 times" in out
    assert "in hand poison" not in out and "in hand last" in out
    assert out.endswith("wait returned True\n")
    assert waiting(key) == 0
    assert os.listdir(str(tmp_path / "tmp")) == []  # nothing left in hand


def test_a_stop_cut_short_by_the_supervisor_does_not_count_against_the_request(key,
                                                                               tmp_path):
    """A supervisor that kills a worker still finishing its request after a
    stop (its stop time-out) has not been stopped by the request: however
    often that happens, the request is handled at last, never dropped."""
    publish(key, "slow", "last")
    for _ in range(3):
        proc = consumer(key, tmp_path)
        assert proc.stdout.readline() == "serving\n"
        assert proc.stdout.readline() == "in hand slow\n"
        proc.send_signal(signal.SIGTERM)
        time.sleep(1)  # the stop is noted while the request is in hand
        proc.kill()
        proc.wait()
    status, out = finish(consumer(key, tmp_path, QZ_TEST_FAST="1"))
    assert status == 0, out
    assert "dropping" not in out and "in hand slow" in out and "in hand last" in out
    assert waiting(key) == 0


class SlowServer(object):
    """Accepts one connection and answers "late" after `delay` seconds."""

    def __init__(self, delay):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.delay = delay
        t = threading.Thread(target=self._serve)
        t.daemon = True
        t.start()

    def _serve(self):
        conn, _ = self.listener.accept()
        time.sleep(self.delay)
        conn.sendall("late")
        conn.close()


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_a_stop_finishes_the_request_in_hand_and_handles_no_other(key, tmp_path, signum):
    publish(key, *["request %d" % i for i in range(20)])
    server = SlowServer(1.0)
    proc = consumer(key, tmp_path, server.port)
    assert proc.stdout.readline() == "serving\n"
    assert proc.stdout.readline() == "in hand request 0\n"
    time.sleep(0.3)  # the handler now waits in its socket call
    proc.send_signal(signum)
    started = time.time()
    status, out = finish(proc)
    assert status == 0
    assert out == "handled request 0 'late'\nwait returned True\n"
    assert time.time() - started < 5
    assert waiting(key) == 19  # the rest went back to the queue


@pytest.mark.parametrize("kind, durable, expected", [
    ("quorum", True, "quorum"),
    ("quorum", False, "classic"),  # a transient queue cannot be replicated: stays classic
    ("classic", True, "classic"),
])
def test_the_platform_chooses_the_kind_of_durable_queues(key, monkeypatch, kind, durable,
                                                        expected):
    monkeypatch.setattr(qzconfig, "QZ_MQ_QUEUE_TYPE", kind)
    mq = qzmqobj.QZMQObject()
    mq.open(**AMQP)
    mq.consume(key, callback=lambda *a: None, durable=durable, exclusive=False,
               auto_delete=False, type="direct")
    mq.close()
    # The broker refuses to declare a queue again as another kind than it is.
    for declared_kind in ("classic", "quorum"):
        conn = broker()
        try:
            conn.channel().queue_declare(queue=key, durable=durable,
                                         arguments={"x-queue-type": declared_kind})
            accepted = True
        except pika.exceptions.ChannelClosedByBroker:
            accepted = False
        finally:
            if conn.is_open:
                conn.close()
        assert accepted == (declared_kind == expected)


def nested_table(levels):
    table = struct.pack(">I", 0)
    for _ in range(levels):
        field = "\x01t" + "F" + table
        table = struct.pack(">I", len(field)) + field
    return table


def timestamp_table(seconds):
    field = "\x01t" + "T" + struct.pack(">Q", seconds)
    return struct.pack(">I", len(field)) + field


@pytest.mark.parametrize("table", [nested_table(600), timestamp_table(2 ** 62)],
                         ids=["nested past the recursion limit", "timestamp out of range"])
def test_a_header_table_that_cannot_be_read_arrives_as_no_headers(key, monkeypatch, capsys,
                                                                   table):
    """Such a table used to drop the connection at every start: no consumer
    of the queue ever got past the message."""
    publish(key)  # the topology
    conn = broker()
    ch = conn.channel()
    # Raw header frames: pika itself would refuse to encode these.
    monkeypatch.setattr(pika.spec.BasicProperties, "encode",
                        lambda self: [struct.pack(">H", 1 << 13), table])
    ch.basic_publish(exchange=key, routing_key=key, body="poisoned")
    monkeypatch.undo()
    ch.basic_publish(exchange=key, routing_key=key, body="last")
    conn.close()
    monkeypatch.setattr(qzconfig, "QZ_MQ_PROTOCOL", True)
    seen = []

    def handler(channel, method, properties, body):
        seen.append((body, qzmqobj.get_headers_obj(properties)))
        channel.basic_ack(method.delivery_tag)
        if body == "last":
            channel.basic_cancel(method.consumer_tag)
    mq = qzmqobj.QZMQObject()
    mq.open(**AMQP)
    mq.consume(key, callback=handler, durable=False, exclusive=False, auto_delete=False,
               type="direct")
    assert mq.wait() is True
    mq.close()
    assert seen == [("poisoned", None), ("last", None)]
    assert "could not be read, taken as empty" in capsys.readouterr().out
