"""The README's settings tables against qz.qzconfig, where every default and
meaning is kept: an operator's configuration is written from the README."""
import ast
import os
import re

import pytest

from qz import qzconfig

README = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "README.md")
# | `NAME` | `default` | meaning |
ROW = re.compile(r"^\| `([A-Z][A-Z0-9_]*)` \| `([^`]*)` \| (.*) \|$")
DEFAULTS = dict((name, (default, meaning)) for name, default, meaning in qzconfig.DEFAULTS)


def rows():
    """(section, name, default text, meaning) of every settings row."""
    found, section = [], None
    with open(README) as f:
        for line in f:
            if line.startswith("## "):
                section = line[3:].strip()
            m = ROW.match(line.rstrip("\n"))
            if m:
                found.append((section,) + m.groups())
    return found


def value(text):
    return None if text == "null" else ast.literal_eval(text)


@pytest.mark.parametrize("section, name, default, meaning", rows())
def test_a_documented_setting_has_the_default_of_qzconfig(section, name, default, meaning):
    assert name in DEFAULTS, "%s is no setting of qzconfig" % name
    assert value(default) == DEFAULTS[name][0]
    if section == "Connecting to managed servers":
        # said once, in qzconfig; the README's tables repeat it word for word
        assert meaning == DEFAULTS[name][1]


def test_every_setting_of_qzconfig_is_documented():
    documented = set(name for _, name, _, _ in rows())
    assert [name for name in DEFAULTS if name not in documented] == []


ROOT = os.path.dirname(README)


def source(*path):
    with open(os.path.join(ROOT, *path)) as f:
        return f.read()


def native_fallbacks():
    """(name, fallback) of each setting the native modules read with a default
    of their own, for a platform that does not define the setting yet."""
    text = source("contracts", "qzconfig.h")
    found = [(name, float(number)) for name, number in
             re.findall(r'setting_or\("([A-Z0-9_]+)", py::float_\(([0-9.]+)\)\)', text)]
    found += [(name, int(number)) for name, number in
              re.findall(r'size_setting\("([A-Z0-9_]+)", ([0-9]+)\)', text)]
    return found


def image_loader_limits():
    """(setting, the image loader's own default) of each setting the
    classification hands to the loader."""
    from digits.utils import image
    pairs = re.findall(r'\{"(QZ_[A-Z0-9_]+)", "([A-Z_]+)"\}', source("vision", "one_image.cc"))
    return [(setting, getattr(image, limit)) for setting, limit in pairs]


@pytest.mark.parametrize("name, fallback", native_fallbacks() + image_loader_limits())
def test_a_default_kept_elsewhere_is_the_default_of_qzconfig(name, fallback):
    assert name in DEFAULTS, "%s is no setting of qzconfig" % name
    assert fallback == DEFAULTS[name][0]


def test_the_defaults_kept_elsewhere_are_found():
    # a change of form in those sources must not leave the test above empty
    assert len(native_fallbacks()) >= 3 and len(image_loader_limits()) >= 6
