"""The host helpers every module shares: one error expected, sequence items,
float conversion, a module's own globals."""
import sys

import pytest

import hostprobe


class Number(object):
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("value, expected", [
    (1, 1.0), (2 ** 70, float(2 ** 70)), (-0.5, -0.5), (Number(), 2.5), (True, 1.0),
])
def test_as_double_takes_what_the_host_converts(value, expected):
    assert hostprobe.as_double(value) == expected


@pytest.mark.parametrize("value, error", [
    ("1.5", TypeError),      # a text is no number here, unlike float("1.5")
    (None, TypeError),
    (10 ** 400, OverflowError),
])
def test_as_double_raises_the_hosts_error(value, error):
    with pytest.raises(error):
        hostprobe.as_double(value)


@pytest.mark.parametrize("value, expected", [
    ("12", 12), ("x", None), (u"1 2", None), (3.9, 3),
])
def test_an_expected_error_is_cleared(value, expected):
    assert hostprobe.int_or_none(value) == expected
    # nothing is left pending for the next call to trip on
    assert hostprobe.at([1, 2], -1) == 2


@pytest.mark.parametrize("value, error", [
    (None, TypeError),
    ([], TypeError),
])
def test_any_other_error_goes_on(value, error):
    with pytest.raises(error):
        hostprobe.int_or_none(value)


def test_items_and_globals_as_the_host_reads_them():
    assert [hostprobe.at("abc", i) for i in (0, -1)] == ["a", "c"]
    with pytest.raises(IndexError):
        hostprobe.at((), 0)
    module = sys.modules[__name__]
    assert hostprobe.global_of(module, "Number") is Number
    with pytest.raises(KeyError):
        hostprobe.global_of(module, "no_such_name")


class Raising(Exception):
    """An error whose own text fails with `error`."""

    def __init__(self, error):
        Exception.__init__(self)
        self.error = error

    def __str__(self):
        raise self.error


def test_an_error_whose_text_fails_is_shown_by_its_repr():
    assert hostprobe.error_repr(Raising(ValueError("x"))) == "Raising()"


@pytest.mark.parametrize("stop", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_while_showing_an_error_is_not_swallowed(stop):
    with pytest.raises(stop):
        hostprobe.error_repr(Raising(stop()))
