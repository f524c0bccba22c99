# -*- coding: utf-8 -*-
"""Each row under the columns it was written with: rows replayed across an
ALTER TABLE (from a saved position, and while the feed runs), tables the
catalogue no longer holds, names in any script, partial row images, and the
stop where the log does not describe its rows."""
import json
import os
import signal
import time

import pytest

from feedlab import Feed, OwnSchema, OwnTopic, columns_of, master_position, sql, start_logged
from harness import wait_until

# (table, CREATE body, row written before, ALTER, row written after, published before, after)
ALTERS = [
    ("l_add_after", "(id INT PRIMARY KEY, a INT, b VARCHAR(10))",
     "(1, 10, 'bee1')", "ADD x INT AFTER id", "(2, 7, 20, 'bee2')",
     {"id": 1, "a": 10, "b": "bee1"}, {"id": 2, "x": 7, "a": 20, "b": "bee2"}),
    ("l_drop", "(id INT PRIMARY KEY, a INT, c INT)",
     "(1, 5, 100)", "DROP c", "(2, 6)",
     {"id": 1, "a": 5, "c": 100}, {"id": 2, "a": 6}),
    ("l_rename", "(id INT PRIMARY KEY, a INT)",
     "(1, 10)", "CHANGE a renamed INT", "(2, 11)",
     {"id": 1, "a": 10}, {"id": 2, "renamed": 11}),
    ("l_widen", "(id INT PRIMARY KEY, u INT UNSIGNED)",
     "(1, 4000000000)", "MODIFY u BIGINT", "(2, -5)",
     {"id": 1, "u": 4000000000}, {"id": 2, "u": -5}),
    ("l_members", "(id INT PRIMARY KEY, e ENUM('x','y'), s SET('a','b','c'))",
     "(1, 'y', 'b,c')", "MODIFY e ENUM('new','x','y'), MODIFY s SET('new','a','b','c')",
     "(2, 'new', 'new,c')",
     {"id": 1, "e": "y", "s": ["b", "c"]}, {"id": 2, "e": "new", "s": ["c", "new"]}),
    ("l_charset", "(id INT PRIMARY KEY, v VARCHAR(10) CHARACTER SET latin1)",
     u"(1, 'café')", "MODIFY v VARCHAR(10) CHARACTER SET utf8mb4", u"(2, '日本')",
     {"id": 1, "v": u"café"}, {"id": 2, "v": u"日本"}),
]
IDS = [a[0] for a in ALTERS]


@pytest.fixture(scope="module")
def schema():
    s = OwnSchema("qz_i25_layouts")
    yield s
    s.drop()


@pytest.fixture
def alter_tables(schema):
    schema.sql(*["CREATE TABLE %s %s" % (a[0], a[1]) for a in ALTERS])
    yield
    schema.sql(*["DROP TABLE IF EXISTS %s" % a[0] for a in ALTERS])


def write_before(table):
    return u"INSERT INTO %s VALUES %s" % (table, [a for a in ALTERS if a[0] == table][0][2])


def alter_and_write_after(case):
    table, _, _, alter, after = case[:5]
    return [u"ALTER TABLE %s %s" % (table, alter), u"INSERT INTO %s VALUES %s" % (table, after)]


def expected(case):
    table, before, after = case[0], dict(case[5]), dict(case[6])
    before["sql_event"] = after["sql_event"] = "write"
    return [before, after]


def test_rows_replayed_from_a_saved_position_keep_the_columns_they_were_written_with(
        tmp_path, schema, alter_tables):
    topic = OwnTopic("qz_i25_replay")
    try:
        feed = schema.feed(tmp_path)
        feed.resume_from(master_position())
        # every row is written before any ALTER: the feed reads them all
        # when the catalogue already has the new columns
        schema.sql(*[write_before(a[0]) for a in ALTERS])
        schema.sql(*sum([alter_and_write_after(a) for a in ALTERS], []))
        run = feed.run(topic=topic.name)
        assert "Traceback" not in run.err, run
        assert "MS101 the server writes full row metadata" in run.out, run
        got = columns_of(topic.messages())
    finally:
        topic.close()
    for case in ALTERS:
        assert got.get((case[0], "write")) == expected(case), (case[0], run)


