"""visionbay's request handling on the real queue, and the program itself."""
import json
import os
import re
import subprocess
import sys
import time

import pika
import pytest

import rpclab
import sinks
import visionbay
from harness import TREE
from qz import qzconfig, qzmqobj, qzmqtool, qztool
from rpclab import Replies, classify_request, envelope, serve, waiting
import rabbit

KEY_HEADERS = {"response_key": "test-response-key"}
TIME = re.compile(r"^\d{10}\.\d{1,2}$")


@pytest.mark.parametrize("protocol", [True, False], ids=["four-arguments", "one-argument"])
def test_classify_and_time_are_answered(service, sample_image, capsys, protocol):
    path, label = sample_image
    serve(visionbay.recv_callback2 if protocol else visionbay.recv_callback,
          [(classify_request("digits-sample", path), KEY_HEADERS),
           (envelope("qz_time"), KEY_HEADERS),
           (classify_request("no such job", path), KEY_HEADERS)], protocol=protocol)
    (classified, headers), (now, _), (unknown, _) = service.take()
    result = json.loads(classified)
    assert result[0][0] == label and len(result) == 3
    assert headers == {"retry": 0, "response_key": "test-response-key"}
    assert TIME.match(now) and abs(float(now) - time.time()) < 60
    assert unknown == "no such job"
    assert rpclab.log_lines(capsys) == [] and waiting() == 0


@pytest.mark.parametrize("message, log, reply", [
    # no headers, no response key: dropped with a warning, no reply
    ((envelope("qz_time"), None), ["DN056 warning, no app_headers"], None),
    ((envelope("qz_time"), {"other": 1}), ["DN058 warning, no response_key "], None),
    ((envelope("qz_time"), {"response_key": ""}), ["DN058 warning, no response_key "], None),
    # a body that does not decompress is answered as qz_time
    (("not gzip", KEY_HEADERS, True),
     ["DN075 warning, no qz_service_name  IOError('Not a gzipped file',)"], TIME),
    # no service name, or another one: the empty answer
    (("{}", KEY_HEADERS), [], ""),
    ((envelope("qz_other"), KEY_HEADERS), [], ""),
    # a classification without its request, or with an object instead of JSON text
    ((envelope("qz_dnn_classify"), KEY_HEADERS),
     ["DN125 #Exception: TypeError('expected string or buffer',)"], ""),
    ((json.dumps({"qz_service_name": "qz_dnn_classify", "qz_request": {"job_id": "x"}}),
      KEY_HEADERS), ["DN125 #Exception: TypeError('expected string or buffer',)"], ""),
    ((classify_request("digits-sample", "/no/such/file.png"), KEY_HEADERS),
     [re.compile(r"^DN125 #Exception: LoadImageError\(2, .*No such file or directory.*\)$")], ""),
    ((classify_request("no-dataset", "SAMPLE"), KEY_HEADERS),
     ["None dataset in train_task"], "null"),
])
def test_outcome_of_one_request(service, sample_image, capsys, message, log, reply):
    if "SAMPLE" in message[0]:
        message = (message[0].replace("SAMPLE", sample_image[0]),) + message[1:]
    serve(visionbay.recv_callback2, [message])
    lines = rpclab.log_lines(capsys)
    assert len(lines) == len(log), lines
    for line, expected in zip(lines, log):
        assert expected.match(line) if hasattr(expected, "match") else line == expected
    replies = service.take()
    if reply is None:
        assert replies == []
    else:
        [(text, headers)] = replies
        assert (reply.match(text) if hasattr(reply, "match") else text == reply), text
    assert waiting() == 0  # every one of them was acknowledged


def test_a_body_equal_to_the_consumer_tag_cancels(service):
    mq = qzmqobj.QZMQObject()
    mq.open(**rpclab.AMQP)
    tag = mq.consume(rpclab.KEY, callback=visionbay.recv_callback2, durable=False,
                     exclusive=False, auto_delete=False, type="direct")
    rpclab.publish([(tag, None, True)])
    assert mq.wait() is True
    mq.close()
    assert waiting() == 0 and service.take() == []


def test_a_publish_reporting_failure_is_acknowledged_one_that_raises_is_not(service,
                                                                           monkeypatch):
    monkeypatch.setattr(qzmqtool, "do_basic_publish", lambda *a, **k: False)
    serve(visionbay.recv_callback2, [(envelope("qz_time"), KEY_HEADERS)])
    assert waiting() == 0

    def broken(*a, **k):
        raise IOError("publish failed")
    monkeypatch.setattr(qzmqtool, "do_basic_publish", broken)
    serve(visionbay.recv_callback2, [(envelope("qz_time"), KEY_HEADERS)])
    assert waiting() == 1


def test_the_reply_goes_to_the_exchange_of_the_configured_tag(service, monkeypatch):
    seen = []
    monkeypatch.setattr(qzmqtool, "do_basic_publish",
                        lambda body, context, key, **kw: seen.append((context, key, kw)) or True)
    monkeypatch.setattr(qzconfig, "QZ_MQ_EXCHANGE_TAG", "_other")
    serve(visionbay.recv_callback2, [(envelope("qz_time"), KEY_HEADERS)])
    [(context, key, kw)] = seen
    assert context == {"retry": 0, "response_key": "test-response-key"}
    assert key == "test-response-key"
    assert kw["tag"] == "visionbay" and kw["exchange"] == "dnn_arpc_other"
    assert all(type(k) is str for k in context)


# ---- the program ----

