"""2,000 classification calls over RabbitMQ, one at a time, through the
remote-call convention, against 2,000 in-process calls of the same
classification on the same images. The last line is
"ratio <rpc/in-process calls per second>"."""
import json
import os
import subprocess
import sys
import tempfile
import time

import pika

N = 2000
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


def report(name, latencies):
    total = sum(latencies)
    print "%-10s %7.0f calls/s  median %6.3f ms  p99 %6.3f ms" % (
        name, len(latencies) / total, percentile(latencies, 50) * 1000,
        percentile(latencies, 99) * 1000)
    return len(latencies) / total, percentile(latencies, 50)


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
    local = []
    for i in range(N):
        started = time.time()
        json.dumps(visionbay.image_classification_model_classify_one(images[i % len(images)], job))
        local.append(time.time() - started)

    from qz import qzmqtool
    proc = subprocess.Popen([os.path.join(ROOT, "build", "tree", "visionbay"), "--host",
                             "127.0.0.1"], stdout=open(os.devnull, "w"))
    conn = pika.BlockingConnection(pika.ConnectionParameters(
        host="127.0.0.1", credentials=pika.PlainCredentials("guest", "plovk562")))
    ch = conn.channel()

    def request(i):
        return json.dumps({"qz_service_name": "qz_dnn_classify", "qz_request": json.dumps(
            {"job_id": "digits-sample", "image_url": images[i % len(images)]})})
    deadline = time.time() + 30
    while True:  # until the service answers
        try:
            qzmqtool.rpc_call_with_timeout(request(0), 1, ch, "dnn_arpc")
            break
        except qzmqtool.RpcTimeout:
            if time.time() > deadline:
                sys.exit("visionbay did not answer")
    remote = []
    for i in range(N):
        started = time.time()
        qzmqtool.rpc_call_with_timeout(request(i), 10, ch, "dnn_arpc")
        remote.append(time.time() - started)
    ch.basic_publish(exchange="dnn_arpc", routing_key="dnn_arpc", body="cancel_dnn_arpc")
    conn.close()
    proc.wait()

    print "calls: %d each, %d sample images" % (N, len(images))
    local_rate, local_median = report("in-process", local)
    remote_rate, remote_median = report("rpc", remote)
    print "queue adds %.2f ms to the median call" % ((remote_median - local_median) * 1000)
    print "ratio %.3f" % (remote_rate / local_rate)


if __name__ == "__main__":
    main()
