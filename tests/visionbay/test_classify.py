"""The one-image classification, in both copies, and qz.modelgate's operations."""
import json
import os
import re

import pytest

import visionbay
from digits.utils import image as image_utils
from qz import modelgate, qzconfig

COPIES = [visionbay, modelgate]


class Task(object):
    def __init__(self, predictions, dataset=True, shape=(8, 8, 1), calls=None):
        self.predictions = predictions
        self.dataset = Dataset(shape) if dataset else None
        self.calls = calls if calls is not None else []

    def infer_one(self, image, snapshot_epoch="missing", layers="missing"):
        self.calls.append(("infer_one", image.shape, snapshot_epoch, layers))
        return self.predictions


class Dataset(object):
    def __init__(self, shape):
        self.shape = shape

    def train_db_task(self):
        return DbTask(self.shape)


class DbTask(object):
    def __init__(self, shape):
        self.image_dims = list(shape)
        self.resize_mode = "squash"


class Job(object):
    """A job whose inference answers what the test says."""

    def __init__(self, predictions, dataset=True):
        self.calls = []
        self.task = Task((predictions, []), dataset, calls=self.calls)

    def train_task(self):
        self.calls.append("train_task")
        return self.task


@pytest.mark.parametrize("copy", COPIES, ids=["visionbay", "modelgate"])
@pytest.mark.parametrize("predictions, expected", [
    ([("A", 0.9), ("B", 0.06), ("C", 0.03), ("D", 0.01)],
     [("A", 90.0), ("B", 6.0), ("C", 3.0)]),
    ([("A", 0.5), ("B", 0.5)], [("A", 50.0), ("B", 50.0)]),
    ([("A", 1)], [("A", 100.0)]),
    ([("A", 0.987654)], [("A", 98.77)]),
    ([("A", 0.01115)], [("A", 1.11)]),     # the host's round on the exact double
    ([("A", 0.0012345)], [("A", 0.12)]),
    ([], []),
    (None, None),
])
def test_cut_to_three_and_percentages(copy, sample_image, predictions, expected):
    result = copy.image_classification_model_classify_one(sample_image[0], Job(predictions))
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("copy", COPIES, ids=["visionbay", "modelgate"])
def test_defaults_and_order_of_calls(copy, sample_image):
    job = Job([("A", 1.0)])
    copy.image_classification_model_classify_one(sample_image[0], job)
    assert job.calls == ["train_task", "train_task", "train_task",
                         ("infer_one", (8, 8), None, "none")]
    job = Job([("A", 1.0)])
    copy.image_classification_model_classify_one(image_url=sample_image[0], job=job, epoch=3,
                                                 layers="all")
    assert job.calls[-1] == ("infer_one", (8, 8), 3, "all")


@pytest.mark.parametrize("copy, line", [
    (visionbay, re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} None dataset in train_task\n$")),
    (modelgate, re.compile(r"^None dataset in train_task\n$")),
], ids=["visionbay", "modelgate"])
def test_job_without_dataset(copy, line, sample_image, capsys):
    job = Job([("A", 1.0)], dataset=False)
    assert copy.image_classification_model_classify_one(sample_image[0], job) is None
    assert line.match(capsys.readouterr().out)
    assert job.calls == ["train_task"]  # no resize, no inference


def test_an_image_that_loads_as_nothing(monkeypatch, capsys):
    monkeypatch.setattr(image_utils, "load_image", lambda url: None)
    job = Job([("A", 1.0)])
    assert visionbay.image_classification_model_classify_one("x", job) is None
    assert job.calls == [] and capsys.readouterr().out == ""
    # the library's copy goes on with whatever the loader gave
    with pytest.raises(Exception):
        modelgate.image_classification_model_classify_one("x", job)


@pytest.mark.parametrize("inferred, error", [
    (([("A", 1.0)],), "need more than 1 value to unpack"),
    (([("A", 1.0)], [], []), "too many values to unpack"),
])
def test_inference_must_give_exactly_two_values(sample_image, inferred, error):
    job = Job(None)
    job.task.predictions = inferred
    with pytest.raises(ValueError) as info:
        visionbay.image_classification_model_classify_one(sample_image[0], job)
    assert str(info.value) == error


