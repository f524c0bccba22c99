"""The scheduler: hands out the jobs of the jobs directory by id.

Job ids arrive from remote callers, so an id is only ever a plain name looked
up as one entry of the jobs directory: no separators, no "..", no leading dot
(work folders of the tools start with one), no control characters, and the
entry must be a real directory (a symbolic link is not followed).

There is no background thread: jobs are checked when they are asked for
(a few stat calls), so there is nothing to watch, and nothing that could keep
the host process alive or pile up when a library starts and stops the
scheduler around every call.
"""
import os
import stat
import sys
import threading

from digits import config
from digits.job import METADATA, JobError, load_job

MAX_ID_LENGTH = 255


def plain_job_id(job_id):
    """The id as a byte-string file name, or None when it is not an acceptable job id."""
    if type(job_id) is unicode:
        encoding = sys.getfilesystemencoding() or "utf-8"
        try:
            name = job_id.encode(encoding)
        except (UnicodeError, LookupError):
            return None
    elif type(job_id) is str:
        name = job_id
    else:
        return None
    if not name or len(name) > MAX_ID_LENGTH or name.startswith("."):
        return None
    if "/" in name or "\\" in name or "\0" in name or ".." in name:
        return None
    if any(ord(c) < 32 or ord(c) == 127 for c in name):
        return None
    return name


def _signature(job_dir, files):
    try:
        stats = [os.lstat(job_dir)] + [os.stat(os.path.join(job_dir, f)) for f in files]
    except OSError:
        return None
    return tuple((s.st_ino, s.st_size, s.st_mtime) for s in stats)


class Scheduler(object):
    def __init__(self, jobs_dir=None):
        # None: the configured jobs directory, read at each lookup.
        self._jobs_dir = jobs_dir
        self._lock = threading.Lock()
        self._cache = {}
        self.running = False

    def start(self):
        with self._lock:
            self.running = True
        return True

    def stop(self):
        # The job cache outlives a stop: a library that starts and stops the
        # scheduler around every call must not reload weights each time.
        with self._lock:
            self.running = False
        return True

    def jobs_dir(self):
        return self._jobs_dir or config.config_value("jobs_dir")

    def get_job(self, job_id):
        """The job named `job_id` in the jobs directory, or None."""
        name = plain_job_id(job_id)
        if name is None:
            return None
        job_dir = os.path.join(self.jobs_dir(), name)
        try:
            if not stat.S_ISDIR(os.lstat(job_dir).st_mode):
                return None
        except OSError:
            return None
        with self._lock:
            cached = self._cache.get(job_dir)
        if cached is not None:
            signature, job = cached
            if signature is not None and _signature(job_dir, job.files()) == signature:
                return job
        before = _signature(job_dir, [METADATA])
        try:
            job = load_job(job_dir, name)
        except JobError:
            with self._lock:
                self._cache.pop(job_dir, None)
            return None
        signature = _signature(job_dir, job.files())
        # A job folder replaced while it was being read is not cached, so the
        # next lookup reads the new one instead of trusting a mixed signature.
        if before is not None and signature is not None and signature[:2] == before:
            with self._lock:
                self._cache[job_dir] = (signature, job)
        return job

    def clear_cache(self):
        with self._lock:
            self._cache.clear()
