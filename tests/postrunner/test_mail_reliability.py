"""Bounded load and fault runs of the worker as a real program."""
import os
import socket
import subprocess
import sys
import time
import urllib

import pytest

import sinks
from harness import TREE
from mailq import declare_and_purge, delete_parked, drain, parked_requests, publish_many

HERE = os.path.dirname(os.path.abspath(__file__))
TO = {"to": "a@example.com"}


def start_worker(log_path, env=None):
    full_env = dict(os.environ, **(env or {}))
    return subprocess.Popen([os.path.join(TREE, "postrunner"), "--host", "127.0.0.1"],
                            stdout=open(log_path, "w"), stderr=subprocess.STDOUT, env=full_env)


def stop_worker(proc, timeout=120):
    publish_many([("cancel_qz_mail", None)])
    deadline = time.time() + timeout
    while proc.poll() is None and time.time() < deadline:
        time.sleep(0.1)
    if proc.poll() is None:
        proc.kill()
        pytest.fail("the worker did not stop within %s s" % timeout)
    return proc.returncode


def wait_for(condition, timeout, what):
    deadline = time.time() + timeout
    while not condition():
        if time.time() > deadline:
            pytest.fail("timed out waiting for " + what)
        time.sleep(0.1)


def malformed(i):
    """The malformed kinds, and what must become of each."""
    kinds = [
        ((urllib.urlencode({"subject": "m%d" % i}), None), "acked"),              # ML074
        ((urllib.urlencode({"subject": "m%d" % i}), {"to": ""}), "acked"),        # ML079
        ((urllib.urlencode({"subject": "m%d" % i}), {"to": "x\r\ny@z"}), "acked"),  # bad address
        ((urllib.urlencode({"subject": "m%d" % i, "report": "{bad}"}), TO), "kept"),  # ML095
        ((urllib.urlencode({"subject": "m%d" % i, "report": "x", "json": "1"}), TO), "kept"),
    ]
    return kinds[i % len(kinds)]


def test_nothing_is_lost_while_the_sink_drops_and_refuses(tmp_path):
    declare_and_purge()
    delete_parked()
    sinks.clear_mail()
    sinks.smtp_control(drop_every=300)
    good, bad_kept = set(), set()
    requests = []
    for i in range(5000):
        if i % 10 == 3:
            request, fate = malformed(i // 10)
            if fate == "kept":
                bad_kept.add(request[0])
            requests.append(request)
        else:
            body = urllib.urlencode({"subject": "g%d" % i, "report": "caf\xc3\xa9 %d" % i})
            good.add("g%d" % i)
            requests.append((body, TO))
    log = str(tmp_path / "worker.log")
    # Failed requests come back within tenths of a second and are parked
    # after about 9 s of tries: longer than the sink refuses connections.
    retries = {"QZ_MQ_RETRY_DELAY": "0.1", "QZ_MQ_RETRY_MAX_DELAY": "0.5",
               "QZ_MQ_MAX_FAILURES": "20"}
    proc = start_worker(log, retries)
    publish_many(requests[:2500])
    wait_for(lambda: len(os.listdir(sinks.mail_dir())) > 1500, 120, "the first mails")
    sinks.smtp_control(drop_every=300, refuse_connections_until=time.time() + 3)
    publish_many(requests[2500:])
    time.sleep(4)
    sinks.smtp_control(drop_every=300)
    assert stop_worker(proc) == 0

    def delivered():
        subjects = [m["message"]["Subject"] for m in sinks.mails()]
        import email.header
        return [email.header.decode_header(s)[0][0][len("[QZ Mail] "):] for s in subjects]

    first_run = delivered()
    assert len(first_run) == len(set(first_run)), "a mail was delivered twice"
    left = drain()
    left_good = set(urllib.unquote_plus(b.split("subject=")[1].split("&")[0])
                    for b, h in left if b not in bad_kept and "subject=g" in b)
    parked = set(b for b, h in parked_requests())
    assert parked <= bad_kept  # only what can never be sent was parked
    # the rest of it was still being tried when the worker stopped
    assert set(b for b, h in left if b in bad_kept) | parked == bad_kept
    assert left_good | set(first_run) == good and not left_good & set(first_run)
    with open(log) as f:
        text = f.read()
    assert text.count("ML074") == 100 and text.count("ML079") == 100
    assert "Traceback" not in text

    # a restart delivers what was kept, once
    publish_many([(b, h) for b, h in left])
    sinks.smtp_control()
    proc = start_worker(str(tmp_path / "worker2.log"), retries)
    assert stop_worker(proc) == 0
    assert sorted(delivered()) == sorted(good)
    declare_and_purge()
    delete_parked()


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int([l for l in f if l.startswith("VmRSS:")][0].split()[1])


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def test_memory_stays_flat_over_50000_requests(tmp_path):
    declare_and_purge()
    port, counter = free_port(), str(tmp_path / "count")
    sink = subprocess.Popen([sys.executable, os.path.join(HERE, "discard_smtp.py"), str(port),
                             counter], stdout=subprocess.PIPE)
    assert sink.stdout.readline() == "serving\n"
    proc = start_worker(str(tmp_path / "worker.log"),
                        {"QZ_SMTP_PORT": str(port), "QZ_SMTP_UID": ""})

    def sent():
        try:
            with open(counter) as f:
                return int(f.read() or 0)
        except IOError:
            return 0

    def batch(start, n):
        return [(urllib.urlencode({"subject": "s%d" % i, "report": "r%d\n{\"k\": %d}" % (i, i),
                                   "name": "J\xc3\xbcrgen"}), TO)
                for i in range(start, start + n)]
    try:
        publish_many(batch(0, 1000))
        wait_for(lambda: sent() >= 1000, 120, "1,000 mails")
        after_first = rss_kb(proc.pid)
        # the same batch size throughout, so that the client's buffer of
        # delivered requests peaks alike and only a leak would show
        for start in range(1000, 50000, 1000):
            publish_many(batch(start, 1000))
            wait_for(lambda: sent() >= start + 1000, 120, "the next mails")
        after_all = rss_kb(proc.pid)
        assert stop_worker(proc) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
        sink.kill()
    print "worker RSS after 1,000: %d KB, after 50,000: %d KB" % (after_first, after_all)
    assert after_all - after_first < 5 * 1024
