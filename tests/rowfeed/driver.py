"""Runs rowfeed's main in this process, with single functions replaced where a
test must force a fault or watch a call; the rest is real. Settings come from
the environment as usual; the replacements from QZ_TEST_DRIVER (JSON):

  spy_batches:      file to which the size of every producer call is appended
  stop_after_checks: the stop file appears just before the Nth stop-file test
  fail_sends_after:  produce requests after the Nth raise a Kafka error
  error_sends:       produce requests (1-based) answered by an error response
                     (TOPIC_AUTHORIZATION_FAILED, which no resend mends)
                     instead of being sent
  fail_fetch:        [n, args...]: the stream's Nth fetch raises the database
                     client's InternalError(*args)
  no_row_metadata:   table maps read as from a server that writes no optional
                     metadata (binlog_row_metadata NO_LOG): no column names
  fail_saves:        every qztool.save_tmp_json raises IOError(ENOSPC), as on a
                     full disk
"""
import json
import os
import sys

import kafka.errors
import pymysql.err
import pymysqlreplication
from kafka.client_async import KafkaClient
from kafka.future import Future
from kafka.protocol.produce import ProduceRequest
from kafka.record.memory_records import MemoryRecords
from qz import qztool

plan = json.loads(os.environ.get("QZ_TEST_DRIVER", "{}"))
counts = {"checks": 0, "sends": 0, "fetches": 0}

if "stop_after_checks" in plan:
    real_load = qztool.load_tmp_json

    def load_tmp_json(dir, key, suffix=None):
        if suffix != ".stop":
            return real_load(dir, key, *([suffix] if suffix else []))
        counts["checks"] += 1
        if counts["checks"] == plan["stop_after_checks"]:
            open(os.path.join(qztool.get_base_path(), dir, key + suffix), "w").close()
        return real_load(dir, key, suffix)
    qztool.load_tmp_json = load_tmp_json

if plan.get("fail_saves"):
    import errno

    def save_tmp_json(dir, data, key):
        raise IOError(errno.ENOSPC, "No space left on device")
    qztool.save_tmp_json = save_tmp_json

real_send = KafkaClient.send
PRODUCE = tuple(ProduceRequest)


class ErrorAnswer(object):
    """A produce answer as the client decodes one: every partition refused."""

    def __init__(self, request, code):
        self.topics = [(topic, [(partition, code, -1, -1, -1) for partition, _ in parts])
                       for topic, parts in request.topics]


def records_in(request):
    count = 0
    for _, parts in request.topics:
        for _, data in parts:
            batches = MemoryRecords(data)
            while batches.has_next():
                count += sum(1 for _ in batches.next_batch())
    return count


def send(self, node_id, request, **kw):
    if not isinstance(request, PRODUCE):
        return real_send(self, node_id, request, **kw)
    counts["sends"] += 1
    if "fail_sends_after" in plan and counts["sends"] > plan["fail_sends_after"]:
        raise kafka.errors.KafkaConnectionError("forced by the test")
    if counts["sends"] in plan.get("error_sends", ()):
        return Future().success(ErrorAnswer(request, 29))
    if "spy_batches" in plan:
        with open(plan["spy_batches"], "a") as f:
            f.write("%d\n" % records_in(request))
    return real_send(self, node_id, request, **kw)


KafkaClient.send = send

if "fail_fetch" in plan:
    real_fetch = pymysqlreplication.BinLogStreamReader.fetchone

    def fetchone(self):
        counts["fetches"] += 1
        if counts["fetches"] == plan["fail_fetch"][0]:
            raise pymysql.err.InternalError(*plan["fail_fetch"][1:])
        return real_fetch(self)
    pymysqlreplication.BinLogStreamReader.fetchone = fetchone

if plan.get("no_row_metadata"):
    from pymysqlreplication.row_event import TableMapEvent

    def no_metadata(self):
        self.packet.read(self.event_size - self.packet.read_bytes)
        return {}
    TableMapEvent._read_optional_metadata = no_metadata

import rowfeed  # noqa: E402  (after the replacements it must see)

sys.argv = ["rowfeed"] + sys.argv[1:]
rowfeed.main()
