"""The feed as an operator runs it: output to a file or a pipe with no
encoding, hosts in other time zones, and rows that fail every cycle."""
import json
import os
import re
import threading

import pytest

from feedlab import Feed, Topic, master_position, sql, start_logged
from qz import qztool

TIME = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} ")
TABLES = ("f_names", "f_after", "f_zone", "f_ucs2", "f_big")


@pytest.fixture(autouse=True)
def clean_tables():
    yield
    sql(*["DROP TABLE IF EXISTS %s" % t for t in TABLES])


@pytest.fixture
def topic():
    t = Topic()
    yield t
    t.close()


def supervised(feed):
    """The environment a supervisor gives: no encoding for standard output."""
    for name in ("PYTHONIOENCODING", "LANG", "LC_ALL", "LC_CTYPE"):
        feed.env.pop(name, None)
    return feed


def run_to_file(feed, tmp_path, timeout=120):
    out_path, err_path = str(tmp_path / "out.log"), str(tmp_path / "err.log")
    proc = start_logged(feed, out_path, err_path)
    killer = threading.Timer(timeout, proc.kill)
    killer.start()
    try:
        proc.wait()
    finally:
        killer.cancel()
    from feedlab import Run
    with open(out_path) as out, open(err_path) as err:
        return Run(proc.returncode, out.read(), err.read())


def rows_of(messages):
    return [(m["hbase_catalog"], m["hbase_baseid"], json.loads(m["hbase_json"]))
            for m in messages]


@pytest.mark.parametrize("sink", ["pipe", "file"])
def test_a_non_ascii_row_id_is_logged_and_the_feed_goes_on(tmp_path, topic, sink):
    feed = supervised(Feed(tmp_path, QZ_HBASE_TABLES_MAP={"f_names": [0, "name"]}))
    feed.resume_from(master_position())
    sql("CREATE TABLE f_names (name VARCHAR(20) CHARACTER SET utf8mb4 PRIMARY KEY, n INT)",
        "CREATE TABLE f_after (id INT PRIMARY KEY)",
        "INSERT INTO f_names VALUES ('J\xc3\xbcrgen', 1)",
        "INSERT INTO f_after VALUES (2)")
    run = run_to_file(feed, tmp_path) if sink == "file" else feed.run()
    assert run.status == 1 and "\nMAX_QMSG_COUNT_Interrupt, exiting..." in run.out, run
    assert "MS125" not in run.err, run
    run.out.decode("utf-8")
    assert "SS255 hbase_baseid error J\xc3\xbcrgen f_names" in run.lines(), run
    # every line whole: none joined to a half-written one
    assert all(TIME.match(l) for l in run.out.split("\n") if l and not l.startswith("MAX_")), run
    assert rows_of(topic.messages()) == [
        ("f_names", 0, {"name": u"J\xfcrgen", "n": 1, "sql_event": "write"}),
        ("f_after", 0, {"id": 2, "sql_event": "write"})]


# (stored as UTC, expected seconds): an instant each, whatever the host's zone
INSTANTS = [
    ("2020-01-01 00:00:00", 1577836800),
    ("2021-10-31 00:30:00", 1635640200),       # Europe/London's fold repeats 01:00-02:00
    ("2021-10-31 01:30:00", 1635643800),       # ... local time: these two look alike there
    ("2021-03-28 01:30:00.250000", 1616895000),  # the day London's clocks go forward
    ("0000-00-00 00:00:00", 0),
]


@pytest.mark.parametrize("zone", ["Asia/Tokyo", "Europe/London", "America/New_York"])
def test_timestamps_are_true_seconds_whatever_the_hosts_zone(tmp_path, topic, zone):
    assert os.path.exists(os.path.join("/usr/share/zoneinfo", zone))
    feed = Feed(tmp_path, TZ=zone, QZ_HBASE_TABLES_MAP={"f_zone": [0, "id"]})
    feed.resume_from(master_position())
    statements = ["SET time_zone = '+00:00'", "SET sql_mode = ''",
                  "CREATE TABLE f_zone (id INT PRIMARY KEY, ts TIMESTAMP(6) NULL, dt DATETIME)"]
    for i, (stored, _) in enumerate(INSTANTS):
        statements.append("INSERT INTO f_zone VALUES (%d, '%s', '2020-01-01 00:00:00')"
                          % (i, stored))
    sql(*statements)
    run = feed.run()
    assert run.status == 1, run
    got = dict((vals["id"], (vals["ts"], vals["dt"])) for _, _, vals in rows_of(topic.messages()))
    assert got == dict((i, (seconds, 1577836800)) for i, (_, seconds) in enumerate(INSTANTS))


