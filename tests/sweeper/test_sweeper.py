"""qz.sweeper against a small data-access service on the real RabbitMQ."""
import json
import os
import signal
import subprocess
import sys
import time

import pika
import pytest

import sinks

from qz import qzconfig, qzmqobj, qzmqtool, sweeper
import rabbit

HERE = os.path.dirname(os.path.abspath(__file__))


def purge_service_queue(vhost="/"):
    conn = rabbit.connect(vhost)
    ch = conn.channel()
    ch.queue_delete(queue="data_arpc")
    ch.exchange_delete(exchange="data_arpc")
    conn.close()


class Service(object):
    def __init__(self, tmpdir, mode, env=None):
        self.record = str(tmpdir.join("requests.jsonl"))
        self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, "data_access.py"),
                                      self.record, mode], stdout=subprocess.PIPE,
                                     env=dict(os.environ, **(env or {})))
        assert self.proc.stdout.readline() == "serving\n"

    def received(self):
        if not os.path.exists(self.record):
            return []
        with open(self.record) as f:
            return [json.loads(line) for line in f]

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait()


@pytest.fixture
def service(tmpdir):
    purge_service_queue()  # no request left over from another test
    s = Service(tmpdir, "answer")
    yield s
    s.stop()


@pytest.fixture
def silent_service(tmpdir):
    purge_service_queue()
    s = Service(tmpdir, "silent")
    yield s
    s.stop()


@pytest.fixture
def channel():
    conn = rabbit.connect()
    yield conn.channel()
    conn.close()


@pytest.mark.parametrize("operation, payload, sent", [
    ("clean", "anything, not even JSON", ["Task", "autoclean"]),
    ("prepare_clean", '{"op": "compact"}', ["Task", "prepare_autoclean", "compact"]),
    ("prepare_clean", '{"op": ["a", 1]}', ["Task", "prepare_autoclean", ["a", 1]]),
    ("prepare_clean", '{"op": {"k": "v"}}', ["Task", "prepare_autoclean", {"k": "v"}]),
    ("prepare_clean", '{"op": ""}', ["Task", "prepare_autoclean"]),
    ("prepare_clean", '{"op": 0}', ["Task", "prepare_autoclean"]),
    ("prepare_clean", '{"op": null}', ["Task", "prepare_autoclean"]),
    ("prepare_clean", '{"other": 1}', ["Task", "prepare_autoclean"]),
    ("prepare_clean", 'null', ["Task", "prepare_autoclean"]),
    ("prepare_clean", '0', ["Task", "prepare_autoclean"]),
    ("prepare_clean", '[]', ["Task", "prepare_autoclean"]),
    ("prepare_clean", '{}', ["Task", "prepare_autoclean"]),
])
def test_request_reaches_the_service_and_its_answer_comes_back(service, channel, operation,
                                                               payload, sent):
    answer = getattr(sweeper, operation)(payload, channel)
    assert answer == "done:" + json.dumps(sent)
    assert service.received() == [{"service": "qz_data_access", "request": sent}]


TLS = os.path.join(sinks.run_dir(), "tls")  # the stack's CA and certificates


@pytest.mark.parametrize("vhost", ["/", "qz_tenant"])
def test_a_remote_call_over_amqps(tmpdir, monkeypatch, vhost):
    # the service in the same virtual host, on the plain port
    purge_service_queue(vhost)
    service = Service(tmpdir, "answer", {"QZ_MQ_VHOST": vhost})
    monkeypatch.setattr(qzconfig, "QZ_MQ_SSL_CAFILE", os.path.join(TLS, "ca.pem"))
    monkeypatch.setattr(qzconfig, "QZ_MQ_VHOST", vhost)
    mq = qzmqobj.QZMQObject()
    try:
        mq.open(userid="guest", password="plovk562", host="localhost", ssl=True)
        assert mq.connection._impl.params.ssl_options is not None
        assert sweeper.clean(None, mq.channel) == 'done:["Task", "autoclean"]'
        assert sweeper.prepare_clean('{"op": "x"}', mq.channel) == (
            'done:["Task", "prepare_autoclean", "x"]')
    finally:
        mq.close()
        service.stop()
    assert len(service.received()) == 2


@pytest.mark.parametrize("call", [
    lambda: sweeper.clean("x"),
    lambda: sweeper.clean("x", None),
    lambda: sweeper.prepare_clean("not JSON at all", channel=False),
    lambda: sweeper.prepare_clean(payload='{"op": "x"}', channel=""),
])
def test_no_channel_is_ng_and_sends_nothing(service, call):
    assert call() == "NG"
    time.sleep(0.2)
    assert service.received() == []


@pytest.mark.parametrize("payload, error", [
    ("not JSON", ValueError),
    ('["non-empty array"]', AttributeError),
    ("5", AttributeError),
    ('"text"', AttributeError),
])
def test_bad_job_fails_before_anything_is_sent(service, channel, payload, error):
    with pytest.raises(error):
        sweeper.prepare_clean(payload, channel)
    time.sleep(0.2)
    assert service.received() == []


def test_a_service_that_never_answers_times_out(silent_service, channel, monkeypatch):
    monkeypatch.setattr(qzconfig, "QZ_RPC_TIMEOUT", 0.5)
    started = time.time()
    with pytest.raises(qzmqtool.RpcTimeout):
        sweeper.clean(None, channel)
    assert 0.5 <= time.time() - started < 3
    assert len(silent_service.received()) == 1


def test_time_outs_are_read_at_every_call(monkeypatch):
    calls = []
    monkeypatch.setattr(qzmqtool, "rpc_call_with_timeout",
                        lambda body, timeout, channel, queue: calls.append((timeout, queue)) or
                        "answer")
    for setting in (2, 3):
        monkeypatch.setattr(qzconfig, "QZ_RPC_TIMEOUT", setting)
        assert sweeper.clean(None, "channel") == "answer"
        assert sweeper.prepare_clean("{}", "channel") == "answer"
    assert calls == [(2, "data_arpc"), (100, "data_arpc"), (3, "data_arpc"), (150, "data_arpc")]


def test_module_and_argument_errors():
    assert sweeper.version == "0.010"
    with pytest.raises(TypeError):
        sweeper.clean()
    with pytest.raises(TypeError):
        sweeper.clean(1, 2, 3)
    with pytest.raises(TypeError):
        sweeper.prepare_clean(1, 2, 3)


USE_WITH_A_BAD_TIMEOUT = """
import sys
from qz import qzconfig, sweeper

class Channel(object):
    used = []
    def __getattr__(self, name):
        Channel.used.append(name)
        raise AttributeError(name)

try:
    getattr(sweeper, sys.argv[1])("{}", Channel())
except qzconfig.SettingError as e:
    sys.stdout.write("%s\\n%r" % (e, Channel.used))
"""


@pytest.mark.parametrize("operation", ["clean", "prepare_clean"])
def test_a_bad_timeout_setting_fails_the_call_naming_it_before_anything_is_sent(operation):
    # a library has no start: the setting is named at its use
    proc = subprocess.Popen([sys.executable, "-c", USE_WITH_A_BAD_TIMEOUT, operation],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=dict(os.environ, QZ_RPC_TIMEOUT="abc"))
    out, err = proc.communicate()
    assert proc.returncode == 0, err
    assert out.splitlines() == [
        "setting QZ_RPC_TIMEOUT='abc' is not usable: it accepts a number of seconds above 0,"
        " at most 31536000 (its value in the environment)", "[]"]