def start_program(jobs_dir, *args, **env):
    full = dict(os.environ, DIGITS_JOBS_DIR=jobs_dir, **env)
    return subprocess.Popen([os.path.join(TREE, "visionbay"), "--host", "127.0.0.1"] +
                            list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=full)


def test_remote_calls_through_the_program(jobs_dir, sample_image):
    rpclab.reset_queue()
    proc = start_program(jobs_dir, "-a", "y")
    try:
        conn, ch = rpclab.broker()
        answer = None
        deadline = time.time() + 20
        while answer is None and time.time() < deadline:
            try:
                answer = qzmqtool.rpc_call_with_timeout(
                    classify_request("digits-sample", sample_image[0]), 2, ch, "dnn_arpc")
            except qzmqtool.RpcTimeout:
                pass
        assert json.loads(answer)[0][0] == sample_image[1]
        assert TIME.match(qzmqtool.rpc_call_with_timeout(envelope("qz_time"), 5, ch, "dnn_arpc"))
        ch.basic_publish(exchange="dnn_arpc", routing_key="dnn_arpc", body="cancel_dnn_arpc")
        conn.close()
        out, err = proc.communicate()
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 0, err
    lines = [l.split(" ", 2)[2] for l in out.splitlines()]
    assert lines == ["DN180 DNN scheduler started True", "Bye DNN API service"]


TLS = os.path.join(sinks.run_dir(), "tls")  # the stack's CA and certificates


def broker_in(vhost):
    conn = rabbit.connect(vhost)
    return conn, conn.channel()


@pytest.mark.parametrize("args, env, vhost", [
    (["--host", "localhost", "--ssl"], {"QZ_MQ_SSL_CAFILE": TLS + "/ca.pem"}, "/"),
    (["--host", "localhost:5671", "--ssl"],
     {"QZ_MQ_SSL_CAFILE": TLS + "/ca.pem", "QZ_MQ_VHOST": "qz_tenant"}, "qz_tenant"),
], ids=["amqps", "amqps in a vhost"])
def test_remote_calls_through_the_program_over_amqps(jobs_dir, args, env, vhost):
    if vhost == "/":
        rpclab.reset_queue()
    proc = start_program(jobs_dir, *args, **env)
    try:
        conn, ch = broker_in(vhost)
        answer = None
        deadline = time.time() + 20
        while answer is None and time.time() < deadline:
            try:
                answer = qzmqtool.rpc_call_with_timeout(envelope("qz_time"), 2, ch, "dnn_arpc")
            except qzmqtool.RpcTimeout:
                pass
        assert answer and TIME.match(answer)
        ch.basic_publish(exchange="dnn_arpc", routing_key="dnn_arpc", body="cancel_dnn_arpc")
        conn.close()
        out, err = proc.communicate()
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 0, err
    assert [l.split(" ", 2)[2] for l in out.splitlines()] == [
        "DN180 DNN scheduler started True", "Bye DNN API service"]


@pytest.mark.parametrize("args, env, named", [
    ([], {"QZ_MQ_VHOST": ""}, "setting QZ_MQ_VHOST='' is not a virtual host name"),
    (["--ssl"], {"QZ_MQ_SSL_CAFILE": "/no/such/ca.pem"},
     "setting QZ_MQ_SSL_CAFILE='/no/such/ca.pem': no CA could be read from it: IOError: "),
])
def test_a_bad_connection_setting_ends_the_start_with_a_coded_line(jobs_dir, args, env, named):
    proc = start_program(jobs_dir, "--host", "127.0.0.1:1", *args, **env)
    out, err = proc.communicate()
    assert proc.returncode == 78  # EX_CONFIG: the unit does not restart it
    # named before the scheduler starts
    [refused] = [l.split(" ", 2)[2] for l in out.splitlines()]
    assert refused.startswith("DN090 " + named), refused
    assert err == "DN090\n"


def test_a_scheduler_that_does_not_start_ends_with_status_1(tmp_path, jobs_dir):
    # a stand-in scheduler whose start answers False, loaded before the program's own
    site = tmp_path / "site"
    site.mkdir()
    (site / "sitecustomize.py").write_text(
        u"import digits.webapp\ndigits.webapp.scheduler.start = lambda: False\n")
    env = {"PYTHONPATH": str(site) + ":" + os.environ["PYTHONPATH"]}
    proc = start_program(jobs_dir, **env)
    out, err = proc.communicate()
    assert proc.returncode == 1, err
    assert [l.split(" ", 2)[2] for l in out.splitlines()] == ["DN180 DNN scheduler started False"]


@pytest.mark.parametrize("status, code", [(True, 0), (False, 1), (None, 1)])
def test_exit_status_follows_wait(monkeypatch, jobs, status, code, capsys):
    calls = []

    class Client(object):
        def __getattr__(self, name):
            return lambda *a, **k: calls.append((name, a, k)) or (status if name == "wait" else None)
    monkeypatch.setattr(qzmqobj, "QZMQObject", Client)
    monkeypatch.setattr(sys, "argv", ["visionbay"])
    with pytest.raises(SystemExit) as info:
        visionbay.main()
    assert info.value.code == code
    (_, _, opened), (_, consume_args, consume_kw) = calls[:2]
    assert opened == dict(userid="guest", password="plovk562", host="localhost", ssl=False)
    assert consume_args == ("dnn_arpc",)
    assert consume_kw == dict(callback=visionbay.recv_callback2, durable=False, exclusive=False,
                              auto_delete=False, type="direct")
    assert rpclab.log_lines(capsys)[-1] == "Bye DNN API service"
