# -*- coding: utf-8 -*-
"""qz.dumptree writes its text as it walks the value. Checked against the rules
written out in plain Python (oracle.py), which build every level as a host
string: where unicode meets byte strings (the result's kind, and the host's
own decoding error down to the byte string it names), for texts large enough
to leave the small buffer, for qz_dumptree's frame and for printtree on trees
given by the caller."""
import os
import random
import sys

import pytest

from harness import run
from qz import dumptree as dt
import oracle


@pytest.fixture
def ref():
    return oracle.Oracle(dt.SYMBOLS)


def outcome(render, *args):
    """A call's result with its kind (u"x" == "x", so the kind must be compared
    too), or its error with the error's arguments."""
    try:
        result = render(*args)
        return type(result), result
    except Exception as e:
        return type(e), e.args


def renders(ref, value, indent=4, depth=10):
    """Pairs (native, rules) of dumptree, qz_dumptree and printtree(totree())."""
    args = (value, False, indent, depth)
    pairs = [(outcome(dt.dumptree, *args), outcome(ref.dumptree, *args)),
             (outcome(dt.qz_dumptree, *args), outcome(ref.qz_dumptree, *args))]
    dt.dumptree([1], False, indent, depth)  # TAB and MAXD for the two stages
    ref.dumptree([1], False, indent, depth)
    pairs.append((outcome(lambda: dt.printtree(dt.totree(value))),
                  outcome(lambda: ref.printtree(ref.totree(value)))))
    return pairs


class Both(object):
    """A leaf whose unicode form is not its string form: a line shows the one
    the host's formatting asks for (unicode once the line has turned unicode)."""

    def __str__(self):
        return "str-form"

    def __unicode__(self):
        return u"unicode-form"


class UnicodeStr(object):
    def __str__(self):
        return u"caf\xe9"


class NamedUnicode:
    """An instance whose name (its string form) is unicode."""
    x = 1

    def __str__(self):
        return u"inst\xe9"


class NamedBytes:
    """An instance whose name is a byte string outside ASCII."""
    x = 1

    def __str__(self):
        return "inst\xc3\xa9"


UTF8 = "caf\xc3\xa9"

# Each case makes the host meet unicode and bytes at one point of its own
# rendering; the native text must end the same way, error arguments included.
MEETINGS = [
    ("join: a byte line beside a unicode line", {"a": UTF8, "b": u"x"}, UnicodeDecodeError),
    ("join: the first of two failing byte lines", {"a": UTF8, "b": u"x", "c": "\xff"},
     UnicodeDecodeError),
    ("join: only ASCII bytes", {"a": "plain", "b": u"caf\xe9"}, unicode),
    ("line: a unicode name and a byte leaf", {u"k": UTF8}, UnicodeDecodeError),
    ("line: a unicode name and a nested byte text", {u"k": [UTF8]}, UnicodeDecodeError),
    ("line: a byte name and a nested unicode text", {UTF8: [u"x"]}, UnicodeDecodeError),
    ("line: a byte name and a nested empty unicode", {UTF8: [u""]}, UnicodeDecodeError),
    ("an empty unicode text makes all unicode", {"a": [u""]}, unicode),
    ("a unicode line asks a leaf for its unicode form", {u"k": Both()}, unicode),
    ("a byte line asks for its string form", {"k": Both()}, str),
    ("a string form that is unicode", {"k": UnicodeStr()}, unicode),
    ("an instance named in unicode over byte entries", [NamedUnicode(), UTF8],
     UnicodeDecodeError),
    ("an instance named in non-ASCII bytes under unicode", [NamedBytes(), u"x"],
     UnicodeDecodeError),
    ("non-ASCII bytes that never meet unicode", {"a": UTF8, "b": [UTF8]}, str),
    ("deep meeting: byte text three levels under a unicode name",
     {u"k": {"a": {"b": ["\xe9"]}}}, UnicodeDecodeError),
]


@pytest.mark.parametrize("what, value, kind", MEETINGS, ids=[m[0] for m in MEETINGS])
def test_where_unicode_meets_bytes(ref, what, value, kind):
    for native, rules in renders(ref, value):
        assert native == rules
    assert renders(ref, value)[0][0][0] is kind


def random_value(rng, depth):
    leaves = [u"", u"x", u"caf\xe9", UTF8, "plain", 7, 2.5, None, u"a\nb", "\xff",
              Both(), UnicodeStr()]
    # Keys stay ASCII or unicode: a byte key outside ASCII beside a unicode one
    # fails already while sorting, which is not what is checked here.
    keys = ["k", u"u", u"\xe9t\xe9", 3, "__add__", u"__or__"]
    choice = rng.randint(0, 9 if depth < 4 else 5)
    if choice <= 5:
        return rng.choice(leaves)
    if choice <= 6:
        return [random_value(rng, depth + 1) for _ in range(rng.randint(0, 3))]
    if choice <= 8:
        return dict((rng.choice(keys), random_value(rng, depth + 1))
                    for _ in range(rng.randint(0, 3)))
    obj = rng.choice([NamedUnicode, NamedBytes])()
    obj.x = random_value(rng, depth + 1)
    return obj


