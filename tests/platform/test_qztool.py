"""Utility operations that need no server."""
import os
import signal
import subprocess
import sys
import time

import pytest

from qz import qztool


@pytest.mark.parametrize("value, ok", [
    ("a@example.com", True),
    ("first.last+tag@sub.example.co", True),
    (u"a@example.com", True),
    ("a@localhost", True),
    ("", False),
    ("plain", False),
    ("a@b@example.com", False),
    ("a@example.com, b@example.com", False),
    ("a@example.com b@example.com", False),
    ("Name <a@example.com>", False),
    ("a@example.com\r\nBcc: x@example.com", False),
    ("a@example.com\n", False),
    ("a\t@example.com", False),
    ("a@exa\x00mple.com", False),
    (".a@example.com", False),
    ("a..b@example.com", False),
    ("a@-example.com", False),
    (u"\xe9@example.com", False),
    (None, False),
    (["a@example.com"], False),
])
def test_is_email_accepts_exactly_one_plain_address(value, ok):
    assert bool(qztool.is_email(value)) is ok


def test_urldecode_gives_a_plain_dict_of_utf8_bytes():
    fields = qztool.qz_urldecode("subject=caf%C3%A9&report=&json=1&a=1&a=2&plus=a+b")
    assert type(fields) is dict
    assert fields == {"subject": "caf\xc3\xa9", "report": "", "json": "1", "a": "2",
                      "plus": "a b"}
    assert all(type(k) is str and type(v) is str for k, v in fields.items())
    assert qztool.qz_urldecode(u"s=caf%C3%A9") == {"s": "caf\xc3\xa9"}


@pytest.mark.parametrize("text", ["", "x", "caf\xc3\xa9" * 1000, u"\xe9"])
def test_gzip_round_trip(text):
    packed = qztool.qz_gzip_data(text)
    assert packed[:2] == "\x1f\x8b"
    expected = text.encode("utf-8") if isinstance(text, unicode) else text
    assert qztool.qz_gunzip_data(packed) == expected


@pytest.mark.parametrize("text", ["", "x", "\0" * 3, "caf\xc3\xa9" * 1000, os.urandom(70000),
                                  u"\xe9", buffer("abc")])
def test_gzip_writes_what_gzipfile_writes(text, monkeypatch):
    """Peers may compare or store the bytes: they stay GzipFile's own."""
    import gzip
    from cStringIO import StringIO
    monkeypatch.setattr(time, "time", lambda: 1765370000.75)
    buf = StringIO()
    with gzip.GzipFile(fileobj=buf, mode="wb") as f:
        f.write(text.encode("utf-8") if isinstance(text, unicode) else text)
    assert qztool.qz_gzip_data(text) == buf.getvalue()


def test_gunzip_of_other_data_raises():
    with pytest.raises(IOError):
        qztool.qz_gunzip_data("not gzip")


def test_hbase_key_spreads_consecutive_ids():
    keys = [qztool.hbase_key("orders", i) for i in range(1, 101)]
    assert keys[0].endswith(":orders:1") and len(set(keys)) == 100
    assert len(set(k[:1] for k in keys)) >= 8  # first characters spread over the key space
    assert qztool.hbase_key("orders", 0) == qztool.hbase_key("orders", 0)


@pytest.fixture
def base(tmp_path, monkeypatch):
    monkeypatch.setenv("QZ_BASE_PATH", str(tmp_path))
    return tmp_path


def test_tmp_record_round_trip_and_stop_file(base):
    assert qztool.load_tmp_json("tmp", "feed") is None
    qztool.save_tmp_json("tmp", {"log_file": "bin.000001", "log_pos": 4}, "feed")
    record = qztool.load_tmp_json("tmp", "feed")
    assert record == {"log_file": "bin.000001", "log_pos": 4}
    assert type(record.keys()[0]) is str and type(record["log_file"]) is str
    assert qztool.load_tmp_json("tmp", "feed", ".stop") is False
    (base / "tmp" / "feed.stop").write_text(u"")
    assert qztool.load_tmp_json("tmp", "feed", ".stop") is True
    assert qztool.get_base_path() == str(base)


def test_unreadable_record_loads_false_with_a_log_line(base, capsys):
    (base / "tmp").mkdir()
    (base / "tmp" / "feed.json").write_text(u'{"log_file": "bin.0')
    assert not qztool.load_tmp_json("tmp", "feed")
    assert "unreadable record" in capsys.readouterr().out


WRITER = """
import sys
from qz import qztool
i = 0
while True:
    i += 1
    qztool.save_tmp_json("tmp", {"n": i, "pad": "x" * 20000}, "feed")
"""


def test_record_survives_a_kill_in_the_middle_of_a_write(base):
    # Kill a process that rewrites the record as fast as it can, many times:
    # every time, the record must load whole.
    env = dict(os.environ, QZ_BASE_PATH=str(base))
    last = 0
    for attempt in range(20):
        proc = subprocess.Popen([sys.executable, "-c", WRITER], env=env)
        time.sleep(0.15 + 0.01 * attempt)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        record = qztool.load_tmp_json("tmp", "feed")
        assert record and record["pad"] == "x" * 20000 and record["n"] >= 1
        last = record["n"]
    assert last > 0
    leftovers = [n for n in os.listdir(str(base / "tmp")) if n != "feed.json"]
    assert len(leftovers) <= 20  # at most one torn temporary per kill, never the record
