"""postrunner over TLS: SMTP with STARTTLS or implicit TLS, the broker over
amqps and in a virtual host of its own, and what fails when the other side
cannot be trusted. Against the stack's secure listeners (stack/stack tls)."""
import base64
import os
import time
import urllib

import pika
import pytest

import rabbit
import sinks
from hostile import SMTPDrip
from mailq import waiting_requests
from qz import qzconfig

TLS = os.path.join(sinks.run_dir(), "tls")
CA, ROGUE_CA = os.path.join(TLS, "ca.pem"), os.path.join(TLS, "rogue-ca.pem")
SERVER = (os.path.join(TLS, "server.pem"), os.path.join(TLS, "server.key"))
CLIENT = (os.path.join(TLS, "client.pem"), os.path.join(TLS, "client.key"))
TO = {"to": "a@example.com"}
# Ports and credentials of stack/lib.sh.
PLAIN, STARTTLS, IMPLICIT, AMQPS_PORT = 8025, 8587, 8465, 5671
SMTP_USER, SMTP_PASSWORD = "qzmail", "qzmail"
MQ_PASSWORD = rabbit.PASSWORD
WRONG = "wr0ng-S3cret-7f3a"  # a password nobody takes, looked for in every output


def secret_forms(user, password):
    """A password as it may leak: as is, and as AUTH PLAIN and LOGIN send it."""
    return [password, base64.b64encode("\0%s\0%s" % (user, password)),
            base64.b64encode(password)]


def assert_no_secret(output, secrets):
    for secret in secrets:
        assert secret not in output, "a secret in the output: %r" % output


def smtp_over(monkeypatch, tls, port, cafile=CA, host="localhost", **more):
    settings = dict(QZ_SMTP_TLS=tls, QZ_SMTP_PORT=port, QZ_SMTP_SSL_CAFILE=cafile,
                    QZ_SMTP_HOST=host)
    settings.update(more)
    for name, value in settings.items():
        monkeypatch.setattr(qzconfig, name, value)


# ---- SMTP, the handler on the real queue ----

@pytest.mark.parametrize("tls, port, listener", [
    ("starttls", STARTTLS, "starttls"),
    ("STARTTLS", STARTTLS, "starttls"),
    ("ssl", IMPLICIT, "ssl"),
])
def test_mail_goes_over_tls_with_one_login_per_connection(worker, monkeypatch, tls, port,
                                                          listener):
    smtp_over(monkeypatch, tls, port)
    assert worker.serve(({"subject": "1"}, TO), ({"subject": "2"}, TO)) == []
    mails = sinks.mails()
    assert [(m["listener"], m["tls"], m["auth_user"]) for m in mails] == [
        (listener, True, SMTP_USER)] * 2
    assert mails[0]["connection"] == mails[1]["connection"]
    assert waiting_requests() == 0


@pytest.mark.parametrize("tls, port, settings, line", [
    # a server that does not offer STARTTLS: nothing else is said, no login
    ("starttls", PLAIN, {}, "ML095 SMTPException(\"the SMTP server localhost does not offer"
                            " STARTTLS (QZ_SMTP_TLS='starttls')\",)"),
    ("ssl", PLAIN, {}, "ML095 SSLError(1, u'[SSL: WRONG_VERSION_NUMBER]"),
    # a CA that did not sign the server
    ("starttls", STARTTLS, {"QZ_SMTP_SSL_CAFILE": ROGUE_CA},
     "ML095 SSLError(1, u'[SSL: CERTIFICATE_VERIFY_FAILED]"),
    ("ssl", IMPLICIT, {"QZ_SMTP_SSL_CAFILE": ROGUE_CA},
     "ML095 SSLError(1, u'[SSL: CERTIFICATE_VERIFY_FAILED]"),
    # the system's store knows nothing of the stack's CA
    ("ssl", IMPLICIT, {"QZ_SMTP_SSL_CAFILE": ""},
     "ML095 SSLError(1, u'[SSL: CERTIFICATE_VERIFY_FAILED]"),
    # the certificate names localhost; Python 2.7 never matches an address
    ("ssl", IMPLICIT, {"QZ_SMTP_HOST": "127.0.0.1"},
     "ML095 CertificateError(\"hostname '127.0.0.1' doesn't match 'localhost'\",)"),
    ("starttls", STARTTLS, {"QZ_SMTP_PWD": WRONG},
     "ML095 SMTPAuthenticationError(535, '5.7.8 Authentication credentials invalid')"),
    # without TLS, a relay that offers AUTH only after STARTTLS is not logged in to
    ("", STARTTLS, {"QZ_SMTP_SSL_CAFILE": ""},
     "ML095 SMTPException('SMTP AUTH extension not supported by server.',)"),
], ids=["starttls of the plain sink", "tls to the plain sink", "starttls, rogue CA",
        "tls, rogue CA", "tls, system store", "tls to an address", "wrong password",
        "no tls to a starttls relay"])
