"""Where the layer looks for jobs, and that loading the settings stays quiet when asked."""
import os

import pytest

from digits import config


@pytest.fixture
def home(tmpdir, monkeypatch):
    monkeypatch.setenv("HOME", str(tmpdir.mkdir("home")))
    monkeypatch.chdir(tmpdir.mkdir("cwd"))
    yield str(tmpdir)
    monkeypatch.undo()
    config.load_config("quiet")


@pytest.mark.parametrize("value, expected", [
    (None, "home/.digits/jobs"),
    ("", "home/.digits/jobs"),
    ("   ", "home/.digits/jobs"),
    ("/srv/jobs", "/srv/jobs"),
    ("~/models", "home/models"),
    ("rel/jobs", "cwd/rel/jobs"),
], ids=["unset", "empty", "blank", "absolute", "tilde", "relative"])
def test_jobs_dir_comes_from_the_environment_else_the_default(home, monkeypatch, value, expected):
    if value is None:
        monkeypatch.delenv("DIGITS_JOBS_DIR", raising=False)
    else:
        monkeypatch.setenv("DIGITS_JOBS_DIR", value)
    values = config.load_config("quiet")
    want = os.path.join(home, expected)
    assert values["jobs_dir"] == want
    assert config.config_value("jobs_dir") == want


def test_quiet_loading_writes_nothing_and_normal_loading_names_the_jobs_dir(home, monkeypatch, capfd):
    monkeypatch.setenv("DIGITS_JOBS_DIR", "/srv/jobs")
    for _ in range(3):
        config.load_config("quiet")
    assert capfd.readouterr() == ("", "")
    config.load_config("normal")
    out, err = capfd.readouterr()
    assert out == "" and "/srv/jobs" in err


def test_an_unknown_mode_is_refused(home):
    with pytest.raises(ValueError):
        config.load_config("loud")
