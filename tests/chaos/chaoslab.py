"""Helpers for the cluster failure drills: the clusters of stack/stack, a
supervisor that restarts a program the way its systemd unit does, and the
figures each drill reports."""
import json
import os
import re
import signal
import subprocess
import threading
import time

from harness import ROOT, TREE

STACK = os.path.join(ROOT, "stack", "stack")
KAFKACTL = os.path.join(ROOT, "stack", "kafkactl.py")
UNITS = os.path.join(ROOT, "deploy", "systemd")


def _clean_env():
    # The stack's Python 3 helpers break on this interpreter's packages (enum34).
    return dict((k, v) for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME"))


def stack(*args, **kw):
    """Runs stack/stack; returns its output, or raises with it on failure."""
    timeout = kw.get("timeout", 240)
    proc = subprocess.Popen(["timeout", str(timeout), STACK] + list(args),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=_clean_env())
    out = proc.communicate()[0]
    if kw.get("check", True) and proc.returncode != 0:
        raise AssertionError("stack %s: status %d\n%s" % (" ".join(args), proc.returncode, out))
    return out


def hosts(kind):
    return stack("hosts", kind).strip().split(",")


# ---- Kafka ----

def kafkactl(bootstrap, *args):
    proc = subprocess.Popen(["/usr/bin/python3", KAFKACTL, "--bootstrap", bootstrap,
                             "--timeout", "10"] + list(args),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=_clean_env())
    out = proc.communicate()[0]
    if proc.returncode != 0:
        raise IOError("kafkactl %s: %s" % (" ".join(args), out.strip()))
    return out


def partition_state(bootstrap, topic):
    """(leader, replicas, in-sync replicas) of the topic's partition 0."""
    line = kafkactl(bootstrap, "describe", topic).splitlines()[0].split()
    ids = lambda text: [int(x) for x in text.split(",") if x]
    return int(line[3]), ids(line[5]), ids(line[7])


# ---- RabbitMQ ----

def rabbit_queues(node=1):
    """{queue name: its row of list_queues} as seen from one node."""
    out = stack("ctl", "rabbitmq-%d" % node, "-q", "list_queues", "name", "type", "leader",
                "members", "online", "messages", "--formatter", "json")
    return dict((q["name"], q) for q in json.loads(out[out.index("["):]))


def node_index(erlang_node):
    """qzc2@localhost -> 2"""
    return int(re.match(r"^qzc(\d+)@", erlang_node).group(1))


def amqp(host_port):
    import rabbit
    host, port = host_port.rsplit(":", 1)
    return rabbit.channel(host=host, port=int(port), heartbeat=30,
                          blocked_connection_timeout=60, socket_timeout=5)


# ---- the supervisor ----

def restart_sec(unit):
    """RestartSec of the program's systemd unit: the drills restart as it does."""
    with open(os.path.join(UNITS, unit + ".service")) as f:
        text = f.read()
    assert re.search(r"^Restart=on-failure$", text, re.M), unit
    return float(re.search(r"^RestartSec=(\d+)", text, re.M).group(1))


def restart_prevented(unit):
    """The exit statuses of RestartPreventExitStatus: runs that stay stopped."""
    with open(os.path.join(UNITS, unit + ".service")) as f:
        found = re.search(r"^RestartPreventExitStatus=(.*)$", f.read(), re.M)
    return set(int(s) for s in found.group(1).split()) if found else set()


class Run(object):
    def __init__(self, host, log):
        self.host, self.log = host, log
        self.started, self.ended, self.status = time.time(), None, None

    def output(self):
        with open(self.log) as f:
            return f.read()

    def __repr__(self):
        return "Run(%s, status %s, %.1f s)" % (self.host, self.status,
                                              (self.ended or time.time()) - self.started)


class Supervisor(object):
    """Restart=on-failure: a run that ends with a non-zero status (or by a
    signal) is started again after the unit's RestartSec, one that ends with
    status 0 or a status of RestartPreventExitStatus (a bad setting) stays
    stopped. Each start takes the next of `hosts`, as a name
    over the cluster's nodes would hand out (rowfeed gets them all at once)."""

    def __init__(self, program, hosts, env, log_dir, first=0, all_hosts=False, max_starts=60):
        self.program, self.hosts, self.env, self.log_dir = program, list(hosts), env, log_dir
        self.turn, self.all_hosts, self.max_starts = first, all_hosts, max_starts
        self.delay = restart_sec(program)
        self.prevented = restart_prevented(program)
        self.runs, self.extra_args = [], []
        self.proc = None
        self.gave_up = False
        self._halt = threading.Event()
        self._thread = threading.Thread(target=self._loop)
        self._thread.daemon = True

    def start(self, *extra_args):
        self.extra_args = list(extra_args)
        self._thread.start()
        return self

    def _host(self):
        if self.all_hosts:
            return ",".join(self.hosts)
        host = self.hosts[self.turn % len(self.hosts)]
        self.turn += 1
        return host

    def _loop(self):
        while not self._halt.is_set():
            host = self._host()
            run = Run(host, os.path.join(self.log_dir, "%s%02d.log" % (self.program,
                                                                        len(self.runs))))
            with open(run.log, "w") as log:
                self.proc = subprocess.Popen(
                    [os.path.join(TREE, self.program), "--host", host] + self.extra_args,
                    stdout=log, stderr=subprocess.STDOUT, env=self.env)
            self.runs.append(run)
            run.status = self.proc.wait()
            run.ended = time.time()
            if run.status == 0 or run.status in self.prevented or self._halt.is_set():
                return
            if len(self.runs) >= self.max_starts:
                self.gave_up = True
                return
            self._halt.wait(self.delay)

    def current(self):
        """The run in progress, or None between runs."""
        if self.runs and self.runs[-1].status is None:
            return self.runs[-1]
        return None

    def wait_running(self, seconds, timeout=120):
        """Until a run has been going for `seconds`."""
        deadline = time.time() + timeout
        while True:
            run = self.current()
            if run is not None and time.time() - run.started >= seconds:
                return run
            assert time.time() < deadline and not self.done(), \
                "%s did not keep running: %r" % (self.program, self.runs)
            time.sleep(0.2)

    def done(self):
        return not self._thread.is_alive() and self._thread.ident is not None

    def wait_done(self, timeout):
        self._thread.join(timeout)
        return self.done()

    def restarts(self):
        return max(0, len(self.runs) - 1)

    def halt(self):
        """No more restarts, as after `systemctl stop`; the run in progress
        goes on until it ends by itself."""
        self._halt.set()

    def stop(self):
        """Ends everything this supervisor started (for finalizers)."""
        self._halt.set()
        proc = self.proc
        if proc is not None and proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            deadline = time.time() + 30
            while proc.poll() is None and time.time() < deadline:
                time.sleep(0.1)
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        if self._thread.ident is not None:
            self._thread.join(10)


def wait_for(condition, timeout, what, poll=0.25):
    deadline = time.time() + timeout
    while True:
        value = condition()
        if value:
            return value
        assert time.time() < deadline, "timed out after %s s waiting for %s" % (timeout, what)
        time.sleep(poll)


def report(title, lines):
    """Figures of a drill, on the terminal (pytest -s) and in
    $QZ_RUN/chaos-figures.log for the record of runs."""
    text = "\n== %s\n%s\n" % (title, "\n".join("   " + l for l in lines))
    print(text)
    run_dir = os.environ.get("QZ_RUN") or os.path.join(ROOT, "run")
    try:
        with open(os.path.join(run_dir, "chaos-figures.log"), "a") as f:
            f.write(time.strftime("%Y-%m-%d %H:%M:%S") + text)
    except IOError:
        pass
