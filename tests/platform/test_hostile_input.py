"""The platform layer against payloads and endpoints that misbehave on purpose:
compressed bodies past their budget, and forwarding endpoints that do not
accept what they are sent."""
import os
import subprocess
import sys
import threading
import time
import urllib2
from cStringIO import StringIO

import pytest

from hostile import Endpoint, gzip_stream
from qz import qzconfig, qztool


def zeros(total, step=1 << 20):
    for _ in range(total // step):
        yield "\0" * step


def test_gunzip_stops_at_the_text_budget():
    bomb = gzip_stream(zeros(256 << 20))  # 256 MB of zeros in about 250 KB
    assert len(bomb) < qzconfig.QZ_MQ_MAX_BODY
    with pytest.raises(IOError) as info:
        qztool.qz_gunzip_data(bomb)
    assert "QZ_MQ_MAX_TEXT" in str(info.value)


@pytest.mark.parametrize("data, error", [
    ("x" * ((1 << 20) + 1), "over QZ_MQ_MAX_BODY"),
    ("not gzip", "Not a gzipped file"),
    (qztool.qz_gzip_data("abc" * 100)[:-5], "truncated gzip data"),
    (qztool.qz_gzip_data("abc")[:4] + "\0" * 20, None),  # any error will do, never a text
    (qztool.qz_gzip_data("abc") + "trailing junk", "Not a gzipped file"),
])
def test_gunzip_refuses_what_is_not_one_bounded_gzip_text(data, error):
    with pytest.raises(Exception) as info:
        qztool.qz_gunzip_data(data)
    if error:
        assert error in str(info.value)


@pytest.mark.parametrize("data, text", [
    (qztool.qz_gzip_data("a") + qztool.qz_gzip_data("b"), "ab"),  # members follow each other
    (qztool.qz_gzip_data("a") + "\0" * 8, "a"),  # zero padding after a member
    ("", ""),
])
def test_gunzip_reads_what_gzip_files_may_hold(data, text):
    assert qztool.qz_gunzip_data(data) == text


def test_gunzip_text_budget_is_a_setting(monkeypatch):
    packed = qztool.qz_gzip_data("y" * 1000)
    monkeypatch.setattr(qzconfig, "QZ_MQ_MAX_TEXT", 1000)
    assert qztool.qz_gunzip_data(packed) == "y" * 1000
    for too_small in (999, 0, -1):  # never "no limit", which is what zlib reads in 0
        monkeypatch.setattr(qzconfig, "QZ_MQ_MAX_TEXT", too_small)
        with pytest.raises(IOError):
            qztool.qz_gunzip_data(packed)


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308, 500])
def test_a_post_not_answered_2xx_is_a_failure(status):
    endpoint = Endpoint(status)
    try:
        with pytest.raises(urllib2.HTTPError) as info:
            qztool.post_qz_message(endpoint.url, "a=1", True)
        assert info.value.code == status
        assert endpoint.seen == [("POST", "a=1")]  # never followed by a GET
    finally:
        endpoint.close()


OK = "HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n"
FORWARD_FAULTS = [
    # (name, scheme, what the endpoint sends: [(pause, bytes)], silence before closing)
    ("a body that drips a byte at a time", "http", [(0, OK % 1000)] + [(0.2, "x")] * 1000, 0),
    ("a status line that drips", "http", [(0.2, c) for c in "HTTP/1.1 200 OK\r\n" * 50], 0),
    ("an answer that never comes", "http", [], 60),
    ("headers and then silence", "http", [(0, OK % 10)], 60),
    ("a body shorter than its length", "http", [(0, OK % 1000 + "7 bytes")], 0),
    ("a chunked body cut off", "http", [(0, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                           "a\r\n0123456789\r\n")], 0),
    # a TLS endpoint that takes the client's hello and then says nothing, or
    # drips a record header a byte at a time: the handshake is under the deadline
    ("a TLS handshake never answered", "https", [], 60),
    ("a TLS handshake that drips", "https", [(0, "\x16\x03\x03\x40\x00")] + [(0.2, "\x02")] * 50, 0),
]


