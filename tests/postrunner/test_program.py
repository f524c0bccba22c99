"""postrunner as a program: its command line, its consumer and its exit status."""
import os
import sys
import time

import pytest

import sinks
from mailq import declare_and_purge, publish, waiting_requests
from netcut import Relay
from qz import qzconfig, qzmqobj, qztool


class Client(object):
    """Stands in for the queue client to see what main passes and to choose
    what wait() returns."""
    calls = []
    status = True

    def __getattr__(self, name):
        def record(*args, **kwargs):
            Client.calls.append((name, args, kwargs))
            return Client.status if name == "wait" else None
        return record


@pytest.fixture
def fake_client(monkeypatch, postrunner):
    Client.calls = []
    Client.status = True
    monkeypatch.setattr(qzmqobj, "QZMQObject", Client)
    monkeypatch.setattr(qztool, "check_mq_password", lambda p: "checked:" + p)
    return Client


def run_main(postrunner, monkeypatch, *args):
    monkeypatch.setattr(sys, "argv", ["postrunner"] + list(args))
    with pytest.raises(SystemExit) as info:
        postrunner.main()
    return info.value.code


@pytest.mark.parametrize("status, code", [(True, 0), (1, 0), (False, 1), (None, 1), ("", 1)])
def test_exit_status_follows_wait(fake_client, postrunner, monkeypatch, status, code):
    fake_client.status = status
    assert run_main(postrunner, monkeypatch) == code
    assert [c[0] for c in fake_client.calls] == ["open", "consume", "wait", "close"]


@pytest.mark.parametrize("args, protocol, opened, handler", [
    ([], True, dict(userid="guest", password="checked:plovk562", host="localhost", ssl=False),
     "recv_callback2"),
    (["--host", "mq1", "-u", "me", "-p", "pw", "--ssl", "extra"], False,
     dict(userid="me", password="checked:pw", host="mq1", ssl=True), "recv_callback"),
])
def test_connection_and_consumer_registration(fake_client, postrunner, monkeypatch, args,
                                              protocol, opened, handler):
    monkeypatch.setattr(qzconfig, "QZ_MQ_PROTOCOL", protocol)
    run_main(postrunner, monkeypatch, *args)
    (_, open_args, open_kw), (_, consume_args, consume_kw) = fake_client.calls[:2]
    assert open_args == () and open_kw == opened
    assert consume_args == ("qz_mail",)
    assert consume_kw == dict(callback=getattr(postrunner, handler), durable=True,
                              exclusive=False, auto_delete=False, type="direct")
    assert all(type(k) is str for k in open_kw.keys() + consume_kw.keys())


def test_smtp_quit_at_shutdown_ignores_its_failure(fake_client, postrunner, monkeypatch):
    class Connection(object):
        quits = 0

        def quit(self):
            Connection.quits += 1
            raise IOError("already gone")
    postrunner.smtp = Connection()
    assert run_main(postrunner, monkeypatch) == 0
    assert Connection.quits == 1


def test_help_lists_the_options(program):
    done = program("postrunner", "--help")
    assert done.status == 0
    for text in ["--host=HOST           AMQP server to connect to (default: localhost)",
                 "-u USERID, --userid=USERID", "userid to authenticate as (default: guest)",
                 "password to authenticate with (default: plovk562)",
                 "--ssl                 Enable SSL (default: not enabled)"]:
        assert text in done.out


def test_the_program_serves_until_cancelled(program):
    declare_and_purge()
    sinks.clear_mail()
    publish([({"subject": "from the program"}, {"to": "a@example.com"}), ("x=1", None),
             ("cancel_qz_mail", None)])
    done = program("postrunner", "--host", "127.0.0.1", timeout=60)
    assert done.status == 0, done
    assert done.out.split(" ", 2)[2] == "ML074 warning, no app_headers\n"
    assert len(sinks.wait_mails(1)) == 1 and waiting_requests() == 0


def test_a_lost_connection_ends_the_program_with_status_1(program, tmp_path):
    declare_and_purge()
    relay = Relay(5672)
    try:
        import subprocess
        from harness import TREE
        proc = subprocess.Popen([os.path.join(TREE, "postrunner"), "--host",
                                 "127.0.0.1:%d" % relay.port], stdout=subprocess.PIPE)
        deadline = time.time() + 20
        while not relay.sockets and time.time() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)  # let it register its consumer
        relay.cut()
        assert proc.wait() == 1
    finally:
        relay.close()


