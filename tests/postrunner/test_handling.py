"""postrunner's request handling and mail sending against the real queue and sinks."""
import contextlib
import email
import email.header
import json
import signal
import socket
import time

import pytest

import sinks
from hostile import FullBacklog, SMTPDrip
from mailq import waiting_requests
from qz import qzconfig

TO = {"to": "a@example.com"}
DICT = "<type 'dict'>"


def mail_text(mail):
    return email.message_from_string(mail["raw"]).get_payload(decode=True)


def test_mail_is_composed_byte_for_byte(worker):
    request = {
        "subject": "R\xc3\xa9union caf\xc3\xa9",
        "name": "J\xc3\xbcrgen",
        "report": json.dumps({"k": u"\xe9t\xe9", "n": [1, 2]}),
        "json": "1",
        "access_key": "",
        "qz_hook_callback": "http://hook",
        "task_owner_path": "/owner",
    }
    assert worker.serve((request, TO)) == []
    [mail] = sinks.mails()
    raw_headers, _, _ = mail["raw"].partition("\r\n\r\n")
    lines = raw_headers.split("\r\n")
    assert lines[:3] == ['Content-Type: text/plain; charset="utf-8"', "MIME-Version: 1.0",
                         "Content-Transfer-Encoding: base64"]
    assert lines[3].startswith("Subject: =?utf-8?b?")
    assert lines[4:] == ["From: qz@localhost", "To: a@example.com", "reply-to: noreply@localhost"]
    subject = email.message_from_string(mail["raw"])["Subject"]
    assert email.header.decode_header(subject) == [("[QZ Mail] R\xc3\xa9union caf\xc3\xa9",
                                                    "utf-8")]
    assert mail_text(mail) == "\n".join([
        "QZ Mail", "", "(", "    access_key = ", "    json = 1", "    name = J\xc3\xbcrgen",
        "    subject = R\xc3\xa9union caf\xc3\xa9", ")", "", "(", "    k = \xc3\xa9t\xc3\xa9",
        "    n = <type 'list'>", "        0 = 1", "        1 = 2", ")"])
    assert (mail["mail_from"], mail["rcpt_tos"]) == ("qz@localhost", ["a@example.com"])
    assert waiting_requests() == 0


def test_bytes_that_are_not_utf8_are_never_labelled_utf8(worker):
    # latin-1, a stray byte and an encoded surrogate: the mail stays UTF-8
    # and shows each such byte as the log lines do
    request = {"subject": "caf\xe9", "name": "J\xfcrgen \xff", "report": "\xed\xa0\x80 ok"}
    assert worker.serve((request, TO)) == []
    [mail] = sinks.mails()
    subject = email.message_from_string(mail["raw"])["Subject"]
    assert email.header.decode_header(subject) == [("[QZ Mail] caf\\xe9", "utf-8")]
    text = mail_text(mail)
    text.decode("utf-8")
    assert "    name = J\\xfcrgen \\xff" in text and text.endswith("\\xed\\xa0\\x80 ok")


@pytest.mark.parametrize("report, flag, expected_report", [
    (None, None, ""),
    ("plain text", None, "plain text"),
    ("line\n{}", None, "line\n{}"),
    ('{"a": 1} first\nlast {"a": 1}\n  {"a": 1}  \n', None,
     "(\n    a = 1\n) first\nlast (\n    a = 1\n)\n  (\n    a = 1\n)  \n"),
    ("caf\xc3\xa9\n" + json.dumps({u"k": u"\xe9"}), None, "caf\xc3\xa9\n(\n    k = \xc3\xa9\n)"),
    ('[1, "x"]', "1", "(\n    0 = 1\n    1 = x\n)"),
    ('"t\\u00e9"', "yes", "(\n)"),
    ("1" * 400, "1", "(\n)"),  # the longest number the budget lets through
])
def test_report_expansions(worker, report, flag, expected_report):
    request = {"subject": "s"}
    if report is not None:
        request["report"] = report
    if flag is not None:
        request["json"] = flag
    worker.serve((request, TO))
    [mail] = sinks.mails()
    fields = "(\n" + ("    json = %s\n" % flag if flag else "") + "    subject = s\n)"
    assert mail_text(mail) == "QZ Mail\n\n" + fields + "\n\n" + expected_report


