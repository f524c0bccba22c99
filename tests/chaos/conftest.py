"""Failure drills on clusters: a 3-node Kafka and a 3-node RabbitMQ started
by stack/stack beside the single servers, each fresh for the drills that use
it and stopped after them, whatever happened.

QZ_CHAOS=0 skips them all; so does a machine with less than
QZ_CHAOS_MIN_MEM_MB (default 4096) of available memory: three Kafka JVMs,
three RabbitMQ nodes and the programs take about 2.5 GB."""
import os
import shutil

import pytest

import chaoslab
from harness import ROOT

MIN_MEM_MB = int(os.environ.get("QZ_CHAOS_MIN_MEM_MB", "4096"))


def available_mb():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) // 1024
    return 0


def why_skip():
    if os.environ.get("QZ_CHAOS", "1").strip().lower() in ("0", "false", "no", "off", ""):
        return "cluster drills switched off (QZ_CHAOS=0)"
    if available_mb() < MIN_MEM_MB:
        return "cluster drills need %d MB of available memory, this machine has %d MB " \
               "(QZ_CHAOS_MIN_MEM_MB)" % (MIN_MEM_MB, available_mb())
    return None


@pytest.fixture(autouse=True)
def chaos_allowed():
    reason = why_skip()
    if reason:
        pytest.skip(reason)


def fresh_cluster(kind, nodes):
    """Starts a fresh cluster of `kind`; returns its stop function."""
    name = kind + "-cluster"
    run_dir = os.environ.get("QZ_RUN") or os.path.join(ROOT, "run")
    chaoslab.stack("down", name)
    shutil.rmtree(os.path.join(run_dir, "cluster-" + kind), ignore_errors=True)

    def stop():
        chaoslab.stack("down", name, check=False)
    try:
        chaoslab.stack("up", "--%s-nodes" % kind, str(nodes))
    except Exception:
        stop()
        raise
    return stop


@pytest.fixture(scope="module")
def kafka_cluster():
    """The bootstrap list of a fresh 3-node Kafka cluster."""
    if why_skip():
        pytest.skip(why_skip())
    stop = fresh_cluster("kafka", 3)
    try:
        yield chaoslab.hosts("kafka")
    finally:
        stop()


@pytest.fixture(scope="session")
def rabbit_cluster():
    """The AMQP addresses of a fresh 3-node RabbitMQ cluster (node i is
    hosts[i - 1]), for every drill that uses one; stopped at the end."""
    if why_skip():
        pytest.skip(why_skip())
    stop = fresh_cluster("rabbitmq", 3)
    try:
        yield chaoslab.hosts("rabbitmq")
    finally:
        stop()


@pytest.fixture(scope="session")
def jobs_dir(tmpdir_factory):
    """A jobs directory with the trained sample job the service classifies with."""
    from digits.tools import make_sample_job
    jobs = str(tmpdir_factory.mktemp("jobs"))
    assert make_sample_job.build_job(jobs, "digits-sample")[0]
    return jobs
