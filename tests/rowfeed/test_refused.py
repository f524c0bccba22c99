"""A row Kafka refuses as too large, in the middle of a statement larger
than a batch, under a supervisor that restarts the feed: the rows of the
statement that Kafka took are never sent again."""
import collections
import json
import os

from feedlab import OwnSchema, read_topic


def make_topic(name, max_bytes):
    from kafka.admin import KafkaAdminClient, NewTopic
    admin = KafkaAdminClient(bootstrap_servers="127.0.0.1:9092")
    try:
        admin.create_topics([NewTopic(name, 1, 1, topic_configs={"max.message.bytes": max_bytes})])
    finally:
        admin.close()


def raise_limit(name):
    from kafka.admin import ConfigResource, ConfigResourceType, KafkaAdminClient
    admin = KafkaAdminClient(bootstrap_servers="127.0.0.1:9092")
    try:
        admin.alter_configs([ConfigResource(ConfigResourceType.TOPIC, name,
                                            configs={"max.message.bytes": "1000000"})])
    finally:
        admin.close()


def test_a_refused_row_repeats_nothing_under_a_restart_loop(tmp_path):
    from feedlab import delete_topic, master_position
    import time
    schema = OwnSchema("qz_i25_refused")
    topic = "qz_i25_refused_%d_%d" % (os.getpid(), int(time.time()))
    make_topic(topic, "2000")
    try:
        schema.sql("CREATE TABLE r_rows (id INT PRIMARY KEY, v TEXT)")
        feed = schema.feed(tmp_path, KAFKA_BATCH=10, KAFKA_SEND_INTERVAL=1000)
        feed.resume_from(master_position())
        big = json.dumps({"v": os.urandom(4000).encode("hex")})
        # one statement: 100 small rows, then one no broker of 2000 bytes takes
        schema.sql("INSERT INTO r_rows VALUES %s, (101, '%s')"
                   % (", ".join("(%d, 'small')" % i for i in range(1, 101)), big))
        runs = [feed.run(topic=topic) for _ in range(3)]
        for run in runs:
            assert run.status == 1 and run.err.rstrip().endswith("MS130"), run
        ids = [json.loads(m["hbase_json"])["id"] for _, m in read_topic(topic)]
        # every row before the refused batch once, however many restarts
        assert sorted(ids) == range(1, len(ids) + 1) and len(ids) >= 100 - 11, runs[-1]
        assert "passing over %d rows of the statement there, which Kafka already took" \
            % len(ids) in runs[-1].out, runs[-1]
        # once the broker takes the row, the rest goes, and nothing twice
        raise_limit(topic)
        run = feed.run(topic=topic)
        ids = [json.loads(m["hbase_json"])["id"] for _, m in read_topic(topic)]
        counts = collections.Counter(ids)
        assert set(ids) == set(range(1, 102)) and max(counts.values()) == 1, run
        assert "log_rows" not in feed.record()
    finally:
        delete_topic(topic)
        schema.drop()
