"""postrunner against SMTP relays that fail on purpose, without a restart:
a relay that answers 421 after N mails on a connection, one that is down for
a few seconds under load, one that refuses one recipient for ever. Each
request is mailed exactly once, or parked after its allowed failures;
nothing is left in the queue."""
import email
import email.header
import os
import subprocess
import sys
import time
import urllib

import pytest

from harness import TREE, finish, wait_until
from hostile import SMTPRelay
from mailq import (declare_and_purge, delete_parked, parked_count, parked_requests,
                   publish_many, waiting_requests)

@pytest.fixture
def relay_run(tmp_path):
    """start(relay, **settings) runs postrunner on the relay; the fixture
    stops it (with the cancel word, so that it ends in order) and leaves
    qz_mail and the parked queue empty."""
    declare_and_purge()
    delete_parked()
    started = []

    def start(relay, **settings):
        env = dict(os.environ, QZ_SMTP_PORT=str(relay.port), QZ_SMTP_UID="",
                   QZ_BASE_PATH=str(tmp_path), QZ_MQ_RETRY_DELAY="0.2",
                   QZ_MQ_RETRY_MAX_DELAY="2")
        env.update((k, str(v)) for k, v in settings.items())
        proc = subprocess.Popen([os.path.join(TREE, "postrunner"), "--host", "127.0.0.1"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
        started.append(proc)
        return proc

    def stop():
        proc = started.pop()
        publish_many([("cancel_qz_mail", None)])
        done = finish(proc, timeout=30)
        assert done.status == 0, done
        return done.out

    start.stop = stop
    yield start
    for proc in started:
        proc.kill()
        proc.wait()
    declare_and_purge()
    delete_parked()


def requests(count, to="a@example.com", prefix="m"):
    return [(urllib.urlencode({"subject": "%s%d" % (prefix, i)}), {"to": to})
            for i in range(count)]


def subjects(relay):
    """The subject of every mail the relay took, in order."""
    out = []
    for _, text, _ in relay.mails:
        subject = email.message_from_string(text)["Subject"]
        out.append(email.header.decode_header(subject)[0][0][len("[QZ Mail] "):])
    return out


def all_mailed(relay, count):
    return lambda: len(relay.mails) >= count and waiting_requests() == 0


def test_a_relay_that_answers_421_after_100_mails_on_a_connection(relay_run):
    relay = SMTPRelay(per_connection=100)
    try:
        proc = relay_run(relay)
        publish_many(requests(1000))
        wait_until(all_mailed(relay, 1000), timeout=60)
        out = relay_run.stop()
    finally:
        relay.close()
    assert sorted(subjects(relay)) == sorted("m%d" % i for i in range(1000))  # each once
    per_connection = {}
    for _, _, number in relay.mails:
        per_connection[number] = per_connection.get(number, 0) + 1
    # each 421 ended its connection; the refused mail went on a new one
    assert sorted(per_connection.values()) == [100] * 10
    assert relay.connections == 10
    assert out.count(" ML095 ") == 9 and out.count("holding a failed request") == 9
    assert parked_requests() == [] and waiting_requests() == 0


def test_a_relay_down_for_a_few_seconds_under_load(relay_run):
    relay = SMTPRelay()
    try:
        proc = relay_run(relay, QZ_MQ_PREFETCH=20)
        publish_many(requests(2000))
        wait_until(lambda: len(relay.mails) >= 300, timeout=60)
        relay.down()
        time.sleep(3)
        during = len(relay.mails)
        relay.up()
        wait_until(all_mailed(relay, 2000), timeout=90)
        out = relay_run.stop()
    finally:
        relay.close()
    assert sorted(subjects(relay)) == sorted("m%d" % i for i in range(2000))  # each once
    assert during < 2000
    # an outage slows the window down, it does not spin: at most the window
    # is tried, at 0.2, 0.4, 0.8, 1.6 s and then every 2 s
    failures = out.count(" ML095 ")
    assert 20 <= failures <= 20 * 5, failures
    assert "20 held of a window of 20" in out
    assert parked_requests() == [] and waiting_requests() == 0


def test_a_relay_that_refuses_one_recipient_for_ever(relay_run):
    relay = SMTPRelay(refuse=["nobody@example.com"])
    refused = requests(3, to="nobody@example.com", prefix="r")
    good = requests(300)
    try:
        relay_run(relay, QZ_MQ_MAX_FAILURES=3)
        publish_many(good[:100] + refused + good[100:])
        wait_until(lambda: len(relay.mails) >= 300 and len(relay.rcpts) == 309 and
                   waiting_requests() == 0, timeout=60)
        time.sleep(2.5)  # long enough for a fourth try, were there one
        out = relay_run.stop()
        assert sorted(subjects(relay)) == sorted("m%d" % i for i in range(300))  # each once
        assert relay.rcpts.count("nobody@example.com") == 9  # three tries each
        assert out.count("in qz_mail.failed after 3 failures") == 3
        assert parked_count() == 3 and waiting_requests() == 0

        # once the relay takes the recipient, the operator replays them
        relay.refuse.clear()
        relay_run(relay)
        replay = finish(subprocess.Popen(
            [sys.executable, "-m", "qz.qzmqtool", "replay", "qz_mail", "--host", "127.0.0.1"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE))
        assert replay.out == "replayed 3 requests from qz_mail.failed to qz_mail\n", replay
        wait_until(all_mailed(relay, 303), timeout=30)
        relay_run.stop()
    finally:
        relay.close()
    assert sorted(subjects(relay)) == sorted(["m%d" % i for i in range(300)] +
                                             ["r0", "r1", "r2"])
    assert parked_count() == 0
