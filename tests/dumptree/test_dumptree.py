"""qz.dumptree: the text of every kind of value, matched against the rules
written out in plain Python (oracle.py) and against fixed expectations."""
import os
import random
import sys
import types

import pytest

from harness import run
from qz import dumptree as dt
import oracle

LIST, DICT, INSTANCE, CLASSOBJ = (str(types.ListType), str(types.DictType),
                                  str(types.InstanceType), str(types.ClassType))


@pytest.fixture
def ref():
    return oracle.Oracle(dt.SYMBOLS)


class Captured(object):
    """What the library printed since the last look (pytest's capture, which
    a replaced sys.stdout in a fixture would not survive)."""

    def __init__(self, capsys):
        self.capsys = capsys

    def getvalue(self):
        return self.capsys.readouterr().out


@pytest.fixture
def stdout(capsys):
    return Captured(capsys)


def test_worked_example(stdout):
    value = {"b": [1, 2], "a": "x"}
    assert dt.dumptree(value, False) == "\n".join([
        "a = x", "b = %s" % LIST, "    0 = 1", "    1 = 2"])
    assert dt.qz_dumptree(value, False) == "\n".join([
        "(", "    a = x", "    b = %s" % LIST, "        0 = 1", "        1 = 2", ")"])
    assert stdout.getvalue() == ""
    dt.qz_dumptree(value)
    assert stdout.getvalue() == "\n".join([
        "0 = (", "1 = %s" % DICT, "    a = x", "    b = %s" % LIST, "        0 = 1",
        "        1 = 2", "2 = )"]) + "\n"


class Old:
    x = 5
    y = "class"
    empty = ""

    def __add__(self, other):
        return self


class New(object):
    def __str__(self):
        return "new-style"


class UnicodeStr:
    def __str__(self):
        return u"caf\xe9"


def instance(**attrs):
    obj = Old()
    obj.__dict__.update(attrs)
    return obj


@pytest.mark.parametrize("value, maxd, expected", [
    ([], 10, []),
    ({}, 10, []),
    ("anything", 0, oracle.DEPTH_MESSAGE),
    ((1, 2), 10, (1, 2)),
    ("text", 10, "text"),
    (5, 10, 5),
    ([[1, 2]], 2, [{"name": 0, "type": list, "value": [
        {"name": 0, "type": int, "value": oracle.DEPTH_MESSAGE},
        {"name": 1, "type": int, "value": oracle.DEPTH_MESSAGE}]}]),
    ({"b": 1, "a": 2}, 10, [{"name": "a", "type": int, "value": 2},
                            {"name": "b", "type": int, "value": 1}]),
])
def test_totree(stdout, value, maxd, expected):
    dt.dumptree([1], False, 4, maxd)
    assert dt.totree(value) == expected


def test_self_containing_list_stops_at_the_depth_limit():
    loop = []
    loop.append(loop)
    dt.dumptree([1], False, 4, 3)
    tree = dt.totree(loop)
    assert tree[0]["value"][0]["value"][0]["value"] == oracle.DEPTH_MESSAGE
    assert dt.dumptree(loop, False, 1, 3).endswith("  0 = %s%s" % (LIST, oracle.DEPTH_MESSAGE))


@pytest.mark.parametrize("value", [[], {}])
def test_negative_depth_on_a_self_containing_value_is_a_recursion_error(value):
    if isinstance(value, list):
        value.append(value)
    else:
        value["me"] = value
    with pytest.raises(RuntimeError) as info:
        dt.dumptree(value, False, 4, -1)
    assert "maximum recursion depth exceeded" in str(info.value)
    assert dt.dumptree([1], False) == "0 = 1"  # and the library still works


def test_instance_takes_true_instance_values_of_class_attributes_only(stdout):
    obj = instance(x=0, y="mine", z="not in the class")
    text = dt.dumptree({"o": obj}, False)
    assert "x = 5" in text and "y = mine" in text and "z = " not in text
    assert "+ = <unbound method" not in text  # an instance shows the class's function
    lines = text.split("\n")
    assert lines[0] == "o = %s" % INSTANCE
    assert lines[1].startswith("    <%s.Old instance at " % __name__)
    assert lines[1].endswith(" = %s" % DICT)


