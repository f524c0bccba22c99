"""The mail worker when a stop comes at a bad moment, when the broker takes its
queue away, and when the forwarding endpoint does not accept a request."""
import os
import signal
import subprocess
import time

import pika.exceptions
import pytest

import sinks
from harness import TREE, finish, wait_until
from hostile import BlackHole, Endpoint, SMTPDrip
from mailq import broker_channel, declare_and_purge, publish, waiting_requests
from qz import qzconfig, qztool

TO = {"to": "someone@example.com"}


STARTED = []


@pytest.fixture(autouse=True)
def no_program_left_running():
    yield
    while STARTED:
        proc = STARTED.pop()
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def start(name, env=None, *args):
    full = dict(os.environ)
    full.update(env or {})
    proc = subprocess.Popen([os.path.join(TREE, name), "--host", "127.0.0.1"] + list(args),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=full)
    STARTED.append(proc)
    return proc


def handles_stop_signals(pid):
    """True once the process catches SIGTERM: the earliest it can stop in order."""
    with open("/proc/%d/status" % pid) as f:
        caught = [l for l in f if l.startswith("SigCgt:")][0].split()[1]
    return int(caught, 16) & (1 << (signal.SIGTERM - 1))


def consumers(queue):
    """Consumers on queue; 0 while it does not exist."""
    conn, ch = broker_channel()
    try:
        return ch.queue_declare(queue=queue, passive=True,
                                durable=(queue == "qz_mail")).method.consumer_count
    except pika.exceptions.ChannelClosedByBroker:
        return 0
    finally:
        if conn.is_open:
            conn.close()


@pytest.mark.parametrize("moment", ["first instant", "starting", "serving"])
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
@pytest.mark.parametrize("program, queue", [("postrunner", "qz_mail"),
                                            ("visionbay", "dnn_arpc")])
def test_a_stop_signal_at_any_moment_ends_in_order(program, queue, moment, signum, tmp_path):
    declare_and_purge()
    proc = start(program, {"DIGITS_JOBS_DIR": str(tmp_path)})
    wait_until(lambda: handles_stop_signals(proc.pid))
    if moment == "starting":
        time.sleep(0.2)
    elif moment == "serving":
        wait_until(lambda: consumers(queue) == 1)
    proc.send_signal(signum)
    done = finish(proc)
    assert done.status == 0, done
    assert consumers(queue) == 0
    if program == "visionbay":
        assert done.out.rstrip().endswith("Bye DNN API service"), done


def stopped(proc):
    """Asks the program to stop; (its outcome, the seconds it took to end)."""
    proc.send_signal(signal.SIGTERM)
    started = time.time()
    done = finish(proc)
    return done, time.time() - started


def test_the_last_quit_to_a_server_that_never_answers_it_is_bounded():
    declare_and_purge()
    drip = SMTPDrip("quit", every=0.2)
    try:
        publish([({"subject": "s"}, TO)])
        proc = start("postrunner", {"QZ_SMTP_PORT": str(drip.port), "QZ_SMTP_UID": "",
                                    "QZ_SMTP_TIMEOUT": "1", "QZ_SMTP_MAIL_TIMEOUT": "1.5"})
        wait_until(lambda: drip.mails == 1 and waiting_requests() == 0)
        done, elapsed = stopped(proc)
    finally:
        drip.close()
    assert done.status == 0, done
    assert elapsed < 5, elapsed  # the mail's budget, not the drip's 30 s


def test_a_stop_with_requests_buffered_waits_only_for_the_one_in_hand():
    declare_and_purge()
    hole = BlackHole()
    try:
        publish([({"subject": "s%d" % i}, TO) for i in range(20)])
        proc = start("postrunner", {"QZ_SMTP_PORT": str(hole.port), "QZ_SMTP_TIMEOUT": "3"})
        wait_until(lambda: hole.accepted)  # the first request is in hand
        done, elapsed = stopped(proc)
    finally:
        hole.close()
    assert done.status == 0, done
    assert elapsed < 8, elapsed  # one SMTP time-out, not twenty
    assert len(hole.accepted) == 1
    [line] = done.out.splitlines()
    assert " ML095 " in line and "timed out" in line
    assert waiting_requests() == 20  # the one in hand failed, the rest were never handled


@pytest.mark.parametrize("program, queue", [("postrunner", "qz_mail"),
                                            ("visionbay", "dnn_arpc")])
def test_a_queue_deleted_under_the_worker_ends_it_with_status_1(program, queue, tmp_path):
    if queue == "qz_mail":
        declare_and_purge()
    proc = start(program, {"DIGITS_JOBS_DIR": str(tmp_path)})
    try:
        wait_until(lambda: consumers(queue) == 1)
        conn, ch = broker_channel()
        ch.queue_delete(queue=queue)
        conn.close()
        done = finish(proc)
    finally:
        if queue == "qz_mail":
            declare_and_purge()
    assert done.status == 1, done
    assert "the broker cancelled consumer" in done.out


@pytest.mark.parametrize("status, line", [
    (302, "ML095 HTTPError('HTTP Error 302: Found',)"),
    (303, "ML095 HTTPError('HTTP Error 303: See Other',)"),
    (500, "ML095 HTTPError('HTTP Error 500: Internal Server Error',)"),
])
def test_a_forward_not_accepted_is_a_failure_named_with_its_message(worker, monkeypatch,
                                                                    status, line):
    endpoint = Endpoint(status)
    try:
        monkeypatch.setattr(qzconfig, "SEND_MAIL_MODE", "forward")
        monkeypatch.setattr(qztool, "QZ_BASE_URL", endpoint.url)
        assert worker.serve(("subject=x", TO)) == [line]
        assert endpoint.seen == [("POST", "subject=x")]
    finally:
        endpoint.close()
    assert waiting_requests() == 1
