"""Renders one nested value of about 100,000 nodes with dumptree(v, False)
and with pprint.pformat(v); prints times, peak memory and their ratio.

Each render runs in a fresh process so that its peak resident memory is its
own: python dumptree.py [dumptree|pprint] prints "<seconds> <peak KB over the
value alone>"; without an argument it drives both and reports."""
import gc
import os
import resource
import subprocess
import sys
import time


class Record:
    kind = "record"
    size = 0

    def __init__(self, i):
        self.size = i
        self.label = "record %d" % i


def build(target=100000):
    """Mappings of lists of mappings, with strings, numbers and a few instances."""
    nodes = [0]

    def leaf(i):
        nodes[0] += 1
        return ("text %d" % i, i, i * 0.5, None)[i % 4]

    root = {}
    i = 0
    while nodes[0] < target:
        group = []
        for j in range(20):
            row = dict(("field%d" % k, leaf(i + k)) for k in range(8))
            nodes[0] += 1
            if j % 10 == 0:
                row["record"] = Record(i)
                nodes[0] += 4
            group.append(row)
            i += 8
        root["group%05d" % len(root)] = group
        nodes[0] += 2
    return root, nodes[0]


def peak_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def render(which):
    value, _ = build()
    gc.collect()
    from qz import dumptree
    import pprint
    fn = (lambda v: dumptree.dumptree(v, False)) if which == "dumptree" else pprint.pformat
    before = peak_kb()
    best = None
    for _ in range(3):
        started = time.time()
        text = fn(value)
        elapsed = time.time() - started
        best = elapsed if best is None else min(best, elapsed)
        del text
    print best, peak_kb() - before


def main():
    _, nodes = build()
    results = {}
    for which in ("pprint", "dumptree"):
        out = subprocess.check_output([sys.executable, __file__, which])
        seconds, kb = out.split()
        results[which] = (float(seconds), int(kb))
    print "value: %d nodes" % nodes
    for which in ("dumptree", "pprint"):
        seconds, kb = results[which]
        print "%-9s %8.1f ms  peak +%6.1f MB" % (which, seconds * 1000, kb / 1024.0)
    print "ratio %.2f" % (results["pprint"][0] / results["dumptree"][0])


if __name__ == "__main__":
    if len(sys.argv) > 1:
        render(sys.argv[1])
    else:
        main()