@pytest.mark.parametrize("body, headers, log, sent, left", [
    ({"subject": "s"}, None, ["ML074 warning, no app_headers"], 0, 0),
    ({"subject": "s"}, {"other": "x"}, ["ML079 warning, no to"], 0, 0),
    ({"subject": "s"}, {"to": ""}, ["ML079 warning, no to"], 0, 0),
    ({"subject": "s"}, {"to": "not an address"}, [], 0, 0),
    ({"subject": "s"}, {"to": "a@example.com\r\nBcc: b@example.com"}, [], 0, 0),
    ({"subject": "s"}, {"to": "a@example.com, b@example.com"}, [], 0, 0),
    ({"report": "text\n{not json}"}, TO,
     ["ML095 ValueError('Expecting property name: line 1 column 2 (char 1)',)"], 0, 1),
    ({"report": "not json", "json": "1"}, TO,
     ["ML095 ValueError('No JSON object could be decoded',)"], 0, 1),
    # a caller's JSON within the budget, or it fails as JSON that is no JSON;
    # the host would take 66 s to decode the 2,000,000 digits
    ({"report": "1" * 2000000, "json": "1"}, TO,
     ["ML095 ValueError('JSON number longer than 400 characters at offset 0',)"], 0, 1),
    ({"report": 'text\n{"n": %s}' % ("1" * 2000000)}, TO,
     ["ML095 ValueError('JSON number longer than 400 characters at offset 6',)"], 0, 1),
    ({"report": "[" * 65 + "]" * 65, "json": "1"}, TO,
     ["ML095 ValueError('JSON nested deeper than 64 levels at offset 64',)"], 0, 1),
    ({"report": "text\n" + '{"a": ' * 65 + "1" + "}" * 65}, TO,
     ["ML095 ValueError('JSON nested deeper than 64 levels at offset 384',)"], 0, 1),
])
def test_outcome_of_one_request(worker, body, headers, log, sent, left):
    assert worker.serve((body, headers)) == log
    assert len(sinks.mails()) == sent
    assert waiting_requests() == left  # an unacknowledged request is delivered again


@pytest.mark.parametrize("protocol", [True, False], ids=["four-arguments", "one-argument"])
def test_both_handler_forms_send_and_acknowledge(worker, protocol):
    assert worker.serve(({"subject": "one"}, TO), ({"subject": "two"}, TO),
                        protocol=protocol) == []
    assert [m["message"]["To"] for m in sinks.mails()] == ["a@example.com"] * 2
    assert waiting_requests() == 0


def test_the_cancel_word_stops_the_consumer_whatever_its_headers(worker):
    # requests after the cancel word stay in the queue for the next consumer
    assert worker.serve(("cancel_qz_mail", TO), ({"subject": "later"}, TO)) == []
    assert sinks.mails() == []
    assert waiting_requests() == 2  # the request and the trailing cancel word


def test_a_body_equal_to_the_consumer_tag_cancels(worker, postrunner, monkeypatch):
    from mailq import AMQP, publish
    from qz import qzmqobj
    monkeypatch.setattr(qzconfig, "QZ_MQ_PROTOCOL", True)
    mq = qzmqobj.QZMQObject()
    mq.open(**AMQP)
    tag = mq.consume("qz_mail", callback=postrunner.recv_callback2, durable=True,
                     exclusive=False, auto_delete=False, type="direct")
    publish([(tag, None)])
    assert mq.wait() is True
    mq.close()
    assert waiting_requests() == 0


def test_check_consumer_message_sees_every_request_but_the_cancel(worker, monkeypatch):
    from qz import qzmqobj
    seen = []
    monkeypatch.setattr(qzmqobj, "check_consumer_message",
                        lambda channel, tag, body: seen.append(body))
    worker.serve(("a=1", None), ("b=2", {"to": ""}))
    assert seen == ["a=1", "b=2"]


def test_forward_mode_posts_the_raw_body(worker, monkeypatch):
    monkeypatch.setattr(qzconfig, "SEND_MAIL_MODE", "forward")
    raw = "%%%not-decodable\xff&subject=x"
    assert worker.serve((raw, TO)) == []
    [request] = sinks.http_requests()
    assert request["method"] == "POST" and request["path"] == "/qz/message"
    assert request["body_b64"].decode("base64") == raw
    assert sinks.mails() == [] and waiting_requests() == 0


def test_forward_failure_leaves_the_request_unacknowledged(worker, monkeypatch):
    monkeypatch.setattr(qzconfig, "SEND_MAIL_MODE", "forward")
    sinks.http_control(status=500)
    [line] = worker.serve(("subject=x", TO))
    assert line.startswith("ML095 HTTPError(")
    assert waiting_requests() == 1


