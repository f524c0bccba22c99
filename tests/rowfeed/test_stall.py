"""A database connection that stalls without closing ends the read cycle
within MYSQL_READ_TIMEOUT, with its line; the feed goes on once the
connection flows again, and loses nothing."""
import json

import pytest

from feedlab import OwnSchema, OwnTopic, master_position, read_topic, start_logged
from harness import wait_until
from netcut import StallingRelay


# (name, how the stall comes): while a large statement is read, and while
# a new cycle's connection is opened
STALLS = [
    ("in the middle of the stream", lambda relay, out: relay.stall_after(1 << 20)),
    ("at a cycle's connection", lambda relay, out: (
        wait_until(lambda: "save_log_pos" in open(out).read(), timeout=60), relay.stall())),
]


@pytest.mark.parametrize("name, stall", STALLS, ids=[s[0] for s in STALLS])
def test_a_stalled_database_connection_ends_the_cycle_within_the_deadline(tmp_path, name, stall):
    schema = OwnSchema("qz_i25_stall")
    topic = OwnTopic("qz_i25_stall")
    relay = StallingRelay(3306)
    out, err = str(tmp_path / "out"), str(tmp_path / "err")
    proc = None
    try:
        schema.sql("CREATE TABLE s_rows (id INT PRIMARY KEY, v VARCHAR(100))")
        feed = schema.feed(tmp_path, MYSQLHOST="127.0.0.1:%d" % relay.port, MYSQL_READ_TIMEOUT=1,
                           MAX_QMSG_COUNT=100000, KAFKA_BATCH=200, KAFKA_STAT_INTERVAL=1)
        feed.resume_from(master_position())
        # a statement of some megabytes, read in many packets
        schema.sql("INSERT INTO s_rows SELECT seq, REPEAT('v', 100) FROM seq_1_to_30000")
        proc = start_logged(feed, out, err, topic=topic.name)
        stall(relay, out)
        wait_until(lambda: "MS160 the database sent nothing for 1.0 seconds" in open(out).read(),
                   timeout=60)
        assert proc.poll() is None, open(out).read()[-3000:]
        relay.resume()
        schema.sql("INSERT INTO s_rows VALUES (30001, 'after')")
        wait_until(lambda: len(set(json.loads(m["hbase_json"])["id"]
                                   for _, m in read_topic(topic.name))) == 30001, timeout=120)
        open(feed.stop_file(), "w").close()
        wait_until(lambda: proc.poll() is not None, timeout=60)
        assert open(out).read().splitlines()[-1].endswith("Bye Rowfeed!")
    finally:
        if proc is not None and proc.poll() is None:
            proc.kill()
        relay.resume()
        relay.close()
        topic.close()
        schema.drop()
