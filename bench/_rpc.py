"""Remote-call floors shared by the benchmarks: the broker's own ping-pong
with pika, and a bare echo service on the platform's remote-call convention.

Run as a program, it is one of the two services:
    _rpc.py raw QUEUE    consumes QUEUE with plain pika and publishes each
                         body back to its reply_to queue, then acknowledges
    _rpc.py echo KEY     serves KEY through QZMQObject: gunzips the request,
                         gzips it back and publishes it with do_basic_publish
                         to the caller's response key, then acknowledges
Each prints "serving" once it consumes and ends on SIGTERM."""
import os
import signal
import subprocess
import sys
import time
import uuid

import pika
import rabbit

CREDENTIALS = (rabbit.USER, rabbit.PASSWORD)
HERE = os.path.abspath(__file__)


connect = rabbit.connect


def cpu_seconds(pid):
    """User and system time a process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / float(os.sysconf("SC_CLK_TCK"))


def broker_pid():
    root = os.path.dirname(os.path.dirname(HERE))
    try:
        with open(os.path.join(root, "run", "rabbitmq", "beam.pid")) as f:
            return int(f.read().strip())
    except (IOError, ValueError):
        return None


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100.0 * (len(ordered) - 1))))]


class Service(object):
    """One of the services above in a process of its own."""

    def __init__(self, kind, key, command=None, env=None):
        self.key = key
        argv = command or [sys.executable, HERE, kind, key]
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE if command is None else
                                     open(os.devnull, "w"), env=env)
        if command is None and self.proc.stdout.readline() != "serving\n":
            sys.exit("the %s service did not start" % kind)

    def cpu(self):
        return cpu_seconds(self.proc.pid)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            deadline = time.time() + 10
            while self.proc.poll() is None and time.time() < deadline:
                time.sleep(0.02)
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()


class RawCaller(object):
    """The broker's floor: publish to a queue, consume the answer from an
    exclusive queue, with the same client and nothing else."""

    def __init__(self, connection, queue):
        self.connection = connection
        self.channel = connection.channel()
        self.queue = queue
        self.reply_queue = self.channel.queue_declare(queue="", exclusive=True).method.queue
        self.got = []
        self.channel.basic_consume(queue=self.reply_queue, auto_ack=True,
                                   on_message_callback=lambda c, m, p, b: self.got.append(b))
        self.props = pika.BasicProperties(reply_to=self.reply_queue)

    def __call__(self, body):
        self.channel.basic_publish(exchange="", routing_key=self.queue, body=body,
                                   properties=self.props)
        deadline = time.time() + 10
        while not self.got:
            if time.time() > deadline:
                sys.exit("the raw peer did not answer")
            self.connection.process_data_events(time_limit=1)
        return self.got.pop()


def raw_service(queue):
    conn = connect()
    ch = conn.channel()
    ch.queue_declare(queue=queue, auto_delete=True)

    def answer(channel, method, properties, body):
        channel.basic_publish(exchange="", routing_key=properties.reply_to, body=body)
        channel.basic_ack(method.delivery_tag)

    ch.basic_consume(queue=queue, on_message_callback=answer)
    signal.signal(signal.SIGTERM, lambda *_: ch.stop_consuming())
    print "serving"
    sys.stdout.flush()
    ch.start_consuming()
    conn.close()


def echo_service(key):
    from qz import qzmqtool
    qzmqtool.serve_remote_calls(key, lambda request: request, "echo", *CREDENTIALS)


def remove_topology(connection, key):
    ch = connection.channel()
    ch.queue_delete(queue=key)
    ch.exchange_delete(exchange=key)
    from qz import qzconfig
    ch.exchange_delete(exchange=key + qzconfig.QZ_MQ_EXCHANGE_TAG)
    ch.close()


def fresh_key(prefix):
    return "%s_%s" % (prefix, uuid.uuid4().hex[:8])


if __name__ == "__main__":
    {"raw": raw_service, "echo": echo_service}[sys.argv[1]](sys.argv[2])
