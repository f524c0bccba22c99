"""Bounded load and fault runs of the feed as a real program: 20,000 row
changes at a steady pace (and now and then one long statement) while the
feed is killed, Kafka goes away, or MariaDB restarts. Every change must
reach Kafka at least once.

Each change is known by (table, event, id, seq): every insert and update
gives its rows a seq never used before, and a delete's row image carries the
seq of the row's last change, so no two changes share a key. The topic and
the tables are this run's own. Seeds come from QZ_TEST_SEED (default fixed)
so a failing schedule can be replayed.
"""
import json
import os
import Queue
import random
import re
import signal
import threading
import time

import pymysql
import pytest

from feedlab import (DB, Feed, Run, delete_topic, master_position, read_topic, sql, stack,
                     stack_all_up, start_logged, topic_end)

CHANGES = 20000
LOAD_SECONDS = 30
SEED = int(os.environ.get("QZ_TEST_SEED", "20240611"))
SETTINGS = dict(KAFKA_STAT_INTERVAL=1, MAX_QMSG_COUNT=10 ** 6, KAFKA_BATCH=500,
                KAFKA_SEND_INTERVAL=1)


# ---- the load ----

class Unit(object):
    """One transaction: its statements, the changes it makes, and a query
    that tells whether it was committed (after a lost connection)."""

    def __init__(self, statements, changes, probe, committed_when):
        self.statements, self.changes = statements, changes
        self.probe, self.committed_when = probe, committed_when


