"""Fixtures for the classification tests: a jobs directory with the trained
sample job, a job without dataset, and hand-made jobs with known answers."""
import os

import pytest

import rpclab
from qz import qzconfig

from digits import config
from digits.tools import make_sample_job

SAMPLE = "digits-sample"


@pytest.fixture(scope="session")
def jobs_dir(tmpdir_factory):
    jobs = str(tmpdir_factory.mktemp("jobs"))
    assert make_sample_job.build_job(jobs, SAMPLE)[0]
    assert make_sample_job.main(["--jobs-dir", jobs, "--job-id", "no-dataset",
                                 "--no-dataset"]) in (0, None)
    return jobs


@pytest.fixture
def jobs(jobs_dir, monkeypatch):
    monkeypatch.setenv("DIGITS_JOBS_DIR", jobs_dir)
    config.load_config("quiet")
    yield jobs_dir
    monkeypatch.undo()
    config.load_config("quiet")


@pytest.fixture
def sample_image(jobs_dir):
    """(path, true label) of a held-out sample that the model gets right."""
    return os.path.join(jobs_dir, SAMPLE, "samples", "3-a.png"), "3"


@pytest.fixture
def service(jobs, monkeypatch):
    """The real dnn_arpc queue, emptied, and the reply queue of the tests' key."""
    monkeypatch.setattr(qzconfig, "QZ_MQ_PROTOCOL", True)
    rpclab.reset_queue()
    replies = rpclab.Replies()
    yield replies
    replies.close()
