"""Requests made to hurt the service: each gets its documented answer within
the request's budget, and the service answers the next request as usual."""
import json
import os
import re
import signal
import threading
import time

import pytest

import hostile_images
import rpclab
import visionbay
from digits import utils
from harness import TREE
from hostile import DripServer, Redirector, gzip_stream
from rpclab import Replies, classify_request, envelope, serve
from qz import qzconfig

KEY_HEADERS = {"response_key": "test-response-key"}
TIME = re.compile(r"^\d{10}\.\d{1,2}$")
NEXT = (envelope("qz_time"), KEY_HEADERS)  # the good request behind each hostile one


def bomb(megabytes):
    return gzip_stream("\0" * (1 << 20) for _ in range(megabytes))


def digits(n):
    return '{"qz_service_name": %s}' % ("9" * n)


def matches(expected, text):
    return expected.match(text) if hasattr(expected, "match") else text == expected


@pytest.mark.parametrize("message, log, reply", [
    # budget of the body: compressed size, expanded size, numbers, nesting
    ((os.urandom((1 << 20) + 1), KEY_HEADERS, True),
     re.compile(r"^DN075 .*IOError\('compressed body of 1048577 bytes, over QZ_MQ_MAX_BODY"), TIME),
    ((bomb(64), KEY_HEADERS, True),
     re.compile(r"^DN075 .*expands past QZ_MQ_MAX_TEXT"), TIME),
    ((gzip_stream([digits(7000000)]), KEY_HEADERS, True),
     re.compile(r"^DN075 .*expands past QZ_MQ_MAX_TEXT"), TIME),
    ((digits(500000), KEY_HEADERS),
     "DN075 warning, no qz_service_name  "
     "ValueError('JSON number longer than 400 characters at offset 20',)", TIME),
    (("[" * 100000, KEY_HEADERS),
     "DN075 warning, no qz_service_name  "
     "ValueError('JSON nested deeper than 64 levels at offset 64',)", TIME),
    ((envelope("qz_dnn_classify", '{"job_id": %s}' % ("1" * 100000)), KEY_HEADERS),
     "DN125 #Exception: ValueError('JSON number longer than 400 characters at offset 11',)", ""),
    # response keys that cannot be routing keys: dropped like a missing one
    ((envelope("qz_time"), {"response_key": 12345}), "DN058 warning, no response_key ", None),
    ((envelope("qz_time"), {"response_key": ["a", "b"]}), "DN058 warning, no response_key ", None),
    ((envelope("qz_time"), {"response_key": "k" * 256}), "DN058 warning, no response_key ", None),
    ((envelope("qz_time"), {"response_key": u"\xe9" * 128}), "DN058 warning, no response_key ",
     None),
    # the broker closes the whole connection on a key that is not UTF-8
    ((envelope("qz_time"), {"response_key": "\xff\xfe not utf-8"}),
     "DN058 warning, no response_key ", None),
    ((envelope("qz_time"), {"response_key": u"\ud800 lone surrogate"}),
     "DN058 warning, no response_key ", None),
    # image locations that lead where no image should come from
    ((classify_request("digits-sample", "http://169.254.169.254/latest/meta-data/"),
      KEY_HEADERS), re.compile(r"^DN125 #Exception: LoadImageError\(.*169\.254\.169\.254"), ""),
    ((classify_request("digits-sample", "http://[fe80::1]/x.png"), KEY_HEADERS),
     re.compile(r"^DN125 #Exception: LoadImageError\(.*fe80::1"), ""),
])
def test_a_hostile_request_gets_its_answer_and_the_next_one_is_served(service, capsys,
                                                                     message, log, reply):
    started = time.time()
    serve(visionbay.recv_callback2, [message, NEXT])
    assert time.time() - started < 20
    lines = rpclab.log_lines(capsys)
    assert len(lines) == 1 and matches(log, lines[0]), lines
    replies = [text for text, _ in service.take()]
    if reply is not None:
        assert len(replies) == 2 and matches(reply, replies[0]), replies
    assert TIME.match(replies[-1]) and len(replies) == (1 if reply is None else 2)
    assert rpclab.waiting() == 0


