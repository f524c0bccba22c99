"""Trains the sample model job, unless it is already there.

    python -m digits.tools.make_sample_job [--jobs-dir DIR] [--job-id ID] [--no-dataset] [--force]

The model is a small multilayer perceptron (64 pixels, 32 ReLU units, 10
softmax outputs) trained by scikit-learn on its bundled 8x8 handwritten digits
(no download); only its arrays are kept, so inference needs numpy alone. Training sees every image twice: as it is,
and after the path that callers' images take (enlarged to 32x32, then brought
back to 8x8 by resize_image), so that both forms classify well. A quarter of
the images, split by class, is held out; two held-out images per class are
written as 32x32 grey PNG files into samples/ with samples/manifest.json
(file name -> true category).

The job is built in a dot-named work folder of the jobs directory (which the
scheduler never hands out) and renamed into place when complete, so a reader
never sees half a job and two concurrent runs leave one whole job.
"""
from __future__ import print_function

import argparse
import json
import os
import shutil
import sys
import time
import warnings

import numpy as np
from PIL import Image

from digits import config
from digits.job import FORMAT_VERSION, JOB_KIND, METADATA, JobError, load_job
from digits.scheduler import plain_job_id
from digits.utils.image import load_image, resize_image

DEFAULT_JOB_ID = "digits-sample"
DEFAULT_NO_DATASET_JOB_ID = "digits-sample-nodataset"
SAMPLE_SIZE = 32
SAMPLES_PER_CLASS = 2
HELD_OUT_FRACTION = 0.25
SEED = 0
LABELS = [str(d) for d in range(10)]
INPUT_DIMS = [8, 8, 1]
RESIZE_MODE = "squash"
HIDDEN = 32


def _as_pixels(images16):
    # load_digits counts ink 0..16 per cell; as an image that is a light digit on a dark ground.
    return np.rint(np.asarray(images16, dtype=np.float64) * (255.0 / 16.0)).astype(np.uint8)


def _enlarged(pixels8):
    return Image.fromarray(pixels8, "L").resize((SAMPLE_SIZE, SAMPLE_SIZE), Image.BICUBIC)


def _as_caller_sees(pixels8):
    return resize_image(_enlarged(pixels8), INPUT_DIMS[0], INPUT_DIMS[1],
                        channels=INPUT_DIMS[2], resize_mode=RESIZE_MODE)


def _sklearn():
    # scikit-learn's compiled parts warn about numpy struct sizes on import; numpy
    # itself silences these (they are harmless), but test runners reset the filters.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="numpy.(dtype|ufunc) size changed")
        from sklearn import datasets, model_selection, neural_network
    return datasets, model_selection, neural_network


def _train(train_x, train_y):
    MLPClassifier = _sklearn()[2].MLPClassifier

    mean = train_x.mean(axis=0)
    # Border pixels that are (almost) always blank would otherwise be blown up to noise.
    scale = np.maximum(train_x.std(axis=0), 1.0)
    model = MLPClassifier(hidden_layer_sizes=(HIDDEN,), activation="relu", alpha=1e-2,
                          max_iter=500, random_state=SEED)
    model.fit((train_x - mean) / scale, train_y)
    if list(model.classes_) != list(range(10)) or model.out_activation_ != "softmax":
        raise RuntimeError("training gave classes %r with %s outputs, not 0..9 with softmax"
                           % (model.classes_, model.out_activation_))
    arrays = {"mean": mean, "scale": scale}
    for i, (w, b) in enumerate(zip(model.coefs_, model.intercepts_)):
        arrays["W%d" % i], arrays["b%d" % i] = w, b
    return arrays


def _top(task, image):
    predictions, _ = task.infer_one(image)
    return predictions[0][0]


def _write_json(path, value):
    with open(path, "wb") as f:
        f.write(json.dumps(value, indent=2, sort_keys=True, separators=(",", ": ")).encode("utf-8") + b"\n")


def _train_into(work, with_dataset):
    datasets, model_selection, _ = _sklearn()
    train_test_split = model_selection.train_test_split

    bunch = datasets.load_digits()
    pixels = _as_pixels(bunch.images)
    targets = np.asarray(bunch.target)
    train_idx, test_idx = train_test_split(np.arange(len(targets)), test_size=HELD_OUT_FRACTION,
                                           stratify=targets, random_state=SEED)
    seen = np.array([_as_caller_sees(p) for p in pixels]).reshape(len(pixels), -1).astype(np.float64)
    raw = pixels.reshape(len(pixels), -1).astype(np.float64)
    train_x = np.vstack([raw[train_idx], seen[train_idx]])
    train_y = np.concatenate([targets[train_idx], targets[train_idx]])
    np.savez(os.path.join(work, "weights.npz"), **_train(train_x, train_y))
    with open(os.path.join(work, "labels.txt"), "wb") as f:
        f.write(("\n".join(LABELS) + "\n").encode("utf-8"))

    meta = {
        "kind": JOB_KIND,
        "format_version": FORMAT_VERSION,
        "name": "Handwritten digits 8x8, small MLP",
        "created": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
        "model": {"weights": "weights.npz", "labels": "labels.txt", "input_dims": INPUT_DIMS,
                  "epoch": 1, "architecture": "dense 64-%d-10, ReLU, softmax, on standardised pixels" % HIDDEN},
        "dataset": ({"name": "scikit-learn load_digits (bundled)", "image_dims": INPUT_DIMS,
                     "resize_mode": RESIZE_MODE} if with_dataset else None),
        "training": {"train_images": int(len(train_idx)), "held_out_images": int(len(test_idx)),
                     "seed": SEED},
    }
    _write_json(os.path.join(work, METADATA), meta)

    samples_dir = os.path.join(work, "samples")
    os.mkdir(samples_dir)
    manifest, per_class = {}, {}
    for i in test_idx:
        label = LABELS[targets[i]]
        k = per_class.get(label, 0)
        if k >= SAMPLES_PER_CLASS:
            continue
        per_class[label] = k + 1
        fname = "%s-%s.png" % (label, "abcdefghij"[k])
        _enlarged(pixels[i]).save(os.path.join(samples_dir, fname))
        manifest[fname] = label
    _write_json(os.path.join(samples_dir, "manifest.json"), manifest)

    task = load_job(work).train_task()
    held_out = sum(_top(task, seen[i].reshape(8, 8).astype(np.uint8)) == LABELS[targets[i]]
                   for i in test_idx)
    held_out_raw = sum(_top(task, pixels[i]) == LABELS[targets[i]] for i in test_idx)
    right = sample_hits(work, task)
    meta["accuracy"] = {
        "held_out": round(float(held_out) / len(test_idx), 4),
        "held_out_correct": int(held_out),
        "held_out_count": int(len(test_idx)),
        "held_out_raw_8x8": round(float(held_out_raw) / len(test_idx), 4),
        "samples": round(float(right) / len(manifest), 4),
        "samples_correct": int(right),
        "samples_count": len(manifest),
    }
    _write_json(os.path.join(work, METADATA), meta)
    return meta


