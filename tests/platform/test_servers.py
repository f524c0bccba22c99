"""Each real piece of the local stack, through the clients the programs use."""
import smtplib
import time
import urllib2
import uuid
import warnings

import pymysql
import pytest

import sinks
from qz import qztool

DB = dict(host="127.0.0.1", port=3306, user="qzadmin", passwd="qzadmin", db="qz", autocommit=True)
REPL = {"host": "127.0.0.1", "port": 3306, "user": "qzrepl", "passwd": "qzrepl"}


@pytest.mark.parametrize("init_command", [None, "SET @mariadb_slave_capability=4"],
                         ids=["plain", "slave-capability-4"])
def test_row_change_is_read_back_from_the_binary_log(init_command):
    from pymysqlreplication import BinLogStreamReader
    from pymysqlreplication.row_event import WriteRowsEvent
    conn = pymysql.connect(**DB)
    cur = conn.cursor()
    table = "t_" + uuid.uuid4().hex[:8]
    cur.execute("CREATE TABLE %s (id INT PRIMARY KEY, name VARCHAR(20))" % table)
    cur.execute("SHOW MASTER STATUS")
    log_file, log_pos = cur.fetchone()[:2]
    cur.execute("INSERT INTO %s VALUES (7, 'seven')" % table)
    settings = dict(REPL)
    if init_command:
        settings["init_command"] = init_command
    stream = BinLogStreamReader(connection_settings=settings, server_id=4242, resume_stream=True,
                                log_file=log_file, log_pos=log_pos, blocking=False,
                                only_events=[WriteRowsEvent], only_schemas=["qz"])
    try:
        rows = [(e.table, r["values"]) for e in stream for r in e.rows]
    finally:
        stream.close()
        cur.execute("DROP TABLE %s" % table)
        conn.close()
    assert rows == [(table, {"id": 7, "name": u"seven"})]


def test_gzip_batch_from_the_standard_producer_is_read_back_from_kafka():
    from kafka import KafkaConsumer, KafkaProducer, TopicPartition
    marks = ["m-%s-%d" % (uuid.uuid4().hex, i) for i in range(3)]
    producer = KafkaProducer(bootstrap_servers="127.0.0.1:9092", compression_type="gzip",
                             acks="all", linger_ms=50)
    for mark in marks:
        producer.send("qz_test", mark.encode(), partition=0)
    producer.flush(timeout=20)
    producer.close()
    consumer = KafkaConsumer(bootstrap_servers="127.0.0.1:9092", consumer_timeout_ms=5000)
    part = TopicPartition("qz_test", 0)
    consumer.assign([part])
    end = consumer.end_offsets([part])[part]
    consumer.seek(part, max(0, end - 3))
    got = [m.value for m in consumer][-3:]
    consumer.close()
    assert got == marks


@pytest.fixture
def mailbox():
    sinks.clear_mail()
    sinks.smtp_control()
    yield
    sinks.smtp_control()


@pytest.mark.parametrize("login", [True, False])
def test_mail_from_the_standard_client_reaches_the_sink(mailbox, login):
    smtp = smtplib.SMTP("127.0.0.1", 8025, timeout=10)
    if login:
        smtp.login("qzmail", "qzmail")
    smtp.sendmail("qz@localhost", ["a@example.com"], "Subject: hi\r\n\r\nbody\r\n")
    smtp.sendmail("qz@localhost", ["b@example.com"], "Subject: again\r\n\r\nbody\r\n")
    smtp.quit()
    mails = sinks.wait_mails(2)
    assert [m["rcpt_tos"] for m in mails] == [["a@example.com"], ["b@example.com"]]
    assert [m["auth_user"] for m in mails] == ["qzmail" if login else None] * 2
    assert mails[0]["connection"] == mails[1]["connection"]
    assert mails[0]["message"]["Subject"] == "hi"


def test_sink_faults_reach_the_client(mailbox):
    sinks.smtp_control(refuse_login=True, refuse_rcpt=["no@example.com"])
    smtp = smtplib.SMTP("127.0.0.1", 8025, timeout=10)
    with pytest.raises(smtplib.SMTPAuthenticationError):
        smtp.login("qzmail", "qzmail")
    with pytest.raises(smtplib.SMTPRecipientsRefused):
        smtp.sendmail("qz@localhost", ["no@example.com"], "Subject: x\r\n\r\nx\r\n")
    smtp.quit()
    sinks.smtp_control(drop_next=True)
    smtp = smtplib.SMTP("127.0.0.1", 8025, timeout=10)
    with pytest.raises(smtplib.SMTPServerDisconnected):
        smtp.sendmail("qz@localhost", ["a@example.com"], "Subject: x\r\n\r\nx\r\n")
    assert sinks.mails() == []


@pytest.fixture
def endpoint():
    sinks.clear_http()
    sinks.http_control()
    yield "http://127.0.0.1:8088/qz/message"
    sinks.http_control()


def test_post_qz_message_reaches_the_http_sink(endpoint):
    qztool.post_qz_message(endpoint, "to=a%40example.com&subject=x", True)
    request = sinks.wait_http(1)[0]
    assert request["method"] == "POST" and request["path"] == "/qz/message"
    assert request["body_text"] == "to=a%40example.com&subject=x"


def test_post_qz_message_raises_on_failure(endpoint):
    sinks.http_control(status=500)
    with pytest.raises(urllib2.HTTPError):
        qztool.post_qz_message(endpoint, "x", True)
    with pytest.raises(urllib2.URLError):  # nothing listens there
        qztool.post_qz_message("http://127.0.0.1:9/", "x", True)
