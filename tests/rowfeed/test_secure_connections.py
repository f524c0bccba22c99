"""The feed over TLS and SASL, as managed Kafka and MySQL services require,
against the stack's secure listeners (stack/stack tls): every way in
delivers, every wrong key or password is refused visibly, nothing is sent
and the position stays; no secret reaches any output."""
import json
import os
import socket
import struct
import threading
import time

import pytest

from feedlab import KAFKA, KAFKA_PREVIOUS, Feed, Topic, master_position, sql
from harness import ROOT

TLS = os.path.join(os.environ.get("QZ_RUN", os.path.join(ROOT, "run")), "tls")
CA = os.path.join(TLS, "ca.pem")
ROGUE_CA = os.path.join(TLS, "rogue-ca.pem")
# stack/lib.sh
SSL_4, SASL_SSL_4, SSL_3, SASL_SSL_3 = (
    "localhost:9094", "localhost:9095", "localhost:9194", "localhost:9195")
SASL_PASSWORD = "qzkafka-secret"
SASL = {"QZ_KF_SASL_USERNAME": "qzkafka", "QZ_KF_SASL_PASSWORD": SASL_PASSWORD,
        "QZ_KF_SSL_CAFILE": CA}
DB_TLS = {"MYSQL_REPLUSER": "qzrepltls", "MYSQL_REPLPASSWD": "qzrepltls",
          "MYSQLHOST": "localhost:3306", "QZ_MYSQL_SSL_CA": CA}
SECRETS = (SASL_PASSWORD, "qzrepltls", "not-the-password")


def assert_no_secret(run):
    for secret in SECRETS:
        assert secret not in run.out and secret not in run.err, (secret, run)


def one_cycle(feed, table, plain_kafka, *args):
    """Writes two rows to `table` after the saved position, runs the feed for
    one cycle and returns (run, ids that arrived on the topic)."""
    sql("DROP TABLE IF EXISTS %s" % table)
    topic = Topic(kafka=plain_kafka)
    try:
        start = master_position()
        feed.resume_from(start)
        sql("CREATE TABLE %s (id INT PRIMARY KEY, v VARCHAR(8))" % table,
            "INSERT INTO %s VALUES (1, 'one'), (2, 'two')" % table)
        run = feed.run(*args, timeout=90)
        return run, [json.loads(m["hbase_json"])["id"] for m in topic.messages()
                     if m["hbase_catalog"] == table], start
    finally:
        topic.close()
        sql("DROP TABLE IF EXISTS %s" % table)


DELIVERIES = [
    # (name, broker, plain listener of that broker, settings, arguments)
    ("SSL", SSL_4, KAFKA, {"QZ_KF_SECURITY_PROTOCOL": "SSL", "QZ_KF_SSL_CAFILE": CA}, []),
    ("--ssl makes PLAINTEXT into SSL", SSL_4, KAFKA, {"QZ_KF_SSL_CAFILE": CA}, ["--ssl"]),
    ("SSL with a client certificate", SSL_4, KAFKA,
     {"QZ_KF_SECURITY_PROTOCOL": "ssl", "QZ_KF_SSL_CAFILE": CA,
      "QZ_KF_SSL_CERTFILE": os.path.join(TLS, "client.pem"),
      "QZ_KF_SSL_KEYFILE": os.path.join(TLS, "client.key")}, []),
    ("SASL_SSL with SCRAM-SHA-512", SASL_SSL_4, KAFKA,
     dict(SASL, QZ_KF_SECURITY_PROTOCOL="SASL_SSL"), []),
    ("SASL_SSL with SCRAM-SHA-256", SASL_SSL_4, KAFKA,
     dict(SASL, QZ_KF_SECURITY_PROTOCOL="SASL_SSL", QZ_KF_SASL_MECHANISM="SCRAM-SHA-256"), []),
    ("SASL_SSL with PLAIN", SASL_SSL_4, KAFKA,
     dict(SASL, QZ_KF_SECURITY_PROTOCOL="SASL_SSL", QZ_KF_SASL_MECHANISM="PLAIN"), []),
    ("--ssl makes SASL_PLAINTEXT into SASL_SSL", SASL_SSL_4, KAFKA,
     dict(SASL, QZ_KF_SECURITY_PROTOCOL="SASL_PLAINTEXT"), ["--ssl"]),
    ("the previous Kafka line, SASL_SSL", SASL_SSL_3, KAFKA_PREVIOUS,
     dict(SASL, QZ_KF_SECURITY_PROTOCOL="SASL_SSL"), []),
    ("the previous Kafka line, SSL", SSL_3, KAFKA_PREVIOUS,
     {"QZ_KF_SECURITY_PROTOCOL": "SSL", "QZ_KF_SSL_CAFILE": CA}, []),
    ("a REQUIRE SSL database user, and SASL_SSL", SASL_SSL_4, KAFKA,
     dict(SASL, QZ_KF_SECURITY_PROTOCOL="SASL_SSL", **DB_TLS), []),
]