def test_a_response_key_of_255_bytes_is_answered(service):
    key = "k" * 255
    replies = Replies(key)
    try:
        serve(visionbay.recv_callback2, [(envelope("qz_time"), {"response_key": key})])
        [(text, headers)] = replies.take()
    finally:
        replies.close()
    assert TIME.match(text) and headers["response_key"] == key


@pytest.mark.parametrize("scheme", ["https", "http"])
def test_a_dripping_image_server_is_cut_off_at_the_fetch_deadline(service, capsys, monkeypatch,
                                                                  scheme):
    monkeypatch.setattr(qzconfig, "QZ_DNN_FETCH_TIMEOUT", 1.5)
    drip = DripServer(start="" if scheme == "http" else "\x16\x03\x01\x40\x00")
    try:
        url = "%s://127.0.0.1:%d/x.png" % (scheme, drip.port)
        started = time.time()
        serve(visionbay.recv_callback2, [(classify_request("digits-sample", url), KEY_HEADERS),
                                         NEXT])
        elapsed = time.time() - started
    finally:
        drip.close()
    [line] = rpclab.log_lines(capsys)
    assert line.startswith("DN125 #Exception: LoadImageError(") and "timed out" in line, line
    assert elapsed < 1.5 + 3
    [(empty, _), (now, _)] = service.take()
    assert empty == "" and TIME.match(now)


def test_an_image_over_its_decoding_budget_is_refused_at_once(service, capsys, monkeypatch,
                                                             tmp_path, sample_image):
    bomb = tmp_path / "chunks.png"
    bomb.write_bytes(hostile_images.png_chunk_bomb())  # 10.4 MB: 3.7 s of CPU to parse
    # The loader keeps what the service copied into it until the next call.
    monkeypatch.setattr(utils.image, "MAX_CHUNKS", utils.image.MAX_CHUNKS)
    started = time.time()
    serve(visionbay.recv_callback2, [(classify_request("digits-sample", str(bomb)), KEY_HEADERS)])
    elapsed = time.time() - started
    monkeypatch.setattr(qzconfig, "QZ_DNN_MAX_IMAGE_CHUNKS", 2)
    serve(visionbay.recv_callback2, [(classify_request("digits-sample", sample_image[0]), KEY_HEADERS),
                                     NEXT])
    over, lowered = rpclab.log_lines(capsys)
    assert over.startswith("DN125 #Exception: LoadImageError(\"image over its decoding budget, "
                           "more than 10000 chunks"), over
    assert elapsed < 2.0
    assert lowered.startswith("DN125 #Exception: LoadImageError(") and "more than 2 chunks" in lowered
    first, second, now = [text for text, _ in service.take()]
    assert first == second == "" and TIME.match(now)


def test_a_redirect_out_of_the_allowed_sources_is_refused(service, capsys, monkeypatch,
                                                          sample_image):
    redirector = Redirector("http://127.0.0.1:1/elsewhere.png")
    try:
        allowed = redirector.url.rsplit("/", 1)[0] + "/"
        monkeypatch.setattr(qzconfig, "QZ_DNN_IMAGE_SOURCES",
                            [allowed, os.path.dirname(sample_image[0]) + "/"])
        serve(visionbay.recv_callback2, [
            (classify_request("digits-sample", redirector.url), KEY_HEADERS),
            (classify_request("digits-sample", "/etc/passwd"), KEY_HEADERS),
            (classify_request("digits-sample", sample_image[0]), KEY_HEADERS)])
    finally:
        redirector.close()
    redirected, outside = rpclab.log_lines(capsys)
    assert redirected.startswith("DN125 #Exception: LoadImageError(")
    assert "127.0.0.1:1/elsewhere.png" in redirected and "not allowed" in redirected
    assert outside.startswith("DN125 #Exception: LoadImageError(") and "/etc/passwd" in outside
    first, second, third = [text for text, _ in service.take()]
    assert first == second == "" and json.loads(third)[0][0] == sample_image[1]


def end_by_cutting_the_connection(proc, relay):
    relay.cut()  # the broker is gone while the fetch drips
    return 1


def end_by_a_stop_and_a_kill(proc, relay):
    # A supervisor's stop whose time-out is shorter than the request: the
    # kill comes while the handler is still in the fetch, before Python's
    # own signal handler could run. The pause lets the fetch get into its
    # wait for the drip's next byte.
    time.sleep(0.8)
    proc.send_signal(signal.SIGTERM)
    time.sleep(1)
    proc.kill()
    return -signal.SIGKILL