@pytest.mark.parametrize("uid, logged_in_as", [("qzmail", "qzmail"), ("", None)])
def test_one_connection_and_one_login_for_two_mails(worker, monkeypatch, uid, logged_in_as):
    monkeypatch.setattr(qzconfig, "QZ_SMTP_UID", uid)
    before = sinks.smtp_stats()["connections"]
    worker.serve(({"subject": "1"}, TO), ({"subject": "2"}, TO))
    mails = sinks.mails()
    assert [m["auth_user"] for m in mails] == [logged_in_as] * 2
    assert mails[0]["connection"] == mails[1]["connection"]
    assert sinks.smtp_stats()["connections"] == before + 1


def test_a_dropped_connection_fails_one_mail_and_the_next_reconnects(worker):
    sinks.smtp_control(drop_next=True)
    lines = worker.serve(({"subject": "dropped"}, TO), ({"subject": "after"}, TO))
    assert len(lines) == 1 and lines[0].startswith("ML095 SMTPServerDisconnected(")
    [mail] = sinks.mails()
    assert mail["message"]["Subject"] == email.header.Header("[QZ Mail] after", "utf-8").encode()
    assert waiting_requests() == 1


def test_a_refused_login_and_a_refused_recipient_fail_the_mail(worker):
    sinks.smtp_control(refuse_login=True)
    [line] = worker.serve(({"subject": "x"}, TO))
    assert line.startswith("ML095 SMTPAuthenticationError(535")
    sinks.smtp_control(refuse_rcpt=["a@example.com"])
    [line] = worker.serve()
    assert line.startswith("ML095 SMTPRecipientsRefused(")  # the request came back
    assert sinks.mails() == [] and waiting_requests() == 1


def test_a_failed_connect_leaves_the_slot_empty(worker, postrunner, monkeypatch):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    closed_port = s.getsockname()[1]
    s.close()
    monkeypatch.setattr(qzconfig, "QZ_SMTP_PORT", closed_port)
    [line] = worker.serve(({"subject": "x"}, TO))
    assert line.startswith("ML095 error(111, 'Connection refused')")
    assert postrunner.smtp is None and waiting_requests() == 1


def test_sender_and_reply_to_are_read_for_every_mail(worker, monkeypatch, postrunner):
    monkeypatch.setattr(qzconfig, "QZ_SMTP_SENDER", "first@localhost")
    worker.serve(({"subject": "1"}, TO))
    monkeypatch.setattr(qzconfig, "QZ_SMTP_SENDER", "second@localhost")
    monkeypatch.setattr(qzconfig, "QZ_SMTP_REPLYTO", "reply@localhost")
    worker.serve(({"subject": "2"}, TO))
    mails = sinks.mails()
    assert [m["mail_from"] for m in mails] == ["first@localhost", "second@localhost"]
    assert mails[1]["message"]["reply-to"] == "reply@localhost"
    assert mails[0]["connection"] == mails[1]["connection"]


def test_qz_send_mail_directly(worker, postrunner):
    postrunner.qz_send_mail("a@example.com", "", u"unicode \xe9 body")
    postrunner.qz_send_mail("a@example.com", u"\xe9", "bytes \xc3\xa9 body")
    first, second = sinks.mails()
    assert email.header.decode_header(first["message"]["Subject"]) == [("[QZ Mail] ", "utf-8")]
    assert mail_text(first) == "QZ Mail\n\nunicode \xc3\xa9 body"
    assert mail_text(second) == "QZ Mail\n\nbytes \xc3\xa9 body"


MAIL_TIMED_OUT = ("ML095 timeout('the SMTP exchange of one mail took longer than"
                  " QZ_SMTP_MAIL_TIMEOUT (1.5 s)',)")


OVER_REPLY_BUDGET = ("ML095 SMTPServerDisconnected('Connection unexpectedly closed:"
                     " a reply longer than 65536 bytes',)")


