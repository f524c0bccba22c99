"""Job lookup by id as remote callers reach it: only plain names, only whole jobs."""
import json
import os
import shutil
import threading

import numpy as np
import pytest

from digits import config
from digits.webapp import app, scheduler
from layer_fixtures import SAMPLE_ID, copy_job, read_json, run_python, sample_dir, write_json

pytest_plugins = ["layer_fixtures"]


def _edit_meta(job_dir, **changes):
    path = os.path.join(job_dir, "job.json")
    meta = read_json(path)
    for key, value in changes.items():
        if key.startswith("model_"):
            meta["model"][key[len("model_"):]] = value
        else:
            meta[key] = value
    write_json(path, meta)


def _not_json(d):
    with open(os.path.join(d, "job.json"), "wb") as f:
        f.write("{oops")


def _nine_labels(d):
    with open(os.path.join(d, "labels.txt"), "wb") as f:
        f.write("\n".join(str(i) for i in range(9)) + "\n")


def _pickled_weights(d):
    path = os.path.join(d, "weights.npz")
    arrays = dict(np.load(path))
    arrays["b0"] = np.array([object()] * len(arrays["b0"]), dtype=object)
    np.savez(path, **arrays)


# Folders in the jobs directory that must not count as jobs: each starts as a
# copy of the sample job and is broken in one way.
BROKEN = [
    ("empty", lambda d: [os.remove(os.path.join(d, f)) for f in os.listdir(d) if f != "samples"]),
    ("not-json", _not_json),
    ("wrong-kind", lambda d: _edit_meta(d, kind="dataset")),
    ("newer-format", lambda d: _edit_meta(d, format_version=2)),
    ("no-weights", lambda d: os.remove(os.path.join(d, "weights.npz"))),
    ("labels-mismatch", _nine_labels),
    ("weights-outside", lambda d: _edit_meta(d, model_weights="../%s/weights.npz" % SAMPLE_ID)),
    ("pickled-weights", _pickled_weights),
    ("dims-mismatch", lambda d: _edit_meta(d, dataset={"image_dims": [16, 16, 1], "resize_mode": "squash"})),
]


@pytest.fixture(scope="module")
def zoo(sample_jobs, tmpdir_factory):
    """A jobs directory with the sample job, broken jobs, and entries that lead elsewhere."""
    root = str(tmpdir_factory.mktemp("zoo"))
    jobs = os.path.join(root, "jobs")
    os.mkdir(jobs)
    copy_job(sample_dir(sample_jobs), os.path.join(jobs, SAMPLE_ID))
    for name, breaker in BROKEN:
        breaker(copy_job(sample_dir(sample_jobs), os.path.join(jobs, name)))
    outside = copy_job(sample_dir(sample_jobs), os.path.join(root, "outside"))
    os.symlink(outside, os.path.join(jobs, "linked"))
    copy_job(sample_dir(sample_jobs), os.path.join(jobs, ".tmp-%s-1" % SAMPLE_ID))
    with open(os.path.join(jobs, "plainfile"), "wb") as f:
        f.write("not a folder")
    return jobs


@pytest.fixture
def zoo_env(zoo, monkeypatch):
    monkeypatch.setenv("DIGITS_JOBS_DIR", zoo)
    config.load_config("quiet")
    yield zoo
    monkeypatch.undo()
    config.load_config("quiet")


def _bad_ids(jobs):
    real = os.path.join(jobs, SAMPLE_ID)
    return [
        None, 0, 7.5, {}, [], (SAMPLE_ID,), {SAMPLE_ID: 1}, bytearray(SAMPLE_ID),
        "", ".", "..", "/", real, real + "/",
        "../%s/%s" % (os.path.basename(jobs), SAMPLE_ID),
        "./" + SAMPLE_ID, SAMPLE_ID + "/", SAMPLE_ID + "/.", SAMPLE_ID + "/../" + SAMPLE_ID,
        SAMPLE_ID + "\\", "..\\" + SAMPLE_ID, SAMPLE_ID + "\x00", u"%s\x00x" % SAMPLE_ID,
        SAMPLE_ID + "\n", " " + SAMPLE_ID, "..%s" % SAMPLE_ID,
        "linked", ".tmp-%s-1" % SAMPLE_ID, "plainfile", "no-such-job", "x" * 300,
    ] + [name for name, _ in BROKEN]