class Writer(threading.Thread):
    """Row changes over three tables of mixed column types at a steady pace;
    some units are transactions of several statements. A lost connection is
    retried until the database is back, and the unit is run again only if
    it was not committed, so `expected` is exactly what the log holds."""

    def __init__(self, tables, total=CHANGES, seconds=LOAD_SECONDS, seed=SEED):
        threading.Thread.__init__(self)
        self.daemon = True
        self.tables, self.total, self.seconds = tables, total, seconds
        self.rng = random.Random(seed)
        self.live = dict((t, {}) for t in tables)  # table -> {id: seq of its last change}
        self.next_id, self.next_seq = 1, 1
        self.expected = set()
        self.done = 0  # changes of the steady load; bursts come on top
        self.bursts = Queue.Queue()
        self.steady_done = threading.Event()
        self.errors = 0
        self.failure = None
        self.conn = None
        self.stop = threading.Event()

    def run(self):
        """The steady load, then bursts only, until told to stop."""
        try:
            started = time.time()
            while not self.stop.is_set():
                try:
                    committed = self.bursts.get_nowait()
                except Queue.Empty:
                    committed = None
                if committed:
                    self.commit(self.burst())
                    committed.set()
                elif self.done >= self.total:
                    self.steady_done.set()
                    time.sleep(0.05)
                else:
                    self.done += self.commit(self.unit())
                    lag = started + self.seconds * float(self.done) / self.total - time.time()
                    if lag > 0:
                        time.sleep(lag)
        except Exception as e:  # noqa: BLE001  (reported by the test)
            self.failure = e
        finally:
            self.steady_done.set()
            if self.conn is not None:
                self.drop_connection()

    def value(self, table, row_id):
        rng = self.rng
        if table.endswith("_a"):
            return "'n%d caf\xc3\xa9', %d.%02d, '2024-%02d-%02d %02d:%02d:%02d'" % (
                row_id, rng.randint(-99999, 99999), rng.randint(0, 99), rng.randint(1, 12),
                rng.randint(1, 28), rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59))
        if table.endswith("_b"):
            return "'%s', '20%02d-%02d-%02d'" % ("t" * rng.randint(0, 300), rng.randint(0, 30),
                                                 rng.randint(1, 12), rng.randint(1, 28))
        return "%d" % rng.randint(-2 ** 31, 2 ** 31 - 1)

    def insert(self, table, count=None):
        rows, changes = [], []
        for _ in range(count or self.rng.randint(1, 12)):
            i, s = self.next_id, self.next_seq
            self.next_id += 1
            self.next_seq += 1
            rows.append("(%d, %d, %s)" % (i, s, self.value(table, i)))
            changes.append((table, "write", i, s))
            self.live[table][i] = s
        first = changes[0]
        return ("INSERT INTO %s VALUES %s" % (table, ", ".join(rows)), changes,
                "SELECT COUNT(*) FROM %s WHERE id = %d" % (table, first[2]), 1)

    def update(self, table):
        live = self.live[table]
        ids = self.rng.sample(sorted(live), min(len(live), self.rng.randint(1, 8)))
        cases, changes = [], []
        for i in ids:
            cases.append("WHEN %d THEN %d" % (i, self.next_seq))
            changes.append((table, "update", i, self.next_seq))
            live[i] = self.next_seq
            self.next_seq += 1
        column = {"_a": "name = CONCAT(name, 'u')", "_b": "day = day + INTERVAL 1 DAY",
                  "_c": "n = n DIV 2"}[table[-2:]]
        where = ", ".join(str(i) for i in ids)
        return ("UPDATE %s SET seq = CASE id %s END, %s WHERE id IN (%s)"
                % (table, " ".join(cases), column, where), changes,
                "SELECT COUNT(*) FROM %s WHERE id = %d AND seq = %d" % (table, ids[0], live[ids[0]]),
                1)

    def delete(self, table):
        live = self.live[table]
        ids = self.rng.sample(sorted(live), min(len(live), self.rng.randint(1, 5)))
        changes = [(table, "delete", i, live.pop(i)) for i in ids]
        return ("DELETE FROM %s WHERE id IN (%s)" % (table, ", ".join(str(i) for i in ids)),
                changes, "SELECT COUNT(*) FROM %s WHERE id = %d" % (table, ids[0]), 0)

    def burst(self):
        """One statement of 2,000 rows: many rows events under one table map,
        sent in several batches, that a restart must re-read from its start."""
        table = self.tables[1]
        statement, changes, probe, when = self.insert(table, 2000)
        return Unit([statement], changes, probe, when)

    def request_burst(self):
        """The event that is set once the burst is committed."""
        committed = threading.Event()
        self.bursts.put(committed)
        return committed

    def unit(self):
        statements, changes, probe = [], [], None
        # one statement per table, so that no later statement of the unit
        # changes what the probe of the first one looks at
        count = 1 if self.rng.random() < 0.8 else self.rng.randint(2, 3)
        for table in self.rng.sample(self.tables, count):
            kind = self.rng.random()
            if len(self.live[table]) < 10 or kind < 0.45:
                op = self.insert(table)
            elif kind < 0.8:
                op = self.update(table)
            else:
                op = self.delete(table)
            statements.append(op[0])
            changes.extend(op[1])
            probe = probe or op[2:]  # the unit is atomic: its first statement tells
        return Unit(statements, changes, probe[0], probe[1])

    def connect(self):
        self.conn = pymysql.connect(db="qz", **DB)

    def commit(self, unit):
        """Runs the unit until it is committed; returns how many changes it made."""
        self.run_until_committed(unit)
        self.expected.update(unit.changes)
        return len(unit.changes)

    def run_until_committed(self, unit):
        deadline = time.time() + 120
        while True:
            try:
                if self.conn is None:
                    self.connect()
                cur = self.conn.cursor()
                if len(unit.statements) > 1:
                    self.conn.begin()
                for s in unit.statements:
                    cur.execute(s)
                if len(unit.statements) > 1:
                    self.conn.commit()
                return
            except (pymysql.err.OperationalError, pymysql.err.InterfaceError):
                self.errors += 1
                self.drop_connection()
                if self.committed_after_all(unit, deadline):
                    return

    def drop_connection(self):
        try:
            self.conn.close()
        except Exception:  # noqa: BLE001  (the connection is gone anyway)
            pass
        self.conn = None

    def committed_after_all(self, unit, deadline):
        """Waits for the database, then asks whether the unit went in."""
        while True:
            if time.time() > deadline:
                raise AssertionError("the database stayed away for 120 s")
            try:
                self.connect()
                cur = self.conn.cursor()
                cur.execute(unit.probe)
                return cur.fetchone()[0] == unit.committed_when
            except (pymysql.err.OperationalError, pymysql.err.InterfaceError):
                self.drop_connection()
                time.sleep(0.3)


