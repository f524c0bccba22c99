"""The feed's batches, read cycles, stop paths, errors and exit statuses."""
import json
import os
import re

import pytest

from feedlab import Feed, Topic, master_position, sql
from qz import qztool

STAT_LINE = re.compile(r"^MS255 1 (\d+) (\d+) mysql-bin\.\d+ \d+ \d+\.0 mps$")


@pytest.fixture
def table():
    sql("DROP TABLE IF EXISTS f_rows", "CREATE TABLE f_rows (id INT PRIMARY KEY, v VARCHAR(200))")
    yield "f_rows"
    sql("DROP TABLE IF EXISTS f_rows")


@pytest.fixture
def topic():
    t = Topic()
    yield t
    t.close()


def insert_rows(ids, width=1):
    sql(*["INSERT INTO f_rows VALUES (%d, '%s')" % (i, "x" * width) for i in ids])


def batches(path):
    with open(path) as f:
        return [int(line) for line in f]


def message_size(row_id, width=1):
    """The text length of one message of f_rows (the key order does not change it)."""
    vals = json.dumps({"id": row_id, "v": "x" * width, "sql_event": "write"})
    return len(json.dumps({"sql_event": "write", "hbase_catalog": "f_rows", "hbase_baseid": 0,
                           "hbase_cf": "log", "hbase_key": qztool.hbase_key("f_rows", 0),
                           "hbase_json": vals}))


@pytest.mark.parametrize("settings, expected", [
    # the first row of a cycle goes at once; then more than KAFKA_BATCH pending
    ({"KAFKA_BATCH": 2}, [1, 3, 3]),
    # the size test is >= and includes the new message, which goes once
    ({"KAFKA_MAX_MESSAGE_SIZE": "3L"}, [1, 3, 3]),
    ({"KAFKA_MAX_MESSAGE_SIZE": "3L+1"}, [1, 4, 2]),
    # age: every message is older than a zero interval allows
    ({"KAFKA_SEND_INTERVAL": 0}, [1] * 7),
])
def test_batches_by_count_size_and_age(tmp_path, table, topic, settings, expected):
    size = message_size(1)
    base = {"KAFKA_BATCH": 1000, "KAFKA_MAX_MESSAGE_SIZE": 10 ** 9, "KAFKA_SEND_INTERVAL": 1000}
    for k, v in settings.items():
        base[k] = {"3L": 3 * size, "3L+1": 3 * size + 1}.get(v, v)
    feed = Feed(tmp_path, **base)
    feed.resume_from(master_position())
    insert_rows(range(1, 8))
    spy = str(tmp_path / "batches")
    run = feed.run(driver={"spy_batches": spy})
    assert batches(spy) == expected, run
    assert sorted(json.loads(m["hbase_json"])["id"] for m in topic.messages()) == range(1, 8)


def test_statistics_line(tmp_path, table):
    feed = Feed(tmp_path)
    feed.resume_from(master_position())
    insert_rows(range(1, 4))
    run = feed.run()
    stats = [l for l in run.lines() if l.startswith("MS255")]
    # the first event of a cycle counts no row yet; then one line per event
    assert len(stats) == 2 and all(STAT_LINE.match(l) for l in stats), run
    assert [STAT_LINE.match(l).group(1) for l in stats] == ["1", "2"]


def test_stop_file_while_reading_sends_what_is_pending_and_resumes_later(tmp_path, table, topic):
    feed = Feed(tmp_path, KAFKA_SEND_INTERVAL=1000, MAX_QMSG_COUNT=1000)
    start = master_position()
    feed.resume_from(start)
    sql("INSERT INTO f_rows VALUES (1, 'a'), (2, 'b')")  # event 1: row 1 goes at once
    insert_rows([3, 4])                                   # events 2 and 3
    run = feed.run(driver={"stop_after_checks": 2})
    assert run.status == 0, run
    lines = run.lines()
    assert "found stop event with 1 messages" in lines
    assert lines[-1] == "Bye Rowfeed!"
    assert sorted(json.loads(m["hbase_json"])["id"] for m in topic.messages()) == [1, 2]
    # the event in hand when the stop came was not converted: a restart reads it
    assert feed.record() != start
    feed.set(MAX_QMSG_COUNT=0)
    feed.run()
    assert sorted(json.loads(m["hbase_json"])["id"] for m in topic.messages()) == [1, 2, 3, 4]


