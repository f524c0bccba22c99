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


def running_cluster(kind):
    """A fresh 3-node cluster of `kind` for as long as the fixture lives:
    its addresses (node i is hosts[i - 1]); stopped at the end."""
    if why_skip():
        pytest.skip(why_skip())
    stop = fresh_cluster(kind, 3)
    try:
        yield chaoslab.hosts(kind)
    finally:
        stop()


@pytest.fixture(scope="module")
def kafka_cluster():
    """The bootstrap list of a fresh 3-node Kafka cluster."""
    for hosts in running_cluster("kafka"):
        yield hosts


@pytest.fixture(scope="session")
def rabbit_cluster():
    """The AMQP addresses of a fresh 3-node RabbitMQ cluster, for every drill
    that uses one."""
    for hosts in running_cluster("rabbitmq"):
        yield hosts


@pytest.fixture(scope="session")
def jobs_dir(tmpdir_factory):
    """A jobs directory with the trained sample job the service classifies with."""
    from digits.tools import make_sample_job
    jobs = str(tmpdir_factory.mktemp("jobs"))
    assert make_sample_job.build_job(jobs, "digits-sample")[0]
    return jobs


class MailSink(object):
    """The stack's SMTP sink program on a port and folder of its own: the
    stack's sink is shared with whatever else runs on this machine."""

    def __init__(self, directory):
        import socket
        import subprocess
        import time
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        self.port = s.getsockname()[1]
        s.close()
        self.dir = directory
        self.mail_dir = os.path.join(directory, "mail")
        env = dict((k, v) for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME"))
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(ROOT, "stack", "smtpsink.py"), "--host",
             "127.0.0.1", "--port", str(self.port), "--dir", directory],
            stdout=open(os.path.join(directory, "sink.log"), "w"), stderr=subprocess.STDOUT,
            env=env)
        deadline = time.time() + 20
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), 1).close()
                break
            except socket.error:
                assert self.proc.poll() is None and time.time() < deadline, "the SMTP sink did not start"
                time.sleep(0.1)

    def count(self):
        return sum(1 for n in os.listdir(self.mail_dir) if n.endswith(".json"))

    def subjects(self):
        """The subject of every stored mail, without the program's prefix."""
        import email
        import email.header
        out = []
        for name in sorted(os.listdir(self.mail_dir)):
            if not name.endswith(".json"):
                continue
            with open(os.path.join(self.mail_dir, name[:-5] + ".eml")) as f:
                subject = email.message_from_file(f)["Subject"]
            text = "".join(part for part, _ in email.header.decode_header(subject))
            out.append(text[len("[QZ Mail] "):])
        return out

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait()


@pytest.fixture
def mail_sink(tmp_path):
    directory = tmp_path / "smtp"
    directory.mkdir()
    sink = MailSink(str(directory))
    yield sink
    sink.stop()
