"""The mail worker on a 3-node RabbitMQ cluster, its queue a quorum queue
(QZ_MQ_QUEUE_TYPE=quorum), while mail requests keep coming: the node that
holds the queue's leader is killed with SIGKILL twice, the first time with
the worker connected to it. The worker runs under a supervisor that restarts
it as its systemd unit does. Every request must be mailed at least once or
still be queued; none lost."""
import os
import threading
import time
import urllib

import pika
import pytest

from chaoslab import Supervisor, amqp, node_index, rabbit_queues, report, stack, wait_for

KEY = "qz_mail"
REQUESTS = 4000
PER_SECOND = 100
KILLS = 2
TO = {"to": "a@example.com"}


def declare(channel):
    channel.exchange_declare(exchange=KEY, exchange_type="direct", durable=True)
    channel.queue_declare(queue=KEY, durable=True, arguments={"x-queue-type": "quorum"})
    channel.queue_bind(queue=KEY, exchange=KEY, routing_key=KEY)


class Publisher(threading.Thread):
    """Publishes the requests at a steady pace, each confirmed by the broker
    before the next. A request whose confirm never came (its node went) is
    published again through another node: at least once, like any careful
    producer, and counted."""

    def __init__(self, hosts, first):
        threading.Thread.__init__(self)
        self.daemon = True
        self.hosts, self.turn = hosts, first
        self.sent, self.resent, self.reconnects = 0, 0, 0
        self.failure = None
        self.stop = threading.Event()

    def connect(self):
        deadline = time.time() + 120
        while True:
            host = self.hosts[self.turn % len(self.hosts)]
            try:
                conn, ch = amqp(host)
                ch.confirm_delivery()
                return conn, ch
            except pika.exceptions.AMQPError:
                self.turn += 1
                assert time.time() < deadline, "no node took a connection for 120 s"
                time.sleep(0.5)

    def run(self):
        conn = None
        started = time.time()
        try:
            conn, ch = self.connect()
            i = 0
            while i < REQUESTS and not self.stop.is_set():
                body = urllib.urlencode({"subject": "c%d" % i, "report": "request %d" % i})
                try:
                    ch.basic_publish(exchange=KEY, routing_key=KEY, body=body, mandatory=True,
                                     properties=pika.BasicProperties(headers=TO,
                                                                     delivery_mode=2))
                except pika.exceptions.AMQPError:
                    self.resent += 1
                    self.reconnects += 1
                    self.turn += 1
                    try:
                        conn.close()
                    except Exception:  # noqa: BLE001  (already gone)
                        pass
                    conn, ch = self.connect()
                    continue
                i += 1
                self.sent = i
                lag = started + float(i) / PER_SECOND - time.time()
                if lag > 0:
                    conn.sleep(lag)
        except Exception as e:  # noqa: BLE001  (reported by the test)
            self.failure = e
        finally:
            if conn is not None and conn.is_open:
                conn.close()


def queue_row(hosts, alive):
    """The queue as one live node sees it."""
    return rabbit_queues(alive)[KEY]