def change_of(message):
    row = json.loads(message["hbase_json"])
    assert "id" in row and "seq" in row, "not a row of the load: %r" % (message,)
    return (message["hbase_catalog"], message["sql_event"], row["id"], row["seq"])


# ---- a run: tables, topic, the feed's processes ----

class Lab(object):
    def __init__(self, tmp_path, name):
        self.tag = "%s%04x%04x" % (name, os.getpid() & 0xffff, random.SystemRandom().getrandbits(16))
        self.topic = "qz_rel_" + self.tag
        self.tables = ["rl_%s_%s" % (self.tag, s) for s in "abc"]
        self.dir = tmp_path
        self.runs = []  # (Popen, out path, err path)
        self.proc = self.writer = None
        stack("topic", self.topic)
        sql("CREATE TABLE %s (id INT PRIMARY KEY, seq BIGINT NOT NULL, name VARCHAR(64), "
            "amount DECIMAL(12,2), at DATETIME)" % self.tables[0],
            "CREATE TABLE %s (id INT PRIMARY KEY, seq BIGINT NOT NULL, note TEXT, day DATE)"
            % self.tables[1],
            "CREATE TABLE %s (id INT PRIMARY KEY, seq BIGINT NOT NULL, n INT)" % self.tables[2])
        server_id = 3000 + random.SystemRandom().randint(0, 60000)
        self.feed = Feed(tmp_path / "base", MYSQL_REPL_SERVER_ID=server_id, **SETTINGS)
        self.feed.resume_from(master_position())
        self.started = time.time()

    def load(self):
        self.writer = Writer(self.tables)
        self.writer.start()
        return self.writer

    def start(self):
        n = len(self.runs)
        out, err = str(self.dir / ("feed%d.out" % n)), str(self.dir / ("feed%d.err" % n))
        self.proc = start_logged(self.feed, out, err, topic=self.topic)
        self.runs.append((self.proc, out, err))
        return self.proc

    def output(self, i=-1):
        proc, out, err = self.runs[i]
        with open(out) as o, open(err) as e:
            return o.read(), e.read()

    def wait_all_in(self, writer, restart, timeout=120):
        """The topic's messages once they cover every change of the writer.
        With `restart`, a feed that ended on an error is started again, as
        its operator would."""
        deadline = time.time() + timeout
        while True:
            if self.proc.poll() is not None:
                assert restart, "the feed ended: %r" % (self.output(),)
                self.start()
            if topic_end(self.topic) >= len(writer.expected):
                messages = read_topic(self.topic)
                if writer.expected <= set(change_of(m) for _, m in messages):
                    return messages
            if time.time() > deadline:
                messages = read_topic(self.topic)
                missing = writer.expected - set(change_of(m) for _, m in messages)
                pytest.fail("%d of %d changes never reached Kafka, e.g. %r\n%s"
                            % (len(missing), len(writer.expected), sorted(missing)[:5],
                               self.output()[0][-3000:]))
            time.sleep(1)

    def stop(self, timeout=60):
        open(self.feed.stop_file(), "w").close()
        deadline = time.time() + timeout
        while self.proc.poll() is None and time.time() < deadline:
            time.sleep(0.1)
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
            pytest.fail("the feed did not stop within %s s" % timeout)
        return self.proc.returncode

    def close(self):
        if self.writer is not None:
            self.writer.stop.set()
            self.writer.join(30)
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        try:
            sql(*["DROP TABLE IF EXISTS " + t for t in self.tables])
        except pymysql.err.MySQLError:
            pass
        delete_topic(self.topic)


@pytest.fixture
def lab(tmp_path, request):
    stack_all_up()
    one = Lab(tmp_path, request.node.name.split("_")[1][:5])
    try:
        yield one
    finally:
        try:
            # whatever the test did to the servers, the next one finds them all up
            stack_all_up()
        finally:
            one.close()


