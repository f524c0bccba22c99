"""Classification through a job, as the callers do it: load, resize, infer_one."""
import math
import os

import numpy as np
import pytest

from digits import utils
from digits.webapp import scheduler
from layer_fixtures import SAMPLE_ID, read_json, run_python, sample_dir, write_job

pytest_plugins = ["layer_fixtures"]

DIGITS = [str(d) for d in range(10)]


@pytest.fixture
def sample_task(jobs_env):
    return scheduler.get_job(SAMPLE_ID).train_task()


def _classify(task, path):
    db = task.dataset.train_db_task()
    height, width, channels = db.image_dims
    image = utils.image.load_image(path)
    arr = utils.image.resize_image(image, height, width, channels=channels, resize_mode=db.resize_mode)
    return task.infer_one(arr, snapshot_epoch=None, layers="none")


def test_sample_job_classifies_its_held_out_samples_as_reported(sample_jobs, sample_task):
    job_dir = sample_dir(sample_jobs)
    manifest = read_json(os.path.join(job_dir, "samples", "manifest.json"))
    assert sorted(manifest.values()) == sorted(DIGITS * 2)
    right = 0
    for fname, label in sorted(manifest.items()):
        image = utils.image.load_image(os.path.join(job_dir, "samples", fname))
        assert (image.mode, image.size) == ("L", (32, 32))
        predictions, _ = _classify(sample_task, os.path.join(job_dir, "samples", fname))
        right += predictions[0][0] == label
    reported = read_json(os.path.join(job_dir, "job.json"))["accuracy"]
    assert right == reported["samples_correct"]
    assert float(right) / len(manifest) >= 0.85
    assert reported["held_out"] >= 0.9 and reported["held_out_count"] >= 400


def test_predictions_cover_every_category_most_probable_first(sample_jobs, sample_task):
    db = sample_task.dataset.train_db_task()
    assert (list(db.image_dims), db.resize_mode) == ([8, 8, 1], "squash")
    predictions, visualizations = _classify(
        sample_task, os.path.join(sample_dir(sample_jobs), "samples", "3-a.png"))
    assert sorted(label for label, _ in predictions) == DIGITS
    confidences = [c for _, c in predictions]
    assert all(type(c) is float and 0.0 <= c <= 1.0 for c in confidences)
    assert confidences == sorted(confidences, reverse=True)
    assert abs(sum(confidences) - 1.0) < 1e-9
    assert not visualizations


def test_layers_all_describes_each_layer(sample_task):
    _, visualizations = sample_task.infer_one(np.zeros((8, 8), np.uint8), layers="all")
    assert [v["name"] for v in visualizations] == ["fc0", "fc1"]
    assert visualizations[-1]["shape"] == [10]


@pytest.mark.parametrize("image, kwargs", [
    (np.zeros((8, 8, 3), np.uint8), {}),
    (np.zeros((16, 16), np.uint8), {}),
    (np.zeros(64, np.uint8), {}),
    (np.array([["a"] * 8] * 8), {}),
    (np.zeros((8, 8), np.uint8), {"snapshot_epoch": 7}),
    (np.zeros((8, 8), np.uint8), {"snapshot_epoch": "latest"}),
    (np.zeros((8, 8), np.uint8), {"layers": "some"}),
], ids=["rgb", "wrong-size", "flat", "text", "unknown-epoch", "epoch-not-number", "unknown-layers"])
def test_what_the_model_cannot_take_is_refused(sample_task, image, kwargs):
    with pytest.raises(ValueError):
        sample_task.infer_one(image, **kwargs)


def test_the_trained_epoch_and_a_trailing_channel_axis_are_accepted(sample_task):
    flat, _ = sample_task.infer_one(np.full((8, 8), 200, np.uint8))
    with_axis, _ = sample_task.infer_one(np.full((8, 8, 1), 200, np.uint8), snapshot_epoch=1)
    assert flat == with_axis


SIGMOID_2 = math.exp(2) / (1 + math.exp(2))


