"""One way to replace a file that another process may open at any moment:
it sees the old file or the new one, never half of one (Python 2.7 and 3).

The sinks write every mail, request and control file this way, and the
test side writes the sinks' control files this way."""
import os
import tempfile


def write_atomic(path, data):
    """Writes `data` (bytes) to `path` through a temporary file beside it,
    renamed over it; the folder is made when missing."""
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        os.makedirs(folder)
    # A temporary name of its own per call: the HTTP sink writes from threads.
    fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.rename(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