def test_every_id_that_is_not_a_plain_name_of_a_whole_job_gives_none(zoo_env):
    given = [(job_id, scheduler.get_job(job_id)) for job_id in _bad_ids(zoo_env)]
    assert [job_id for job_id, job in given if job is not None] == []


@pytest.mark.parametrize("job_id", [SAMPLE_ID, unicode(SAMPLE_ID)], ids=["str", "unicode"])
def test_plain_name_of_a_job_gives_that_job(zoo_env, job_id):
    job = scheduler.get_job(job_id)
    assert job is not None
    assert job.id() == SAMPLE_ID
    assert os.path.realpath(job.dir()) == os.path.realpath(os.path.join(zoo_env, SAMPLE_ID))


def test_lookups_follow_the_configured_jobs_directory(jobs_env, tmpdir, monkeypatch):
    assert scheduler.get_job(SAMPLE_ID) is not None
    monkeypatch.setenv("DIGITS_JOBS_DIR", str(tmpdir))
    config.load_config("quiet")
    assert scheduler.get_job(SAMPLE_ID) is None
    monkeypatch.setenv("DIGITS_JOBS_DIR", jobs_env)
    config.load_config("quiet")
    assert scheduler.get_job(SAMPLE_ID) is not None


def test_start_stop_many_times_keeps_jobs_and_leaves_no_thread(jobs_env):
    before = set(threading.enumerate())
    first = None
    for _ in range(200):
        assert scheduler.start()
        assert scheduler.start()
        job = scheduler.get_job(SAMPLE_ID)
        first = first or job
        # The same object each time: weights are not read again per call.
        assert job is first
        scheduler.stop()
    scheduler.stop()
    left = [t for t in threading.enumerate() if t not in before and not t.daemon]
    assert left == []
    assert app is not None


def test_a_started_scheduler_does_not_keep_the_process_alive(sample_jobs, tmpdir):
    code = ("from digits import config\n"
            "config.load_config('quiet')\n"
            "from digits.webapp import scheduler\n"
            "assert scheduler.start()\n"
            "assert scheduler.get_job(%r) is not None\n"
            "print('ok')\n" % SAMPLE_ID)
    done = run_python(["-c", code], cwd=str(tmpdir), timeout=60, env={"DIGITS_JOBS_DIR": sample_jobs})
    assert (done.status, done.out.strip()) == (0, "ok"), done


def test_a_replaced_or_removed_job_is_not_served_from_the_cache(sample_jobs, tmpdir, monkeypatch):
    jobs = str(tmpdir.mkdir("jobs"))
    monkeypatch.setenv("DIGITS_JOBS_DIR", jobs)
    config.load_config("quiet")
    try:
        job_dir = copy_job(sample_dir(sample_jobs), os.path.join(jobs, "j"))
        old = scheduler.get_job("j")
        assert old is not None

        _edit_meta(job_dir, name="renamed in place")
        edited = scheduler.get_job("j")
        assert edited is not old and edited.name() == "renamed in place"

        fresh = copy_job(sample_dir(sample_jobs), os.path.join(jobs, ".new"))
        _edit_meta(fresh, name="swapped in")
        os.rename(job_dir, os.path.join(jobs, ".gone"))
        os.rename(fresh, job_dir)
        assert scheduler.get_job("j").name() == "swapped in"

        shutil.rmtree(job_dir)
        assert scheduler.get_job("j") is None
    finally:
        monkeypatch.undo()
        config.load_config("quiet")
