"""The classification service on a 3-node RabbitMQ cluster, its node killed
with SIGKILL twice while callers on another node keep calling. The service's
queue is a transient classic queue: it goes with its node, and the service,
restarted by a supervisor as its systemd unit does, declares it again on the
node it reaches. Callers see time-outs while it is away, never a wrong answer;
the time until it answers again is measured and bounded."""
import json
import os
import threading
import time

import pika

from chaoslab import Supervisor, amqp, report, stack, wait_for
from qz import qzmqtool

KEY = "dnn_arpc"
KILLS = 2
CALLERS = 2
CALL_TIMEOUT = 5
# from the kill to the first right answer to a call made after it: the
# unit's RestartSec, the service's start-up and one call's time-out
RECOVER_LIMIT = 45
CALLER_NODE = 3  # never killed: the service starts on node 1 and moves on to node 2


def envelope(service, request=None):
    body = {"qz_service_name": service}
    if request is not None:
        body["qz_request"] = json.dumps(request)
    return json.dumps(body)


class Caller(threading.Thread):
    """Calls the service over and over (a classification, then the time) the
    way the platform's callers do, and keeps every outcome:
    (sent, finished, "ok" | "timeout" | "wrong" | "error", detail)."""

    def __init__(self, host, image, expected):
        threading.Thread.__init__(self)
        self.daemon = True
        self.host, self.image, self.expected = host, image, expected
        self.outcomes = []
        self.stop = threading.Event()

    def call(self, ch, n):
        if n % 2:
            body = envelope("qz_dnn_classify", {"job_id": "digits-sample", "image_url": self.image})
            check = lambda text: text == self.expected
        else:
            body = envelope("qz_time")
            check = lambda text: sent - 2 <= float(text) <= time.time() + 2
        sent = time.time()
        try:
            text = qzmqtool.rpc_call_with_timeout(body, CALL_TIMEOUT, ch, KEY)
        except qzmqtool.RpcTimeout:
            return sent, time.time(), "timeout", None
        try:
            right = check(text)
        except ValueError:
            right = False
        return sent, time.time(), "ok" if right else "wrong", text

    def run(self):
        conn = None
        n = 0
        try:
            conn, ch = amqp(self.host)
            while not self.stop.is_set():
                n += 1
                self.outcomes.append(self.call(ch, n))
        except Exception as e:  # noqa: BLE001  (counted: the test fails on it)
            self.outcomes.append((time.time(), time.time(), "error", repr(e)))
        finally:
            if conn is not None and conn.is_open:
                conn.close()

    def first_ok_after(self, at):
        times = [done for sent, done, kind, _ in self.outcomes if kind == "ok" and sent > at]
        return min(times) - at if times else None


def test_service_node_killed_callers_see_only_timeouts(rabbit_cluster, jobs_dir, tmp_path):
    hosts = rabbit_cluster
    image = os.path.join(jobs_dir, "digits-sample", "samples", "3-a.png")
    env = dict(os.environ, DIGITS_JOBS_DIR=jobs_dir, QZ_BASE_PATH=str(tmp_path))
    service = Supervisor("visionbay", hosts, env, str(tmp_path), first=0)
    callers = []
    try:
        service.start()
        # the right answer, from the service before anything fails
        conn, ch = amqp(hosts[CALLER_NODE - 1])
        request = envelope("qz_dnn_classify", {"job_id": "digits-sample", "image_url": image})
        expected = wait_for(lambda: call_or_none(ch, request), 90, "the service's first answer")
        conn.close()
        assert json.loads(expected)[0][0] == "3", expected
        callers = [Caller(hosts[CALLER_NODE - 1], image, expected) for _ in range(CALLERS)]
        for c in callers:
            c.start()
        kills = []
        for k in range(KILLS):
            run = service.wait_running(3)
            time.sleep(2)
            node = hosts.index(run.host) + 1
            assert node != CALLER_NODE
            stack("kill", "rabbitmq-%d" % node)
            at = time.time()  # the node is gone: nothing sent from now on reaches it
            wait_for(lambda: all(c.first_ok_after(at) is not None for c in callers),
                     RECOVER_LIMIT + 30, "answers after the kill")
            back = max(c.first_ok_after(at) for c in callers)
            restarted = [r for r in service.runs if r.started > at]
            kills.append(dict(node=node, back=back, ended=run.status,
                              service_start=restarted[-1].started - at if restarted else None,
                              new_node=hosts.index(service.runs[-1].host) + 1))
            stack("up", "--rabbitmq-nodes", "3")
        time.sleep(3)
        for c in callers:
            c.stop.set()
        for c in callers:
            c.join(CALL_TIMEOUT * 3)
        service.halt()
        conn, ch = amqp(hosts[CALLER_NODE - 1])
        ch.basic_publish(exchange=KEY, routing_key=KEY, body="cancel_" + KEY)
        conn.close()
        assert service.wait_done(60), "the service did not stop at the cancel word"
    finally:
        for c in callers:
            c.stop.set()
        service.stop()
        stack("up", "--rabbitmq-nodes", "3", check=False)

    outcomes = [o for c in callers for o in c.outcomes]
    count = lambda kind: sum(1 for o in outcomes if o[2] == kind)
    ended = [r.status for r in service.runs[:-1]]
    lines = ["%d calls by %d callers on node %d: %d answered right, %d time-outs, %d wrong, "
             "%d errors; %d kills; %d service runs (%d restarts, end statuses %s)"
             % (len(outcomes), CALLERS, CALLER_NODE, count("ok"), count("timeout"),
                count("wrong"), count("error"), len(kills), len(service.runs),
                service.restarts(), sorted(set(ended)))]
    for k, kill in enumerate(kills):
        lines.append("kill %d: node %d; service started again after %s on node %d; every "
                     "caller answered again after %.1f s"
                     % (k + 1, kill["node"], "%.1f s" % kill["service_start"]
                        if kill["service_start"] is not None else "-", kill["new_node"],
                        kill["back"]))
    report("visionbay on a 3-node RabbitMQ, its node SIGKILLed", lines)
    assert count("wrong") == 0, [o for o in outcomes if o[2] == "wrong"][:5]
    assert count("error") == 0, [o for o in outcomes if o[2] == "error"][:5]
    assert all(kill["back"] <= RECOVER_LIMIT for kill in kills), kills
    assert service.runs[-1].status == 0, service.runs[-1].output()[-3000:]
    assert ended and all(s == 1 for s in ended), service.runs
    assert not service.gave_up


def call_or_none(ch, body):
    try:
        return qzmqtool.rpc_call_with_timeout(body, 3, ch, KEY)
    except qzmqtool.RpcTimeout:
        return None