def test_a_server_that_cannot_be_trusted_fails_the_mail_unacknowledged(
        worker, monkeypatch, capsys, tls, port, settings, line):
    smtp_over(monkeypatch, tls, port, **settings)
    [logged] = worker.serve(({"subject": "x"}, TO))
    assert logged.startswith(line), logged
    assert sinks.mails() == [] and waiting_requests() == 1
    assert_no_secret(logged, secret_forms(SMTP_USER, SMTP_PASSWORD) +
                     secret_forms(SMTP_USER, WRONG))


MAIL_TIMED_OUT = ("ML095 timeout('the SMTP exchange of one mail took longer than"
                  " QZ_SMTP_MAIL_TIMEOUT (1.5 s)',)")
OVER_REPLY_BUDGET = ("ML095 SMTPServerDisconnected('Connection unexpectedly closed:"
                     " a reply longer than 65536 bytes',)")


@pytest.mark.parametrize("tls, server, line", [
    ("ssl", dict(stall_at="handshake"), MAIL_TIMED_OUT),
    ("ssl", dict(stall_at="ehlo", flood=True), OVER_REPLY_BUDGET),
    ("ssl", dict(stall_at="data"), MAIL_TIMED_OUT),
    # after STARTTLS, the replies come from a reader of the TLS socket
    ("starttls", dict(stall_at="ehlo", flood=True, starttls=True), OVER_REPLY_BUDGET),
    ("starttls", dict(stall_at="ehlo", starttls=True), MAIL_TIMED_OUT),
    ("starttls", dict(stall_at="data", starttls=True), MAIL_TIMED_OUT),
], ids=["tls handshake stall", "tls ehlo flood", "tls data drip", "starttls ehlo flood",
        "starttls ehlo drip", "starttls data drip"])
def test_the_deadline_and_the_reply_budget_hold_over_tls(worker, postrunner, monkeypatch,
                                                          tls, server, line):
    hostile = SMTPDrip(tls=SERVER, **server)
    try:
        smtp_over(monkeypatch, tls, hostile.port, QZ_SMTP_UID="", QZ_SMTP_TIMEOUT=5,
                  QZ_SMTP_MAIL_TIMEOUT=1.5)
        started = time.time()
        assert worker.serve(({"subject": "x"}, TO)) == [line]
        assert time.time() - started < 4
    finally:
        hostile.close()
    assert postrunner.smtp is None and waiting_requests() == 1


@pytest.mark.parametrize("starttls, line, verbs", [
    (None, "ML095 SMTPException(\"the SMTP server localhost does not offer STARTTLS",
     ["EHLO", "QUIT"]),
    ("refuse", "ML095 SMTPResponseException(454, 'TLS not available now')",
     ["EHLO", "STARTTLS", "QUIT"]),
    (True, None, ["EHLO", "STARTTLS", "EHLO (tls)", "AUTH (tls)", "MAIL (tls)", "RCPT (tls)",
                  "DATA (tls)"]),
], ids=["not offered", "refused", "taken"])
def test_the_login_is_never_sent_before_starttls(worker, monkeypatch, starttls, line, verbs):
    # a server that takes any login in the clear, and offers STARTTLS or not
    server = SMTPDrip(stall_at=None, tls=SERVER if starttls else None, starttls=starttls,
                      auth=True)
    try:
        smtp_over(monkeypatch, "starttls", server.port)
        lines = worker.serve(({"subject": "x"}, TO))
    finally:
        server.close()
    if line is None:
        assert lines == [] and server.mails == 1 and waiting_requests() == 0
    else:
        [logged] = lines
        assert logged.startswith(line), logged
        assert server.mails == 0 and waiting_requests() == 1
    assert server.verbs[:len(verbs)] == verbs


# ---- the program: the broker over amqps, a virtual host, the start ----

VHOST = "qz_tenant"  # made by the stack for guest


def broker(vhost="/"):
    return rabbit.channel(vhost)


def queue_with(vhost, requests):
    """qz_mail of the virtual host, emptied, then holding the requests."""
    conn, ch = broker(vhost)
    ch.exchange_declare(exchange="qz_mail", exchange_type="direct", durable=True)
    ch.queue_declare(queue="qz_mail", durable=True)
    ch.queue_bind(queue="qz_mail", exchange="qz_mail", routing_key="qz_mail")
    ch.queue_purge(queue="qz_mail")
    for body, headers in requests:
        ch.basic_publish(exchange="qz_mail", routing_key="qz_mail", body=body,
                         properties=pika.BasicProperties(headers=headers))
    conn.close()