def end_by_a_kill(proc, relay):
    proc.kill()
    return -signal.SIGKILL


ENDINGS = [
    # (how the service ends while the slow request is in hand, twice;
    #  whether the request was its cause and is dropped at the third start)
    (end_by_cutting_the_connection, False),
    (end_by_a_stop_and_a_kill, False),
    (end_by_a_kill, True),
]


@pytest.mark.parametrize("end, dropped", ENDINGS, ids=[e[0].__name__ for e in ENDINGS])
def test_only_a_request_that_ended_the_service_twice_is_dropped(jobs_dir, tmp_path, end, dropped):
    """The service ends twice while a slow request is in hand; the third
    start drops it with a line only if nothing but the request can have
    ended the service (a kill out of the blue: as good as a crash), and
    otherwise serves it again; the rest is served either way."""
    import subprocess
    from netcut import Relay
    rpclab.reset_queue()
    replies = Replies()
    # A byte every 2.5 s: the fetch sits in one blocking read, where Python
    # runs no signal handler, for longer than the stop's time-out.
    drip = DripServer(every=2.5, start="")
    url = "http://127.0.0.1:%d/x.png" % drip.port
    rpclab.publish([(classify_request("digits-sample", url), KEY_HEADERS),
                    (envelope("qz_time"), KEY_HEADERS), ("cancel_dnn_arpc", None, True)])
    env = dict(os.environ, DIGITS_JOBS_DIR=jobs_dir, QZ_BASE_PATH=str(tmp_path),
               QZ_DNN_FETCH_TIMEOUT="4")
    try:
        for _ in range(2):
            relay = Relay(5672)
            proc = subprocess.Popen([os.path.join(TREE, "visionbay"), "--host",
                                     "127.0.0.1:%d" % relay.port], stdout=subprocess.PIPE, env=env)
            try:
                record = tmp_path / "tmp" / ("dnn_arpc.inhand.%d" % proc.pid)
                deadline = time.time() + 20
                while not (record.exists() and record.stat().st_size):
                    assert time.time() < deadline, "the request never came into hand"
                    time.sleep(0.05)
                status = end(proc, relay)
                out = proc.stdout.read()
                assert proc.wait() == status, out
            finally:
                if proc.poll() is None:
                    proc.kill()
                relay.close()
            if status == 1:
                assert out.rstrip().endswith("Bye DNN API service"), out
        proc = subprocess.Popen([os.path.join(TREE, "visionbay"), "--host", "127.0.0.1"],
                                stdout=subprocess.PIPE, env=env)
        timer = threading.Timer(30, proc.kill)
        timer.start()
        out = proc.stdout.read()
        timer.cancel()
        assert proc.wait() == 0, out
        answers = [text for text, _ in replies.take()]
        if dropped:
            assert "dropping a request on dnn_arpc" in out and "ended 2 times" in out, out
            [now] = answers
        else:
            assert "dropping a request" not in out, out
            # The drip never ends: served again, the fetch runs out its time.
            assert "DN125" in out, out
            classified, now = answers
            assert classified == ""
        assert TIME.match(now) and rpclab.waiting() == 0
    finally:
        drip.close()
        replies.close()


@pytest.mark.parametrize("setting, value, log", [
    ("QZ_JSON_MAX_DEPTH", 64.0, None),
    ("QZ_JSON_MAX_NUMBER", "400", None),
    ("QZ_JSON_MAX_NUMBER", 10 ** 30, None),
    ("QZ_JSON_MAX_DEPTH", "deep", re.compile(r"^DN075 .*ValueError\(.*'deep'")),
])
def test_a_budget_setting_of_another_kind_never_leaves_a_request_unanswered(
        service, capsys, monkeypatch, setting, value, log):
    monkeypatch.setattr(qzconfig, setting, value)
    serve(visionbay.recv_callback2, [NEXT])
    lines = rpclab.log_lines(capsys)
    assert (lines == []) if log is None else (len(lines) == 1 and log.match(lines[0])), lines
    [(now, _)] = service.take()
    assert TIME.match(now) and rpclab.waiting() == 0