def test_stop_file_while_waiting(tmp_path):
    feed = Feed(tmp_path, KAFKA_STAT_INTERVAL=3, MAX_QMSG_COUNT=1000)
    feed.resume_from(master_position())
    open(feed.stop_file(), "w").close()
    run = feed.run()
    assert run.status == 0, run
    assert not os.path.exists(feed.stop_file())
    assert run.lines()[-1] == "Bye Rowfeed!"


def test_cycle_limit_ends_with_status_1_after_the_third_cycle(tmp_path):
    feed = Feed(tmp_path, MAX_QMSG_COUNT=2)
    feed.resume_from(master_position())
    run = feed.run()
    assert run.status == 1
    assert sum(1 for l in run.lines() if l.startswith("found log_pos")) == 3
    assert "\nMAX_QMSG_COUNT_Interrupt, exiting..." in run.out


@pytest.mark.parametrize("error_args", [[1234, "forced"], [1234, "forced", "third"]],
                         ids=["two-arguments", "three-arguments"])
def test_internal_error_starts_a_new_cycle_and_sticks(tmp_path, table, topic, error_args):
    feed = Feed(tmp_path, MAX_QMSG_COUNT=1)
    feed.resume_from(master_position())
    insert_rows([1, 2])
    run = feed.run(driver={"fail_fetch": [1] + error_args})
    import pymysql.err
    error = repr(pymysql.err.InternalError(*json.loads(json.dumps(error_args))))
    assert "1 / 0 %s sleeping  3  seconds..." % error in run.lines(), run
    assert "Traceback (most recent call last)" in run.err
    assert run.status == 1 and run.err.rstrip().endswith("MS120"), run
    assert sum(1 for l in run.lines() if l.startswith("found log_pos")) == 2
    assert sorted(json.loads(m["hbase_json"])["id"] for m in topic.messages()) == [1, 2]


def test_a_database_that_is_down_means_new_cycles(tmp_path):
    feed = Feed(tmp_path, MAX_QMSG_COUNT=1, MYSQLHOST="127.0.0.1:1")
    run = feed.run()
    lines = run.lines()
    sleeping = [l for l in lines if l.endswith("sleeping  3  seconds...")]
    assert len(sleeping) == 2 and "OperationalError(2003" in sleeping[0], run
    assert not any(re.match(r"^\d+ / \d+ .* exiting\.\.\.$", l) for l in lines)
    assert run.status == 1 and run.err.rstrip().endswith("MS125")


def test_a_failed_send_ends_with_ms115(tmp_path, table, topic):
    feed = Feed(tmp_path, KAFKA_SEND_INTERVAL=0, MAX_QMSG_COUNT=1000)
    start = master_position()
    feed.resume_from(start)
    insert_rows([1, 2, 3])
    run = feed.run(driver={"error_sends": [2]})
    # row 2's answer comes back while row 3 is read: two batches went
    assert "2 MS115 send_messages failed, sleeping  3  seconds..." in run.lines(), run
    assert run.status == 1 and run.err.rstrip().endswith("MS115")
    # the refused row was sent again by the clean-up, then the row read
    # while it was on its way; nothing was lost, nothing went twice
    assert [json.loads(m["hbase_json"])["id"] for m in topic.messages()] == [1, 2, 3]
    # and the saved position counts all three: a restart sends none again
    feed.set(MAX_QMSG_COUNT=0)
    feed.run()
    assert [json.loads(m["hbase_json"])["id"] for m in topic.messages()] == [1, 2, 3]


