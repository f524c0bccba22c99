"""SIGTERM and SIGINT stop the feed as the stop file does; settings that
cannot be used end the start with one coded line."""
import json
import os
import signal
import time

import pytest

from feedlab import Feed, OwnSchema, OwnTopic, master_position, read_topic, start_logged
from harness import wait_until


@pytest.fixture
def schema():
    s = OwnSchema("qz_i25_signals")
    s.sql("CREATE TABLE l_signals (id INT PRIMARY KEY, v VARCHAR(20))")
    yield s
    s.drop()


def ids_on(topic):
    return [json.loads(m["hbase_json"])["id"] for _, m in read_topic(topic)]


def stop_with(proc, number):
    """Sends the signal and waits for the end; the seconds it took."""
    proc.send_signal(number)
    signalled = time.time()
    wait_until(lambda: proc.poll() is not None, timeout=60)
    return time.time() - signalled


def assert_stopped_in_order(proc, out, err, name):
    lines = [l.split(" ", 2)[2] for l in open(out).read().splitlines()]
    assert proc.returncode == 0, (lines[-20:], open(err).read()[-2000:])
    assert lines[-1] == "Bye Rowfeed!"
    assert "stop signal %s received: stopping as for the stop file" % name in lines
    assert "Traceback" not in open(err).read()


@pytest.mark.parametrize("number, name", [(signal.SIGTERM, "SIGTERM"), (signal.SIGINT, "SIGINT")])
def test_a_stop_signal_stops_in_order_while_rows_are_read(tmp_path, schema, number, name):
    topic = OwnTopic("qz_i25_signal_%s" % name.lower())
    out, err = str(tmp_path / "out"), str(tmp_path / "err")
    try:
        feed = schema.feed(tmp_path, MAX_QMSG_COUNT=100000, KAFKA_BATCH=500)
        feed.resume_from(master_position())
        # one statement of many rows: the signal comes while they are read
        schema.sql("INSERT INTO l_signals SELECT seq, 'row' FROM seq_1_to_20000")
        proc = start_logged(feed, out, err, topic=topic.name)
        try:
            wait_until(lambda: "save_log_pos" in open(out).read() or proc.poll() is not None,
                       timeout=60)
            stop_with(proc, number)
        finally:
            if proc.poll() is None:
                proc.kill()
        assert_stopped_in_order(proc, out, err, name)
        # nothing that Kafka had not taken lies before the saved position: the
        # next run, from it, publishes every row not yet published
        feed.set(MAX_QMSG_COUNT=0)
        run = feed.run(topic=topic.name)
        assert set(ids_on(topic.name)) == set(range(1, 20001)), run
    finally:
        topic.close()


def test_a_stop_signal_ends_the_pause_between_cycles(tmp_path, schema):
    """At the log's end the feed pauses KAFKA_STAT_INTERVAL times the
    interval (here 60 steps of 10 s): a stop signal ends the step in hand."""
    topic = OwnTopic("qz_i25_signal_pause")
    out, err = str(tmp_path / "out"), str(tmp_path / "err")
    try:
        feed = schema.feed(tmp_path, MAX_QMSG_COUNT=100000)
        feed.resume_from(master_position())
        schema.sql("INSERT INTO l_signals VALUES (1, 'a')")
        proc = start_logged(feed, out, err, topic=topic.name, args=["-i", "10"])
        try:
            wait_until(lambda: "finally event with" in open(out).read() or
                       proc.poll() is not None, timeout=60)
            time.sleep(1)  # into the first step of the pause
            took = stop_with(proc, signal.SIGTERM)
        finally:
            if proc.poll() is None:
                proc.kill()
        assert_stopped_in_order(proc, out, err, "SIGTERM")
        assert took < 5, took  # not the rest of its 10 s step
        assert ids_on(topic.name) == [1]
    finally:
        topic.close()


@pytest.mark.parametrize("option, value", [("-i", "abc"), ("-s", "soon"), ("-s", "-1"),
                                           ("-i", "nan")])
def test_a_pause_that_is_no_number_ends_the_start(tmp_path, option, value):
    feed = Feed(tmp_path)
    feed.resume_from({"log_file": "mysql-bin.000001", "log_pos": 4})
    run = feed.run(option, value, timeout=60)
    # a bad setting's end: status 78, which the unit does not restart on
    assert run.status == 78 and run.err.rstrip().endswith("MS104"), run
    assert "Traceback" not in run.err, run
    [line] = run.lines()
    assert line.startswith("MS104 setting --%s=%r is not usable:"
                           % ({"-i": "interval", "-s": "sleep"}[option], value)), run


@pytest.mark.parametrize("setting, value, shown", [
    ("MYSQLHOST", "127.0.0.1:abc", "MYSQLHOST '127.0.0.1:abc'"),
    ("MYSQL_READ_TIMEOUT", "0", "MYSQL_READ_TIMEOUT 0.0"),
])
def test_a_database_setting_that_cannot_be_used_ends_the_start(tmp_path, setting, value, shown):
    feed = Feed(tmp_path, **{setting: value})
    feed.resume_from({"log_file": "mysql-bin.000001", "log_pos": 4})
    run = feed.run(timeout=60)
    assert run.status in (1, 78) and run.err.rstrip().endswith("MS104"), run
    assert "Traceback" not in run.err, run
    [line] = [l for l in run.lines() if l.startswith("MS1")]
    assert line.startswith("MS104") and setting in line and value in line, run
