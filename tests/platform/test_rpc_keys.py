"""Response keys of remote calls: bound ahead of their call, retired with
their reply queue, and never a way for a stray reply into a later call."""
import os
import signal
import subprocess
import sys
import time

import pika
import pytest

from harness import ROOT
from qz import qzconfig, qzmqtool, qztool
import rabbit

RESPONDER = os.path.join(ROOT, "tests", "platform", "responder.py")


def broker():
    return rabbit.connect()


@pytest.fixture
def services(request):
    """Two echo services, each on a fresh key, removed afterwards."""
    keys, procs = [], []
    for _ in range(2):
        name = "qz_test_" + os.urandom(4).encode("hex")
        proc = subprocess.Popen([sys.executable, RESPONDER, name], stdout=subprocess.PIPE)
        assert proc.stdout.readline() == "serving\n"
        keys.append(name)
        procs.append(proc)
    yield keys
    for proc in procs:
        proc.send_signal(signal.SIGTERM)
        proc.wait()
    conn = broker()
    ch = conn.channel()
    for name in keys:
        ch.queue_delete(queue=name)
        ch.exchange_delete(exchange=name)
        ch.exchange_delete(exchange=name + qzconfig.QZ_MQ_EXCHANGE_TAG)
    conn.close()


@pytest.fixture
def channel():
    conn = broker()
    yield conn.channel()
    conn.close()


@pytest.fixture
def keys_made(monkeypatch):
    made = []
    real = qzmqtool._new_key

    def recording():
        made.append(real())
        return made[-1]
    monkeypatch.setattr(qzmqtool, "_new_key", recording)
    return made


def routable(exchange, routing_key):
    """Whether the broker routes a message to some queue (a mandatory publish
    on a confirming channel)."""
    conn = broker()
    try:
        ch = conn.channel()
        ch.confirm_delivery()
        try:
            ch.basic_publish(exchange=exchange, routing_key=routing_key, body="probe",
                             mandatory=True)
        except pika.exceptions.UnroutableError:
            return False
        return True
    finally:
        conn.close()


def queue_exists(name):
    """From another connection: an exclusive queue that exists answers
    RESOURCE_LOCKED, one that does not NOT_FOUND."""
    conn = broker()
    try:
        conn.channel().queue_declare(queue=name, passive=True)
        return True
    except pika.exceptions.ChannelClosedByBroker as e:
        assert e.reply_code in (404, 405), e
        return e.reply_code == 405
    finally:
        if conn.is_open:
            conn.close()


def test_calls_alternating_between_services_across_reply_queues(services, channel,
                                                                 monkeypatch):
    # Retiring the reply queue every third answer puts keys bound ahead, for
    # each service's reply exchange, across several queue changes.
    monkeypatch.setattr(qzmqtool, "ROTATE_AFTER", 3)
    queues = []
    for i in range(14):
        target = services[i % 3 % 2]
        assert qzmqtool.rpc_call_with_timeout("call %d" % i, 5, channel, target) == \
            "echo:call %d" % i
        queues.append(qzmqtool._state(channel).reply_queue)
    used = sorted(set(queues), key=queues.index)
    assert len(used) == 5
    # the retired queues, with every binding of theirs, are deleted by the broker
    deadline = time.time() + 5
    while any(queue_exists(q) for q in used[:-1]):
        assert time.time() < deadline, "retired reply queues still exist"
        time.sleep(0.05)
    assert queue_exists(used[-1])


@pytest.mark.parametrize("outcome", ["answered", "timed out"])
def test_a_stray_reply_to_an_earlier_key_never_reaches_the_next_call(services, channel,
                                                                     keys_made, outcome):
    service = services[0]
    exchange = service + qzconfig.QZ_MQ_EXCHANGE_TAG
    if outcome == "answered":
        assert qzmqtool.rpc_call_with_timeout("first", 5, channel, service) == "echo:first"
    else:
        with pytest.raises(qzmqtool.RpcTimeout):
            qzmqtool.rpc_call_with_timeout("sleep:0.6", 0.2, channel, service)
        # a timed-out key is unbound before the call returns
        assert not routable(exchange, keys_made[0])
    earlier = keys_made[0]
    conn = broker()
    conn.channel().basic_publish(
        exchange=exchange, routing_key=earlier, body=qztool.qz_gzip_data("stray"),
        properties=pika.BasicProperties(headers={"retry": 0, "response_key": earlier}))
    conn.close()
    assert qzmqtool.rpc_call_with_timeout("second", 5, channel, service) == "echo:second"
    assert qzmqtool.rpc_call_with_timeout("third", 5, channel, service) == "echo:third"


def test_the_next_key_is_bound_before_its_request_leaves(services, channel, keys_made):
    service = services[0]
    assert qzmqtool.rpc_call_with_timeout("one", 5, channel, service) == "echo:one"
    # the key made for the following call is already routable to the caller
    ahead = qzmqtool._state(channel).ahead[service + qzconfig.QZ_MQ_EXCHANGE_TAG]
    assert ahead == keys_made[-1]
    assert routable(service + qzconfig.QZ_MQ_EXCHANGE_TAG, ahead)
    assert qzmqtool.rpc_call_with_timeout("two", 5, channel, service) == "echo:two"
    assert keys_made.index(ahead) == 1  # and it is the key the second call used


def test_request_bodies_are_single_gzip_members_any_reader_takes():
    import gzip
    from StringIO import StringIO
    for text, expected in [("", ""), ("x" * 70000, "x" * 70000),
                           (u"caf\xe9", "caf\xc3\xa9")]:
        packed = qztool.qz_gzip_data(text)
        assert gzip.GzipFile(fileobj=StringIO(packed)).read() == expected
        assert qztool.qz_gunzip_data(packed) == expected
