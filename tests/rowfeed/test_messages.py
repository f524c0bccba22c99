"""Row changes in, messages out: each case runs real statements through
MariaDB's binary log and the feed, and reads the messages back from Kafka."""
import json

import pytest

from feedlab import KAFKA_PREVIOUS, Feed, feed_statements
from qz import qztool


def message(event, table, baseid, **columns):
    columns["sql_event"] = event
    return {"sql_event": event, "hbase_catalog": table, "hbase_baseid": baseid,
            "hbase_cf": "log", "hbase_key": qztool.hbase_key(table, baseid),
            "hbase_json": columns}


def received(messages):
    for m in messages:
        m["hbase_json"] = json.loads(m["hbase_json"])
    return messages


CASES = [
    # (name, settings, statements, expected messages, log lines expected too,
    #  texts expected in the first message as it was sent)
    ("write-update-delete over two tables",
     {"QZ_HBASE_TABLES_MAP": {"f_orders": ["f_orders", "order_id"], "f_items": ["x", "id"]}},
     ["CREATE TABLE f_orders (order_id INT PRIMARY KEY, name VARCHAR(10))",
      "CREATE TABLE f_items (id INT PRIMARY KEY, qty INT)",
      "INSERT INTO f_orders VALUES (7, 'seven'), (8, 'eight')",
      "INSERT INTO f_items VALUES (1, 10)",
      "UPDATE f_orders SET name = 'x' WHERE order_id = 7",
      "DELETE FROM f_items WHERE id = 1"],
     [message("write", "f_orders", 7, order_id=7, name="seven"),
      message("write", "f_orders", 8, order_id=8, name="eight"),
      message("write", "f_items", 1, id=1, qty=10),
      message("update", "f_orders", 7, order_id=7, name="x"),
      message("delete", "f_items", 1, id=1, qty=10)],
     [], []),

    ("a table without an entry has id 0",
     {},
     ["CREATE TABLE f_plain (id INT PRIMARY KEY)", "INSERT INTO f_plain VALUES (5)"],
     [message("write", "f_plain", 0, id=5)],
     [], []),

    ("the ignore list needs table and event both",
     {"QZ_HBASE_IGNORE": [["f_ign", "update"], ["f_other", "write"]]},
     ["CREATE TABLE f_ign (id INT PRIMARY KEY, v INT)",
      "INSERT INTO f_ign VALUES (1, 1)",
      "UPDATE f_ign SET v = 2",
      "DELETE FROM f_ign"],
     [message("write", "f_ign", 0, id=1, v=1), message("delete", "f_ign", 0, id=1, v=2)],
     [], []),

    ("an id that is not an integer is published with id 0",
     {"QZ_HBASE_TABLES_MAP": {"f_text": [0, "code"]}},
     ["CREATE TABLE f_text (code VARCHAR(5) PRIMARY KEY)", "INSERT INTO f_text VALUES ('7')"],
     [message("write", "f_text", 0, code="7")],
     ["SS255 hbase_baseid error 7 f_text"], []),

    ("a NULL id is 0, a missing id column too",
     {"QZ_HBASE_TABLES_MAP": {"f_null": [0, "ref"], "f_nocol": [0, "absent"]}},
     ["CREATE TABLE f_null (id INT PRIMARY KEY, ref INT)",
      "CREATE TABLE f_nocol (id INT PRIMARY KEY)",
      "INSERT INTO f_null VALUES (1, NULL)", "INSERT INTO f_nocol VALUES (2)"],
     [message("write", "f_null", 0, id=1, ref=None), message("write", "f_nocol", 0, id=2)],
     [], []),

    ("a long integer id stays an integer",
     {"QZ_HBASE_TABLES_MAP": {"f_big": [0, "id"]}},
     ["CREATE TABLE f_big (id BIGINT UNSIGNED PRIMARY KEY)",
      "INSERT INTO f_big VALUES (18446744073709551615)"],
     [message("write", "f_big", 18446744073709551615, id=18446744073709551615)],
     [], []),

    ("column types are encoded without loss",
     {},
     ["CREATE TABLE f_types (id INT PRIMARY KEY, price DECIMAL(30,10), d DATE, t TIME(6),"
      " dt DATETIME(3), ts TIMESTAMP NULL, s SET('a','b','c'), e ENUM('x','y'),"
      " bin VARBINARY(8), txt VARCHAR(8) CHARACTER SET utf8mb4, f DOUBLE)",
      "INSERT INTO f_types VALUES (1, 12345678901234567890.0123456789, '2020-02-29',"
      " '-838:59:58.5', '2020-01-01 00:00:00.5', '1970-01-02 00:00:00', 'c,a', 'y',"
      " X'FF00C3', 'caf\xc3\xa9', 0.1)",
      "INSERT INTO f_types (id, t, bin) VALUES (2, '25:00:00', 'ok')"],
     [message("write", "f_types", 0, id=1, price=12345678901234567890.0123456789,
              d="2020-02-29", t="-838:59:58.500000", dt=1577836800, ts=86400 - 3600 * 0,
              s=["a", "c"], e="y", bin="/wDD", txt=u"caf\xe9", f=0.1),
      message("write", "f_types", 0, id=2, price=None, d=None, t="25:00:00", dt=None, ts=None,
              s=None, e=None, bin="ok", txt=None, f=None)],
     [], []),

    ("values whose form a consumer must know",
     {},
     ["SET sql_mode = ''",
      "CREATE TABLE f_forms (id INT PRIMARY KEY, b BIT(10), d DATE, dt DATETIME,"
      " z DECIMAL(40,30), tiny DECIMAL(40,30), bin VARBINARY(8))",
      "INSERT INTO f_forms VALUES (1, b'101', '0000-00-00', '0000-00-00 00:00:00', 0,"
      " 0.000000000000000000000000000001, 'b2s=')",
      "INSERT INTO f_forms VALUES (2, NULL, NULL, NULL, NULL, NULL, 'ok')"],
     # BIT as its digits; zero dates null; decimals as the host writes them;
     # a binary value that is UTF-8 as it is, so 'b2s=' reads like 'ok' in base64
     [message("write", "f_forms", 0, id=1, b="0000000101", d=None, dt=None, z=0.0,
              tiny=1e-30, bin="b2s="),
      message("write", "f_forms", 0, id=2, b=None, d=None, dt=None, z=None, tiny=None,
              bin="ok")],
     [], ['"z": 0E-30', '"tiny": 1E-30']),

    ("GEOMETRY and the empty SET as the type table says",
     {},
     ["CREATE TABLE f_shapes (id INT PRIMARY KEY, g POINT, s SET('a','b'))",
      "INSERT INTO f_shapes VALUES (1, POINT(1, 2), ''), (2, NULL, NULL)"],
     # SRID 0 then the WKB of POINT(1 2), base64; an empty set reads as NULL does
     [message("write", "f_shapes", 0, id=1, g="AAAAAAEBAAAAAAAAAAAA8D8AAAAAAAAAQA==", s=None),
      message("write", "f_shapes", 0, id=2, g=None, s=None)],
     [], []),

    ("date-and-time as whole UTC seconds over the whole range",
     {},
     ["CREATE TABLE f_when (id INT PRIMARY KEY, dt DATETIME(6), ts TIMESTAMP(6) NULL)",
      "SET time_zone = '+00:00'",
      "INSERT INTO f_when VALUES (1, '1000-01-01 00:00:00', '1970-01-01 00:00:01'),"
      " (2, '9999-12-31 23:59:59.999999', '2038-01-19 03:14:07.999999'),"
      " (3, '1969-12-31 23:59:59.5', NULL), (4, '2000-02-29 12:34:56', '2000-03-01 00:00:00'),"
      " (5, '1900-03-01 00:00:00', NULL), (6, '0400-02-29 23:00:00', NULL)"],
     [message("write", "f_when", 0, id=1, dt=-30610224000, ts=1),
      message("write", "f_when", 0, id=2, dt=253402300799, ts=2147483647),
      message("write", "f_when", 0, id=3, dt=-1, ts=None),
      message("write", "f_when", 0, id=4, dt=951827696, ts=951868800),
      message("write", "f_when", 0, id=5, dt=-2203891200, ts=None),
      message("write", "f_when", 0, id=6, dt=-49539258000, ts=None)],
     [], []),

    ("another schema is not followed",
     {},
     ["CREATE TABLE qz_other.f_elsewhere (id INT PRIMARY KEY)",
      "INSERT INTO qz_other.f_elsewhere VALUES (1)",
      "CREATE TABLE f_here (id INT PRIMARY KEY)", "INSERT INTO f_here VALUES (2)"],
     [message("write", "f_here", 0, id=2)],
     [], []),
]