def waiting_in(vhost):
    conn, ch = broker(vhost)
    try:
        return ch.queue_declare(queue="qz_mail", durable=True, passive=True).method.message_count
    finally:
        conn.close()


REQUEST = (urllib.urlencode({"subject": "secure"}), TO)
SMTP_STARTTLS = dict(QZ_SMTP_TLS="starttls", QZ_SMTP_PORT=str(STARTTLS), QZ_SMTP_HOST="localhost",
                     QZ_SMTP_SSL_CAFILE=CA)
AMQPS = dict(QZ_MQ_SSL_CAFILE=CA)


@pytest.mark.parametrize("args, env, vhost", [
    (["--host", "localhost", "--ssl"], dict(AMQPS), "/"),
    (["--host", "localhost:%d" % AMQPS_PORT, "--ssl"], dict(AMQPS, QZ_MQ_VHOST=VHOST), VHOST),
    # a client certificate, for brokers that ask for one
    (["--host", "localhost", "--ssl"],
     dict(AMQPS, QZ_MQ_SSL_CERTFILE=CLIENT[0], QZ_MQ_SSL_KEYFILE=CLIENT[1]), "/"),
    (["--host", "127.0.0.1"], dict(SMTP_STARTTLS, QZ_MQ_VHOST=VHOST), VHOST),
    (["--host", "localhost", "--ssl"], dict(AMQPS, **SMTP_STARTTLS), "/"),
], ids=["amqps", "amqps in a vhost", "amqps with a client certificate",
        "a vhost, mail over starttls", "amqps, mail over starttls"])
def test_the_program_delivers_over_amqps_and_in_a_virtual_host(program, args, env, vhost):
    sinks.clear_mail()
    queue_with(vhost, [REQUEST, ("cancel_qz_mail", None)])
    done = program("postrunner", *args, env=env, timeout=60)
    assert done.status == 0, done
    assert done.out == "" and waiting_in(vhost) == 0
    [mail] = sinks.wait_mails(1)
    assert mail["tls"] == ("QZ_SMTP_TLS" in env)
    assert_no_secret(done.out + done.err, secret_forms(SMTP_USER, SMTP_PASSWORD) + [MQ_PASSWORD])


@pytest.mark.parametrize("args, env, error", [
    (["--ssl"], dict(QZ_MQ_SSL_CAFILE=ROGUE_CA),
     "SSLError: [SSL: CERTIFICATE_VERIFY_FAILED] certificate verify failed"),
    # the system's store knows nothing of the stack's CA
    (["--ssl"], {}, "SSLError: [SSL: CERTIFICATE_VERIFY_FAILED] certificate verify failed"),
    (["--ssl", "-p", WRONG], dict(AMQPS), "ProbableAuthenticationError: "),
    (["--ssl"], dict(AMQPS, QZ_MQ_PASSWORD=WRONG), "ProbableAuthenticationError: "),
    # a virtual host that does not exist
    (["--ssl"], dict(AMQPS, QZ_MQ_VHOST="qz_nobodys"), "ProbableAccessDeniedError: "),
    # amqps on the plain port
    (["--ssl", "--host", "localhost:5672"], dict(AMQPS),
     "SSLError: [SSL: WRONG_VERSION_NUMBER] wrong version number"),
], ids=["rogue CA", "system store", "wrong -p", "wrong QZ_MQ_PASSWORD", "unknown vhost",
        "tls to the plain port"])
def test_a_broker_that_cannot_be_trusted_ends_the_start_with_nothing_taken(
        program, args, env, error):
    sinks.clear_mail()
    queue_with("/", [REQUEST])
    if "--host" not in args:
        args = ["--host", "localhost"] + args
    started = time.time()
    done = program("postrunner", *args, env=env, timeout=60)
    assert done.status == 1 and error in done.err.splitlines()[-1], done
    assert time.time() - started < 30
    assert waiting_in("/") == 1 and sinks.mails() == []
    assert_no_secret(done.out + done.err, [WRONG, MQ_PASSWORD])


def test_the_broker_named_by_its_address_fails_the_host_name_check(program):
    # the certificate names localhost only; Python 2.7 never matches an address
    done = program("postrunner", "--host", "127.0.0.1", "--ssl", env=AMQPS, timeout=60)
    assert done.status == 1
    assert done.err.splitlines()[-1].endswith(
        "CertificateError: hostname '127.0.0.1' doesn't match 'localhost'"), done.err


def test_help_shows_no_configured_secret(program):
    done = program("postrunner", "-p", WRONG, "--help",
                   env=dict(QZ_MQ_PASSWORD=WRONG + "q", QZ_SMTP_PWD=WRONG + "s"))
    assert done.status == 0
    assert_no_secret(done.out + done.err, [WRONG])
