"""The main job on the local stack: the three programs and the three
libraries at work on sample data, each result printed."""
import email
import email.header
import json
import os
import subprocess
import sys
import time
import urllib

import pika
import pymysql

import sinks
from digits.tools import make_sample_job
import rabbit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TREE = os.path.join(ROOT, "build", "tree")
RUN = os.path.join(ROOT, "run", "demo")
BASE = os.path.join(RUN, "base")
JOBS = os.environ["DIGITS_JOBS_DIR"]
TOPIC = "qz_demo"


def title(text):
    print
    print "=" * 72
    print text
    print "=" * 72


def sql(*statements):
    conn = pymysql.connect(host="127.0.0.1", user="qzadmin", passwd="qzadmin", db="qz",
                           autocommit=True)
    try:
        cur = conn.cursor()
        for s in statements:
            cur.execute(s)
        return cur.fetchall()
    finally:
        conn.close()


def channel():
    conn = rabbit.connect()
    return conn, conn.channel()


def start(name, *args):
    log = open(os.path.join(RUN, name + ".log"), "w")
    env = dict(os.environ, QZ_BASE_PATH=BASE, KAFKA_STAT_INTERVAL="2", QZ_MQ_QSET_INTERVAL="0.5",
               QZ_HBASE_TABLES_MAP='{"demo_orders": ["demo_orders", "order_id"]}',
               PYTHONWARNINGS="ignore::DeprecationWarning")
    return subprocess.Popen([os.path.join(TREE, name)] + list(args), stdout=log,
                            stderr=subprocess.STDOUT, env=env)


def wait_until(condition, seconds, what):
    deadline = time.time() + seconds
    while not condition():
        if time.time() > deadline:
            sys.exit("demo: gave up waiting for " + what)
        time.sleep(0.2)


def prepare():
    title("1. Sample model job, demo directories")
    built, accuracy, _ = make_sample_job.build_job(JOBS, "digits-sample")
    print "model job digits-sample in %s (%s)" % (JOBS, "trained now" if built else "already there")
    for d in (RUN, os.path.join(BASE, "tmp")):
        if not os.path.isdir(d):
            os.makedirs(d)
    # the feed starts where the binary log stands now, not at its beginning
    log_file, log_pos = sql("SHOW MASTER STATUS")[0][:2]
    with open(os.path.join(BASE, "tmp", "rowfeed.json"), "w") as f:
        json.dump({"log_file": log_file, "log_pos": log_pos}, f)
    for key in ("qz_mail", "dnn_arpc"):
        conn, ch = channel()
        ch.queue_delete(queue=key)
        conn.close()
    sinks.clear_mail()
    sinks.smtp_control()


def kafka_tail():
    from kafka import KafkaConsumer, TopicPartition
    consumer = KafkaConsumer(bootstrap_servers="127.0.0.1:9092", consumer_timeout_ms=1000)
    part = TopicPartition(TOPIC, 0)
    consumer.assign([part])
    # end_offsets: kafka-python 2.2's position() after seek_to_end waits
    # for a poll that never comes.
    return consumer, part, consumer.end_offsets([part])[part]


def feed_demo(feed):
    title("3a. rowfeed: row changes in MariaDB, messages on Kafka topic " + TOPIC)
    consumer, part, start_offset = kafka_tail()
    statements = [
        "DROP TABLE IF EXISTS demo_orders",
        "CREATE TABLE demo_orders (order_id INT PRIMARY KEY, customer VARCHAR(40),"
        " amount DECIMAL(10,2), placed DATETIME)",
        "INSERT INTO demo_orders VALUES (1, 'Ada', 12.50, '2026-12-01 10:00:00'),"
        " (2, 'J\xc3\xbcrgen', 99.99, '2026-12-02 11:30:00')",
        "UPDATE demo_orders SET amount = 15.00 WHERE order_id = 1",
        "DELETE FROM demo_orders WHERE order_id = 2",
    ]
    for s in statements:
        print "sql>", s
    sql(*statements)
    got = []

    def arrived():
        consumer.seek(part, start_offset)
        del got[:]
        got.extend(m.value for m in consumer)
        return len(got) >= 4
    wait_until(arrived, 60, "the feed's messages")
    for value in got:
        print "kafka>", value
    consumer.close()


