"""Settings: defaults, the settings file and the environment, parsed to their kinds."""
import json

import pytest

from harness import run
import sys

READ = "from qz import qzconfig as c; import sys; sys.stdout.write(repr(getattr(c, sys.argv[1])))"


def setting(name, env=None):
    done = run([sys.executable, "-c", READ, name], env=env)
    assert done.status == 0, done.err
    return eval(done.out)


@pytest.mark.parametrize("name, raw, value", [
    ("KAFKA_BATCH", "2", 2),                 # a number, not the text "2"
    ("KAFKA_SEND_INTERVAL", "0.25", 0.25),
    ("QZ_MQ_PROTOCOL", "0", False),          # the text "0" would test true
    ("QZ_MQ_PROTOCOL", "yes", True),
    ("QZ_SMTP_UID", "", ""),
    ("QZ_HBASE_IGNORE", '[["t1", "write"]]', [["t1", "write"]]),
    ("QZ_HBASE_TABLES_MAP", '{"t1": [0, "uid"]}', {"t1": [0, "uid"]}),
    ("MYSQLDB", "other", "other"),
])
def test_environment_overrides_are_parsed_to_the_settings_kind(name, raw, value):
    got = setting(name, {name: raw})
    assert got == value and type(got) is type(value)


def test_json_texts_become_byte_strings():
    got = setting("QZ_HBASE_IGNORE", {"QZ_HBASE_IGNORE": '[["t1", "write"]]'})
    assert type(got[0][0]) is str


@pytest.mark.parametrize("name, raw", [("KAFKA_BATCH", "many"), ("QZ_MQ_PROTOCOL", "maybe"),
                                       ("QZ_HBASE_IGNORE", '{"not": "a list"}'),
                                       ("QZ_HBASE_IGNORE", "[not JSON"),
                                       ("QZ_MQ_RETRY_DELAY", "5s")])
def test_a_bad_environment_value_fails_the_load_naming_it(name, raw):
    done = run([sys.executable, "-c", READ, name], env={name: raw})
    assert done.status == 1
    assert "ValueError: setting %s=%r from the environment" % (name, raw) in done.err


def test_settings_file_then_environment(tmp_path):
    path = tmp_path / "settings.json"
    path.write_text(u'{"KAFKA_BATCH": 7, "MYSQLDB": "fromfile"}')
    env = {"QZ_SETTINGS_FILE": str(path)}
    assert setting("KAFKA_BATCH", env) == 7
    assert setting("MYSQLDB", env) == "fromfile"
    env["KAFKA_BATCH"] = "9"
    assert setting("KAFKA_BATCH", env) == 9


def test_every_setting_has_a_default():
    from qz import qzconfig
    for name, default, meaning in qzconfig.DEFAULTS:
        assert getattr(qzconfig, name) == default or name in __import__("os").environ
        assert meaning
