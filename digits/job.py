"""Model jobs: a trained image classifier in a folder, and what DIGITS' callers ask of it.

A job folder holds (names relative to the folder):

  job.json      metadata, see JOB_KIND and load_job() for the fields
  labels.txt    one category per line, in the order of the model's outputs
  weights.npz   the network: `mean`, `scale`, then dense layers W0, b0, W1, b1, ...

Inference uses numpy only, so a host that classifies never imports a
training library.
"""
import json
import os

import numpy as np

from digits.utils.errors import JobError

JOB_KIND = "image-classification-model"
FORMAT_VERSION = 1
METADATA = "job.json"
MAX_METADATA_BYTES = 1 << 20
LAYER_CHOICES = ("none", "all")


def plain_file_name(name):
    """True for a name that stays inside the folder it is joined to."""
    return (isinstance(name, basestring) and name not in ("", ".", "..") and
            "/" not in name and "\\" not in name and "\0" not in name and not name.startswith("."))


def _dims(value, what):
    if (not isinstance(value, list) or len(value) != 3 or
            not all(isinstance(v, (int, long)) and not isinstance(v, bool) and v > 0 for v in value)):
        raise JobError("%s must be [height, width, channels] of positive integers, not %r" % (what, value))
    if value[2] not in (1, 3):
        raise JobError("%s: channels must be 1 or 3, not %r" % (what, value[2]))
    return [int(v) for v in value]


class DbTask(object):
    """What DIGITS calls a dataset's train_db_task: how images were shaped for training."""

    def __init__(self, image_dims, resize_mode):
        self.image_dims = list(image_dims)
        self.resize_mode = resize_mode

    def __repr__(self):
        return "DbTask(image_dims=%r, resize_mode=%r)" % (self.image_dims, self.resize_mode)


class DatasetJob(object):
    def __init__(self, name, image_dims, resize_mode):
        self._name = name
        self._db_task = DbTask(image_dims, resize_mode)

    def name(self):
        return self._name

    def train_db_task(self):
        return self._db_task


class Network(object):
    """Dense layers with ReLU between them and softmax at the end, on raw uint8 pixels."""

    def __init__(self, arrays, input_dims, n_labels):
        try:
            mean = np.asarray(arrays["mean"], dtype=np.float64)
            scale = np.asarray(arrays["scale"], dtype=np.float64)
        except KeyError as e:
            raise JobError("weights lack %s" % e)
        size = int(np.prod(input_dims))
        if mean.shape != (size,) or scale.shape != (size,):
            raise JobError("mean and scale must have %d values (the input %r)" % (size, input_dims))
        if not (np.all(np.isfinite(mean)) and np.all(np.isfinite(scale)) and np.all(scale > 0)):
            raise JobError("mean and scale must be finite, scale positive")
        layers = []
        width = size
        for i in range(len(arrays)):
            if "W%d" % i not in arrays:
                break
            w = np.asarray(arrays["W%d" % i], dtype=np.float64)
            b = np.asarray(arrays.get("b%d" % i), dtype=np.float64)
            if w.ndim != 2 or w.shape[0] != width or b.shape != (w.shape[1],):
                raise JobError("layer %d does not fit: W %r, b %r after %d inputs" % (i, w.shape, b.shape, width))
            if not (np.all(np.isfinite(w)) and np.all(np.isfinite(b))):
                raise JobError("layer %d holds values that are not finite" % i)
            layers.append((w, b))
            width = w.shape[1]
        if not layers:
            raise JobError("weights hold no layer W0/b0")
        if width != n_labels:
            raise JobError("the network gives %d outputs for %d labels" % (width, n_labels))
        self.input_dims = list(input_dims)
        self.layers = layers
        # The pixel normalisation is folded into the first layer once, so that
        # a call costs one product per layer.
        w0, b0 = layers[0]
        w0n = w0 / scale[:, None]
        self._first = (np.ascontiguousarray(w0n), b0 - mean.dot(w0n))
        self._rest = [(np.ascontiguousarray(w), b) for w, b in layers[1:]]

    def forward(self, pixels, keep=False):
        """Class probabilities of a flat pixel vector, and the layers' outputs when `keep`."""
        w, b = self._first
        z = pixels.dot(w) + b
        outputs = [z] if keep else None
        for w, b in self._rest:
            z = np.maximum(z, 0.0).dot(w) + b
            if keep:
                outputs.append(z)
        z = z - z.max()
        e = np.exp(z)
        return e / e.sum(), outputs


