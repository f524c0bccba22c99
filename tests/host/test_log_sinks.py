"""Log lines as a supervisor sees them: standard output a pipe or a file,
no encoding set, items of any characters. A line never raises and is UTF-8."""
import os
import re
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
TIME = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}"


def run_probe(case, sink, tmp_path):
    env = dict(os.environ)
    env.pop("PYTHONIOENCODING", None)
    env.update(LANG="C", LC_ALL="C")
    argv = [sys.executable, os.path.join(HERE, "lineprobe.py"), case]
    if sink == "pipe":
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        out, err = proc.communicate()
    else:
        path = str(tmp_path / "out.log")
        with open(path, "w") as f:
            proc = subprocess.Popen(argv, stdout=f, stderr=subprocess.PIPE, env=env)
            err = proc.communicate()[1]
        with open(path) as f:
            out = f.read()
    assert proc.returncode == 0, err
    assert out.endswith("done\n"), (out, err)
    out.decode("utf-8")  # every byte written is UTF-8
    return out[:-len("done\n")].splitlines()


CASES = [
    ("items", [
        re.escape("J\xc3\xbcrgen caf\xc3\xa9 \\xff\\xfe caf\xc3\xa9"),
        # str() and repr() both fail: the type's name; lone surrogate bytes escaped
        re.escape("<unprintable Unprintable object> \xf0\x9d\x84\x9e \\xed\\xa0\\x80 1"),
        TIME + re.escape(" XX001 SS255 \xe6\x97\xa5\xe6\x9c\xac"),
    ]),
    ("postrunner", [TIME + re.escape(" ML095 Odd('J\xc3\xbcrgen \\xff')")]),
    ("visionbay", [TIME + re.escape(" DN075 warning, no qz_service_name  Odd('J\xc3\xbcrgen \\xff')")]),
    ("refusing", []),
]


@pytest.mark.parametrize("sink", ["pipe", "file"])
@pytest.mark.parametrize("case, expected", CASES, ids=[c[0] for c in CASES])
def test_lines_with_any_characters_reach_a_pipe_or_a_file(tmp_path, sink, case, expected):
    lines = run_probe(case, sink, tmp_path)
    assert len(lines) == len(expected), lines
    for line, pattern in zip(lines, expected):
        assert re.match("^%s$" % pattern, line), line


def test_the_two_log_writers_make_the_same_line_of_the_same_bytes(tmp_path):
    native1, platform1, native2, platform2 = run_probe("both_writers", "pipe", tmp_path)
    for native, platform in ((native1, platform1), (native2, platform2)):
        assert re.match("^%s " % TIME, platform), platform
        assert platform[27:] == native
    assert native1 == "caf\xc3\xa9 \\xff\\xfe \\xe6\\x97 \\xc0\\xaf"
    assert native2 == "\\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xed\\xa0\\x80 \\xe9t\xc3\xa9"


def test_a_stream_that_wants_unicode_gets_the_same_text(monkeypatch):
    import io
    import hostprobe
    out = io.StringIO()
    monkeypatch.setattr(sys, "stdout", out)
    hostprobe.log(u"J\xfcrgen", "\xff", 2)
    assert out.getvalue() == u"J\xfcrgen \\xff 2\n"
