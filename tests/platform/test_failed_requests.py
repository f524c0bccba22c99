"""The consumer's window and what becomes of a request that failed: held
for a back-off that grows, given back to the queue for the running worker,
parked in <key>.failed after its last allowed failure."""
import os
import signal
import subprocess
import sys
import time

import pika
import pika.exceptions
import pytest

from harness import ROOT, finish, wait_until
from qz import qzconfig, qzmqobj
import rabbit

CONSUMER = os.path.join(ROOT, "tests", "platform", "flaky_consumer.py")


def broker():
    return rabbit.connect()


def publish(key, bodies, headers=None):
    conn = broker()
    ch = conn.channel()
    ch.exchange_declare(exchange=key, exchange_type="direct")
    ch.queue_declare(queue=key)
    ch.queue_bind(queue=key, exchange=key, routing_key=key)
    for body in bodies:
        ch.basic_publish(exchange=key, routing_key=key, body=body,
                         properties=pika.BasicProperties(headers=headers))
    conn.close()


def ready(queue):
    """Messages ready in queue; None while it does not exist."""
    conn = broker()
    try:
        return conn.channel().queue_declare(queue=queue, passive=True).method.message_count
    except pika.exceptions.ChannelClosedByBroker:
        return None
    finally:
        if conn.is_open:
            conn.close()


def take_all(queue):
    conn = broker()
    ch = conn.channel()
    out = []
    while True:
        method, properties, body = ch.basic_get(queue=queue, auto_ack=True)
        if method is None:
            break
        out.append((body, properties))
    conn.close()
    return out


@pytest.fixture
def parked(key):
    """The key's parked queue, removed afterwards."""
    yield key + ".failed"
    conn = broker()
    conn.channel().queue_delete(queue=key + ".failed")
    conn.close()


def start(key, **settings):
    env = dict(os.environ, **dict((k, str(v)) for k, v in settings.items()))
    proc = subprocess.Popen([sys.executable, CONSUMER, key], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=env)
    assert proc.stdout.readline() == "serving\n"
    return proc


def deliveries(out, body):
    """The times at which body was in hand."""
    return [float(line.split()[0]) for line in out.splitlines()
            if line.endswith(" in hand " + body)]


def test_the_window_holds_at_most_the_prefetch_and_an_outage_only_slows_it(key, parked):
    """Every request fails, as in an outage: only the window's worth is
    tried, the rest stays queued and untouched, and a stop does not wait for
    the back-offs."""
    publish(key, ["fail:always:%d" % i for i in range(10)])
    proc = start(key, QZ_MQ_PREFETCH=3, QZ_MQ_RETRY_DELAY=60)
    wait_until(lambda: ready(key) == 7, timeout=10)
    time.sleep(1)  # time for a fourth delivery, were the window not full
    proc.send_signal(signal.SIGTERM)
    started = time.time()
    done = finish(proc, timeout=20)
    assert done.status == 0 and time.time() - started < 5, done
    assert done.out.count(" in hand ") == 3
    assert "3 held of a window of 3" in done.out
    assert ready(key) == 10 and ready(parked) is None  # all back; nothing parked


@pytest.mark.parametrize("body, max_failures, handled, parked_after", [
    ("fail:1:a", 3, 2, None),     # a 421 now and then: tried again, delivered
    ("raise:2:b", 3, 3, None),    # a handler error is a failure like another
    ("fail:always:c", 3, 3, 3),   # a permanent refusal: parked, never back
    ("raise:always:d", 1, 1, 1),  # one failure allowed: parked at once
])
def test_a_failed_request_comes_back_to_the_running_worker_until_it_is_parked(
        key, parked, body, max_failures, handled, parked_after):
    publish(key, [body, "ok"], headers={"to": "a@example.com"})
    proc = start(key, QZ_MQ_RETRY_DELAY=0.3, QZ_MQ_RETRY_MAX_DELAY=10,
                 QZ_MQ_MAX_FAILURES=max_failures)
    try:
        wait_until(lambda: ready(key) == 0, timeout=15)
        time.sleep(0.3)  # the last hold let go, if any
        wait_until(lambda: proc.poll() is None and (
            parked_after is None or ready(parked) == 1), timeout=15)
        time.sleep(2.5)  # long enough for one more delivery, were there one
    finally:
        publish(key, ["last"])
        done = finish(proc, timeout=20)
    assert done.status == 0, done
    times = deliveries(done.out, body)
    assert len(times) == handled, done.out
    assert len(deliveries(done.out, "ok")) == 1  # never held up behind the failed one
    gaps = [b - a for a, b in zip(times, times[1:])]
    for i, gap in enumerate(gaps):  # 0.3 s, then 0.6 s, doubling
        assert 0.3 * 2 ** i <= gap < 0.3 * 2 ** i + 2, gaps
    assert ready(key) == 0
    if parked_after is None:
        assert ready(parked) is None and "parked" not in done.out
        return
    [(copy, properties)] = take_all(parked)
    assert copy == body
    assert properties.headers == {"to": "a@example.com", "x-qz-failures": parked_after}
    assert properties.delivery_mode == 2  # kept across a broker restart
    assert "parked a request on %s delivery" % key in done.out
    assert "in %s after %d failures" % (parked, parked_after) in done.out


