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
# The stack's brokers: the current Kafka line, and the previous one.
KAFKA = "127.0.0.1:9092"
KAFKA_PREVIOUS = "127.0.0.1:9192"
DB = dict(host="127.0.0.1", port=3306, user="qzadmin", passwd="qzadmin", autocommit=True)


def sql(*statements, **kw):
    conn = pymysql.connect(db=kw.get("db", "qz"), charset=kw.get("charset", ""), **DB)
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

    def __init__(self, topic=TOPIC, kafka=KAFKA):
        from kafka import KafkaConsumer, TopicPartition
        self.part = TopicPartition(topic, 0)
        self.consumer = KafkaConsumer(bootstrap_servers=kafka,
                                      consumer_timeout_ms=1500)
        self.consumer.assign([self.part])
        # end_offsets, not seek_to_end and position: the latter never
        # returns on kafka-python 2.2 until something polls the consumer.
        self.start = self.consumer.end_offsets([self.part])[self.part]

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

    def __init__(self, base, kafka=KAFKA, **settings):
        self.base = str(base)
        self.kafka = kafka
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
        argv += ["--host", self.kafka, "--topic", kw.get("topic", TOPIC)] + list(args)
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
    topic = Topic(kafka=feed.kafka)
    try:
        feed.resume_from(master_position())
        sql(*statements)
        run = feed.run(**kw)
        return run, topic.messages()
    finally:
        topic.close()


# ---- load and fault runs: the program with its output in files, the stack's
# servers, and whole topics read back ----

def start_logged(feed, out_path, err_path, topic=TOPIC, args=()):
    """The feed as a program whose output goes to files: a long run would
    fill a pipe nobody reads and block the feed."""
    argv = [os.path.join(TREE, "rowfeed"), "--host", "127.0.0.1:9092", "--topic", topic]
    argv += list(args)
    with open(out_path, "w") as out, open(err_path, "w") as err:
        return subprocess.Popen(argv, stdout=out, stderr=err, env=dict(feed.env))


def stack(*args, **kw):
    """Runs stack/stack with args; returns (status, output). The script's
    Python 3 helpers must not see this interpreter's package path (its
    backports, such as enum34, break Python 3's standard library)."""
    from harness import ROOT
    env = dict((k, v) for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME"))
    proc = subprocess.Popen([os.path.join(ROOT, "stack", "stack")] + list(args),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    out = proc.communicate()[0]
    if kw.get("check", True) and proc.returncode != 0:
        raise AssertionError("stack %s: status %d\n%s" % (" ".join(args), proc.returncode, out))
    return proc.returncode, out


def stack_all_up():
    """Starts whatever is down and checks that every server reports up."""
    stack("up", check=False)
    status, out = stack("status", check=False)
    if status != 0:
        raise AssertionError("the stack is not all up:\n" + out)


def topic_end(topic):
    from kafka import KafkaConsumer, TopicPartition
    consumer = KafkaConsumer(bootstrap_servers="127.0.0.1:9092")
    try:
        part = TopicPartition(topic, 0)
        return consumer.end_offsets([part])[part]
    finally:
        consumer.close()


def read_topic(topic, start=0):
    """[(offset, message)] of partition 0 from start up to its end offset at the call."""
    from kafka import KafkaConsumer, TopicPartition
    part = TopicPartition(topic, 0)
    consumer = KafkaConsumer(bootstrap_servers="127.0.0.1:9092", consumer_timeout_ms=5000,
                             max_partition_fetch_bytes=8 * 1024 * 1024)
    try:
        consumer.assign([part])
        end = consumer.end_offsets([part])[part]
        consumer.seek(part, start)
        out = []
        while consumer.position(part) < end:
            batch = consumer.poll(timeout_ms=5000)
            if not batch:
                raise AssertionError("topic %s: stuck at offset %d of %d"
                                     % (topic, consumer.position(part), end))
            for records in batch.values():
                out.extend((r.offset, json.loads(r.value)) for r in records if r.offset < end)
        return out
    finally:
        consumer.close()


def delete_topic(topic):
    """Best effort: a test's own topic does not outlive it."""
    from kafka.admin import KafkaAdminClient
    try:
        admin = KafkaAdminClient(bootstrap_servers="127.0.0.1:9092")
        try:
            admin.delete_topics([topic])
        finally:
            admin.close()
    except Exception:  # noqa: BLE001  (cleanup only)
        pass


class OwnTopic(Topic):
    """A topic of the test's own, made for it (one partition) and deleted
    after: other tests' rows never reach it."""

    def __init__(self, name, kafka=KAFKA):
        from kafka.admin import KafkaAdminClient, NewTopic
        from kafka.errors import TopicAlreadyExistsError
        # a name of this run's own: Kafka deletes a topic some time after it
        # is asked to, so a name used again may vanish under the next test
        name = "%s_%d_%d" % (name, os.getpid(), int(time.time() * 1000) % 10 ** 9)
        admin = KafkaAdminClient(bootstrap_servers=kafka)
        try:
            admin.create_topics([NewTopic(name, 1, 1)])
        except TopicAlreadyExistsError:
            pass
        finally:
            admin.close()
        self.name = name
        Topic.__init__(self, topic=name, kafka=kafka)

    def close(self):
        Topic.close(self)
        delete_topic(self.name)


def columns_of(messages):
    """{(table, event): [hbase_json as a mapping, ...]} in order."""
    out = {}
    for m in messages:
        out.setdefault((m["hbase_catalog"], m["sql_event"]), []).append(json.loads(m["hbase_json"]))
    return out


class OwnSchema(object):
    """A schema of the test's own, which the feed follows (MYSQLDB): rows
    that other tests write into theirs never reach it."""

    def __init__(self, name):
        self.name = name
        sql("DROP DATABASE IF EXISTS `%s`" % name, "CREATE DATABASE `%s`" % name)

    def sql(self, *statements):
        """Statements in this schema, over a UTF-8 connection."""
        return sql(*statements, db=self.name, charset="utf8mb4")

    def feed(self, base, **settings):
        return Feed(base, MYSQLDB=self.name, **settings)

    def drop(self):
        sql("DROP DATABASE IF EXISTS `%s`" % self.name)