def finish(lab, restart):
    writer = lab.writer
    assert writer.steady_done.wait(LOAD_SECONDS * 4), "the writer did not finish"
    writer.stop.set()
    writer.join(30)
    assert writer.failure is None, writer.failure
    assert writer.done >= CHANGES and len(writer.expected) >= writer.done
    return lab.wait_all_in(writer, restart)


def check_union(writer, messages):
    seen = [change_of(m) for _, m in messages]
    assert writer.expected <= set(seen)
    # every message is a change that was made: none invented, none with wrong values
    assert set(seen) <= writer.expected, sorted(set(seen) - writer.expected)[:5]


def split_at(messages, offsets):
    """Messages grouped by the run that sent them: offsets[i] is where run i+1 began."""
    segments = [[] for _ in range(len(offsets) + 1)]
    for offset, m in messages:
        segments[sum(1 for o in offsets if offset >= o)].append(change_of(m))
    return segments


def duplicates_by_run(segments):
    """For each run after the first: how many of its messages earlier runs sent."""
    seen, out = set(), []
    for seg in segments:
        out.append(sum(1 for c in seg if c in seen))
        seen.update(seg)
    return out[1:]


def lines_of(text):
    return Run(None, text, "").lines()


def check_error_end(lab, i):
    """A run that ended on its own, before the stop file: status 1, and
    either it never got going (the broker did not answer at start-up) or it
    said why it gave up and how many read rows it did not send."""
    proc = lab.runs[i][0]
    out, err = lab.output(i)
    why = (proc.returncode, out[-2000:], err[-2000:])
    assert proc.returncode == 1, why
    lines = lines_of(out)
    if "Bye Rowfeed!" not in lines:
        assert len(lines) == 1 and lines[0].startswith("MS105 Kafka at 127.0.0.1:9092 could "
                                                       "not be used: NoBrokersAvailable"), why
        assert err.rstrip().endswith("MS105"), why
        return "start-up"
    after = lines[lines.index("Bye Rowfeed!") + 1:]
    assert all(re.match(r"^MS135 [1-9]\d* messages were not sent; a restart re-reads them$", l)
               for l in after) and len(after) <= 1, why
    # a failure inside a read cycle leaves its code as the last word; one
    # in the send that closes a cycle ends the loop at once ("exiting...")
    coded = re.search(r"\bMS1[12]\d\s*$", err)
    exiting = any(re.match(r"^\d+ / \d+ .* exiting\.\.\.$", l) for l in lines)
    assert coded or (exiting and err.strip() == ""), why
    return "coded" if coded else "exiting"


# ---- the runs ----

def test_sigkill_at_random_moments_loses_nothing(lab):
    rng = random.Random(SEED)
    kills = sorted(rng.uniform(1, LOAD_SECONDS - 1) for _ in range(5))
    writer = lab.load()
    lab.start()
    boundaries, positions, delays = [], [], []
    for at in kills:
        time.sleep(max(0, lab.started + at - time.time()))
        # most moments find the feed idle; a burst just before the kill makes
        # it likelier to land while a long statement is half sent
        assert writer.request_burst().wait(30), "the burst was not committed"
        delays.append(rng.uniform(0, 0.3))
        time.sleep(delays[-1])
        assert lab.proc.poll() is None, lab.output()
        os.kill(lab.proc.pid, signal.SIGKILL)
        lab.proc.wait()
        time.sleep(0.5)  # a batch already on the wire is the killed run's
        boundaries.append(topic_end(lab.topic))
        positions.append(lab.feed.record())
        time.sleep(rng.uniform(0, 1))
        lab.start()
    messages = finish(lab, restart=False)
    status = lab.stop()
    out, err = lab.output()
    assert status == 0 and lines_of(out)[-1] == "Bye Rowfeed!", (out[-2000:], err[-2000:])
    check_union(writer, messages)
    segments = split_at(messages, boundaries)
    dups = duplicates_by_run(segments)
    for k, seg in enumerate(segments):
        # a run that was not interrupted by an error sends nothing twice itself
        assert len(seg) == len(set(seg)), "run %d repeated its own messages" % k
    print("\nseed %d, %d changes, %d messages, writer errors %d" % (
        SEED, len(writer.expected), len(messages), writer.errors))
    for k, (at, delay, d, pos) in enumerate(zip(kills, delays, dups, positions)):
        print("crash %d at %.1f s, %.2f s after a burst (saved %s %s): %d duplicates" % (
            k + 1, at, delay, pos["log_file"], pos["log_pos"], d))