def test_a_request_that_cannot_be_parked_is_held_not_lost(key, parked):
    """The parked queue exists as a transient one: the broker refuses the
    worker's durable declaration. The request stays in the worker's hands
    and comes back; once the queue is gone, it is parked."""
    conn = broker()
    conn.channel().queue_declare(queue=parked, durable=False)
    conn.close()
    publish(key, ["fail:always:x"])
    proc = start(key, QZ_MQ_RETRY_DELAY=0.3, QZ_MQ_MAX_FAILURES=1)
    try:
        wait_until(lambda: ready(key) == 0, timeout=10)
        time.sleep(1.5)
        conn = broker()
        conn.channel().queue_delete(queue=parked)
        conn.close()
        wait_until(lambda: ready(parked) == 1, timeout=15)
    finally:
        publish(key, ["last"])
        done = finish(proc, timeout=20)
    assert done.status == 0, done
    assert "could not park a request on %s" % key in done.out
    assert "PRECONDITION_FAILED" in done.out
    assert len(deliveries(done.out, "fail:always:x")) >= 2
    assert [b for b, _ in take_all(parked)] == ["fail:always:x"] and ready(key) == 0


@pytest.mark.parametrize("settings, named", [
    ({"QZ_MQ_PREFETCH": 0}, "setting QZ_MQ_PREFETCH: 0 is not a whole number from 1 to 65535"),
    ({"QZ_MQ_PREFETCH": 65536}, "QZ_MQ_PREFETCH: 65536"),
    ({"QZ_MQ_PREFETCH": "50"}, "QZ_MQ_PREFETCH: '50'"),  # text from a settings file
    ({"QZ_MQ_PREFETCH": True}, "QZ_MQ_PREFETCH: True"),
    ({"QZ_MQ_MAX_FAILURES": 0}, "QZ_MQ_MAX_FAILURES: 0"),
    ({"QZ_MQ_RETRY_DELAY": 0}, "setting QZ_MQ_RETRY_DELAY: 0 is not a number of seconds above 0"),
    ({"QZ_MQ_RETRY_DELAY": float("nan")}, "QZ_MQ_RETRY_DELAY: nan"),
    ({"QZ_MQ_RETRY_MAX_DELAY": float("inf")}, "QZ_MQ_RETRY_MAX_DELAY: inf"),
    ({"QZ_MQ_RETRY_DELAY": 10.0, "QZ_MQ_RETRY_MAX_DELAY": 5.0},
     "setting QZ_MQ_RETRY_MAX_DELAY: 5.0 is below QZ_MQ_RETRY_DELAY (10.0)"),
])
@pytest.mark.parametrize("changed_before", ["open", "consume"])
def test_a_bad_window_setting_stops_the_start_naming_it(key, monkeypatch, settings, named,
                                                        changed_before):
    def change():
        for name, value in settings.items():
            monkeypatch.setattr(qzconfig, name, value)

    mq = qzmqobj.QZMQObject()
    try:
        if changed_before == "open":
            change()
            with pytest.raises(ValueError) as info:
                mq.open(userid="guest", password="plovk562", host="127.0.0.1")
            assert mq.connection is None  # named before any connection was tried
        else:
            mq.open(userid="guest", password="plovk562", host="127.0.0.1")
            change()
            with pytest.raises(ValueError) as info:
                mq.consume(key, callback=lambda *a: None, durable=False, exclusive=False,
                           auto_delete=False, type="direct")
    finally:
        mq.close()
    assert named in str(info.value)
    assert ready(key) is None  # refused before anything was declared


def replay(key, *args):
    done = finish(subprocess.Popen(
        [sys.executable, "-m", "qz.qzmqtool", "replay", key, "--host", "127.0.0.1"] +
        list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE), timeout=30)
    assert done.status == 0, done
    return done.out


def park(key, bodies, headers=None):
    """Has a worker park the bodies, each at its first failure."""
    publish(key, bodies, headers)
    proc = start(key, QZ_MQ_MAX_FAILURES=1)
    wait_until(lambda: ready(key + ".failed") == len(bodies), timeout=15)
    proc.send_signal(signal.SIGTERM)
    assert finish(proc).status == 0


def test_parked_requests_are_replayed_as_they_were(key, parked):
    park(key, ["fail:always:%d" % i for i in range(3)], headers={"to": "a@example.com"})
    assert replay(key, "--limit", "1") == "replayed 1 requests from %s to %s\n" % (parked, key)
    assert replay(key) == "replayed 2 requests from %s to %s\n" % (parked, key)
    assert ready(parked) == 0
    again = take_all(key)
    assert sorted(b for b, _ in again) == ["fail:always:%d" % i for i in range(3)]
    assert all(p.headers == {"to": "a@example.com"} for _, p in again)


def test_a_replay_into_a_worker_that_parks_again_ends(key, parked):
    """Each replayed request fails and is parked anew while the replay runs:
    the replay moves what was parked when it began, and ends."""
    park(key, ["fail:always:%d" % i for i in range(20)])
    proc = start(key, QZ_MQ_MAX_FAILURES=1)
    try:
        assert replay(key) == "replayed 20 requests from %s to %s\n" % (parked, key)
        wait_until(lambda: ready(parked) == 20 and ready(key) == 0, timeout=15)
    finally:
        proc.send_signal(signal.SIGTERM)
        finish(proc)


def test_a_replay_with_nothing_parked_moves_nothing(key):
    assert replay(key) == "replayed 0 requests from %s.failed to %s\n" % (key, key)
