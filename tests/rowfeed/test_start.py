"""What ends the feed before its first cycle: one coded line, status 1 and
the code last on standard error, within a bound, and no position touched."""
import os
import socket
import threading
import time

import pytest

from feedlab import Feed


@pytest.fixture
def silent_broker():
    """Accepts connections and never answers a byte, as a hung broker or a
    firewall that swallows the traffic would."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(16)
    held = []

    def accept():
        while True:
            try:
                held.append(server.accept()[0])
            except socket.error:
                return
    threading.Thread(target=accept).start()
    yield "127.0.0.1:%d" % server.getsockname()[1]
    server.shutdown(socket.SHUT_RDWR)
    server.close()
    for s in held:
        s.close()


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return "127.0.0.1:%d" % port


CASES = [
    # (name, kafka, topic, code, start of the line, status: 78 where no
    # restart can mend it)
    ("no broker listens", free_port, "qz_test", "MS105", "MS105 Kafka at 127.0.0.1:", 1),
    ("a broker that never answers", "silent", "qz_test", "MS105", "MS105 Kafka at 127.0.0.1:", 1),
    ("a topic name with a blank", None, "bad topic", "MS106",
     "MS106 Kafka topic 'bad topic' could not be used: ValueError", 78),
    ("a topic name past Kafka's length", None, "t" * 250, "MS106", "MS106 Kafka topic 'ttt", 78),
]


@pytest.mark.parametrize("name, kafka, topic, code, line, status", CASES,
                         ids=[c[0] for c in CASES])
def test_an_unusable_kafka_ends_the_start_with_its_code(tmp_path, silent_broker, name, kafka,
                                                        topic, code, line, status):
    kafka = silent_broker if kafka == "silent" else kafka() if callable(kafka) else kafka
    feed = Feed(tmp_path, **({"kafka": kafka} if kafka else {}))
    feed.resume_from({"log_file": "mysql-bin.000001", "log_pos": 4})
    before = open(os.path.join(feed.tmp, "rowfeed.json")).read()
    started = time.time()
    run = feed.run(topic=topic, timeout=60)
    assert time.time() - started < 30, run
    assert run.status == status and run.err.rstrip().endswith(code), run
    [only] = run.lines()
    assert only.startswith(line), run
    assert "Traceback" not in run.err, run
    assert open(os.path.join(feed.tmp, "rowfeed.json")).read() == before
