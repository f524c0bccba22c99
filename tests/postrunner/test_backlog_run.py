"""A backlog of 200,000 queued requests through the worker as a real
program, with a relay outage in the middle and a stop under load: every
request is delivered exactly once, the worker's memory stays within its
window, and the stop takes no longer than the request in hand."""
import os
import email.header
import signal
import subprocess
import sys
import time
import urllib

import pytest

import pika
import rabbit
from test_mail_reliability import HERE, TO, free_port, start_worker

BACKLOG = 200000
# The worker idles near 20 MB and holds at most its window of 50 requests of
# a few hundred bytes: 1,000 queued or 200,000 alike.
PEAK_RSS_MB = 40
# A stop waits for the request in hand only: a mail to a local relay.
STOP_SECONDS = 10


# A virtual host of its own: the other tests' purges and workers on qz_mail
# never meet this backlog, nor its workers their requests.
VHOST = "qz_tenant"  # made by the stack for guest


def declare_and_purge():
    conn, ch = rabbit.channel(VHOST)
    ch.exchange_declare(exchange="qz_mail", exchange_type="direct", durable=True)
    ch.queue_declare(queue="qz_mail", durable=True)
    ch.queue_bind(queue="qz_mail", exchange="qz_mail", routing_key="qz_mail")
    ch.queue_purge(queue="qz_mail")
    ch.queue_delete(queue="qz_mail.failed")
    conn.close()


def publish_many(requests):
    conn, ch = rabbit.channel(VHOST)
    for i, (body, headers) in enumerate(requests):
        ch.basic_publish(exchange="qz_mail", routing_key="qz_mail", body=body,
                         properties=pika.BasicProperties(headers=headers))
        if i % 500 == 0:
            conn.process_data_events(0)
    conn.close()


def queued(queue="qz_mail"):
    """Requests ready in the queue, 0 for a queue never declared."""
    conn, ch = rabbit.channel(VHOST)
    try:
        return ch.queue_declare(queue=queue, durable=True, passive=True).method.message_count
    except pika.exceptions.ChannelClosedByBroker:
        return 0
    finally:
        if conn.is_open:
            conn.close()


def cancel(proc, timeout=120):
    publish_many([("cancel_qz_mail", None)])
    deadline = time.time() + timeout
    while proc.poll() is None and time.time() < deadline:
        time.sleep(0.1)
    return proc.poll()


class Relay(object):
    """The counting relay, which writes each mail's subject down and can be
    put in maintenance (each new mail answered 421) and back."""

    def __init__(self, folder):
        self.port = free_port()
        self.counter = os.path.join(folder, "count")
        self.subjects = os.path.join(folder, "subjects")
        self.maintenance = os.path.join(folder, "maintenance")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "discard_smtp.py"), str(self.port),
             self.counter, self.subjects, self.maintenance], stdout=subprocess.PIPE)
        assert self.proc.stdout.readline() == "serving\n"

    def outage(self, on):
        if on:
            open(self.maintenance, "w").close()
        else:
            os.unlink(self.maintenance)

    def count(self):
        try:
            with open(self.counter) as f:
                return int(f.read() or 0)
        except (IOError, ValueError):
            return 0

    def close(self):
        self.proc.send_signal(signal.SIGINT)  # its loop ends and writes its subjects out
        self.proc.wait()

    def delivered(self):
        """The subjects of the mails taken, each as the worker wrote it."""
        with open(self.subjects) as f:
            return [email.header.decode_header(line.rstrip("\n"))[0][0] for line in f]


def peak_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        return int([l for l in f if l.startswith("VmHWM:")][0].split()[1])


def wait_for(condition, timeout, what, proc=None):
    deadline = time.time() + timeout
    while not condition():
        assert time.time() < deadline, "timed out waiting for " + what
        assert proc is None or proc.poll() is None, "the worker ended: %s" % proc.returncode
        time.sleep(0.2)


def test_a_backlog_of_200000_through_an_outage_and_a_stop(tmp_path):
    declare_and_purge()
    relay = Relay(str(tmp_path))
    env = {"QZ_SMTP_PORT": str(relay.port), "QZ_SMTP_UID": "",
           # an outage of seconds is tried through without parking anything
           "QZ_MQ_VHOST": VHOST, "QZ_MQ_RETRY_DELAY": "0.2", "QZ_MQ_RETRY_MAX_DELAY": "1", "QZ_MQ_MAX_FAILURES": "1000"}
    subjects = ["b%d" % i for i in range(BACKLOG)]
    publish_many([(urllib.urlencode({"subject": s, "report": "row %s" % s}), TO)
                  for s in subjects])
    peaks, stop_took = [], None
    proc = start_worker(str(tmp_path / "worker1.log"), env)
    try:
        # the relay in maintenance for five seconds under load
        wait_for(lambda: relay.count() >= BACKLOG // 4, 900, "a quarter of the mails", proc)
        relay.outage(True)
        time.sleep(5)
        relay.outage(False)
        # a supervisor's stop under load, and a start again
        wait_for(lambda: relay.count() >= BACKLOG // 2, 900, "half of the mails", proc)
        peaks.append(peak_kb(proc.pid))
        asked = time.time()
        proc.send_signal(signal.SIGTERM)
        wait_for(lambda: proc.poll() is not None, STOP_SECONDS + 5, "the stop")
        stop_took = time.time() - asked
        assert proc.returncode == 0
        proc = start_worker(str(tmp_path / "worker2.log"), env)
        wait_for(lambda: queued() == 0 and relay.count() >= BACKLOG - 100, 900,
                 "the rest of the mails", proc)
        peaks.append(peak_kb(proc.pid))
        assert cancel(proc) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
        relay.close()
    delivered = relay.delivered()
    print "delivered %d of %d; worker peaks %s KB; the stop took %.2f s" % (
        len(delivered), BACKLOG, peaks, stop_took)
    assert len(delivered) == len(set(delivered)), "a mail was delivered twice"
    assert sorted(s[len("[QZ Mail] "):] for s in delivered) == sorted(subjects)
    assert queued("qz_mail.failed") == 0
    assert max(peaks) < PEAK_RSS_MB * 1024
    assert stop_took < STOP_SECONDS
    declare_and_purge()
