"""Fixtures of the DIGITS layer tests.

Test modules load this through `pytest_plugins`: a conftest.py in this folder
would take the module name `conftest` from the suite's own, which other test
folders import from. PYTEST_DONT_REWRITE: the test modules import helpers
from here before pytest loads it as a plugin.
"""
import json
import os
import shutil
import subprocess
import sys
import threading

import numpy as np
import pytest

from digits import config
from digits.tools import make_sample_job

SAMPLE_ID = "digits-sample"


@pytest.fixture(scope="session")
def sample_jobs(tmpdir_factory):
    """A jobs directory holding the trained sample job (trained once per session)."""
    jobs = str(tmpdir_factory.mktemp("jobs"))
    built, _, _ = make_sample_job.build_job(jobs, SAMPLE_ID)
    assert built
    return jobs


@pytest.fixture
def jobs_env(sample_jobs, monkeypatch):
    """The configured jobs directory points at the sample jobs for one test."""
    monkeypatch.setenv("DIGITS_JOBS_DIR", sample_jobs)
    config.load_config("quiet")
    yield sample_jobs
    monkeypatch.undo()
    config.load_config("quiet")


def sample_dir(jobs):
    return os.path.join(jobs, SAMPLE_ID)


def read_json(path):
    with open(path, "rb") as f:
        return json.loads(f.read().decode("utf-8"))


def write_json(path, value):
    with open(path, "wb") as f:
        f.write(json.dumps(value).encode("utf-8"))


def write_job(job_dir, arrays, labels, input_dims, dataset=True, resize_mode="squash"):
    """A hand-made job folder, for networks whose answers are known in advance."""
    os.makedirs(job_dir)
    np.savez(os.path.join(job_dir, "weights.npz"), **arrays)
    with open(os.path.join(job_dir, "labels.txt"), "wb") as f:
        f.write("\n".join(labels) + "\n")
    meta = {
        "kind": "image-classification-model",
        "format_version": 1,
        "model": {"weights": "weights.npz", "labels": "labels.txt", "input_dims": input_dims, "epoch": 3},
        "dataset": ({"image_dims": input_dims, "resize_mode": resize_mode} if dataset else None),
    }
    write_json(os.path.join(job_dir, "job.json"), meta)
    return job_dir


def copy_job(src, dst):
    shutil.copytree(src, dst, symlinks=True)
    return dst


class Finished(object):
    def __init__(self, status, out, err):
        self.status, self.out, self.err = status, out, err

    def __repr__(self):
        return "Finished(%r, out=%r, err=%r)" % (self.status, self.out, self.err)


def run_python(args, cwd, timeout=120, env=None):
    """Runs this interpreter with `args` in `cwd`, killed after `timeout` seconds."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.Popen([sys.executable] + list(args), cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=full_env)
    timer = threading.Timer(timeout, proc.kill)
    timer.start()
    try:
        out, err = proc.communicate()
    finally:
        timer.cancel()
    return Finished(proc.returncode, out, err)