def test_kafka_failing_mid_statement_saves_no_position_past_unsent_rows(tmp_path, table, topic):
    # one statement large enough for many rows events: a resumed stream must
    # start at its beginning, where the table map is
    feed = Feed(tmp_path, KAFKA_BATCH=100, KAFKA_SEND_INTERVAL=1000)
    start = master_position()
    feed.resume_from(start)
    values = ", ".join("(%d, '%s')" % (i, "y" * 150) for i in range(1, 2001))
    sql("INSERT INTO f_rows VALUES " + values)
    run = feed.run(driver={"fail_sends_after": 3})
    assert run.status == 1 and run.err.rstrip().endswith("MS125"), run
    assert any(l.startswith("MS135 ") and "messages were not sent" in l for l in run.lines())
    assert run.lines()[-1] == "Bye Rowfeed!", run
    # the statement's start, and the rows of it that Kafka took
    record = feed.record()
    assert record["log_file"] == start["log_file"] and record["log_pos"] == start["log_pos"]
    assert 0 < record["log_rows"] <= 3 * 101
    feed.run()
    ids = [json.loads(m["hbase_json"])["id"] for m in topic.messages()]
    assert set(ids) == set(range(1, 2001))
    assert len(ids) == 2000  # what was sent before the failure is not sent again


def test_pending_messages_of_a_failed_cycle_are_not_queued_twice(tmp_path, table, topic):
    feed = Feed(tmp_path, KAFKA_SEND_INTERVAL=1000, MAX_QMSG_COUNT=1)
    feed.resume_from(master_position())
    sql("INSERT INTO f_rows VALUES (1, 'a'), (2, 'b'), (3, 'c')")
    insert_rows([4])
    # the third fetch fails with rows 2, 3 and 4 pending (row 1 went at once);
    # the clean-up send then fails too, so they are still pending next cycle
    run = feed.run(driver={"fail_fetch": [3, 1, "forced"], "error_sends": [2]})
    assert any(l.startswith("dropping 3 pending messages, re-read from") for l in run.lines()), run
    ids = sorted(json.loads(m["hbase_json"])["id"] for m in topic.messages())
    # row 1 went before the failure, and the position counts it: not again
    assert ids == [1, 2, 3, 4]


def test_a_message_too_large_for_the_broker_ends_the_feed_and_names_it(tmp_path, table):
    from kafka.admin import KafkaAdminClient, NewTopic
    from kafka.errors import TopicAlreadyExistsError
    admin = KafkaAdminClient(bootstrap_servers="127.0.0.1:9092")
    name = "qz_test_small"
    try:
        admin.create_topics([NewTopic(name, 1, 1, topic_configs={"max.message.bytes": "2000"})])
    except TopicAlreadyExistsError:
        pass
    admin.close()
    feed = Feed(tmp_path, QZ_HBASE_TABLES_MAP={"f_rows": [0, "id"]}, MAX_QMSG_COUNT=1000)
    feed.resume_from(master_position())
    sql("INSERT INTO f_rows VALUES (1, 'small'), (42, '%s')" % "".join(
        "%03d" % i for i in range(66)))  # 198 incompressible-ish characters
    big = json.dumps({"v": os.urandom(4000).encode("hex")})
    sql("ALTER TABLE f_rows MODIFY v TEXT", "INSERT INTO f_rows VALUES (43, '%s')" % big)
    run = feed.run(topic=name)
    refused = [l for l in run.lines() if l.startswith("MS130 ")]
    assert len(refused) == 1 and "table f_rows id 43" in refused[0], run
    assert run.status == 1 and run.err.rstrip().endswith("MS130")
    # the clean-up does not offer the refused batch again, so nothing failed there
    assert not any(l.startswith("MS115") for l in run.lines()), run
    assert run.lines()[-2:] == ["MS135 2 messages were not sent; a restart re-reads them",
                                "Bye Rowfeed!"], run
