"""Settings of the DIGITS layer.

The environment is read again on every load_config() so that a process (or a
test) that changes DIGITS_JOBS_DIR sees the new value without restarting; the
work is a few string operations, so callers may call it as often as they like.
"""
from __future__ import print_function

import os
import sys
import threading

JOBS_DIR_ENV = "DIGITS_JOBS_DIR"
DEFAULT_JOBS_DIR = os.path.join("~", ".digits", "jobs")

_MODES = ("quiet", "normal", "verbose")

_lock = threading.Lock()
_values = {}


def _jobs_dir_from_env():
    raw = os.environ.get(JOBS_DIR_ENV, "").strip()
    path = raw or DEFAULT_JOBS_DIR
    # Relative settings would move with the host's working directory; pin them now.
    return os.path.abspath(os.path.expanduser(path))


def load_config(mode="normal"):
    """Loads the settings; "quiet" prints nothing, the other modes print one line to stderr."""
    if mode not in _MODES:
        raise ValueError("unknown config mode %r (one of %s)" % (mode, ", ".join(_MODES)))
    values = {"jobs_dir": _jobs_dir_from_env()}
    with _lock:
        _values.clear()
        _values.update(values)
    if mode != "quiet":
        print("digits: jobs_dir = %s" % values["jobs_dir"], file=sys.stderr)
    return dict(values)


def config_value(key):
    """One setting; loads the settings quietly if nobody has yet."""
    with _lock:
        if key in _values:
            return _values[key]
    return load_config("quiet")[key]
