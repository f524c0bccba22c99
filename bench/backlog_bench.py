"""postrunner's resident memory while a backlog waits in qz_mail: 100,000
queued requests against a floor of 1,000, the same worker and the same SMTP
server (one that takes every mail and keeps a count only). Each run samples
the worker's resident memory every 50 ms over its first SECONDS seconds and
keeps the peak; the worker is then stopped with SIGTERM (the requests it did
not handle go back to the queue) and the queue purged. The last line is
"ratio <floor peak / backlog peak>" (target: at least 0.9: the memory does
not follow the queue's length)."""
import os
import signal
import socket
import subprocess
import sys
import time
import urllib

import mailq

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SECONDS = 10.0
TO = {"to": "a@example.com"}


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def rss_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            return int([l for l in f if l.startswith("VmRSS:")][0].split()[1])
    except (IOError, IndexError):
        return 0


def requests(n):
    # about the size of a real request: a subject, a few fields, a report
    return [(urllib.urlencode([("subject", "backlog %d" % i), ("name", "J\xc3\xbcrgen"),
                               ("report", "line one\nline two %d\n" % i + "x" * 1500)]), TO)
            for i in range(n)]


def peak_rss(n, port, log):
    mailq.declare_and_purge()
    mailq.publish_many(requests(n))
    env = dict(os.environ, QZ_SMTP_HOST="127.0.0.1", QZ_SMTP_PORT=str(port), QZ_SMTP_UID="")
    proc = subprocess.Popen([os.path.join(ROOT, "build", "tree", "postrunner"),
                             "--host", "127.0.0.1"], stdout=log, stderr=subprocess.STDOUT,
                            env=env)
    peak, started = 0, time.time()
    try:
        while time.time() - started < SECONDS and proc.poll() is None:
            peak = max(peak, rss_kb(proc.pid))
            time.sleep(0.05)
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
        proc.wait()
        mailq.declare_and_purge()
    return peak


def main():
    port, count = free_port(), "/tmp/qz-backlog-count.%d" % os.getpid()
    sink = subprocess.Popen([sys.executable, os.path.join(ROOT, "tests", "postrunner",
                                                          "discard_smtp.py"), str(port), count],
                            stdout=subprocess.PIPE)
    assert sink.stdout.readline() == "serving\n"
    log = open(os.devnull, "w")
    try:
        floor = peak_rss(1000, port, log)
        ours = peak_rss(100000, port, log)
    finally:
        sink.kill()
        sink.wait()
        if os.path.exists(count):
            os.unlink(count)
    print "peak RSS in the first %.0f s, 1,000 queued:   %7.1f MB" % (SECONDS, floor / 1024.0)
    print "peak RSS in the first %.0f s, 100,000 queued: %7.1f MB" % (SECONDS, ours / 1024.0)
    print "ratio %.2f" % (float(floor) / ours)


if __name__ == "__main__":
    main()