def test_class_shows_its_own_attributes_sorted_with_symbols():
    lines = dt.dumptree({"C": Old}, False).split("\n")
    assert lines[:2] == ["C = %s" % CLASSOBJ, "    %s.Old = %s" % (__name__, DICT)]
    assert [l.split(" = ")[0].strip() for l in lines[2:]] == [
        "+", "__doc__", "__module__", "empty", "x", "y"]


def test_module_in_a_mapping_has_no_type_text():
    lines = dt.dumptree({"m": os.path}, False, 4, 2).split("\n")
    assert lines[0] == "m = "
    assert lines[1] == "    %s = %s%s" % (os.path, DICT, oracle.DEPTH_MESSAGE)


@pytest.mark.parametrize("value, expected", [
    ({"__add__": 1, "__divmod__": 2, "__rdivmod__": 3}, "+ = 1\n% = 2\n/ = 3"),
    ([10], "0 = 10"),
    ({"e": {}, "l": []}, "e = %s\n\nl = %s\n" % (DICT, LIST)),
    ({"n": New()}, "n = new-style"),
    ({1: "one", "1": "text one", 1.5: "float"}, "1 = one\n1.5 = float\n1 = text one"),
])
def test_rendering(value, expected):
    assert dt.dumptree(value, False) == expected


def test_indent_zero_keeps_entries_on_the_containers_line():
    assert dt.dumptree({"l": [1, 2]}, False, 0) == "l = %s0 = 1\n1 = 2" % LIST


@pytest.mark.parametrize("value", [None, False, 0, "", [], {}])
def test_false_value_prints_usage_and_returns_none(stdout, value):
    assert dt.dumptree(value, False) is None
    assert stdout.getvalue() == "usage: dumptree(object[, output[, indent[, depth]]])\n"


def test_no_argument_prints_usage(stdout):
    assert dt.dumptree() is None and stdout.getvalue().startswith("usage: dumptree(")


def test_leaf_is_printed_and_returned_itself(stdout):
    assert dt.dumptree(5) == 5
    assert stdout.getvalue() == "5\n"


@pytest.mark.parametrize("value, expected", [
    (5, "(\n)"),
    ("one line", "(\n)"),
    ("first\nsecond\nthird", "(\nsecond\nthird\n)"),
])
def test_qz_dumptree_of_a_leaf(value, expected):
    assert dt.qz_dumptree(value, False) == expected


def test_qz_dumptree_depth_one_and_zero(stdout):
    assert dt.qz_dumptree({"a": [1]}, False, 4, 1) == "(\n)"
    with pytest.raises(IndexError):
        dt.qz_dumptree({"a": 1}, True, 4, 0)
    assert stdout.getvalue() == oracle.DEPTH_MESSAGE + "\n"


def test_keywords_and_argument_errors():
    assert dt.dumptree(obj=[1], output=False, indent=1, depth=5) == "0 = 1"
    with pytest.raises(TypeError) as info:
        dt.dumptree(1, False, 4, 10, 5)
    assert str(info.value) == "dumptree() takes at most 4 arguments (5 given)"
    with pytest.raises(TypeError):
        dt.qz_dumptree(1, False, 4, 10, 5)
    with pytest.raises(TypeError):
        dt.printtree()
    with pytest.raises(TypeError):
        dt.printtree([], "", "")
    with pytest.raises(TypeError):
        dt.dumptree([1], nonsense=1)


def test_bad_indent_fails_before_anything_is_set():
    dt.dumptree([1], False, 3, 7)
    with pytest.raises(TypeError):
        dt.dumptree([1], False, 2.5, 99)
    assert (dt.TAB, dt.MAXD) == ("   ", 7)


class BadStr:
    def __str__(self):
        raise ValueError("no string form")


@pytest.mark.parametrize("value, error", [
    ({"o": BadStr()}, ValueError),
    ({1j: 1, 2j: 2}, TypeError),  # keys without an ordering
])
def test_host_errors_propagate(stdout, value, error):
    with pytest.raises(error):
        dt.dumptree(value)
    assert stdout.getvalue() == ""


def test_unicode_promotes_and_mixed_bytes_fail_as_in_the_host(ref):
    assert dt.dumptree({"u": u"caf\xe9"}, False) == u"u = caf\xe9"
    assert type(dt.dumptree({"u": u"x", "b": "y"}, False)) is unicode
    assert dt.dumptree({"b": "caf\xc3\xa9"}, False) == "b = caf\xc3\xa9"
    assert dt.dumptree({"o": UnicodeStr()}, False) == ref.dumptree({"o": UnicodeStr()}, False)
    with pytest.raises(UnicodeDecodeError):  # the host cannot join these either
        dt.dumptree({"b": "caf\xc3\xa9", "u": u"caf\xe9"}, False)
    with pytest.raises(UnicodeDecodeError):
        ref.dumptree({"b": "caf\xc3\xa9", "u": u"caf\xe9"}, False)