def test_a_row_that_fails_every_cycle_is_counted_and_never_skipped(tmp_path, topic):
    # the replication library has no decoder for this character set: the row
    # fails each time it is read
    feed = Feed(tmp_path, MAX_QMSG_COUNT=2)
    start = master_position()
    feed.resume_from(start)
    sql("CREATE TABLE f_ucs2 (id INT PRIMARY KEY, c CHAR(2) CHARACTER SET ucs2)",
        "CREATE TABLE f_after (id INT PRIMARY KEY)",
        "INSERT INTO f_ucs2 VALUES (1, 'ab')", "INSERT INTO f_after VALUES (2)")
    run = feed.run()
    lines = run.lines()
    failures = [l for l in lines if l.endswith("sleeping  3  seconds...")]
    assert failures == ["%d / 0 LookupError('unknown encoding: ucs2',) sleeping  3  seconds..."
                        % n for n in (1, 2, 3)], run
    at = "%s %d" % (start["log_file"], start["log_pos"])
    assert [l for l in lines if l.startswith("MS140")] == [
        "MS140 stalled: %d cycles in a row failed at %s with the same error" % (n, at)
        for n in (2, 3)]
    assert run.status == 1 and run.err.rstrip().endswith("MS125")
    assert topic.messages() == [] and feed.record() == start


def small_topic(name="qz_test_small"):
    from kafka.admin import KafkaAdminClient, NewTopic
    from kafka.errors import TopicAlreadyExistsError
    admin = KafkaAdminClient(bootstrap_servers="127.0.0.1:9092")
    try:
        admin.create_topics([NewTopic(name, 1, 1, topic_configs={"max.message.bytes": "2000"})])
    except TopicAlreadyExistsError:
        pass
    finally:
        admin.close()
    return name


def test_the_last_lines_after_a_row_refused_while_reading(tmp_path):
    # every message is sent as it comes, so the broker refuses the row while
    # the cycle reads; the clean-up then has nothing it may send
    feed = Feed(tmp_path, KAFKA_SEND_INTERVAL=0, MAX_QMSG_COUNT=1000)
    feed.resume_from(master_position())
    sql("CREATE TABLE f_big (id INT PRIMARY KEY, v TEXT)",
        "INSERT INTO f_big VALUES (1, '%s')" % os.urandom(4000).encode("hex"))
    run = feed.run(topic=small_topic())
    lines = run.lines()
    assert sum(1 for l in lines if l.startswith("MS130 Kafka refused")) == 1, run
    assert not any(l.startswith("MS115") for l in lines), run
    assert lines[-2:] == ["MS135 1 messages were not sent; a restart re-reads them",
                          "Bye Rowfeed!"], run
    assert run.status == 1 and run.err.rstrip().endswith("MS130")


def test_without_a_position_record_the_feed_starts_at_the_current_log_file(tmp_path):
    # a feed whose record was deleted does not go back to the oldest log file
    from feedlab import delete_topic, read_topic
    from kafka.admin import KafkaAdminClient, NewTopic
    name = "qz_test_no_record_%d" % os.getpid()
    admin = KafkaAdminClient(bootstrap_servers="127.0.0.1:9092")
    try:
        admin.create_topics([NewTopic(name, 1, 1)])
    finally:
        admin.close()
    try:
        sql("CREATE TABLE f_after (id INT PRIMARY KEY)", "INSERT INTO f_after VALUES (1)",
            "FLUSH BINARY LOGS", "INSERT INTO f_after VALUES (2)")
        run = Feed(tmp_path).run(topic=name)
        assert run.status == 1 and not any(l.startswith("found log_pos") for l in run.lines()), run
        ids = [json.loads(m["hbase_json"])["id"] for _, m in read_topic(name)
               if m["hbase_catalog"] == "f_after"]
        assert ids == [2], run
    finally:
        delete_topic(name)