@pytest.mark.parametrize("name, broker, plain, settings, args", DELIVERIES,
                         ids=[c[0] for c in DELIVERIES])
def test_every_secure_listener_gets_the_rows(tmp_path, name, broker, plain, settings, args):
    feed = Feed(tmp_path, kafka=broker, **settings)
    table = "s_tls_%d" % DELIVERIES.index([c for c in DELIVERIES if c[0] == name][0])
    run, ids, _ = one_cycle(feed, table, plain, *args)
    assert "\nMAX_QMSG_COUNT_Interrupt, exiting..." in run.out, run
    assert sorted(ids) == [1, 2], run
    assert_no_secret(run)


REFUSALS = [
    # (name, broker, settings, the reason the line must give)
    ("Kafka's certificate from another CA", SSL_4,
     {"QZ_KF_SECURITY_PROTOCOL": "SSL", "QZ_KF_SSL_CAFILE": ROGUE_CA}, "CERTIFICATE_VERIFY_FAILED"),
    ("a wrong SASL password", SASL_SSL_4,
     dict(SASL, QZ_KF_SECURITY_PROTOCOL="SASL_SSL", QZ_KF_SASL_PASSWORD="not-the-password"),
     "invalid credentials with SASL mechanism SCRAM-SHA-512"),
    # Python 2.7 never matches an IP address entry: the name is needed.
    ("a host name the certificate does not hold", "127.0.0.1:9094",
     {"QZ_KF_SECURITY_PROTOCOL": "SSL", "QZ_KF_SSL_CAFILE": CA}, "doesn't match 'localhost'"),
    ("TLS asked of a plain listener", KAFKA,
     {"QZ_KF_SECURITY_PROTOCOL": "SSL", "QZ_KF_SSL_CAFILE": CA}, "SSL handshake failed"),
]


@pytest.mark.parametrize("name, broker, settings, reason", REFUSALS, ids=[c[0] for c in REFUSALS])
def test_a_refused_kafka_connection_ends_the_start(tmp_path, name, broker, settings, reason):
    code = "MS105"
    feed = Feed(tmp_path, kafka=broker, **settings)
    feed.resume_from(master_position())
    before = feed.record()
    started = time.time()
    run = feed.run(timeout=60)
    assert time.time() - started < 40, run
    assert run.status == 1 and run.err.rstrip().endswith(code), run
    [line] = run.lines()
    assert line.startswith("MS105 Kafka at %s could not be used:" % broker), run
    assert reason in line, run
    assert "Traceback" not in run.err, run
    assert feed.record() == before
    assert_no_secret(run)


@pytest.mark.parametrize("settings, reason", [
    ({"QZ_MYSQL_SSL_CA": ROGUE_CA}, "CERTIFICATE_VERIFY_FAILED"),
    # our own CA's certificate, reached by an address it does not name
    ({"MYSQLHOST": "127.0.0.1:3306"}, "doesn't match"),
], ids=["another CA", "a name the certificate does not hold"])
def test_a_database_certificate_that_fails_the_check_sends_nothing_and_keeps_the_position(
        tmp_path, settings, reason):
    feed = Feed(tmp_path, **dict(DB_TLS, **settings))
    run, ids, start = one_cycle(feed, "s_tls_rogue_db", KAFKA)
    assert ids == [], run
    assert reason in run.out, run
    assert feed.record() == start
    assert_no_secret(run)