class TrainTask(object):
    """The training task of a model job: its dataset, labels and inference."""

    def __init__(self, job, dataset, network, labels, epoch):
        self.job = job
        self.dataset = dataset
        self.network = network
        self.labels = labels
        self.snapshot_epochs = [epoch]
        self._epoch = epoch

    def get_labels(self):
        return list(self.labels)

    def _check_epoch(self, snapshot_epoch):
        if snapshot_epoch is None:
            return
        try:
            wanted = float(snapshot_epoch)
        except (TypeError, ValueError):
            raise ValueError("snapshot_epoch must be a number or None, not %r" % (snapshot_epoch,))
        if wanted != float(self._epoch):
            raise ValueError("no snapshot for epoch %r (this job has epoch %r)" % (snapshot_epoch, self._epoch))

    def infer_one(self, image, snapshot_epoch=None, layers="none"):
        """Classifies one image shaped like the model's input (what resize_image returns).

        Returns (predictions, visualizations): predictions lists (category,
        confidence) for every category, most probable first, ties in label
        order; visualizations is [] for layers="none", one summary per layer for "all".
        """
        self._check_epoch(snapshot_epoch)
        if layers not in LAYER_CHOICES:
            raise ValueError("layers must be one of %s, not %r" % (", ".join(LAYER_CHOICES), layers))
        arr = np.asarray(image)
        height, width, channels = self.network.input_dims
        if arr.shape not in _accepted_shapes(height, width, channels):
            raise ValueError("image shape %r does not match the model input %r"
                             % (arr.shape, (height, width, channels)))
        if arr.dtype.kind not in "uif":
            raise ValueError("image must hold numbers, not %s" % arr.dtype)
        keep = layers == "all"
        probs, outputs = self.network.forward(arr.reshape(-1).astype(np.float64), keep)
        # A stable sort keeps equal confidences in label order.
        order = np.argsort(-probs, kind="mergesort")
        labels = self.labels
        predictions = [(labels[i], float(probs[i])) for i in order.tolist()]
        visualizations = []
        if keep:
            for i, out in enumerate(outputs):
                visualizations.append({
                    "name": "fc%d" % i,
                    "vis_type": "Activations",
                    "shape": list(out.shape),
                    "data_stats": {"min": float(out.min()), "max": float(out.max()),
                                   "mean": float(out.mean()), "stddev": float(out.std())},
                })
        return predictions, visualizations


def _accepted_shapes(height, width, channels):
    if channels == 1:
        return ((height, width), (height, width, 1))
    return ((height, width, channels),)


class ModelJob(object):
    """A finished image-classification model job, as the scheduler hands it out."""

    status = "Done"

    def __init__(self, job_dir, job_id, meta, dataset, network, labels, epoch, files):
        self._dir = job_dir
        self._id = job_id
        self.meta = meta
        self._files = files
        self._task = TrainTask(self, dataset, network, labels, epoch)

    def id(self):
        return self._id

    def dir(self):
        return self._dir

    def name(self):
        return self.meta.get("name") or self._id

    def path(self, filename):
        return os.path.join(self._dir, filename)

    def files(self):
        """The files the job was loaded from: a change to any of them means a new job."""
        return list(self._files)

    def train_task(self):
        return self._task

    def __repr__(self):
        return "ModelJob(%r)" % self._id


def _read_metadata(job_dir):
    path = os.path.join(job_dir, METADATA)
    try:
        with open(path, "rb") as f:
            raw = f.read(MAX_METADATA_BYTES + 1)
    except (IOError, OSError) as e:
        raise JobError("no readable %s in %s: %s" % (METADATA, job_dir, e))
    if len(raw) > MAX_METADATA_BYTES:
        raise JobError("%s is larger than %d bytes" % (path, MAX_METADATA_BYTES))
    try:
        meta = json.loads(raw.decode("utf-8"))
    except ValueError as e:
        raise JobError("%s is not JSON: %s" % (path, e))
    if not isinstance(meta, dict):
        raise JobError("%s is not a JSON object" % path)
    if meta.get("kind") != JOB_KIND or meta.get("format_version") != FORMAT_VERSION:
        raise JobError("%s is not a %s job of format %d" % (path, JOB_KIND, FORMAT_VERSION))
    return meta


def _read_labels(path):
    try:
        with open(path, "rb") as f:
            lines = f.read(MAX_METADATA_BYTES + 1).splitlines()
    except (IOError, OSError) as e:
        raise JobError("cannot read labels %s: %s" % (path, e))
    labels = [line.strip() for line in lines]
    while labels and not labels[-1]:
        labels.pop()
    if not labels or not all(labels):
        raise JobError("labels %s must be one non-blank category per line" % path)
    return labels


def load_job(job_dir, job_id=None):
    """Loads the job in `job_dir`; raises JobError when it is not a complete, consistent job."""
    meta = _read_metadata(job_dir)
    model = meta.get("model")
    if not isinstance(model, dict):
        raise JobError("job.json has no model")
    weights_name, labels_name = model.get("weights"), model.get("labels")
    if not (plain_file_name(weights_name) and plain_file_name(labels_name)):
        raise JobError("model.weights and model.labels must be plain file names in the job folder")
    input_dims = _dims(model.get("input_dims"), "model.input_dims")
    epoch = model.get("epoch", 1)
    if isinstance(epoch, bool) or not isinstance(epoch, (int, long, float)):
        raise JobError("model.epoch must be a number, not %r" % (epoch,))
    dataset_meta = meta.get("dataset")
    dataset = None
    if dataset_meta is not None:
        if not isinstance(dataset_meta, dict):
            raise JobError("dataset must be an object or null")
        image_dims = _dims(dataset_meta.get("image_dims"), "dataset.image_dims")
        resize_mode = dataset_meta.get("resize_mode", "squash")
        if resize_mode not in ("squash", "crop", "fill", "half_crop"):
            raise JobError("dataset.resize_mode %r is not a resize mode" % (resize_mode,))
        if image_dims != input_dims:
            raise JobError("dataset.image_dims %r differ from model.input_dims %r" % (image_dims, input_dims))
        dataset = DatasetJob(dataset_meta.get("name") or "dataset", image_dims, str(resize_mode))
    labels = _read_labels(os.path.join(job_dir, labels_name))
    weights_path = os.path.join(job_dir, weights_name)
    try:
        with np.load(weights_path, allow_pickle=False) as npz:
            arrays = dict((key, npz[key]) for key in npz.files)
    except Exception as e:
        raise JobError("cannot read weights %s: %s" % (weights_path, e))
    network = Network(arrays, input_dims, len(labels))
    files = [METADATA, labels_name, weights_name]
    return ModelJob(job_dir, job_id or os.path.basename(job_dir), meta, dataset, network,
                    labels, epoch, files)