def test_randomized_mixed_texts_end_as_the_rules_do(ref):
    rng = random.Random(4321)
    kinds = set()
    for i in range(600):
        value = random_value(rng, 0)
        indent, depth = rng.randint(0, 3), rng.randint(1, 6)
        for native, rules in renders(ref, value, indent, depth):
            assert native == rules, (i, value, indent, depth)
            kinds.add(rules[0])
    assert {str, unicode, UnicodeDecodeError} <= kinds  # every outcome was reached


def large_value(count, last):
    return {"rows": ["row %d" % i for i in range(count)] + [last], "z": {"end": 1}}


@pytest.mark.parametrize("last", ["ascii", u"caf\xe9", UTF8])
def test_large_text_with_its_last_piece_deciding_its_kind(ref, last):
    value = large_value(60000, last)
    for native, rules in renders(ref, value):
        assert native == rules
    text = dt.dumptree(value, False)
    assert len(text) > 1024 * 1024  # past the small buffer, into mapped pages
    value["rows"].append(u"x")  # a byte line outside ASCII now meets unicode at the end
    for native, rules in renders(ref, value)[:2]:
        assert native == rules
    assert (outcome(dt.dumptree, value, False)[0] is UnicodeDecodeError) == (last is UTF8)


def test_large_texts_one_after_another_stay_whole(ref):
    for count in (30000, 150000, 60000):
        value = large_value(count, "last")
        assert dt.qz_dumptree(value, False) == ref.qz_dumptree(value, False)


@pytest.mark.parametrize("value", [
    {"a": [1, 2]},
    {u"a": [1, 2]},
    {"a": u"caf\xe9\nsecond line"},
    u"one unicode leaf",  # unicode rendering, but its frame is two byte lines
    u"first\nsecond\nthird",
])
def test_qz_dumptree_frames_printed_or_not(ref, capsys, value):
    quiet = outcome(dt.qz_dumptree, value, False)
    assert quiet == outcome(ref.qz_dumptree, value, False)
    assert outcome(dt.qz_dumptree, value, True) == quiet
    printed = capsys.readouterr().out  # unicode or bytes, as the capture gives it
    framed = ref.dumptree(["(", value, ")"], False)
    assert utf8(printed) == utf8(framed) + "\n"


def utf8(text):
    return text.encode("utf-8") if isinstance(text, unicode) else text


class ListKind(list):
    pass


@pytest.mark.parametrize("tree, tab", [
    ([{"name": "a", "type": list, "value": ListKind([1])}], ""),  # not exactly a list: a leaf
    ([{"name": "a", "type": ListKind, "value": [{"name": 0, "type": int, "value": 1}]}], ""),
    ([{"name": u"__add__", "type": dict, "value": (1, 2)}], "  "),
    ([{"name": "n", "type": list, "value": []}, {"name": u"m", "type": int, "value": UTF8}], ""),
    ([], "  "),
    ([], ""),
    ("not a tree", "  "),
])
def test_printtree_of_trees_from_the_caller(ref, tree, tab):
    dt.dumptree([1], False, 2)
    ref.dumptree([1], False, 2)
    assert outcome(dt.printtree, tree, tab) == outcome(ref.printtree, tree, tab)


def test_a_site_default_encoding_other_than_ascii(tmpdir):
    """A site that set the host's default encoding to UTF-8 (reload(sys);
    sys.setdefaultencoding) decodes UTF-8 bytes where they meet unicode, and
    still fails on bytes that are not UTF-8: in a process of its own."""
    script = tmpdir.join("utf8_site.py")
    script.write("\n".join([
        "import sys",
        "sys.path.insert(0, %r)" % os.path.dirname(os.path.abspath(__file__)),
        "reload(sys)",
        "sys.setdefaultencoding('utf-8')",
        "import test_dumptree_text as t",
        "from qz import dumptree as dt",
        "import oracle",
        "ref = oracle.Oracle(dt.SYMBOLS)",
        "values = [m[1] for m in t.MEETINGS] + [{'a': t.UTF8, 'b': u'x', 'c': '\\xff'},",
        "                                        t.large_value(60000, u'x')]",
        "kinds = set()",
        "for value in values:",
        "    for native, rules in t.renders(ref, value):",
        "        assert native == rules, (value, native, rules)",
        "        kinds.add(rules[0].__name__)",
        "print ' '.join(sorted(kinds))",
    ]))
    done = run([sys.executable, str(script)], timeout=120)
    assert done.status == 0, done.err
    assert done.out.split() == ["UnicodeDecodeError", "str", "unicode"]