def test_library_values_do_not_exist_before_the_first_dumptree():
    script = "\n".join([
        "from qz import dumptree as d",
        "assert not hasattr(d, 'TAB') and not hasattr(d, 'MAXD') and not hasattr(d, 'version')",
        "assert len(d.SYMBOLS) == 70",
        "for call in (lambda: d.totree(1), lambda: d.printtree([{'name': 1}])):",
        "    try: call()",
        "    except NameError as e: print e",
        "print repr(d.printtree([])), d.printtree(7)",
    ])
    done = run([sys.executable, "-c", script])
    assert done.status == 0, done.err
    assert done.out == ("name 'MAXD' is not defined\nname 'TAB' is not defined\n'' 7\n")


def test_explored_and_default():
    assert [dt.explored(t) for t in (types.InstanceType, types.ClassType, list, dict,
                                     types.ModuleType, tuple, New)] == [
        True, True, True, True, False, False, False]
    marker = object()
    assert dt.default(marker) is marker


def random_value(rng, depth, pool):
    choice = rng.randint(0, 12 if depth < 5 else 6)
    leaves = [lambda: rng.randint(-5, 5), lambda: rng.choice(["", "a", "b c", "caf\xc3\xa9",
                                                                "x\ny", "__add__"]),
              lambda: rng.random(), lambda: None, lambda: (1, "t"), lambda: rng.random() < 0.5,
              lambda: New()]
    if choice <= 6:
        return leaves[choice]()
    if choice <= 8:
        value = [random_value(rng, depth + 1, pool) for _ in range(rng.randint(0, 4))]
    elif choice <= 10:
        value = dict((rng.choice(["k%d" % i, i, u"u%d" % i, "__add__"]),
                      random_value(rng, depth + 1, pool)) for i in range(rng.randint(0, 4)))
    elif choice == 11:
        value = instance(x=random_value(rng, depth + 1, pool), extra=1)
    else:
        value = rng.choice(pool) if pool else []
    pool.append(value)
    if isinstance(value, list) and pool and rng.random() < 0.2:
        value.append(rng.choice(pool))  # containers that contain themselves or each other
    return value


def outcome(render, *args):
    try:
        return render(*args)
    except UnicodeError as e:  # byte strings beside unicode fail in the host too
        return type(e)


def test_randomized_values_match_the_rules(ref, stdout):
    rng = random.Random(1234)
    for i in range(400):
        value = random_value(rng, 0, [])
        args = (value, False, rng.randint(0, 4), rng.randint(1, 8))
        framed = outcome(dt.qz_dumptree, *args)
        assert framed == outcome(ref.qz_dumptree, *args), (i, value)
        assert outcome(dt.dumptree, *args) == outcome(ref.dumptree, *args), (i, value)
        _, _, indent, depth = args
        multiline_leaf = "x\\ny" in repr(value)  # a leaf's later lines get no indent
        if type(value) in (list, dict) and value and indent and depth > 1 \
                and not isinstance(framed, type) and not multiline_leaf:
            # the frame holds the value's own rendering one level down, one TAB in
            inner = dt.dumptree(value, False, indent, depth - 1)
            tab = " " * indent
            assert framed == "\n".join(["("] + [tab + l if l else l for l in inner.split("\n")]
                                       + [")"]), (i, value)


def rss_kb():
    with open("/proc/self/status") as f:
        return int([l for l in f if l.startswith("VmRSS:")][0].split()[1])


def test_repeated_renders_leak_nothing():
    module = types.ModuleType("fixture")
    module.attribute = [1, 2]
    value = {"a": [1, "x", {"b": instance(x=3)}], "c": Old, "m": module, "u": u"caf\xe9"}
    for _ in range(200):
        dt.qz_dumptree(value, False)
    refs, rss = sys.getrefcount(value), rss_kb()
    for _ in range(3000):
        dt.qz_dumptree(value, False)
        dt.totree(value)
    assert sys.getrefcount(value) == refs
    assert rss_kb() - rss < 2048