@pytest.mark.parametrize("scheme, script, hold", [f[1:] for f in FORWARD_FAULTS],
                         ids=[f[0] for f in FORWARD_FAULTS])
def test_a_forward_that_does_not_end_well_fails_within_its_deadline(monkeypatch, scheme, script,
                                                                    hold):
    from hostile import ScriptedAnswer
    monkeypatch.setattr(qztool, "POST_TIMEOUT", 1.5)
    endpoint = ScriptedAnswer(script, hold)
    try:
        started = time.time()
        with pytest.raises(IOError):  # urllib2's errors are IOErrors too
            qztool.post_qz_message("%s://127.0.0.1:%d/qz/message" % (scheme, endpoint.port),
                                   "a=1", True)
        assert time.time() - started < 1.5 + 1.0
    finally:
        endpoint.close()


def test_a_forward_over_tls_is_accepted_and_its_certificate_checked(monkeypatch):
    import socket
    import ssl
    import threading
    import sinks
    tls_dir = os.path.join(sinks.run_dir(), "tls")
    monkeypatch.setenv("SSL_CERT_FILE", os.path.join(tls_dir, "ca.pem"))
    monkeypatch.delenv("SSL_CERT_DIR", raising=False)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    seen = []

    def serve():
        context = ssl.SSLContext(ssl.PROTOCOL_SSLv23)
        context.load_cert_chain(os.path.join(tls_dir, "server.pem"),
                                os.path.join(tls_dir, "server.key"))
        while True:
            try:
                conn, _ = listener.accept()
            except socket.error:
                return
            try:
                tls = context.wrap_socket(conn, server_side=True)
                seen.append(tls.recv(65536).split("\r\n")[0])
                tls.sendall(OK % 2 + "ok")
                tls.close()
            except (socket.error, ssl.SSLError):
                conn.close()

    server = threading.Thread(target=serve)
    server.daemon = True
    server.start()
    try:
        port = listener.getsockname()[1]
        qztool.post_qz_message("https://localhost:%d/qz/message" % port, "a=1", True)
        assert seen == ["POST /qz/message HTTP/1.1"]
        # the certificate names localhost, not the address: refused
        with pytest.raises(ssl.CertificateError):
            qztool.post_qz_message("https://127.0.0.1:%d/qz/message" % port, "a=1", True)
        assert len(seen) == 1
    finally:
        listener.shutdown(socket.SHUT_RDWR)  # ends the accept under way
        listener.close()


def test_a_complete_answer_within_the_deadline_is_accepted(monkeypatch):
    from hostile import ScriptedAnswer
    monkeypatch.setattr(qztool, "POST_TIMEOUT", 5)
    endpoint = ScriptedAnswer([(0, OK % 5), (0.3, "ab"), (0.3, "cde")])
    try:
        qztool.post_qz_message("http://127.0.0.1:%d/qz/message" % endpoint.port, "a=1", True)
    finally:
        endpoint.close()


LOG_ITEMS = r"""
from qz import qztool
class Unprintable(object):
    def __str__(self):
        raise RuntimeError("no string form")
qztool._log(u"J\xfcrgen", "J\xc3\xbcrgen", "\xff", ValueError(u"\xfc"), Unprintable(), None)
"""


def test_a_log_line_never_raises_into_a_pipe():
    env = dict(os.environ)
    env.pop("PYTHONIOENCODING", None)
    proc = subprocess.Popen([sys.executable, "-c", LOG_ITEMS], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    out, err = proc.communicate()
    assert proc.returncode == 0 and err == ""
    assert out.count("\n") == 1 and out.endswith("> None\n")
    assert " J\xc3\xbcrgen J\xc3\xbcrgen \\xff \xc3\xbc <" in out
