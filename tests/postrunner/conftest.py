"""Fixtures for the mail worker tests."""
import pytest

import sinks
from mailq import Worker, declare_and_purge


@pytest.fixture
def postrunner():
    import postrunner as module
    yield module
    if module.smtp:
        try:
            module.smtp.quit()
        except Exception:
            pass
    module.smtp = None


@pytest.fixture
def worker(postrunner, capsys, monkeypatch):
    declare_and_purge()
    sinks.clear_mail()
    sinks.clear_http()
    sinks.smtp_control()
    sinks.http_control()
    yield Worker(postrunner, capsys, monkeypatch)
    sinks.smtp_control()
    sinks.http_control()
