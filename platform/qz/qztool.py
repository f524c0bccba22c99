"""Utility operations of the qz platform: files, mail addresses, request
decoding, forwarding, compression and row keys."""
import datetime
import errno
import gzip
import hashlib
import json
import os
import re
import tempfile
import urllib2
import urlparse
from cStringIO import StringIO

# The platform endpoint to which post_qz_message forwards.
QZ_BASE_URL = os.environ.get("QZ_BASE_URL", "http://127.0.0.1:8088/qz/message")

# Seconds that post_qz_message waits for the endpoint.
POST_TIMEOUT = 30


def _log(*items):
    print datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M:%S.%f"), " ".join(map(str, items))


def get_base_path():
    """The platform's base directory: $QZ_BASE_PATH, else ~/.qz."""
    return os.environ.get("QZ_BASE_PATH") or os.path.join(os.path.expanduser("~"), ".qz")


def check_mq_password(p):
    """The password to hand to the queue client: $QZ_MQ_PASSWORD when set, else p."""
    return os.environ.get("QZ_MQ_PASSWORD") or p


# One plain address: no display name, no second address, no blank, no control
# character (a line break would let a caller add mail headers).
_EMAIL = re.compile(r"\A[A-Za-z0-9!#$%&'*+/=?^_`{|}~.-]+@[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?"
                    r"(?:\.[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?)*\Z")


def is_email(x):
    """True when x is exactly one plain address such as a.b@example.com."""
    if isinstance(x, unicode):
        try:
            x = x.encode("ascii")
        except UnicodeError:
            return False
    if not isinstance(x, str) or len(x) > 254:
        return False
    local = x.split("@", 1)[0]
    if local.startswith(".") or local.endswith(".") or ".." in local:
        return False
    return _EMAIL.match(x) is not None


def qz_urldecode(s):
    """The fields of a URL-encoded body as a plain dict of byte strings
    (UTF-8 bytes of each decoded field); blank fields are kept, and of a
    repeated field the last one counts."""
    if isinstance(s, unicode):
        s = s.encode("utf-8")
    return dict(urlparse.parse_qsl(s, keep_blank_values=True))


def post_qz_message(url, body, flag):
    """POSTs body to url as a URL-encoded form (flag true) or as raw bytes.
    Raises on a refused connection, a time-out or a status other than 2xx."""
    if isinstance(body, unicode):
        body = body.encode("utf-8")
    ctype = "application/x-www-form-urlencoded" if flag else "application/octet-stream"
    request = urllib2.Request(url, data=body, headers={"Content-Type": ctype})
    response = urllib2.urlopen(request, timeout=POST_TIMEOUT)  # HTTPError for >= 400
    try:
        status = response.getcode()
        if not 200 <= status < 300:
            raise IOError("post_qz_message: %s answered %s" % (url, status))
        response.read()
    finally:
        response.close()


def qz_gzip_data(text):
    """gzip of text (unicode is taken as UTF-8)."""
    if isinstance(text, unicode):
        text = text.encode("utf-8")
    buf = StringIO()
    with gzip.GzipFile(fileobj=buf, mode="wb") as f:
        f.write(text)
    return buf.getvalue()


def qz_gunzip_data(data):
    """The text that qz_gzip_data compressed; raises IOError on other data."""
    with gzip.GzipFile(fileobj=StringIO(data), mode="rb") as f:
        return f.read()


def hbase_key(table, id):
    """Row key "<salt>:<table>:<id>", salt being the first four hex digits of
    md5("<table>:<id>"): consecutive ids of one table land in different key
    ranges (regions) instead of all on the last one, while the key stays
    readable and unique per row."""
    salt = hashlib.md5("%s:%d" % (table, id)).hexdigest()[:4]
    return "%s:%s:%d" % (salt, table, id)


def _record_path(dir, key, suffix=".json"):
    return os.path.join(get_base_path(), dir, key + suffix)


def _to_bytes(value):
    if isinstance(value, unicode):
        return value.encode("utf-8")
    if isinstance(value, list):
        return [_to_bytes(v) for v in value]
    if isinstance(value, dict):
        return dict((_to_bytes(k), _to_bytes(v)) for k, v in value.items())
    return value


def load_tmp_json(dir, key, suffix=None):
    """With a suffix: whether <base>/<dir>/<key><suffix> exists (the stop file).
    Without: the mapping last saved by save_tmp_json under key, or None when
    there is none; a record that cannot be read is reported and loads as None."""
    if suffix is not None:
        return os.path.exists(_record_path(dir, key, suffix))
    path = _record_path(dir, key)
    try:
        with open(path) as f:
            return _to_bytes(json.load(f))
    except IOError as e:
        if e.errno != errno.ENOENT:
            _log("load_tmp_json: cannot read", path, repr(e))
    except ValueError as e:
        _log("load_tmp_json: unreadable record", path, repr(e))
    return None


def save_tmp_json(dir, data, key):
    """Saves data under key so that a crash at any moment leaves either the
    old record or the new one: written to a temporary file beside it, flushed
    to disk, renamed over it, and the directory flushed."""
    path = _record_path(dir, key)
    folder = os.path.dirname(path)
    if not os.path.isdir(folder):
        os.makedirs(folder)
    fd, tmp = tempfile.mkstemp(prefix="." + key + ".", dir=folder)
    try:
        with os.fdopen(fd, "w") as f:
            json.dump(data, f)
            f.flush()
            os.fsync(f.fileno())
        os.rename(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    dfd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(dfd)
    finally:
        os.close(dfd)
