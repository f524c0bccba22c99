"""The queue client and the remote-call convention against the real RabbitMQ."""
import os
import signal
import subprocess
import sys
import threading
import time

import pika
import pytest

from harness import ROOT
from netcut import Relay
from qz import qzconfig, qzmqobj, qzmqtool, qztool
import rabbit

AMQP = dict(userid="guest", password="plovk562", host="127.0.0.1", ssl=False)


def broker():
    return rabbit.connect()


def publish(key, *bodies, **kw):
    conn = broker()
    ch = conn.channel()
    for body in bodies:
        ch.basic_publish(exchange=key, routing_key=key, body=body,
                         properties=pika.BasicProperties(headers=kw.get("headers")))
    conn.close()


def declare(key):
    """Declares the key's topology the way a consumer does, and leaves."""
    mq = qzmqobj.QZMQObject()
    mq.open(**AMQP)
    mq.consume(key, callback=None, durable=False, exclusive=False, auto_delete=False,
               type="direct")
    mq.close()


def consume_all(key, protocol, monkeypatch, on_body):
    """Runs a QZMQObject consumer on key until it is cancelled; returns wait()'s value."""
    monkeypatch.setattr(qzconfig, "QZ_MQ_PROTOCOL", protocol)
    mq = qzmqobj.QZMQObject()
    mq.open(**AMQP)
    if protocol:
        def handler(channel, method, properties, body):
            on_body(channel, method.consumer_tag, method.delivery_tag, properties, body)
    else:
        def handler(message):
            on_body(message.channel, message.consumer_tag, message.delivery_tag,
                    message.properties, message.body)
    mq.consume(key, callback=handler, durable=False, exclusive=False, auto_delete=False,
               type="direct")
    try:
        return mq.wait()
    finally:
        mq.close()


@pytest.mark.parametrize("protocol", [True, False], ids=["four-arguments", "one-argument"])
def test_round_trip_with_ack_and_cancel(key, monkeypatch, protocol):
    seen = []

    def on_body(channel, consumer_tag, delivery_tag, properties, body):
        seen.append((body, qzmqobj.get_headers_obj(properties)))
        if body == "cancel":
            channel.basic_cancel(consumer_tag)
        elif body != "leave":
            channel.basic_ack(delivery_tag)

    declare(key)
    publish(key, "one", "leave", headers={"to": "a@example.com"})
    publish(key, "cancel")
    assert consume_all(key, protocol, monkeypatch, on_body) is True
    assert seen == [("one", {"to": "a@example.com"}), ("leave", {"to": "a@example.com"}),
                    ("cancel", None)]
    # "leave" and "cancel" were never acknowledged: both come again, "one" does not
    del seen[:]
    consume_all(key, protocol, monkeypatch, on_body)
    assert [b for b, _ in seen] == ["leave", "cancel"]


def test_handler_error_is_logged_and_consumption_goes_on(key, monkeypatch, capsys):
    bodies = []

    def on_body(channel, consumer_tag, delivery_tag, properties, body):
        bodies.append(body)
        if body == "boom":
            raise ValueError("handler failed")
        channel.basic_ack(delivery_tag)
        if body == "last":
            channel.basic_cancel(consumer_tag)

    declare(key)
    publish(key, "boom", "last")
    assert consume_all(key, True, monkeypatch, on_body) is True
    assert bodies == ["boom", "last"]
    out = capsys.readouterr().out
    assert "Traceback (most recent call last)" in out and "ValueError: handler failed" in out


def test_wait_is_false_when_the_connection_is_lost(key, monkeypatch):
    relay = Relay(5672)
    try:
        monkeypatch.setattr(qzconfig, "QZ_MQ_PROTOCOL", True)
        mq = qzmqobj.QZMQObject()
        mq.open(userid="guest", password="plovk562", host="127.0.0.1:%d" % relay.port)
        mq.consume(key, callback=lambda *a: relay.cut(), durable=False, exclusive=False,
                   auto_delete=False, type="direct")
        publish(key, "cut the line")  # the handler cuts the connection under the client
        assert mq.wait() is False
        mq.close()
    finally:
        relay.close()


SERVE = """
import sys
from qz import qzconfig, qzmqobj
qzconfig.QZ_MQ_PROTOCOL = True
mq = qzmqobj.QZMQObject()
mq.open(userid="guest", password="plovk562", host="127.0.0.1")
mq.consume(sys.argv[1], callback=lambda *a: None, durable=False, exclusive=False,
           auto_delete=False, type="direct")
print "serving"
sys.stdout.flush()
status = mq.wait()
mq.close()
print "wait returned", status
"""


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_a_stop_signal_ends_wait_in_order(key, signum):
    proc = subprocess.Popen([sys.executable, "-c", SERVE, key], stdout=subprocess.PIPE)
    assert proc.stdout.readline() == "serving\n"
    proc.send_signal(signum)
    out = proc.stdout.read()
    assert proc.wait() == 0
    assert out == "wait returned True\n"


RESPONDER = os.path.join(ROOT, "tests", "platform", "responder.py")


@pytest.fixture
def responder(key):
    """A service on key that answers "echo:<request>" after the delay the request names."""
    proc = subprocess.Popen([sys.executable, RESPONDER, key], stdout=subprocess.PIPE)
    assert proc.stdout.readline() == "serving\n"
    yield key
    proc.send_signal(signal.SIGTERM)
    proc.wait()


@pytest.fixture
def channel():
    conn = broker()
    yield conn.channel()
    conn.close()


