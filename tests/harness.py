"""Helpers shared by the tests: where the built tree lives and how to run its programs."""
import os
import subprocess
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("QZ_BUILD", os.path.join(ROOT, "build"))
TREE = os.path.join(BUILD, "tree")
TEST_TREE = os.path.join(BUILD, "testtree")


class Finished(object):
    def __init__(self, status, out, err):
        self.status, self.out, self.err = status, out, err

    def __repr__(self):
        return "Finished(%r, out=%r, err=%r)" % (self.status, self.out, self.err)


def run(argv, env=None, timeout=60, stdin=None):
    """Runs argv to its end (killed after `timeout` seconds) and returns its status and output."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=full_env)
    return finish(proc, timeout, stdin)


def finish(proc, timeout=30, stdin=None):
    """Waits for a started process (killed after `timeout` seconds) and
    returns its status and whatever output it sent to pipes."""
    timer = threading.Timer(timeout, proc.kill)
    timer.start()
    try:
        out, err = proc.communicate(stdin)
    finally:
        timer.cancel()
    return Finished(proc.returncode, out, err)


def wait_until(test, timeout=20, poll=0.01):
    """Polls test() until it is true; fails the test after `timeout` seconds."""
    deadline = time.time() + timeout
    while not test():
        assert time.time() < deadline, "timed out after %s s" % timeout
        time.sleep(poll)
