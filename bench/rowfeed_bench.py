"""200,000 row changes of mixed column types through rowfeed into Kafka,
against the floor of a feed built on the same libraries: pymysqlreplication's
BinLogStreamReader decoding the same binary-log range (touching each event's
rows), plus the same message texts, taken from the topic after rowfeed's run
and so made outside the timing, sent the way rowfeed sends them (its own gzip
record batch, one produce request a batch over kafka-python's client,
answered once every in-sync copy holds it) in the same batches (a batch goes when it holds more than KAFKA_BATCH
messages or reaches KAFKA_MAX_MESSAGE_SIZE characters). The floor's time is
the sum of the two. rowfeed is timed from its start until the topic holds
every message. Prints rows per second of each, the ratio to decoding alone,
rowfeed's peak resident memory and, last, "ratio <rowfeed/floor>" (targets:
ratio at least 0.85, peak below 150 MB).

With --phases it also runs rowfeed's main once more in a Python process of
its own, with the library calls it makes timed, and prints where the time of
one pass over the same range goes (for work on the C++ side)."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import pymysql
from kafka import KafkaConsumer, TopicPartition
from kafka.client_async import KafkaClient
from kafka.protocol.produce import ProduceRequest
from pymysqlreplication import BinLogStreamReader
from pymysqlreplication.row_event import DeleteRowsEvent, UpdateRowsEvent, WriteRowsEvent

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOPIC = "qz_bench"
# The stack's current Kafka line; QZ_BENCH_KAFKA=127.0.0.1:9192 measures the
# previous one beside it.
KAFKA = os.environ.get("QZ_BENCH_KAFKA", "127.0.0.1:9092")
CHANGES = 200000
TRIALS = 2
DB = dict(host="127.0.0.1", port=3306, user="qzadmin", passwd="qzadmin", db="qz",
          autocommit=True, charset="utf8mb4")
# What an operator would run: batches of up to a thousand messages, the
# default size cap, a batch at least every second, statistics every minute.
# The replica id is the bench's own, so no running feed is pushed off.
SETTINGS = dict(KAFKA_BATCH="1000", KAFKA_MAX_MESSAGE_SIZE="900000", KAFKA_SEND_INTERVAL="1",
                KAFKA_STAT_INTERVAL="60", MYSQL_REPL_SERVER_ID="1901")
REPLICA = dict(host="127.0.0.1", port=3306, user="qzrepl", passwd="qzrepl")

TABLES = [
    "CREATE TABLE bench_orders (id INT PRIMARY KEY, customer INT, status VARCHAR(20), "
    "amount DECIMAL(12,2), created DATETIME, day DATE, note TEXT)",
    "CREATE TABLE bench_items (id BIGINT PRIMARY KEY, order_id INT, sku VARCHAR(40), "
    "qty SMALLINT, price DECIMAL(10,3), updated DATETIME(6))",
    "CREATE TABLE bench_events (id INT PRIMARY KEY, kind TINYINT, payload TEXT, "
    "at DATETIME, ratio DOUBLE, label VARCHAR(64))",
]


def connect():
    return pymysql.connect(**DB)


def position(cur):
    cur.execute("SHOW MASTER STATUS")
    log_file, log_pos = cur.fetchone()[:2]
    return {"log_file": log_file, "log_pos": log_pos}


def row(table, i):
    if table == "bench_orders":
        return "(%d, %d, '%s', %d.%02d, '2024-%02d-%02d %02d:%02d:00', '2024-%02d-%02d', '%s')" % (
            i, i % 977, ("new", "paid", "sent", "caf\xc3\xa9")[i % 4], i * 7 % 100000, i % 100,
            i % 12 + 1, i % 28 + 1, i % 24, i % 60, i % 12 + 1, i % 28 + 1,
            "note %d " % i + "lorem ipsum " * (i % 8))
    if table == "bench_items":
        return "(%d, %d, 'SKU-%08d', %d, %d.%03d, '2024-05-%02d 10:00:00.%06d')" % (
            i, i // 3, i * 31 % 10 ** 8, i % 50, i % 1000, i % 1000, i % 28 + 1, i % 10 ** 6)
    return "(%d, %d, '%s', '2023-%02d-%02d 08:30:00', %f, 'label-%d')" % (
        i, i % 100, '{"k": %d, "v": "%s"}' % (i, "x" * (i % 40)), i % 12 + 1, i % 28 + 1,
        i / 7.0, i)


def fill(cur):
    """Returns how many rows changed: inserts in statements of 1,000 rows,
    then range updates and deletes, until exactly CHANGES."""
    changed = 0
    per_table = 60000
    for table in ("bench_orders", "bench_items", "bench_events"):
        for start in range(1, per_table + 1, 1000):
            cur.execute("INSERT INTO %s VALUES %s" % (
                table, ", ".join(row(table, i) for i in range(start, start + 1000))))
            changed += cur.rowcount
    for start in range(1, 10001, 1000):  # 10,000 updates
        cur.execute("UPDATE bench_orders SET status = 'done', amount = amount + 1.5, "
                    "note = CONCAT(note, ' upd') WHERE id BETWEEN %d AND %d"
                    % (start, start + 999))
        changed += cur.rowcount
    for start in range(1, 10001, 1000):  # 10,000 deletes
        cur.execute("DELETE FROM bench_items WHERE id BETWEEN %d AND %d" % (start, start + 999))
        changed += cur.rowcount
    assert changed == CHANGES, changed
    return changed


def end_offset(consumer, part):
    return consumer.end_offsets([part])[part]


def peak_rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except IOError:  # it has just ended; the caller looks at that next
        pass
    return 0


def time_rowfeed(start, consumer, part, workdir):
    base = tempfile.mkdtemp(prefix="base", dir=workdir)
    os.makedirs(os.path.join(base, "tmp"))
    with open(os.path.join(base, "tmp", "rowfeed.json"), "w") as f:
        json.dump(start, f)
    env = dict(os.environ, QZ_BASE_PATH=base, **SETTINGS)
    first = end_offset(consumer, part)
    target = first + CHANGES
    log = open(os.path.join(base, "rowfeed.log"), "w")
    started = time.time()
    proc = subprocess.Popen([os.path.join(ROOT, "build", "tree", "rowfeed"), "--host",
                             KAFKA, "--topic", TOPIC], stdout=log,
                            stderr=subprocess.STDOUT, env=env)
    peak = 0
    try:
        while end_offset(consumer, part) < target:
            peak = max(peak, peak_rss_kb(proc.pid))
            if proc.poll() is not None:
                log.close()
                sys.exit("rowfeed ended (status %d) before every message was in Kafka:\n%s"
                         % (proc.returncode, open(log.name).read()[-3000:]))
            if time.time() - started > 600:
                sys.exit("rowfeed: not every message in Kafka after 600 s")
            time.sleep(0.05)
        elapsed = time.time() - started
        peak = max(peak, peak_rss_kb(proc.pid))
        open(os.path.join(base, "tmp", "rowfeed.stop"), "w").close()
        deadline = time.time() + 30
        while proc.poll() is None and time.time() < deadline:
            time.sleep(0.1)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        log.close()
    return elapsed, peak, first


def time_raw(start):
    started = time.time()
    stream = BinLogStreamReader(connection_settings=REPLICA,
                                server_id=int(SETTINGS["MYSQL_REPL_SERVER_ID"]),
                                only_events=[DeleteRowsEvent, WriteRowsEvent, UpdateRowsEvent],
                                only_schemas=["qz"], resume_stream=True,
                                # rows that other work writes into the schema
                                # meanwhile are not the bench's
                                only_tables=["bench_orders", "bench_items", "bench_events"],
                                log_file=start["log_file"], log_pos=start["log_pos"],
                                blocking=False)
    rows = 0
    for event in stream:
        rows += len(event.rows)
    stream.close()
    elapsed = time.time() - started
    if rows != CHANGES:
        sys.exit("the raw reader saw %d rows, not %d" % (rows, CHANGES))
    return elapsed


def feed_texts(part, first):
    """The CHANGES message texts rowfeed published from offset first on."""
    consumer = KafkaConsumer(bootstrap_servers=KAFKA, enable_auto_commit=False,
                             consumer_timeout_ms=30000)
    consumer.assign([part])
    consumer.seek(part, first)
    texts = []
    for record in consumer:
        texts.append(record.value)
        if len(texts) == CHANGES:
            break
    consumer.close()
    if len(texts) != CHANGES:
        sys.exit("read %d of rowfeed's %d messages back" % (len(texts), CHANGES))
    return texts


def batches(texts):
    """rowfeed's batching by count and size (its time rule does not come into
    play at these rates: a batch fills well within KAFKA_SEND_INTERVAL)."""
    most, size_cap = int(SETTINGS["KAFKA_BATCH"]), int(SETTINGS["KAFKA_MAX_MESSAGE_SIZE"])
    out, batch, chars = [], [], 0
    for t in texts:
        batch.append(t)
        chars += len(t)
        if chars >= size_cap or len(batch) > most:
            out.append(batch)
            batch, chars = [], 0
    if batch:
        out.append(batch)
    return out


def time_send(batched):
    import recordbatch  # the feed's own builder, from the test tree
    client = KafkaClient(bootstrap_servers=KAFKA, client_id="rowfeed-bench")
    client.poll(future=client.add_topic(TOPIC))
    leader = client.cluster.leader_for_partition(TopicPartition(TOPIC, 0))
    client.await_ready(leader)
    version = client.api_version(ProduceRequest, max_version=8)
    started = time.time()
    for batch in batched:
        records = recordbatch.gzip_record_batch(batch, int(time.time() * 1000))
        # As rowfeed sends it: every in-sync copy acknowledges a batch.
        request = ProduceRequest[version](transactional_id=None, required_acks=-1,
                                          timeout=10000, topics=[(TOPIC, [(0, records)])])
        future = client.send(leader, request)
        client.poll(future=future)
        if future.failed():
            sys.exit("the send floor's batch failed: %r" % (future.exception,))
        for _, parts in future.value.topics:
            for part in parts:
                if part[1]:
                    sys.exit("Kafka refused a batch of the send floor: %r" % (part,))
    elapsed = time.time() - started
    client.close()
    return elapsed


PHASES = [
    # (name, what it covers)
    ("read", "BinLogStreamReader.fetchone: packets, table maps, event headers"),
    ("rows", "RowsEvent._fetch_rows: decoding the column values (lazy, on .rows)"),
    ("simplejson", "simplejson's C encoder on each row's values (hbase_json)"),
    ("json", "json's C encoder on each message"),
    ("hbase_key", "qztool.hbase_key (md5 per row)"),
    ("timegm", "calendar.timegm: only for a datetime the row decoder did not build"),
    ("send", "KafkaClient.send and poll: the produce request and the wait for its answer"),
]


def phases_main(end):
    """Runs rowfeed's main in this process with its library calls timed;
    leaves at the save of the end position, the close of the one cycle."""
    import calendar
    import collections
    import kafka.client_async
    import json.encoder
    import simplejson
    import simplejson.encoder
    from pymysqlreplication import row_event
    from qz import qztool

    spent = collections.defaultdict(float)
    calls = collections.Counter()

    def timed(name, fn):
        def wrapper(*args, **kw):
            t = time.time()
            try:
                return fn(*args, **kw)
            finally:
                spent[name] += time.time() - t
                calls[name] += 1
        return wrapper

    BinLogStreamReader.fetchone = timed("read", BinLogStreamReader.fetchone)
    row_event.RowsEvent._fetch_rows = timed("rows", row_event.RowsEvent._fetch_rows)
    # rowfeed builds each codec's C encoder once and calls it per object.
    def timed_encoders(name, module):
        make = module.c_make_encoder
        module.c_make_encoder = lambda *args: timed(name, make(*args))
    timed_encoders("simplejson", simplejson.encoder)
    timed_encoders("json", json.encoder)
    qztool.hbase_key = timed("hbase_key", qztool.hbase_key)
    calendar.timegm = timed("timegm", calendar.timegm)
    kafka.client_async.KafkaClient.send = timed("send", kafka.client_async.KafkaClient.send)
    kafka.client_async.KafkaClient.poll = timed("send", kafka.client_async.KafkaClient.poll)

    started = time.time()
    real_save = qztool.save_tmp_json

    def save_tmp_json(dir, data, key):
        real_save(dir, data, key)
        if data["log_file"] == end["log_file"] and data["log_pos"] >= end["log_pos"]:
            total = time.time() - started
            out = ["phases of one rowfeed pass over %d rows, %.2f s in all:" % (CHANGES, total)]
            for name, meaning in PHASES:
                out.append("  %-11s %6.2f s %5.1f%% %8d calls  %s" % (
                    name, spent[name], 100 * spent[name] / total, calls[name], meaning))
            top = sum(spent[n] for n, _ in PHASES if not n.startswith(" "))
            out.append("  %-11s %6.2f s %5.1f%%                 %s" % (
                "rest", total - top, 100 * (total - top) / total,
                "rowfeed's own loop (C++): lossless values, message dicts, queueing, logging"))
            sys.stdout.flush()
            sys.stderr.write("\n".join(out) + "\n")
            sys.stderr.flush()
            os._exit(0)
    qztool.save_tmp_json = save_tmp_json

    # this script's own directory first on the path would make it "rowfeed"
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != here]
    import rowfeed
    assert rowfeed.__file__.endswith(".so"), rowfeed.__file__
    sys.argv = ["rowfeed", "--host", KAFKA, "--topic", TOPIC]
    rowfeed.main()


def run_phases(start, end, workdir):
    base = tempfile.mkdtemp(prefix="phases", dir=workdir)
    os.makedirs(os.path.join(base, "tmp"))
    with open(os.path.join(base, "tmp", "rowfeed.json"), "w") as f:
        json.dump(start, f)
    env = dict(os.environ, QZ_BASE_PATH=base, **SETTINGS)
    proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--phases-driver",
                             json.dumps(end)], stdout=open(os.devnull, "w"),
                            stderr=subprocess.PIPE, env=env)
    err = proc.communicate()[1]
    if proc.returncode != 0:
        sys.exit("the phase run failed:\n" + err[-3000:])
    sys.stdout.write(err)


def main():
    if sys.argv[1:2] == ["--phases-driver"]:
        return phases_main(json.loads(sys.argv[2]))
    conn = connect()
    cur = conn.cursor()
    for t in ("bench_orders", "bench_items", "bench_events"):
        cur.execute("DROP TABLE IF EXISTS " + t)
    for ddl in TABLES:
        cur.execute(ddl)
    start = position(cur)
    t0 = time.time()
    fill(cur)
    end = position(cur)
    print("filled the binary log with %d row changes over 3 tables in %.1f s (%s %d to %s)" % (
        CHANGES, time.time() - t0, start["log_file"], start["log_pos"], end["log_pos"]))
    conn.close()
    print("rowfeed settings: " + " ".join("%s=%s" % kv for kv in sorted(SETTINGS.items())) +
          " (the rest default); topic " + TOPIC)

    consumer = KafkaConsumer(bootstrap_servers=KAFKA)
    part = TopicPartition(TOPIC, 0)
    workdir = tempfile.mkdtemp(prefix="rowfeed-bench")
    feed_times, raw_times, send_times, peaks = [], [], [], []
    batched = None
    try:
        for trial in range(TRIALS):
            raw = time_raw(start)
            feed, peak, first = time_rowfeed(start, consumer, part, workdir)
            if batched is None:
                batched = batches(feed_texts(part, first))
            send = time_send(batched)
            raw_times.append(raw)
            feed_times.append(feed)
            send_times.append(send)
            peaks.append(peak)
            print("trial %d: decoding %.2f s (%.0f rows/s), sending %.2f s, rowfeed %.2f s "
                  "(%.0f rows/s), peak RSS %.1f MB" % (
                      trial + 1, raw, CHANGES / raw, send, feed, CHANGES / feed,
                      peak / 1024.0))
        if "--phases" in sys.argv[1:]:
            run_phases(start, end, workdir)
    finally:
        consumer.close()
        shutil.rmtree(workdir, ignore_errors=True)
        conn = connect()
        for t in ("bench_orders", "bench_items", "bench_events"):
            conn.cursor().execute("DROP TABLE IF EXISTS " + t)
        conn.close()
    raw, feed, send = min(raw_times), min(feed_times), min(send_times)
    print("decoding alone (BinLogStreamReader): %.0f rows/s (best of %d)" % (
        CHANGES / raw, TRIALS))
    print("sending alone (record batch, gzip, %d batches): %.0f rows/s (best of %d)" % (
        len(batched), CHANGES / send, TRIALS))
    print("floor (decoding + sending):          %.0f rows/s" % (CHANGES / (raw + send)))
    print("rowfeed into Kafka:                  %.0f rows/s (best of %d, from start until "
          "all %d messages are in Kafka)" % (CHANGES / feed, TRIALS, CHANGES))
    print("rowfeed peak RSS: %.1f MB (target below 150)" % (max(peaks) / 1024.0))
    print("ratio to decoding alone %.2f" % (raw / feed))
    print("ratio %.2f" % ((raw + send) / feed))


if __name__ == "__main__":
    main()