def test_remote_call_is_answered(responder, channel):
    assert qzmqtool.rpc_call_with_timeout('{"q": 1}', 5, channel, responder) == 'echo:{"q": 1}'
    assert qzmqtool.rpc_call_with_timeout(u"caf\xe9", 5, channel, responder) == "echo:caf\xc3\xa9"


def test_remote_call_times_out_and_a_late_reply_never_reaches_the_next_call(responder, channel):
    started = time.time()
    with pytest.raises(qzmqtool.RpcTimeout) as info:
        qzmqtool.rpc_call_with_timeout("sleep:1.5", 0.5, channel, responder)
    assert 0.5 <= time.time() - started < 1.5
    assert responder in str(info.value)
    # the late reply to the first call arrives while this one waits
    assert qzmqtool.rpc_call_with_timeout("sleep:1.5 second", 5, channel, responder) == \
        "echo:sleep:1.5 second"


def test_remote_call_without_a_service_times_out(key, channel):
    channel.queue_declare(queue=key)
    with pytest.raises(qzmqtool.RpcTimeout):
        qzmqtool.rpc_call_with_timeout("x", 0.3, channel, key)


def test_publish_without_a_channel_is_false():
    assert qzmqtool.do_basic_publish("x", {}, "k", ch=None, tag="t", exchange="e") is False


class _Props(object):
    def __init__(self, headers):
        self.headers = headers


@pytest.mark.parametrize("headers", [
    None, {}, {u"response_key": u"0" * 32, u"retry": 0},
    {u"z": 1, u"a": [1, 2.5, None, True], u"m": {u"y": u"caf\xe9", u"b": -(1 << 70)}},
    {u"t": __import__("datetime").datetime(2026, 12, 10, 17, 0), u"d": __import__("decimal")
     .Decimal("1.10"), u"b": bytearray("\x00\xff"), u"f": float("nan"), u"i": float("-inf")},
    {u"raw": "\xff\xfe not UTF-8"},  # the encoder refuses it: the repr stands in
    {"bytes": "x", u"text": u"\u2603", u"\xe9": 1, u"n": None, u"no": False, u"big": 1 << 70},
    {1: u"a"}, {u"k": 1.5}, {u"k": (1 << 31) - 1, u"j": -(1 << 31)},
])
def test_a_request_digest_stays_what_records_already_hold(headers):
    """Records of requests in hand outlive the process: the next one must
    name the same request the same way."""
    import hashlib
    import json
    try:
        shown = json.dumps(headers or {}, sort_keys=True, default=repr)
    except (TypeError, ValueError):
        shown = repr(sorted((headers or {}).items()))
    expected = hashlib.sha1("%s\0%s\0%s" % ("qz_key", shown, "body")).hexdigest()
    assert qzmqobj._digest("qz_key", _Props(headers), "body") == expected




def test_a_stop_from_the_signal_sink_waits_for_a_write_under_way(tmp_path, monkeypatch):
    """With the signal sink, the stop is noted on the sink's thread: it takes
    its turn after the write in progress and marks the request in hand then."""
    monkeypatch.setenv("QZ_BASE_PATH", str(tmp_path))
    monkeypatch.setattr(qzmqobj._hold, "noting", lambda: True)
    in_hand = qzmqobj._InHand("qz_key")
    real, noted = os.write, []

    def stop_from_another_thread(fd, *args):
        if fd == in_hand.fd and not noted:
            sink = threading.Thread(target=in_hand.stopping)
            sink.start()
            noted.append(sink)
            time.sleep(0.1)  # the sink waits for the lock, never writes in between
        return real(fd, *args)

    monkeypatch.setattr(os, "write", stop_from_another_thread)
    in_hand.enter("d")
    noted[0].join(5)
    monkeypatch.setattr(os, "write", real)
    with open(in_hand.path) as f:
        assert f.read() == "d 0 stop\n"
    in_hand.leave("d")
    in_hand.close()


@pytest.mark.parametrize("landing, steps, record", [
    ("write", ["enter"], "d 0 stop\n"),  # while the request is being put on record
    ("write", ["enter", "stop"], "d 0 stop\n"),  # a second stop inside the first's write
    ("ftruncate", ["enter", "leave"], ""),  # while a done request is cleared: nothing to note
])
def test_a_stop_landing_inside_a_write_of_the_record(landing, steps, record, tmp_path,
                                                     monkeypatch):
    """Where no signal sink runs (no wake-up descriptor could be had), the
    stop signals' handler notes the stop in the record whenever it runs,
    also between two system calls of another note."""
    monkeypatch.setenv("QZ_BASE_PATH", str(tmp_path))
    monkeypatch.setattr(qzmqobj._hold, "noting", lambda: False)
    in_hand = qzmqobj._InHand("qz_key")
    actions = {"enter": lambda: in_hand.enter("d"), "stop": in_hand.stopping,
               "leave": lambda: in_hand.leave("d")}
    for step in steps[:-1]:
        actions[step]()
    real, landed = getattr(os, landing), []

    def stop_lands(fd, *args):
        if fd == in_hand.fd and not landed:
            landed.append(True)
            in_hand.stopping()  # as the handler runs, between two calls of the write under way
        return real(fd, *args)

    monkeypatch.setattr(os, landing, stop_lands)
    actions[steps[-1]]()
    monkeypatch.setattr(os, landing, real)
    assert landed
    with open(in_hand.path) as f:
        assert f.read() == record
    in_hand.close()
