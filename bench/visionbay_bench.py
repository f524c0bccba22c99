"""visionbay's remote calls against their floors, all in one run:
  - in-process: the same classification called in this process;
  - broker floor: a raw publish and consume ping-pong with pika, nothing else;
  - echo floor: a bare service on the remote-call convention (QZMQObject,
    gunzip, gzip, do_basic_publish to the response key) called through
    qzmqtool.rpc_call_with_timeout, as visionbay is.
The three remote kinds are called in alternating rounds, one call at a time,
so that the machine's other load falls on each alike. Prints each median,
the remote call's ratio to the broker floor (target: at most 1.5), what
visionbay adds beyond the echo floor and the in-process classification
(target: at most 0.3 ms), the same beyond the classification as timed in
this process right after an echo call (as the service runs it, after the
queue client's work, it takes over twice its time in a loop of its own),
and, last, "ratio <(echo + in-process) / visionbay
median call>"."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import timeit

N = 2000
ROUNDS = 4
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import _rpc  # noqa: E402


def report(name, latencies):
    print "%-13s median %6.3f ms  p90 %6.3f ms  p99 %6.3f ms" % (
        name, _rpc.percentile(latencies, 50) * 1000, _rpc.percentile(latencies, 90) * 1000,
        _rpc.percentile(latencies, 99) * 1000)
    return _rpc.percentile(latencies, 50)


def queue_client_costs():
    """What the queue client does around each handler, in microseconds."""
    import pika
    from qz import qzmqobj, qztool
    base = tempfile.mkdtemp(prefix="qz-bench-base-")
    old = os.environ.get("QZ_BASE_PATH")
    os.environ["QZ_BASE_PATH"] = base
    try:
        props = pika.BasicProperties(headers={"response_key": "0" * 32})
        body = qztool.qz_gzip_data("x" * 200)
        record = qzmqobj._InHand("qz_bench")
        digest = qzmqobj._digest("qz_bench", props, body)

        def in_hand():
            record.enter(digest)
            record.leave(digest)

        def held():
            with qzmqobj._hold:
                pass
        n = 5000
        costs = [(name, min(timeit.repeat(fn, number=n, repeat=3)) / n * 1e6) for name, fn in [
            ("digest", lambda: qzmqobj._digest("qz_bench", props, body)),
            ("in-hand record", in_hand), ("signal hold", held)]]
        record.close()
        return costs
    finally:
        if old is None:
            del os.environ["QZ_BASE_PATH"]
        else:
            os.environ["QZ_BASE_PATH"] = old
        shutil.rmtree(base, ignore_errors=True)


def main():
    from digits.tools import make_sample_job
    jobs = os.environ["DIGITS_JOBS_DIR"]
    make_sample_job.build_job(jobs, "digits-sample")
    samples = os.path.join(jobs, "digits-sample", "samples")
    images = sorted(os.path.join(samples, n) for n in os.listdir(samples) if n.endswith(".png"))

    import visionbay
    from digits import config
    from digits.webapp import scheduler
    config.load_config("quiet")
    scheduler.start()
    job = scheduler.get_job("digits-sample")
    def classify(i):
        started = time.time()
        json.dumps(visionbay.image_classification_model_classify_one(images[i % len(images)], job))
        return time.time() - started

    local = [classify(i) for i in range(N)]

    from qz import qzmqtool, qztool

    def request(i):
        return json.dumps({"qz_service_name": "qz_dnn_classify", "qz_request": json.dumps(
            {"job_id": "digits-sample", "image_url": images[i % len(images)]})})

    conn = _rpc.connect()
    raw_key, echo_key = _rpc.fresh_key("qz_bench_raw"), _rpc.fresh_key("qz_bench_echo")
    services = {
        "broker floor": _rpc.Service("raw", raw_key),
        "echo floor": _rpc.Service("echo", echo_key),
        "visionbay": _rpc.Service("visionbay", "dnn_arpc", command=[
            os.path.join(ROOT, "build", "tree", "visionbay"), "--host", "127.0.0.1"]),
    }
    try:
        raw_call = _rpc.RawCaller(conn, raw_key)
        echo_channel, vision_channel = conn.channel(), conn.channel()
        deadline = time.time() + 30
        while True:  # until visionbay answers
            try:
                qzmqtool.rpc_call_with_timeout(request(0), 1, vision_channel, "dnn_arpc")
                break
            except qzmqtool.RpcTimeout:
                if time.time() > deadline:
                    sys.exit("visionbay did not answer")
        echo_body = request(1)  # the same size as visionbay's requests
        calls = [
            ("broker floor", lambda i: raw_call(qztool.qz_gzip_data(echo_body))),
            ("echo floor", lambda i: qzmqtool.rpc_call_with_timeout(
                echo_body, 10, echo_channel, echo_key)),
            ("visionbay", lambda i: qzmqtool.rpc_call_with_timeout(
                request(i), 10, vision_channel, "dnn_arpc")),
        ]
        latencies = dict((name, []) for name, _ in calls)
        cpu = dict((name, 0.0) for name, _ in calls)
        for name, call in calls:  # warm-up: connections, caches, the first reply queue
            for i in range(100):
                call(i)
        for _ in range(ROUNDS):
            for name, call in calls:
                used = services[name].cpu()
                for i in range(N // ROUNDS):
                    started = time.time()
                    call(i)
                    latencies[name].append(time.time() - started)
                cpu[name] += services[name].cpu() - used
        # The service classifies between deliveries, with its caches cooled by
        # the queue client's work; here the same, one echo call before each.
        between = []
        for i in range(N):
            qzmqtool.rpc_call_with_timeout(echo_body, 10, echo_channel, echo_key)
            between.append(classify(i))
        vision_channel.basic_publish(exchange="dnn_arpc", routing_key="dnn_arpc",
                                     body="cancel_dnn_arpc")
        services["visionbay"].proc.wait()
    finally:
        for service in services.values():
            service.stop()
        _rpc.remove_topology(conn, echo_key)
        conn.close()

    print "calls: %d of each kind, %d sample images, %d alternating rounds" % (
        N, len(images), ROUNDS)
    in_process = report("in-process", local)
    in_service = report("  after a call", between)
    medians = dict((name, report(name, latencies[name])) for name, _ in calls)
    for name, _ in calls:
        print "%-13s service CPU %.3f ms per call" % (name, cpu[name] / N * 1000)
    print "queue client around each handler: " + ", ".join(
        "%s %.1f us" % c for c in queue_client_costs())
    print "remote call: echo floor / broker floor %.2f (target at most 1.5)" % (
        medians["echo floor"] / medians["broker floor"])
    print "queue adds %.2f ms to the median call (visionbay - in-process)" % (
        (medians["visionbay"] - in_process) * 1000)
    adds = medians["visionbay"] - medians["echo floor"] - in_process
    print "visionbay adds %.3f ms beyond the echo floor and the in-process classification " \
        "(target at most 0.3)" % (adds * 1000)
    print "visionbay's own handling %.3f ms: beyond the echo floor and the classification " \
        "as timed after an echo call" % ((medians["visionbay"] - medians["echo floor"] -
                                          in_service) * 1000)
    print "ratio %.3f" % ((medians["echo floor"] + in_process) / medians["visionbay"])


if __name__ == "__main__":
    main()