def test_rows_read_while_the_feed_runs_keep_their_columns_across_an_alter(tmp_path, schema,
                                                                         alter_tables):
    topic = OwnTopic("qz_i25_live")
    out, err = str(tmp_path / "out"), str(tmp_path / "err")
    try:
        # one pause after each cycle, in which the stop file is looked for
        feed = schema.feed(tmp_path, MAX_QMSG_COUNT=100000, KAFKA_SEND_INTERVAL=0,
                           KAFKA_STAT_INTERVAL=1)
        feed.resume_from(master_position())
        proc = start_logged(feed, out, err, topic=topic.name)

        def until(test):
            try:
                wait_until(test, timeout=60)
            except AssertionError:
                raise AssertionError(open(out).read()[-3000:] + open(err).read()[-3000:])
        try:
            for case in ALTERS:
                schema.sql(write_before(case[0]))
            # the feed reads the first rows under the old columns, then the
            # ALTER comes; the rows after it under the new ones
            until(lambda: len(topic.messages()) >= len(ALTERS))
            for case in ALTERS:
                schema.sql(*alter_and_write_after(case))
            until(lambda: len(topic.messages()) >= 2 * len(ALTERS))
        finally:
            open(feed.stop_file(), "w").close()
            until(lambda: proc.poll() is not None)
        got = columns_of(topic.messages())
    finally:
        topic.close()
    log = open(out).read()
    assert proc.returncode == 0, log
    for case in ALTERS:
        assert got.get((case[0], "write")) == expected(case), (case[0], log)


def test_rows_of_a_table_dropped_since_are_read_from_the_log(tmp_path, schema):
    schema.sql("CREATE TABLE l_gone (id INT PRIMARY KEY, v VARCHAR(5))")
    topic = OwnTopic("qz_i25_gone")
    try:
        feed = schema.feed(tmp_path)
        feed.resume_from(master_position())
        schema.sql("INSERT INTO l_gone VALUES (1, 'one')", "DROP TABLE l_gone")
        run = feed.run(topic=topic.name)
        got = columns_of(topic.messages())
    finally:
        topic.close()
    assert got == {("l_gone", "write"): [{"id": 1, "v": "one", "sql_event": "write"}]}, run


# Without column names in the log (binlog_row_metadata not FULL) the feed can
# compare only the logged columns' number and types with the catalogue. The
# driver takes the optional metadata out of every table map, as such a server
# writes them.
NO_NAMES = [
    ("column added", "l_add_after"),
    ("column dropped", "l_drop"),
    ("INT UNSIGNED to BIGINT", "l_widen"),
]


@pytest.mark.parametrize("name, table", NO_NAMES, ids=[n[0] for n in NO_NAMES])
def test_without_column_names_a_changed_table_stops_the_feed_before_its_statement(
        tmp_path, schema, alter_tables, name, table):
    case = [a for a in ALTERS if a[0] == table][0]
    topic = OwnTopic("qz_i25_nonames")
    try:
        feed = schema.feed(tmp_path, KAFKA_SEND_INTERVAL=0)
        feed.resume_from(master_position())
        schema.sql("INSERT INTO l_rename VALUES (7, 70)")  # a table that does not change
        middle = master_position()
        schema.sql(write_before(table), *alter_and_write_after(case))
        run = feed.run(topic=topic.name, driver={"no_row_metadata": True})
        got = columns_of(topic.messages())
    finally:
        topic.close()
    stops = [l for l in run.lines() if l.startswith("MS145 ")]
    assert len(stops) == 1, run
    words = stops[0].split()
    assert words[:6] == ["MS145", "rows", "of", schema.name + "." + table, "at", middle["log_file"]], run
    assert "cannot be read as they were written" in stops[0] and "binlog_row_metadata=FULL" in stops[0]
    assert run.status == 1 and run.err.rstrip().endswith("MS145"), run
    # what came before is published; nothing of the changed table
    assert got == {("l_rename", "write"): [{"id": 7, "a": 70, "sql_event": "write"}]}, run
    # the position stays where the stopped statement's transaction begins
    stopped_at = {"log_file": words[5], "log_pos": int(words[6])}
    assert stopped_at["log_pos"] <= middle["log_pos"] and feed.record() == stopped_at, run
    assert run.lines()[-1] == "Bye Rowfeed!"


OTHER = "qz_i25_other"


@pytest.fixture
def other_schema():
    sql("CREATE DATABASE IF NOT EXISTS %s" % OTHER)
    yield OTHER
    sql("DROP DATABASE IF EXISTS %s" % OTHER)