def mail_demo():
    title("3b. postrunner: mail requests on qz_mail, mails in the SMTP sink")
    requests = [
        ({"subject": "Nightly report", "job": "etl-42", "status": "done"}, "ops@example.com"),
        ({"subject": "JSON report", "json": "1",
          "report": json.dumps({"rows": 1200, "tables": ["orders", "items"]})}, "ops@example.com"),
        ({"subject": "R\xc3\xa9sum\xc3\xa9 f\xc3\xbcr J\xc3\xbcrgen", "city": "Z\xc3\xbcrich",
          "report": "Gr\xc3\xbc\xc3\x9fe aus \xc3\x9cberlingen"}, "juergen@example.com"),
    ]
    conn, ch = channel()
    for fields, to in requests:
        ch.basic_publish(exchange="qz_mail", routing_key="qz_mail",
                         body=urllib.urlencode(sorted(fields.items())),
                         properties=pika.BasicProperties(headers={"to": to}))
    conn.close()
    for mail in sinks.wait_mails(len(requests), timeout=30):
        message = email.message_from_string(mail["raw"])
        subject = email.header.decode_header(message["Subject"])[0][0]
        print "-" * 72
        for name in ("Content-Type", "MIME-Version", "Content-Transfer-Encoding", "Subject",
                     "From", "To", "reply-to"):
            print "%s: %s" % (name, message[name])
        print "Subject (decoded): %s" % subject
        print
        print message.get_payload(decode=True)


def classify_demo():
    title("3c. visionbay: classification calls on dnn_arpc")
    from qz import qzmqtool
    samples = os.path.join(JOBS, "digits-sample", "samples")
    with open(os.path.join(samples, "manifest.json")) as f:
        manifest = json.load(f)
    conn, ch = channel()
    names = sorted(manifest)[::4]
    for name in names:
        request = json.dumps({"qz_service_name": "qz_dnn_classify", "qz_request": json.dumps(
            {"job_id": "digits-sample", "image_url": os.path.join(samples, name)})})
        answer = qzmqtool.rpc_call_with_timeout(request, 10, ch, "dnn_arpc")
        print "%-10s true label %s  ->  %s" % (name, manifest[name], answer)
    print "qz_time    ->", qzmqtool.rpc_call_with_timeout(
        json.dumps({"qz_service_name": "qz_time"}), 10, ch, "dnn_arpc")
    conn.close()


def library_demo():
    title("3d. Libraries: qz.modelgate.classify, qz.sweeper.clean, qz.dumptree")
    from qz import dumptree, modelgate, sweeper
    image = os.path.join(JOBS, "digits-sample", "samples", "7-a.png")
    payload = json.dumps({"job_id": "digits-sample", "image_url": image})
    print "modelgate.classify(%s)\n  -> %s" % (payload, modelgate.classify(payload))
    print "modelgate.time(None) ->", modelgate.time(None)
    responder = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools",
                                                               "demo_data_access.py")],
                                 stdout=subprocess.PIPE)
    assert responder.stdout.readline() == "serving\n"
    conn, ch = channel()
    print "sweeper.clean(None, channel) ->", sweeper.clean(None, ch)
    print "sweeper.prepare_clean('{\"op\": \"compact\"}', channel) ->", \
        sweeper.prepare_clean('{"op": "compact"}', ch)
    print "sweeper.clean(None) ->", sweeper.clean(None)
    ch.basic_publish(exchange="data_arpc", routing_key="data_arpc", body="stop")
    conn.close()
    responder.terminate()
    responder.wait()
    print "dumptree.qz_dumptree({'b': [1, 2], 'a': 'x'}, False):"
    print dumptree.qz_dumptree({"b": [1, 2], "a": "x"}, False)


def stop(programs):
    title("4. Stopping the programs as an operator does")
    open(os.path.join(BASE, "tmp", "rowfeed.stop"), "w").close()
    print "rowfeed: stop file", os.path.join(BASE, "tmp", "rowfeed.stop")
    conn, ch = channel()
    for key in ("qz_mail", "dnn_arpc"):
        ch.basic_publish(exchange=key, routing_key=key, body="cancel_" + key)
        print "%s: cancel word cancel_%s on its queue" % ("postrunner" if key == "qz_mail"
                                                          else "visionbay", key)
    conn.close()
    for name, proc in programs:
        deadline = time.time() + 60
        while proc.poll() is None and time.time() < deadline:
            time.sleep(0.2)
        if proc.poll() is None:
            proc.kill()
        print
        print "%s exited with status %s; the end of %s:" % (
            name, proc.wait(), os.path.join(RUN, name + ".log"))
        with open(os.path.join(RUN, name + ".log")) as f:
            lines = f.read().splitlines()[-6:]
        for line in lines or ["(no log line: it warns only about requests it drops or fails)"]:
            print "   ", line


def main():
    prepare()
    title("2. Starting rowfeed, postrunner and visionbay (logs in %s)" % RUN)
    programs = [("rowfeed", start("rowfeed", "--host", "127.0.0.1:9092", "--topic", TOPIC)),
                ("postrunner", start("postrunner", "--host", "127.0.0.1")),
                ("visionbay", start("visionbay", "--host", "127.0.0.1"))]
    for name, proc in programs:
        print "%-10s pid %d" % (name, proc.pid)
    time.sleep(1.5)
    try:
        feed_demo(programs[0][1])
        mail_demo()
        classify_demo()
        library_demo()
    finally:
        stop(programs)
    print
    print "The local stack stays up for a second look:"
    sys.stdout.flush()


if __name__ == "__main__":
    main()