def run_with_fault(lab, fault, at):
    """Load and feed with `fault` (a function of the writer) started at `at`
    seconds in a thread; a feed that ends on its own is restarted, as its
    operator would. Returns (writer, messages, how each run but the last
    ended)."""
    writer = lab.load()
    lab.start()
    done = threading.Event()
    failure = []

    def act():
        try:
            time.sleep(at)
            fault(writer)
        except Exception as e:  # noqa: BLE001  (reported below)
            failure.append(e)
        finally:
            done.set()
    thread = threading.Thread(target=act)
    thread.daemon = True
    thread.start()
    deadline = time.time() + LOAD_SECONDS * 4
    while not (writer.steady_done.is_set() and done.is_set()) and time.time() < deadline:
        if lab.proc.poll() is not None:
            assert len(lab.runs) <= 20, "the feed keeps ending"
            time.sleep(1)
            lab.start()
        time.sleep(0.2)
    thread.join(1)
    assert not failure, failure
    assert done.is_set(), "the fault did not finish"
    messages = finish(lab, restart=True)
    # the test ends no run but the last: the others ended on their own
    ended = [check_error_end(lab, i) for i in range(len(lab.runs) - 1)]
    return writer, messages, ended


def test_kafka_down_and_up_during_the_load_loses_nothing(lab):
    rng = random.Random(SEED + 1)
    pause = rng.uniform(2, 4)

    def fault(writer):
        # the server goes while the feed is busy with a long statement
        assert writer.request_burst().wait(30), "the burst was not committed"
        stack("down", "kafka")
        time.sleep(pause)
        stack("up", "kafka")
    writer, messages, ended = run_with_fault(lab, fault, rng.uniform(5, 10))
    status = lab.stop()
    out, err = lab.output()
    # a run that only recovered inside itself keeps its error code for the exit
    assert status in (0, 1) and lines_of(out)[-1] == "Bye Rowfeed!", (out[-2000:], err[-2000:])
    if status == 1:
        assert re.search(r"\bMS1\d\d\s*$", err), err[-2000:]
    check_union(writer, messages)
    seen = [change_of(m) for _, m in messages]
    print("\nseed %d: kafka away %.1f s; %d runs, ends before the stop file: %s; %d changes, "
          "%d duplicates" % (SEED + 1, pause, len(lab.runs), ", ".join(ended) or "none",
                             len(writer.expected), len(seen) - len(set(seen))))


def test_mariadb_restart_during_the_load_loses_nothing(lab):
    rng = random.Random(SEED + 2)
    pause = rng.uniform(1, 3)

    def fault(writer):
        # the server goes while the feed is busy with a long statement
        assert writer.request_burst().wait(30), "the burst was not committed"
        stack("down", "mariadb")
        time.sleep(pause)
        stack("up", "mariadb")
    writer, messages, ended = run_with_fault(lab, fault, rng.uniform(5, 10))
    # the feed outlives the database: it never ends on its own
    assert ended == [], [lab.output(i) for i in range(len(ended))]
    status = lab.stop()
    out, err = lab.output()
    lines = lines_of(out)
    sleeping = [l for l in lines if l.endswith("sleeping  3  seconds...")]
    assert any("OperationalError" in l for l in sleeping), out[-3000:]
    assert sum(1 for l in lines if l.startswith("found log_pos")) > len(sleeping)
    # the error code sticks for the exit status, as after any recovered error
    assert status == 1 and err.rstrip().endswith("MS125"), (out[-2000:], err[-2000:])
    assert lines[-1] == "Bye Rowfeed!"
    check_union(writer, messages)
    seen = [change_of(m) for _, m in messages]
    print("\nseed %d: mariadb away %.1f s; writer errors %d; %d changes, %d duplicates" % (
        SEED + 2, pause, writer.errors, len(writer.expected), len(seen) - len(set(seen))))