def test_names_in_any_script_never_stop_the_feed(tmp_path, schema, other_schema):
    schema.sql(u"CREATE TABLE `l_café` (id INT PRIMARY KEY, `naïve` INT)",
               u"CREATE TABLE %s.`café_表` (id INT)" % OTHER)
    topic = OwnTopic("qz_i25_names")
    try:
        feed = schema.feed(tmp_path, QZ_HBASE_TABLES_MAP={u"l_café": ["l_café", "id"]})
        feed.resume_from(master_position())
        schema.sql(u"INSERT INTO %s.`café_表` VALUES (1)" % OTHER,
                   u"INSERT INTO `l_café` VALUES (3, 30)")
        run = feed.run(topic=topic.name)
        messages = topic.messages()
    finally:
        topic.close()
        schema.sql(u"DROP TABLE `l_café`")
    assert "Traceback" not in run.err, run
    assert [(m["hbase_catalog"], m["hbase_baseid"], json.loads(m["hbase_json"])) for m in messages] \
        == [(u"l_café", 3, {"id": 3, u"naïve": 30, "sql_event": "write"})], run


@pytest.fixture
def server_without_column_names():
    """The stack's server, writing only the minimal metadata into new table
    maps for the length of one test (the setting is global and dynamic)."""
    sql("SET GLOBAL binlog_row_metadata = MINIMAL")
    try:
        yield
    finally:
        sql("SET GLOBAL binlog_row_metadata = FULL")


def test_a_server_without_column_names_is_named_at_start_and_its_changed_table_stops_the_feed(
        tmp_path, schema, alter_tables, server_without_column_names):
    topic = OwnTopic("qz_i25_minimalmeta")
    try:
        feed = schema.feed(tmp_path, KAFKA_SEND_INTERVAL=0)
        feed.resume_from(master_position())
        schema.sql(write_before("l_add_after"),
                   *alter_and_write_after([a for a in ALTERS if a[0] == "l_add_after"][0]))
        run = feed.run(topic=topic.name)
        got = columns_of(topic.messages())
    finally:
        topic.close()
    [start] = [l for l in run.lines() if l.startswith("MS10")]
    assert start.startswith("MS102 the server writes no column names into its log "
                            "(binlog_row_metadata=MINIMAL): "), run
    assert "set binlog_row_metadata=FULL" in start, run
    stops = [l for l in run.lines() if l.startswith("MS145 ")]
    assert len(stops) == 1 and stops[0].split()[:4] == ["MS145", "rows", "of",
                                                        schema.name + ".l_add_after"], run
    assert got == {} and run.status == 1, run


def test_partial_row_images_publish_only_what_the_log_holds(tmp_path, schema):
    schema.sql("CREATE TABLE l_minimal (id INT PRIMARY KEY, v VARCHAR(10), w INT, b BLOB)",
               "INSERT INTO l_minimal VALUES (7, 'old', 1, 'blob7'), (8, 'x', 2, 'blob8')")
    topic = OwnTopic("qz_i25_minimal")
    try:
        feed = schema.feed(tmp_path, QZ_HBASE_TABLES_MAP={"l_minimal": ["l_minimal", "id"]})
        feed.resume_from(master_position())
        schema.sql("SET SESSION binlog_row_image = MINIMAL",
                   "UPDATE l_minimal SET v = 'new' WHERE id = 7",
                   "DELETE FROM l_minimal WHERE id = 7",
                   "SET SESSION binlog_row_image = NOBLOB",
                   "UPDATE l_minimal SET w = 3 WHERE id = 8")
        run = feed.run(topic=topic.name)
        messages = topic.messages()
    finally:
        topic.close()
        schema.sql("DROP TABLE l_minimal")
    got = [(m["sql_event"], m["hbase_baseid"], json.loads(m["hbase_json"])) for m in messages]
    assert got == [
        # MINIMAL: the update's id from its before image; only the changed column
        ("update", 7, {"v": "new", "sql_event": "update"}),
        ("delete", 7, {"id": 7, "sql_event": "delete"}),
        # NOBLOB: every column but the BLOB it did not change
        ("update", 8, {"id": 8, "v": "x", "w": 3, "sql_event": "update"}),
    ], run


def test_the_start_line_says_when_the_server_cannot_be_asked(tmp_path):
    feed = Feed(tmp_path, MYSQLHOST="127.0.0.1:1")
    run = feed.run(timeout=60)
    [line] = [l for l in run.lines() if l.startswith("MS10")]
    assert line.startswith("MS103 the server could not be asked whether it writes full row "
                           "metadata: OperationalError(2003"), run
