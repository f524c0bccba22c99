"""The host layer: errors, texts, log lines and references, as our modules use them."""
import gc
import re
import sys
import types
from StringIO import StringIO

import pytest

import hostprobe


class Custom(Exception):
    pass


def raiser(exc):
    raise exc


@pytest.mark.parametrize("exc", [
    ValueError("x"),
    KeyError("k"),
    Custom("mine", 2),
    UnicodeDecodeError("utf8", b"\xff", 0, 1, "bad"),
    ValueError(b"\xff not UTF-8"),
    ValueError(u"caf\xe9"),
])
def test_host_error_from_deep_inside_reaches_the_caller_unchanged(exc):
    with pytest.raises(type(exc)) as info:
        hostprobe.call_nested(200, raiser, exc)
    assert info.value is exc


def test_keywords_and_results_cross_unchanged():
    result = hostprobe.call_nested(5, dict, a=1, b="two")
    assert result == {"a": 1, "b": "two"}
    assert [type(k) for k in hostprobe.kwargs_keys()] == [str]


def test_runaway_recursion_ends_with_the_hosts_recursion_error():
    loop = []
    loop.append(loop)
    with pytest.raises(RuntimeError) as info:
        hostprobe.count_nodes(loop)
    assert "maximum recursion depth exceeded while counting nodes" in str(info.value)
    assert hostprobe.count_nodes([[1], [2, [3]]]) == 7  # the guard is left on every level


class OldStyle:
    pass


class NewStyle(object):
    pass


@pytest.mark.parametrize("value, old_instance, old_class", [
    (OldStyle(), True, False),
    (OldStyle, False, True),
    (NewStyle(), False, False),
    (NewStyle, False, False),
    (1, False, False),
])
def test_old_style_kinds(value, old_instance, old_class):
    assert hostprobe.exercise(value)[4:] == (old_instance, old_class)


def test_old_style_kind_objects_are_the_hosts():
    assert hostprobe.kinds() == (types.InstanceType, types.ClassType)


def test_texts_are_byte_strings_and_string_forms_are_the_hosts():
    assert type(hostprobe.text(b"\xff\x00a")) is str and hostprobe.text(b"\xff\x00a") == b"\xff\x00a"
    s, r, t, kw = hostprobe.exercise(b"\xff")[:4]
    assert (s, r, t) == (b"\xff", "'\\xff'", True)
    assert sorted(kw) == ["key", "other"]
    assert hostprobe.exercise(u"abc")[:2] == ("abc", "u'abc'")
    with pytest.raises(UnicodeEncodeError):  # str() of non-ASCII unicode fails in the host too
        hostprobe.exercise(u"\xe9")


@pytest.mark.parametrize("items, expected", [
    ((), "\n"),
    (("a",), "a\n"),
    (("a", "b"), "a b\n"),
    (("text ", 3), "text  3\n"),          # a text ending in a blank still gets its separator
    (("line\n", "next"), "line\nnext\n"),  # ... one ending in a newline gets none
    (("tab\t", "x"), "tab\tx\n"),
    (("", "x"), " x\n"),
    ((u"uni ", b"b"), "uni  b\n"),
    ((1, 2.5, None, [1, "x"]), "1 2.5 None [1, 'x']\n"),
    ((ValueError("x"),), "x\n"),
])
def test_log_line_writes_items_as_print_does(monkeypatch, items, expected):
    out = StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    hostprobe.log(*items)
    assert out.getvalue() == expected
    # and the host's own print statement agrees
    ref = StringIO()
    for item in items:
        print >> ref, item,
    print >> ref
    assert ref.getvalue() == expected


def test_log_line_continues_the_hosts_softspace(monkeypatch):
    out = StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    print "before",
    hostprobe.log("x")
    print "after"
    assert out.getvalue() == "before x\nafter\n"


def test_timed_line_starts_with_utc_time(monkeypatch):
    out = StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    hostprobe.log_now(ValueError("x"))
    assert re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} XX001 x\n$", out.getvalue())
    assert re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}$", hostprobe.utc_now())


def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])


def test_a_long_loop_through_the_host_layer_leaks_nothing(monkeypatch):
    monkeypatch.setattr(sys, "stdout", open("/dev/null", "w"))
    value = ["payload", OldStyle()]
    identity = lambda *a, **k: a

    def loop(n):
        for _ in xrange(n):
            hostprobe.exercise(value)
            hostprobe.call_nested(3, identity, value, key=value)
            hostprobe.log("line", value, 1)
            try:
                hostprobe.call_nested(3, raiser, ValueError(value))
            except ValueError:
                pass

    loop(1000)  # warm up caches and allocator pools
    gc.collect()
    refs, objects, rss = sys.getrefcount(value), len(gc.get_objects()), rss_kb()
    loop(100000)
    gc.collect()
    assert sys.getrefcount(value) == refs
    assert len(gc.get_objects()) <= objects + 10
    assert rss_kb() - rss < 1024