def test_queue_leader_killed_loses_no_request(rabbit_cluster, mail_sink, tmp_path):
    hosts = rabbit_cluster
    conn, ch = amqp(hosts[0])
    ch.queue_delete(queue=KEY)
    declare(ch)  # its leader is node 1, the node this connection is on
    conn.close()
    leader = node_index(queue_row(hosts, 1)["leader"])
    base = tmp_path / "base"
    base.mkdir()
    env = dict(os.environ, QZ_MQ_QUEUE_TYPE="quorum", QZ_SMTP_PORT=str(mail_sink.port),
               QZ_BASE_PATH=str(base))
    worker = Supervisor("postrunner", hosts, env, str(tmp_path), first=leader - 1)
    publisher = Publisher(hosts, first=leader % len(hosts))
    try:
        worker.start()
        worker.wait_running(2)
        publisher.start()
        kills = []
        for k in range(KILLS):
            wait_for(lambda: mail_sink.count() >= (k + 1) * 600, 120, "mails before kill %d" % (k + 1))
            leader = node_index(queue_row(hosts, leader % 3 + 1)["leader"])
            survivor = leader % 3 + 1
            on_it = worker.current()
            on_it = on_it is not None and on_it.host == hosts[leader - 1]
            mailed = mail_sink.count()
            stack("kill", "rabbitmq-%d" % leader)
            at = time.time()
            flowing = wait_for(lambda: mail_sink.count() > mailed + 10 and time.time() - at, 120,
                               "mails after the kill")
            row = wait_for(lambda: (lambda r: r if node_index(r["leader"]) != leader else None)(
                queue_row(hosts, survivor)), 60, "a new leader")
            elected = time.time() - at
            stack("up", "--rabbitmq-nodes", "3")
            wait_for(lambda: len(queue_row(hosts, survivor)["online"]) == 3, 120,
                     "all members online")
            kills.append(dict(node=leader, worker_on_it=on_it, new=node_index(row["leader"]),
                              elected=elected, flowing=flowing, back=time.time() - at))
        publisher.join(REQUESTS / PER_SECOND + 120)
        assert not publisher.is_alive() and publisher.failure is None, publisher.failure
        wanted = set("c%d" % i for i in range(REQUESTS))
        wait_for(lambda: mail_sink.count() >= REQUESTS and wanted <= set(mail_sink.subjects()),
                 180, "every request mailed")
        # an operator's stop: the cancel word ends the worker with status 0
        worker.halt()
        conn, ch = amqp(hosts[0])
        ch.basic_publish(exchange=KEY, routing_key=KEY, body="cancel_qz_mail")
        conn.close()
        assert worker.wait_done(120), "the worker did not stop at the cancel word"
    finally:
        publisher.stop.set()
        worker.stop()
    last = worker.runs[-1]
    assert last.status == 0, last.output()[-3000:]

    conn, ch = amqp(hosts[0])
    queued = []
    while True:
        method, _, body = ch.basic_get(queue=KEY, auto_ack=True)
        if method is None:
            break
        queued.append(urllib.unquote_plus(body.split("subject=")[1].split("&")[0]))
    conn.close()
    subjects = mail_sink.subjects()
    lost = wanted - set(subjects) - set(queued)
    ended = [r.status for r in worker.runs[:-1]]
    lines = ["%d requests (%d published again after a lost confirm), %d leader kills, "
             "%d worker runs (%d restarts, end statuses %s), %d mails, %d lost, %d repeated, "
             "%d still queued" % (REQUESTS, publisher.resent, len(kills), len(worker.runs),
                                  worker.restarts(), sorted(set(ended)), len(subjects),
                                  len(lost), len(subjects) - len(set(subjects)), len(queued))]
    for k, kill in enumerate(kills):
        lines.append("kill %d: node %d (worker %s); mails flowing again after %.1f s; "
                     "new leader node %d seen after %.1f s; node back, all members online "
                     "after %.1f s" % (k + 1, kill["node"],
                                       "connected to it" if kill["worker_on_it"] else "elsewhere",
                                       kill["flowing"], kill["new"], kill["elected"],
                                       kill["back"]))
    report("postrunner on a 3-node RabbitMQ, quorum queue leader's node SIGKILLed", lines)
    assert not lost, sorted(lost)[:10]
    assert set(subjects) <= wanted
    # the worker on the lost node ended with status 1 and was restarted
    assert kills[0]["worker_on_it"] and ended and all(s == 1 for s in ended), worker.runs
    assert not worker.gave_up
    for run in worker.runs:
        assert "Traceback" not in run.output(), run.output()[-3000:]


@pytest.fixture(autouse=True)
def nodes_back_after():
    yield
    stack("up", "--rabbitmq-nodes", "3", check=False)