def test_errors_reach_the_caller_unchanged(sample_image):
    with pytest.raises(IOError):
        visionbay.image_classification_model_classify_one("/no/such/image.png", Job([]))
    with pytest.raises(TypeError):
        visionbay.image_classification_model_classify_one(sample_image[0])
    with pytest.raises(IndexError):  # a prediction without a confidence
        visionbay.image_classification_model_classify_one(sample_image[0], Job([("A",)]))
    with pytest.raises(TypeError):
        visionbay.image_classification_model_classify_one(sample_image[0],
                                                          Job([("A", "not a number")]))


def test_the_sample_job_classifies_its_sample(jobs, sample_image):
    from digits.webapp import scheduler
    job = scheduler.get_job("digits-sample")
    [(label, pct), _, _] = visionbay.image_classification_model_classify_one(sample_image[0], job)
    assert label == sample_image[1] and pct > 50


@pytest.mark.parametrize("payload, answer", [
    ({"job_id": "digits-sample"}, "image_url|job_id NULL"),
    ({"image_url": "", "job_id": "digits-sample"}, "image_url|job_id NULL"),
    ({"image_url": "x.png", "job_id": ""}, "image_url|job_id NULL"),
    ({"image_url": "x.png", "job_id": "no such job"}, "{}"),
    ({"image_url": "x.png", "job_id": "../digits-sample"}, "{}"),
    ({"image_url": "SAMPLE", "job_id": "no-dataset"}, "null"),
])
def test_classify_answers(jobs, sample_image, capsys, payload, answer):
    if payload.get("image_url") == "SAMPLE":
        payload["image_url"] = sample_image[0]
    assert modelgate.classify(json.dumps(payload)) == answer


def test_classify_with_the_sample_job(jobs, sample_image):
    answer = modelgate.classify(json.dumps({"image_url": sample_image[0],
                                            "job_id": "digits-sample"}), "channel unused")
    result = json.loads(answer)
    assert len(result) == 3 and result[0][0] == sample_image[1]
    assert all(len(pair) == 2 for pair in result)
    assert re.match(r'^\[\["\d", \d+\.\d+\], \["\d", \d+\.\d+\], \["\d", \d+\.\d+\]\]$', answer)


def test_classify_starts_and_stops_the_scheduler_also_after_an_error(jobs, monkeypatch):
    from digits.webapp import scheduler
    calls = []
    monkeypatch.setattr(scheduler, "start", lambda: calls.append("start") or True)
    monkeypatch.setattr(scheduler, "stop", lambda: calls.append("stop"))
    monkeypatch.setattr(scheduler, "get_job", lambda job_id: calls.append("get_job") or Job([]))
    with pytest.raises(IOError):
        modelgate.classify('{"image_url": "/no/such.png", "job_id": "j"}')
    assert calls == ["start", "get_job", "stop"]
    del calls[:]
    monkeypatch.setattr(scheduler, "start", lambda: calls.append("start") or False)
    assert modelgate.classify('{"image_url": "x", "job_id": "j"}') == "{}"
    assert calls == ["start", "stop"]


@pytest.mark.parametrize("payload, error", [("not json", ValueError), ("[1]", AttributeError)])
def test_classify_rejects_a_payload_that_is_not_an_object(payload, error):
    with pytest.raises(error):
        modelgate.classify(payload)


def test_time_ignores_its_arguments():
    assert re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$", modelgate.time(None))
    assert len(modelgate.time("x", "y")) == 19 and len(modelgate.time(payload=1)) == 19


@pytest.mark.parametrize("setting, value", [
    ("QZ_DNN_IMAGE_SOURCES", "not json"),
    ("QZ_DNN_FETCH_TIMEOUT", "soon"),
    ("QZ_DNN_MAX_IMAGE_CHUNKS", 0),
])
def test_classify_names_an_unusable_image_setting(jobs, sample_image, monkeypatch, setting, value):
    # a plain call has no start to judge the settings at: it judges them itself
    monkeypatch.setattr(qzconfig, setting, value)
    with pytest.raises(ValueError) as info:
        modelgate.classify(json.dumps({"image_url": sample_image[0], "job_id": "digits-sample"}))
    assert str(info.value).startswith("setting %s=%r is not usable: it accepts" % (setting, value))