@pytest.fixture(autouse=True)
def clean_tables():
    from feedlab import sql
    yield
    for name in ("f_orders", "f_items", "f_plain", "f_ign", "f_text", "f_null", "f_nocol",
                 "f_big", "f_types", "f_forms", "f_shapes", "f_when", "f_here", "qz_other.f_elsewhere"):
        sql("DROP TABLE IF EXISTS %s" % name)


@pytest.mark.parametrize("name, settings, statements, expected, lines, texts", CASES,
                         ids=[c[0] for c in CASES])
def test_statements_become_messages(tmp_path, name, settings, statements, expected, lines, texts):
    run, messages = feed_statements(Feed(tmp_path, TZ="UTC", **settings), statements)
    sent = [m["hbase_json"] for m in messages]
    assert run.status == 1 and "\nMAX_QMSG_COUNT_Interrupt, exiting..." in run.out, run
    assert received(messages) == expected
    assert [l for l in lines if l not in run.lines()] == [], run
    assert [t for t in texts if t not in sent[0]] == []


def test_the_previous_kafka_line_gets_the_same_messages(tmp_path):
    # The stack runs the previous line beside the current one: the request
    # versions are settled with each broker, so one build serves both.
    name, settings, statements, expected = CASES[0][:4]
    feed = Feed(tmp_path, kafka=KAFKA_PREVIOUS, TZ="UTC", **settings)
    run, messages = feed_statements(feed, statements)
    assert run.status == 1 and "\nMAX_QMSG_COUNT_Interrupt, exiting..." in run.out, run
    assert received(messages) == expected


def test_message_text_is_the_standard_json_encoding(tmp_path):
    from feedlab import Topic, master_position, sql
    feed = Feed(tmp_path)
    topic = Topic()
    feed.resume_from(master_position())
    sql("CREATE TABLE f_plain (id INT PRIMARY KEY, name VARCHAR(8))",
        "INSERT INTO f_plain VALUES (1, 'caf\xc3\xa9')")
    feed.run()
    topic.consumer.seek(topic.part, topic.start)
    [raw] = [m.value for m in topic.consumer]
    decoded = json.loads(raw)
    assert raw == json.dumps(decoded)  # separators ", " and ": ", ASCII only
    assert 'caf\\\\u00e9' in raw  # escaped twice: once per JSON level
