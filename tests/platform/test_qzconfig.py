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


CHECK = """
from qz import qzconfig as c
import sys
names = sys.argv[1:]
shown = [repr(getattr(c, n)) for n in names]  # loaded: no error yet
try:
    c.check(names)
except c.SettingError as e:
    sys.stdout.write("check: %s\\n" % e)
try:
    getattr(c, names[0]) + 1  # a use of the value
except c.SettingError as e:
    sys.stdout.write("use: %s: %s\\n" % (type(e).__name__, e))
"""


def judged(names, env):
    done = run([sys.executable, "-c", CHECK] + names, env=env)
    assert done.status == 0 and done.err == "", done
    return done.out


@pytest.mark.parametrize("name, raw, accepts", [
    ("KAFKA_BATCH", "many", "a whole number from 0 to 2147483647"),
    ("KAFKA_BATCH", "1.5", "a whole number from 0 to 2147483647"),
    ("QZ_MQ_PROTOCOL", "maybe", "a truth value"),
    ("QZ_HBASE_IGNORE", '{"not": "a list"}', "a JSON list of [table, event] pairs"),
    ("QZ_HBASE_IGNORE", "[not JSON", "a JSON list of [table, event] pairs"),
    ("QZ_HBASE_TABLES_MAP", '{"t1": [0]}', "a JSON object of table: [_, row-id column]"),
    ("QZ_MQ_RETRY_DELAY", "5s", "a number of seconds above 0"),
    ("QZ_MQ_RETRY_DELAY", "1e300", "a number of seconds above 0, at most 31536000"),
    ("QZ_DNN_FETCH_TIMEOUT", "nan", "a number of seconds above 0"),
    ("QZ_MQ_MAX_BODY", "-1", "a whole number from 1 to 1073741824"),
    ("QZ_SMTP_PORT", "65536", "a whole number from 1 to 65535"),
])
def test_a_bad_environment_value_loads_and_is_named_by_check_and_at_use(name, raw, accepts):
    message = "setting %s=%r is not usable: it accepts %s" % (name, raw, accepts)
    check, use = judged([name], {name: raw}).splitlines()
    assert check.startswith("check: " + message), check
    assert use.startswith("use: SettingError: " + message), use


def test_check_names_only_the_settings_asked_for():
    assert judged(["KAFKA_BATCH"], {"QZ_MQ_PREFETCH": "0"}) == ""


@pytest.mark.parametrize("file_text, name, line", [
    ('{"KAFKA_BATCH": "7"}', "KAFKA_BATCH",
     "check: setting KAFKA_BATCH='7' is not usable: it accepts a whole number"),
    ('{"QZ_SMTP_PWD": 5}', "QZ_SMTP_PWD",
     "check: setting QZ_SMTP_PWD=<hidden> is not usable: it accepts a text"),
    ('{"QZ_MQ_PROTOCOL": "yes"}', "QZ_MQ_PROTOCOL",
     "check: setting QZ_MQ_PROTOCOL='yes' is not usable: it accepts a truth value"),
    # the file itself: whatever is asked, it is named first
    ('[1, 2]', "KAFKA_BATCH", "check: setting QZ_SETTINGS_FILE=%(path)r is not usable: it"
     " holds no JSON object"),
    ('{"KAFKA_BATCH": ', "KAFKA_BATCH", "check: setting QZ_SETTINGS_FILE=%(path)r is not"
     " usable: no JSON object could be read from it"),
])
def test_a_bad_settings_file_value_is_named_by_check(tmp_path, file_text, name, line):
    path = tmp_path / "settings.json"
    path.write_text(unicode(file_text))
    out = judged([name], {"QZ_SETTINGS_FILE": str(path)})
    assert out.startswith(line % {"path": str(path)}), out


def test_a_secret_never_shows(tmp_path):
    path = tmp_path / "settings.json"
    path.write_text(u'{"MYSQL_REPLPASSWD": ["s3cret"]}')
    out = judged(["MYSQL_REPLPASSWD"], {"QZ_SETTINGS_FILE": str(path)})
    assert out.startswith("check: setting MYSQL_REPLPASSWD=<hidden> is not usable"), out
    assert "s3cret" not in out


def test_check_judges_values_assigned_at_run_time(monkeypatch):
    from qz import qzconfig
    monkeypatch.setattr(qzconfig, "QZ_MQ_PREFETCH", 64.0)  # a whole number, as a float
    monkeypatch.setattr(qzconfig, "QZ_SMTP_UID", None)     # an empty text
    qzconfig.check(["QZ_MQ_PREFETCH", "QZ_SMTP_UID"])
    monkeypatch.setattr(qzconfig, "QZ_SMTP_MAIL_TIMEOUT", float("inf"))
    with pytest.raises(qzconfig.SettingError) as info:
        qzconfig.check()
    assert str(info.value) == ("setting QZ_SMTP_MAIL_TIMEOUT=inf is not usable: it accepts a"
                               " number of seconds above 0, at most 31536000")
    assert info.value.name == "QZ_SMTP_MAIL_TIMEOUT"


def test_every_setting_states_what_it_accepts_and_its_default_is_accepted():
    from qz import qzconfig
    assert sorted(qzconfig.ACCEPTS) == sorted(name for name, _, _ in qzconfig.DEFAULTS)
    for name, default, _ in qzconfig.DEFAULTS:
        qzconfig._judge(name, default)


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
