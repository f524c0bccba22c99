"""The prebuilt default encoder gives what the codec's own dumps gives: the
same text, or the same error, and no state carried from one call to the next."""
import collections
import datetime
import json
from decimal import Decimal

import pytest
import simplejson

import hostprobe

Point = collections.namedtuple("Point", "x y")


class Looped(dict):
    pass


looped = Looped(a=1)
looped["self"] = looped

VALUES = [
    {},
    {"a": 1, u"b": [1.5, None, True, False], 3: "x", 2.5: (1, 2)},
    {"caf\xc3\xa9": u"J\xfcrgen \u20ac \U0001f600", "tab\t": "quote\" back\\ nl\n"},
    {"big": 2 ** 70, "neg": -2 ** 63, "small": 1e-300, "f": 0.1, "g": 1e22},
    {"dec": Decimal("12.50"), "d2": Decimal("-0.0000001"), "d3": Decimal("1E+10")},
    {"nan": float("nan")},
    {"inf": float("inf"), "ninf": float("-inf")},
    {"bad": "\xff\xfe"},
    {"when": datetime.datetime(2020, 1, 1)},
    {"point": Point(1, 2)},
    {"s": set([1])},
    {(1, 2): "tuple key"},
    [1, [2, [3, {"deep": u"\xe9"}]]],
    looped,
    "lone \xc3\xa9",
    u"lone \xe9",
    12,
    None,
]


def outcome(call, value):
    try:
        return ("text", call(value))
    except Exception as e:
        return ("error", type(e), str(e))


@pytest.mark.parametrize("codec", [json, simplejson], ids=["json", "simplejson"])
def test_same_text_or_same_error_as_dumps(codec):
    dumps = hostprobe.default_dumps(codec)
    for value in VALUES:
        assert outcome(dumps, value) == outcome(codec.dumps, value), repr(value)


@pytest.mark.parametrize("codec", [json, simplejson], ids=["json", "simplejson"])
def test_a_failed_call_leaves_nothing_behind(codec):
    dumps = hostprobe.default_dumps(codec)
    # A failure deep inside leaves cycle markers for the containers it was in;
    # the same containers encoded again must not look circular.
    inner = {"x": [1, 2]}
    outer = {"inner": inner, "bad": object()}
    with pytest.raises(TypeError):
        dumps(outer)
    del outer["bad"]
    assert dumps(outer) == codec.dumps(outer)
    for _ in range(3):
        assert dumps(inner) == codec.dumps(inner)


@pytest.mark.parametrize("codec", [json, simplejson], ids=["json", "simplejson"])
@pytest.mark.parametrize("setting", [{"indent": 1}, {"sort_keys": True}])
def test_a_default_encoder_set_up_otherwise_is_honoured(monkeypatch, codec, setting):
    monkeypatch.setattr(codec, "_default_encoder", codec.JSONEncoder(**setting))
    value = {"b": [1], "a": 2, "c": {"d": 3, "e": 4}}
    assert hostprobe.default_dumps(codec)(value) == codec.dumps(value)