def sample_hits(job_dir, task):
    """How many samples of the job classify right through load_image, resize_image and infer_one."""
    samples_dir = os.path.join(job_dir, "samples")
    with open(os.path.join(samples_dir, "manifest.json"), "rb") as f:
        manifest = json.loads(f.read().decode("utf-8"))
    dims = task.network.input_dims
    mode = task.dataset.train_db_task().resize_mode if task.dataset else RESIZE_MODE
    right = 0
    for fname, label in sorted(manifest.items()):
        image = load_image(os.path.join(samples_dir, fname))
        arr = resize_image(image, dims[0], dims[1], channels=dims[2], resize_mode=mode)
        right += _top(task, arr) == label
    return right


def describe(meta):
    acc = meta.get("accuracy") or {}
    if not acc:
        return "no accuracy recorded"
    return ("held-out accuracy %.4f (%d/%d, images enlarged to %dx%d and resized back; %.4f on the raw 8x8); "
            "samples after the PNG round trip %.4f (%d/%d)"
            % (acc["held_out"], acc["held_out_correct"], acc["held_out_count"], SAMPLE_SIZE, SAMPLE_SIZE,
               acc["held_out_raw_8x8"], acc["samples"], acc["samples_correct"], acc["samples_count"]))


def build_job(jobs_dir, job_id=DEFAULT_JOB_ID, with_dataset=True, force=False):
    """Makes the job unless a valid one exists; returns (built, job_dir, metadata)."""
    name = plain_job_id(job_id)
    if name is None:
        raise ValueError("%r is not a usable job id (a plain name, no leading dot)" % (job_id,))
    jobs_dir = os.path.abspath(jobs_dir)
    job_dir = os.path.join(jobs_dir, name)
    if os.path.lexists(job_dir) and not force:
        try:
            return False, job_dir, load_job(job_dir, name).meta
        except JobError as e:
            raise JobError("%s exists but is not a valid job (%s); use --force to replace it" % (job_dir, e))
    if not os.path.isdir(jobs_dir):
        os.makedirs(jobs_dir)
    work = os.path.join(jobs_dir, ".tmp-%s-%d" % (name, os.getpid()))
    if os.path.lexists(work):
        shutil.rmtree(work)
    os.mkdir(work)
    try:
        meta = _train_into(work, with_dataset)
        if force and os.path.lexists(job_dir):
            old = os.path.join(jobs_dir, ".old-%s-%d" % (name, os.getpid()))
            os.rename(job_dir, old)
            os.rename(work, job_dir)
            if os.path.islink(old) or not os.path.isdir(old):
                os.remove(old)
            else:
                shutil.rmtree(old)
            return True, job_dir, meta
        try:
            os.rename(work, job_dir)
        except OSError:
            # Another run finished first: keep its job.
            if not os.path.isdir(job_dir):
                raise
            return False, job_dir, load_job(job_dir, name).meta
        return True, job_dir, meta
    finally:
        if os.path.lexists(work):
            shutil.rmtree(work, ignore_errors=True)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m digits.tools.make_sample_job",
        description="Trains the sample digits classifier into the jobs directory, unless it is there.")
    parser.add_argument("--jobs-dir", help="jobs directory (default: DIGITS_JOBS_DIR, else ~/.digits/jobs)")
    parser.add_argument("--job-id", help="job folder name (default: %s, or %s with --no-dataset)"
                        % (DEFAULT_JOB_ID, DEFAULT_NO_DATASET_JOB_ID))
    parser.add_argument("--no-dataset", action="store_true",
                        help="record no dataset in the job (its train task's dataset is None)")
    parser.add_argument("--force", action="store_true", help="retrain and replace an existing job")
    args = parser.parse_args(argv)
    jobs_dir = args.jobs_dir or config.load_config("quiet")["jobs_dir"]
    job_id = args.job_id or (DEFAULT_NO_DATASET_JOB_ID if args.no_dataset else DEFAULT_JOB_ID)
    started = time.time()
    try:
        built, job_dir, meta = build_job(jobs_dir, job_id, with_dataset=not args.no_dataset,
                                         force=args.force)
    except (ValueError, JobError, OSError, IOError) as e:
        print("make_sample_job: %s" % e, file=sys.stderr)
        return 1
    if built:
        print("%s: trained in %.1f s into %s" % (job_id, time.time() - started, job_dir))
    else:
        print("%s: exists in %s" % (job_id, job_dir))
    print("%s: %s" % (job_id, describe(meta)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
