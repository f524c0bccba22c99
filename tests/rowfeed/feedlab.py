"""Helpers for the feed's tests: statements into MariaDB, the feed run as a
program (or through driver.py), and the messages read back from Kafka."""
import json
import os
import subprocess
import sys
import time
import warnings

import pymysql

from harness import TREE

HERE = os.path.dirname(os.path.abspath(__file__))
TOPIC = "qz_test"
DB = dict(host="127.0.0.1", port=3306, user="qzadmin", passwd="qzadmin", autocommit=True)


def sql(*statements, **kw):
    conn = pymysql.connect(db=kw.get("db", "qz"), **DB)
    try:
        cur = conn.cursor()
        for s in statements:
            cur.execute(s)
        return cur.fetchall()
    finally:
        conn.close()


def master_position():
    log_file, log_pos = sql("SHOW MASTER STATUS")[0][:2]
    return {"log_file": log_file, "log_pos": log_pos}


class Topic(object):
    """Reads what arrived on the topic after this object was made."""

    def __init__(self, topic=TOPIC):
        from kafka import KafkaConsumer, TopicPartition
        self.part = TopicPartition(topic, 0)
        self.consumer = KafkaConsumer(bootstrap_servers="127.0.0.1:9092",
                                      consumer_timeout_ms=1500)
        self.consumer.assign([self.part])
        self.consumer.seek_to_end(self.part)
        self.start = self.consumer.position(self.part)

    def messages(self):
        self.consumer.seek(self.part, self.start)
        out = []
        for m in self.consumer:
            out.append(json.loads(m.value))
        return out

    def close(self):
        self.consumer.close()


class Run(object):
    def __init__(self, status, out, err):
        self.status, self.out, self.err = status, out, err

    def lines(self):
        """Log lines without their time."""
        out = []
        for line in self.out.splitlines():
            parts = line.split(" ", 2)
            out.append(parts[2] if len(parts) == 3 and parts[0][:2] == "20" else line)
        return out

    def __repr__(self):
        return "Run(%r)\n--- out\n%s\n--- err\n%s" % (self.status, self.out, self.err[-3000:])


class Feed(object):
    """One feed's base directory, settings and runs."""

    def __init__(self, base, **settings):
        self.base = str(base)
        self.tmp = os.path.join(self.base, "tmp")
        if not os.path.isdir(self.tmp):
            os.makedirs(self.tmp)
        self.env = dict(os.environ, QZ_BASE_PATH=self.base, KAFKA_STAT_INTERVAL="0",
                        QZ_MQ_QUEUE_INTERVAL="0.0001", QZ_MQ_QSET_INTERVAL="0.05",
                        MAX_QMSG_COUNT="0", PYTHONWARNINGS="ignore::DeprecationWarning")
        self.set(**settings)

    def set(self, **settings):
        for k, v in settings.items():
            self.env[k] = v if isinstance(v, str) else json.dumps(v)

    def resume_from(self, position):
        with open(os.path.join(self.tmp, "rowfeed.json"), "w") as f:
            json.dump(position, f)

    def record(self):
        with open(os.path.join(self.tmp, "rowfeed.json")) as f:
            return json.load(f)

    def stop_file(self):
        return os.path.join(self.tmp, "rowfeed.stop")

    def start(self, *args, **kw):
        argv = [os.path.join(TREE, "rowfeed")]
        env = dict(self.env)
        if kw.get("driver") is not None:
            argv = [sys.executable, os.path.join(HERE, "driver.py")]
            env["QZ_TEST_DRIVER"] = json.dumps(kw["driver"])
        argv += ["--host", "127.0.0.1:9092", "--topic", kw.get("topic", TOPIC)] + list(args)
        return subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)

    def run(self, *args, **kw):
        """Runs the feed to its end (killed after the time-out) and returns a Run."""
        proc = self.start(*args, **kw)
        timer = time.time() + kw.get("timeout", 120)
        import threading
        killer = threading.Timer(kw.get("timeout", 120), proc.kill)
        killer.start()
        try:
            out, err = proc.communicate()
        finally:
            killer.cancel()
        return Run(proc.returncode, out, err)


def feed_statements(feed, statements, **kw):
    """Resumes the feed where the statements begin, runs it for one cycle and
    returns (run, messages on the topic)."""
    topic = Topic()
    try:
        feed.resume_from(master_position())
        sql(*statements)
        run = feed.run(**kw)
        return run, topic.messages()
    finally:
        topic.close()
