"""Renders one nested value with dumptree(v, False), qz_dumptree(v, False) and
pprint.pformat(v), at about 100,000 and about 1,000,000 nodes; prints time,
peak memory and the size of the text produced, then the ratio.

Each renderer runs in a fresh process, which builds the value and renders it
three times: python dumptree_bench.py render <which> <nodes> prints "<best
seconds> <peak bytes added> <characters of text>"; without arguments it
drives every render and reports.

Peak memory added is, for each render, the highest resident memory during it
less the resident memory when it began (the kernel's high-water mark is reset
in between), and the largest of the three: what one render costs a process
that already holds the value. Measured from the first render alone, a later
render would also be charged with the memory in which the allocator keeps an
earlier render's freed text for reuse."""
import gc
import subprocess
import sys
import time

SIZES = (100000, 1000000)
RENDERERS = ("dumptree", "qz_dumptree", "pprint")
TRIALS = 3
MEMORY_TARGET = 2.0  # peak memory added, in multiples of the text produced
RATIO_TARGET = 3.0   # pprint time / dumptree time


class Record:
    kind = "record"
    size = 0

    def __init__(self, i):
        self.size = i
        self.label = "record %d" % i


def build(target):
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


def memory_kb():
    """(resident, high-water mark) of this process, in KB."""
    found = {}
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(("VmRSS:", "VmHWM:")):
                found[line[:5]] = int(line.split()[1])
    return found["VmRSS"], found["VmHWM"]


def reset_high_water_mark():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def renderer(which):
    from qz import dumptree
    import pprint
    return {"dumptree": lambda v: dumptree.dumptree(v, False),
            "qz_dumptree": lambda v: dumptree.qz_dumptree(v, False),
            "pprint": pprint.pformat}[which]


def render(which, target):
    value, _ = build(target)
    fn = renderer(which)
    gc.collect()
    best = None
    peak = 0
    size = 0
    for _ in range(TRIALS):
        reset_high_water_mark()
        before = memory_kb()[0]
        started = time.time()
        text = fn(value)
        elapsed = time.time() - started
        peak = max(peak, memory_kb()[1] - before)
        best = elapsed if best is None else min(best, elapsed)
        size = len(text)
        del text
    print best, peak * 1024, size


def measure(which, target):
    out = subprocess.check_output([sys.executable, __file__, "render", which, str(target)])
    seconds, peak, size = out.split()
    return float(seconds), int(peak), int(size)


def main():
    ratios = []
    memory_met = True
    for target in SIZES:
        nodes = build(target)[1]
        results = dict((which, measure(which, target)) for which in RENDERERS)
        print "value: %d nodes" % nodes
        for which in RENDERERS:
            seconds, peak, size = results[which]
            print "  %-11s %8.1f ms  %5.2f us/node  peak +%6.1f MB  text %5.1f MB  peak/text %5.2f" % (
                which, seconds * 1000, seconds * 1e6 / nodes, peak / 1e6, size / 1e6,
                float(peak) / size)
            if which != "pprint" and peak > MEMORY_TARGET * size:
                memory_met = False
        ratios.append(results["pprint"][0] / results["dumptree"][0])
        print "  pprint time / dumptree time: %.2f" % ratios[-1]
    print "memory: peak at most %.0f times the text at every size: %s" % (
        MEMORY_TARGET, "met" if memory_met else "NOT met")
    print "ratio %.2f" % min(ratios)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "render":
        render(sys.argv[2], int(sys.argv[3]))
    else:
        main()
