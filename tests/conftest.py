"""Fixtures shared by every test."""
import os

import pytest

from harness import TEST_TREE, TREE, run


@pytest.fixture
def program():
    """program(name, *args, env=...) runs a launcher of the run tree (or the test tree)."""
    def start(name, *args, **kw):
        path = os.path.join(TREE, name)
        if not os.path.exists(path):
            path = os.path.join(TEST_TREE, name)
        return run([path] + list(args), **kw)
    return start