@pytest.mark.parametrize("env, named", [
    # the settings module keeps a value it cannot parse, for the start to name
    ({"QZ_MQ_PREFETCH": "many"},
     "setting QZ_MQ_PREFETCH='many' is not usable: it accepts a whole number from 1 to 65535"
     " (its value in the environment)"),
])
def test_a_setting_that_does_not_parse_ends_the_start_naming_it(program, env, named):
    done = program("postrunner", "--host", "127.0.0.1:1", env=env, timeout=30)
    assert done.status == 78
    [line] = done.out.splitlines()
    assert line.split(" ", 2)[2] == "ML090 " + named, line
    assert done.err == "ML090\n", done.err


TLS = os.path.join(sinks.run_dir(), "tls")


@pytest.mark.parametrize("env, args, named", [
    ({"QZ_MQ_PREFETCH": "0"}, [],
     "setting QZ_MQ_PREFETCH='0' is not usable: it accepts a whole number from 1 to 65535"),
    ({"QZ_MQ_RETRY_DELAY": "-1"}, [],
     "setting QZ_MQ_RETRY_DELAY='-1' is not usable: it accepts a number of seconds above 0"),
    # each is read and checked alone; the pair is the queue client's to judge
    ({"QZ_MQ_RETRY_DELAY": "60", "QZ_MQ_RETRY_MAX_DELAY": "30"}, [],
     "setting QZ_MQ_RETRY_MAX_DELAY: 30 is below QZ_MQ_RETRY_DELAY (60)"),
    ({"QZ_SMTP_TLS": "tls"}, [], "setting QZ_SMTP_TLS='tls' is not one of '', 'starttls', 'ssl'"),
    ({"QZ_SMTP_TLS": "starttls", "QZ_SMTP_SSL_CAFILE": "/no/such/ca.pem"}, [],
     "setting QZ_SMTP_SSL_CAFILE='/no/such/ca.pem': no CA could be read from it: IOError: "),
    # a CA named without TLS: the login would go in the clear
    ({"QZ_SMTP_SSL_CAFILE": TLS + "/ca.pem"}, [],
     "setting QZ_SMTP_SSL_CAFILE=%r is set but QZ_SMTP_TLS is empty" % (TLS + "/ca.pem")),
    ({"QZ_MQ_VHOST": ""}, [], "setting QZ_MQ_VHOST='' is not a virtual host name (1 to 255 bytes)"),
    ({"QZ_MQ_VHOST": "v" * 256}, [], "setting QZ_MQ_VHOST='vvvv"),
    ({"QZ_MQ_SSL_CAFILE": TLS + "/ca.pem"}, [],
     "setting QZ_MQ_SSL_CAFILE=%r is set but the connection has no TLS (--ssl)"
     % (TLS + "/ca.pem")),
    ({"QZ_MQ_SSL_CAFILE": TLS + "/server.key"}, ["--ssl"],
     "setting QZ_MQ_SSL_CAFILE=%r: no CA could be read from it: SSLError: " % (TLS + "/server.key")),
    ({"QZ_MQ_SSL_KEYFILE": TLS + "/client.key"}, ["--ssl"],
     "setting QZ_MQ_SSL_KEYFILE=%r is set without QZ_MQ_SSL_CERTFILE" % (TLS + "/client.key")),
    # a key that is not the certificate's
    ({"QZ_MQ_SSL_CERTFILE": TLS + "/client.pem", "QZ_MQ_SSL_KEYFILE": TLS + "/server.key"},
     ["--ssl"], "setting QZ_MQ_SSL_CERTFILE=%r, QZ_MQ_SSL_KEYFILE=%r: no certificate and"
     " unencrypted key could be read from them: SSLError: " % (TLS + "/client.pem",
                                                             TLS + "/server.key")),
])
def test_a_bad_connection_setting_stops_the_start_with_a_coded_line(program, env, args, named):
    # a broker nobody listens on: the setting is named before any connection
    done = program("postrunner", "--host", "127.0.0.1:1", *args, env=env, timeout=30)
    assert done.status == 78  # EX_CONFIG: the unit does not restart it
    [line] = done.out.splitlines()
    assert line.split(" ", 2)[2].startswith("ML090 " + named), line
    assert done.err == "ML090\n"  # no traceback