@pytest.fixture
def server_without_tls():
    """A MariaDB that says it has no TLS: the stack's server behind a proxy
    that clears the TLS flag of its greeting, as a server built without TLS,
    or anyone between who wants the password, would. Records what the
    client sends."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    sent = []

    def serve():
        while True:
            try:
                client = listener.accept()[0]
            except socket.error:
                return
            server = socket.create_connection(("127.0.0.1", 3306))
            header = server.recv(4)
            length = struct.unpack("<I", header[:3] + b"\0")[0]
            body = b""
            while len(body) < length:
                body += server.recv(length - len(body))
            # Protocol 10 greeting: version text, thread id, 8 bytes of
            # scramble, a filler, then the low capability flags.
            at = body.index(b"\0", 1) + 1 + 4 + 8 + 1
            flags = struct.unpack("<H", body[at:at + 2])[0] & ~0x0800
            client.sendall(header + body[:at] + struct.pack("<H", flags) + body[at + 2:])
            client.settimeout(5)
            try:
                while True:
                    data = client.recv(65536)
                    if not data:
                        break
                    sent.append(data)
            except socket.error:
                pass
            client.close()
            server.close()

    thread = threading.Thread(target=serve)
    thread.daemon = True
    thread.start()
    yield "localhost:%d" % listener.getsockname()[1], sent
    listener.close()


def test_tls_asked_of_a_database_that_offers_none_never_sends_the_password(
        tmp_path, server_without_tls):
    address, sent = server_without_tls
    feed = Feed(tmp_path, **dict(DB_TLS, MYSQLHOST=address))
    run, ids, start = one_cycle(feed, "s_tls_no_offer", KAFKA)
    assert ids == [], run
    assert "TLS was asked for and the server does not offer it" in run.out, run
    assert not any(b"qzrepltls" in data for data in sent), sent
    assert feed.record() == start


BAD_SETTINGS = [
    # (settings, the line after "MS104 setting ")
    ({"QZ_KF_SECURITY_PROTOCOL": "TLS"},
     "QZ_KF_SECURITY_PROTOCOL='TLS' is not usable: is not one of PLAINTEXT, SSL, "
     "SASL_PLAINTEXT, SASL_SSL"),
    ({"QZ_KF_SECURITY_PROTOCOL": "SASL_SSL", "QZ_KF_SASL_MECHANISM": "GSSAPI"},
     "QZ_KF_SASL_MECHANISM='GSSAPI' is not usable: is not one of PLAIN, SCRAM-SHA-256, "
     "SCRAM-SHA-512"),
    ({"QZ_KF_SECURITY_PROTOCOL": "SASL_SSL"},
     "QZ_KF_SASL_USERNAME='' is not usable: is empty; SASL_SSL needs a user"),
    ({"QZ_KF_SECURITY_PROTOCOL": "SASL_SSL", "QZ_KF_SASL_USERNAME": "qzkafka"},
     "QZ_KF_SASL_PASSWORD='' is not usable: is empty; SASL_SSL needs one"),
    ({"QZ_KF_SECURITY_PROTOCOL": "SSL", "QZ_KF_SSL_CAFILE": "/nonexistent/ca.pem"},
     "QZ_KF_SSL_CAFILE='/nonexistent/ca.pem' is not usable: [Errno 2] No such file or directory"),
    ({"QZ_KF_SECURITY_PROTOCOL": "SSL", "QZ_KF_SSL_KEYFILE": "/k.pem"},
     "QZ_KF_SSL_KEYFILE='/k.pem' is not usable: needs QZ_KF_SSL_CERTFILE"),
    ({"QZ_MYSQL_SSL_CA": "/nonexistent/ca.pem"},
     "QZ_MYSQL_SSL_CA='/nonexistent/ca.pem' is not usable: [Errno 2] No such file or directory"),
    ({"QZ_MYSQL_SSL_CA": CA, "QZ_MYSQL_SSL_CERT": CA},
     "QZ_MYSQL_SSL_CERT='%s' is not usable: [SSL" % CA),
]


@pytest.mark.parametrize("settings, line", BAD_SETTINGS, ids=[s[1].split(" ")[0] for s in BAD_SETTINGS])
def test_a_setting_that_cannot_be_used_ends_the_start_naming_it(tmp_path, settings, line):
    feed = Feed(tmp_path, **settings)
    feed.resume_from({"log_file": "mysql-bin.000001", "log_pos": 4})
    run = feed.run(timeout=60)
    assert run.status == 78 and run.err.rstrip().endswith("MS104"), run
    [only] = run.lines()
    assert only.startswith("MS104 setting " + line), run
    assert "Traceback" not in run.err, run
    assert feed.record() == {"log_file": "mysql-bin.000001", "log_pos": 4}