@pytest.mark.parametrize("server, line", [
    (lambda: SMTPDrip("greeting"), MAIL_TIMED_OUT),
    (lambda: SMTPDrip("data"), MAIL_TIMED_OUT),
    # the quit that gives a failed connection up is bounded too; the mail's
    # own error stays the one reported
    (lambda: SMTPDrip("quit", refuse_rcpt=True),
     "ML095 SMTPRecipientsRefused({u'a@example.com': (550, 'no such user')},)"),
    # a reply of endless continuation lines: cut at its byte budget, long
    # before the mail's time is up
    (lambda: SMTPDrip("ehlo", flood=True), OVER_REPLY_BUDGET),
    (lambda: SMTPDrip("greeting", flood=True), OVER_REPLY_BUDGET),
    # the connect itself waits no longer than the mail has left
    (FullBacklog, MAIL_TIMED_OUT),
], ids=["greeting drip", "data drip", "quit drip", "ehlo flood", "greeting flood",
        "connect never accepted"])
def test_a_server_that_answers_without_end_cannot_hold_a_mail(worker, postrunner, monkeypatch,
                                                               server, line):
    hostile = server()
    try:
        monkeypatch.setattr(qzconfig, "QZ_SMTP_PORT", hostile.port)
        monkeypatch.setattr(qzconfig, "QZ_SMTP_UID", "")
        monkeypatch.setattr(qzconfig, "QZ_SMTP_TIMEOUT", 5)  # each wait: never reached
        monkeypatch.setattr(qzconfig, "QZ_SMTP_MAIL_TIMEOUT", 1.5)
        started = time.time()
        assert worker.serve(({"subject": "x"}, TO)) == [line]
        assert time.time() - started < 4
    finally:
        hostile.close()
    assert postrunner.smtp is None and waiting_requests() == 1
    # the next mail opens a fresh connection to a server that answers
    monkeypatch.undo()
    assert worker.serve() == []
    assert len(sinks.mails()) == 1 and waiting_requests() == 0


def test_a_mail_with_no_time_left_is_not_sent_and_stays_queued(worker, postrunner,
                                                                  monkeypatch):
    monkeypatch.setattr(qzconfig, "QZ_SMTP_MAIL_TIMEOUT", 0)  # out before it starts
    [line] = worker.serve(({"subject": "x"}, TO))
    assert line == MAIL_TIMED_OUT.replace("(1.5 s)", "(0.0 s)")
    assert sinks.mails() == [] and waiting_requests() == 1


class Interrupt(BaseException):
    """What a stop raises in the host: not a failure, so it passes through."""


@contextlib.contextmanager
def interrupt_after(seconds):
    """Raises Interrupt on the main thread after `seconds`, as a stop would."""
    def interrupt(signum, frame):
        raise Interrupt()
    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_an_interrupt_in_a_failed_mails_quit_leaves_no_deadline_behind(worker, postrunner,
                                                                       monkeypatch):
    monkeypatch.setattr(qzconfig, "QZ_SMTP_UID", "")
    monkeypatch.setattr(qzconfig, "QZ_SMTP_TIMEOUT", 5)
    stalls_quit = SMTPDrip("quit", every=0.05, refuse_rcpt=True)
    stalls_data = SMTPDrip("data", every=0.05)
    try:
        monkeypatch.setattr(qzconfig, "QZ_SMTP_PORT", stalls_quit.port)
        monkeypatch.setattr(qzconfig, "QZ_SMTP_MAIL_TIMEOUT", 10)
        with interrupt_after(0.5), pytest.raises(Interrupt):
            postrunner.qz_send_mail("a@example.com", "s", "b")
        postrunner.smtp = None
        # the next mail is watched with its own budget, not the old one
        monkeypatch.setattr(qzconfig, "QZ_SMTP_PORT", stalls_data.port)
        monkeypatch.setattr(qzconfig, "QZ_SMTP_MAIL_TIMEOUT", 0.5)
        started = time.time()
        with pytest.raises(socket.timeout) as failed:
            postrunner.qz_send_mail("a@example.com", "s", "b")
        assert time.time() - started < 2
        assert "QZ_SMTP_MAIL_TIMEOUT (0.5 s)" in str(failed.value)
    finally:
        stalls_quit.close()
        stalls_data.close()


def test_an_interrupt_while_connecting_leaves_no_half_open_connection(worker, postrunner,
                                                                      monkeypatch):
    stalls_greeting = SMTPDrip("greeting", every=0.05)
    try:
        monkeypatch.setattr(qzconfig, "QZ_SMTP_PORT", stalls_greeting.port)
        with interrupt_after(0.3), pytest.raises(Interrupt):
            postrunner.qz_send_mail("a@example.com", "s", "b")
    finally:
        stalls_greeting.close()
    assert postrunner.smtp is None