# Two tiny networks over a 2x2 grey input, pixels normalised as (p - 100) / 50,
# whose answers can be worked out by hand: the first pixel drives "light".
@pytest.mark.parametrize("hidden, first_pixel, expected", [
    (False, 200, [("light", SIGMOID_2), ("dark", 1 - SIGMOID_2)]),
    (False, 0, [("dark", SIGMOID_2), ("light", 1 - SIGMOID_2)]),
    (False, 100, [("dark", 0.5), ("light", 0.5)]),
    (True, 200, [("light", SIGMOID_2), ("dark", 1 - SIGMOID_2)]),
    # A ReLU between the layers cuts the negative evidence: a tie, kept in label order.
    (True, 0, [("dark", 0.5), ("light", 0.5)]),
], ids=["one-layer-light", "one-layer-dark", "one-layer-tie", "relu-light", "relu-tie"])
def test_hand_made_networks_give_the_worked_out_answers(tmpdir, hidden, first_pixel, expected):
    from digits.job import load_job
    arrays = {"mean": np.full(4, 100.0), "scale": np.full(4, 50.0)}
    if hidden:
        arrays.update(W0=np.array([[1.0], [0], [0], [0]]), b0=np.zeros(1),
                      W1=np.array([[0.0, 1.0]]), b1=np.zeros(2))
    else:
        arrays.update(W0=np.array([[0.0, 1.0], [0, 0], [0, 0], [0, 0]]), b0=np.zeros(2))
    job = load_job(write_job(str(tmpdir.join("hand")), arrays, ["dark", "light"], [2, 2, 1]))
    image = np.array([[first_pixel, 7], [250, 3]], np.uint8)
    predictions, _ = job.train_task().infer_one(image)
    assert [label for label, _ in predictions] == [label for label, _ in expected]
    assert np.allclose([c for _, c in predictions], [c for _, c in expected], atol=1e-12)


def test_ties_keep_the_label_order(tmpdir):
    from digits.job import load_job
    # More labels than numpy sorts by insertion, where an unstable sort would show.
    labels = ["c%02d" % i for i in range(40)][::-1]
    arrays = {"mean": np.zeros(4), "scale": np.ones(4), "W0": np.zeros((4, 40)), "b0": np.zeros(40)}
    job = load_job(write_job(str(tmpdir.join("flat")), arrays, labels, [2, 2, 1]))
    predictions, _ = job.train_task().infer_one(np.zeros((2, 2), np.uint8))
    assert [label for label, _ in predictions] == labels


def test_make_sample_job_twice_keeps_the_job_and_reports_its_accuracy(sample_jobs, tmpdir):
    job_dir = sample_dir(sample_jobs)
    files = [os.path.join(job_dir, f) for f in ("job.json", "weights.npz", "labels.txt")]
    before = [os.stat(f).st_mtime for f in files]
    done = run_python(["-m", "digits.tools.make_sample_job", "--jobs-dir", sample_jobs],
                      cwd=str(tmpdir))
    assert done.status == 0, done
    held_out = read_json(files[0])["accuracy"]["held_out"]
    assert "exists" in done.out and ("%.4f" % held_out) in done.out
    assert [os.stat(f).st_mtime for f in files] == before


def test_a_job_without_dataset_still_classifies(tmpdir, monkeypatch):
    jobs = str(tmpdir.mkdir("jobs"))
    done = run_python(["-m", "digits.tools.make_sample_job", "--jobs-dir", jobs,
                       "--job-id", "bare", "--no-dataset"], cwd=str(tmpdir))
    assert done.status == 0, done
    assert "held-out accuracy" in done.out
    monkeypatch.setenv("DIGITS_JOBS_DIR", jobs)
    from digits import config
    config.load_config("quiet")
    try:
        task = scheduler.get_job("bare").train_task()
        assert task.dataset is None
        path = os.path.join(jobs, "bare", "samples", "7-a.png")
        arr = utils.image.resize_image(utils.image.load_image(path), 8, 8, channels=1, resize_mode="squash")
        predictions, _ = task.infer_one(arr)
        assert len(predictions) == 10
    finally:
        monkeypatch.undo()
        config.load_config("quiet")


@pytest.mark.parametrize("job_id", ["../escape", ".hidden", "a/b"])
def test_make_sample_job_refuses_ids_the_scheduler_would_not_serve(tmpdir, job_id):
    jobs = tmpdir.mkdir("jobs")
    done = run_python(["-m", "digits.tools.make_sample_job", "--jobs-dir", str(jobs), "--job-id", job_id],
                      cwd=str(tmpdir))
    assert done.status == 1 and "job id" in done.err, done
    assert sorted(os.listdir(str(tmpdir))) == ["jobs"] and os.listdir(str(jobs)) == []
