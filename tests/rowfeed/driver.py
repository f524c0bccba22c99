"""Runs rowfeed's main in this process, with single functions replaced where a
test must force a fault or watch a call; the rest is real. Settings come from
the environment as usual; the replacements from QZ_TEST_DRIVER (JSON):

  spy_batches:      file to which the size of every producer call is appended
  stop_after_checks: the stop file appears just before the Nth stop-file test
  fail_sends_after:  producer calls after the Nth raise a Kafka error
  error_sends:       producer calls (1-based) answered by an error response
                     instead of being sent
  fail_fetch:        [n, args...]: the stream's Nth fetch raises the database
                     client's InternalError(*args)
"""
import json
import os
import sys

import kafka.errors
import pymysql.err
import pymysqlreplication
from kafka import SimpleProducer
from qz import qztool

plan = json.loads(os.environ.get("QZ_TEST_DRIVER", "{}"))
counts = {"checks": 0, "sends": 0, "fetches": 0}

if "stop_after_checks" in plan:
    real_load = qztool.load_tmp_json

    def load_tmp_json(dir, key, suffix=None):
        if suffix is None:
            return real_load(dir, key)
        counts["checks"] += 1
        if counts["checks"] == plan["stop_after_checks"]:
            open(os.path.join(qztool.get_base_path(), dir, key + suffix), "w").close()
        return real_load(dir, key, suffix)
    qztool.load_tmp_json = load_tmp_json

real_send = SimpleProducer.send_messages


def send_messages(self, topic, *msgs):
    counts["sends"] += 1
    if "fail_sends_after" in plan and counts["sends"] > plan["fail_sends_after"]:
        raise kafka.errors.KafkaUnavailableError("forced by the test")
    if counts["sends"] in plan.get("error_sends", ()):
        from kafka.structs import ProduceResponsePayload
        return [ProduceResponsePayload(topic, 0, 7, -1)]
    if "spy_batches" in plan:
        with open(plan["spy_batches"], "a") as f:
            f.write("%d\n" % len(msgs))
    return real_send(self, topic, *msgs)


SimpleProducer.send_messages = send_messages

if "fail_fetch" in plan:
    real_fetch = pymysqlreplication.BinLogStreamReader.fetchone

    def fetchone(self):
        counts["fetches"] += 1
        if counts["fetches"] == plan["fail_fetch"][0]:
            raise pymysql.err.InternalError(*plan["fail_fetch"][1:])
        return real_fetch(self)
    pymysqlreplication.BinLogStreamReader.fetchone = fetchone

import rowfeed  # noqa: E402  (after the replacements it must see)

sys.argv = ["rowfeed"] + sys.argv[1:]
rowfeed.main()
