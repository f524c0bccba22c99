#!/usr/bin/python3
"""Minimal Kafka admin over the wire protocol, for the stack script.

A JVM per topic command costs seconds on this machine; these two requests
take milliseconds and are all `stack` needs. Metadata v4 and CreateTopics v2
are the oldest versions Kafka 4 still answers (it closes the connection on
older ones), and every broker since 1.0 speaks them:

  kafkactl.py topics                 list topics; exit 1 if the broker does not answer
  kafkactl.py create NAME... [-p N] [-r R] [--config KEY=VALUE]...
                                     create topics (existing ones are fine) and
                                     wait until each partition has a leader
  kafkactl.py describe NAME...       one line per partition: topic, partition,
                                     leader, replicas, in-sync replicas
"""

import argparse
import socket
import struct
import sys
import time

TOPIC_ALREADY_EXISTS = 36


class Conn:
    def __init__(self, host, port, timeout):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.corr = 0

    def request(self, api_key, version, body):
        self.corr += 1
        client = b"qz-stack"
        header = struct.pack(">hhih", api_key, version, self.corr, len(client)) + client
        msg = header + body
        self.sock.sendall(struct.pack(">i", len(msg)) + msg)
        size = struct.unpack(">i", self._read(4))[0]
        data = self._read(size)
        corr = struct.unpack(">i", data[:4])[0]
        if corr != self.corr:
            raise IOError("correlation id %d != %d" % (corr, self.corr))
        return Reader(data[4:])

    def _read(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise IOError("broker closed the connection")
            buf += chunk
        return buf

    def close(self):
        self.sock.close()


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def _take(self, fmt):
        size = struct.calcsize(fmt)
        value = struct.unpack(fmt, self.data[self.pos:self.pos + size])
        self.pos += size
        return value[0]

    def i16(self):
        return self._take(">h")

    def i32(self):
        return self._take(">i")

    def boolean(self):
        return self._take(">b") != 0

    def string(self):
        n = self.i16()
        if n < 0:
            return None
        s = self.data[self.pos:self.pos + n].decode("utf-8")
        self.pos += n
        return s

    def array(self, item):
        n = self.i32()
        return [item() for _ in range(max(n, 0))]


def s16(text):
    raw = text.encode("utf-8")
    return struct.pack(">h", len(raw)) + raw


def metadata(conn, detail=False):
    """Returns (brokers, {topic: [leader of each partition]}); with detail,
    each partition is (leader, replicas, in-sync replicas) instead."""
    # null array: all topics; no topic created by asking
    r = conn.request(3, 4, struct.pack(">ib", -1, 0))
    r.i32()  # throttle time
    brokers = r.array(lambda: (r.i32(), r.string(), r.i32(), r.string()))
    r.string()  # cluster id
    r.i32()  # controller id

    def partition():
        r.i16()
        index, leader = r.i32(), r.i32()
        replicas = r.array(r.i32)
        isr = r.array(r.i32)
        return index, (leader, replicas, isr) if detail else leader

    def topic():
        err, name = r.i16(), r.string()
        r.boolean()
        parts = r.array(partition)
        return name, err, [p for _, p in sorted(parts)]

    topics = {name: leaders for name, err, leaders in r.array(topic) if err == 0}
    return brokers, topics


def create(conn, names, partitions, replication=1, configs=(), timeout_ms=15000):
    body = struct.pack(">i", len(names))
    for name in names:
        body += s16(name) + struct.pack(">ihi", partitions, replication, 0)
        body += struct.pack(">i", len(configs))
        for key, value in configs:
            body += s16(key) + s16(value)
    body += struct.pack(">ib", timeout_ms, 0)  # not only validated
    r = conn.request(19, 2, body)
    r.i32()  # throttle time
    return {name: err for name, err, _ in r.array(lambda: (r.string(), r.i16(), r.string()))}


def connect(bootstrap, timeout):
    """The first broker of a comma-separated host:port list that accepts a
    connection (on a cluster, some may be down)."""
    error = None
    for address in bootstrap.split(","):
        host, port = address.strip().rsplit(":", 1)
        try:
            return Conn(host, int(port), timeout)
        except OSError as e:
            error = e
    raise error


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bootstrap", default="127.0.0.1:9092",
                    help="host:port, or several separated by commas")
    ap.add_argument("--timeout", type=float, default=5.0,
                    help="seconds for the socket and for leaders to appear")
    sub = ap.add_subparsers(dest="cmd", required=True)
    sub.add_parser("topics")
    c = sub.add_parser("create")
    c.add_argument("names", nargs="+")
    c.add_argument("-p", "--partitions", type=int, default=1)
    c.add_argument("-r", "--replication-factor", type=int, default=1)
    c.add_argument("--config", action="append", default=[], metavar="KEY=VALUE",
                   help="topic setting, e.g. min.insync.replicas=2")
    d = sub.add_parser("describe")
    d.add_argument("names", nargs="+")
    args = ap.parse_args()
    try:
        conn = connect(args.bootstrap, args.timeout)
        brokers, topics = metadata(conn)
        if not brokers:
            print("broker answered without any live broker", file=sys.stderr)
            return 1
        if args.cmd == "topics":
            for name in sorted(topics):
                print(name)
            return 0
        if args.cmd == "describe":
            _, topics = metadata(conn, detail=True)
            for name in args.names:
                if name not in topics:
                    print("no topic %s" % name, file=sys.stderr)
                    return 1
                for index, (leader, replicas, isr) in enumerate(topics[name]):
                    print("%s %d leader %d replicas %s isr %s" % (
                        name, index, leader, ",".join(map(str, replicas)),
                        ",".join(map(str, sorted(isr)))))
            return 0
        names = list(dict.fromkeys(args.names))  # a repeated name would fail the whole request
        for name in names:
            if name in topics:
                print("%s already exists" % name)
        missing = [n for n in names if n not in topics]
        if missing:
            configs = [c.split("=", 1) for c in args.config]
            if any(len(c) != 2 for c in configs):
                print("--config takes KEY=VALUE", file=sys.stderr)
                return 2
            replies = create(conn, missing, args.partitions, args.replication_factor, configs)
            for name, err in sorted(replies.items()):
                if err not in (0, TOPIC_ALREADY_EXISTS):
                    print("creating %s failed with Kafka error %d" % (name, err),
                          file=sys.stderr)
                    return 1
                print("created %s" % name if err == 0 else "%s already exists" % name)
        deadline = time.time() + args.timeout
        while True:
            _, topics = metadata(conn)
            waiting = [n for n in names
                       if not topics.get(n) or min(topics[n]) < 0]
            if not waiting:
                return 0
            if time.time() > deadline:
                print("no leader yet for: %s" % " ".join(waiting), file=sys.stderr)
                return 1
            time.sleep(0.2)
    except (OSError, IOError, struct.error) as e:
        print("kafka at %s: %s" % (args.bootstrap, e), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
