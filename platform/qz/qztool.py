"""Utility operations of the qz platform: files, mail addresses, request
decoding, forwarding, compression and row keys."""
import datetime
import errno
import gzip
import hashlib
import httplib
import json
import os
import re
import socket
import struct
import sys
import tempfile
import time
import urllib2
import urlparse
import zlib
from cStringIO import StringIO

import deadline_socket
from qz import qzconfig
from qz.qzconfig import _to_bytes  # JSON gives unicode; the platform keeps byte strings

# The platform endpoint to which post_qz_message forwards.
QZ_BASE_URL = os.environ.get("QZ_BASE_URL", "http://127.0.0.1:8088/qz/message")

# Seconds that one post_qz_message may take as a whole: connection, TLS,
# the request, the answer and its body. An endpoint that drips its answer a
# byte at a time cannot hold the caller longer.
POST_TIMEOUT = 30


# One well-formed UTF-8 sequence (RFC 3629: no overlong form, no surrogate,
# nothing past U+10FFFF), or any other byte on its own (group 1).
_UTF8_OR_BYTE = re.compile(
    "([\x00-\x7f]|[\xc2-\xdf][\x80-\xbf]|\xe0[\xa0-\xbf][\x80-\xbf]"
    "|[\xe1-\xec\xee\xef][\x80-\xbf]{2}|\xed[\x80-\x9f][\x80-\xbf]"
    "|\xf0[\x90-\xbf][\x80-\xbf]{2}|[\xf1-\xf3][\x80-\xbf]{3}|\xf4[\x80-\x8f][\x80-\xbf]{2})"
    "|(.)", re.S)
_NOT_ASCII = re.compile("[\x80-\xff]")


def _utf8_line_text(data):
    """The bytes as they are where they are UTF-8, any other byte as \\xNN:
    the rule of the native log writer, so that the same bytes make the same
    line whichever writer puts them down (Python 2's own decoder would let
    encoded surrogates through)."""
    if not _NOT_ASCII.search(data):
        return data
    return _UTF8_OR_BYTE.sub(
        lambda m: m.group(1) if m.group(2) is None else "\\x%02x" % ord(m.group(2)), data)


def _log_item(item):
    if isinstance(item, unicode):
        return _utf8_line_text(item.encode("utf-8"))
    if isinstance(item, str):
        return _utf8_line_text(item)
    # As the native writer: the item's str(); where that fails (an error or
    # object whose text is non-ASCII unicode) its unicode form, then its
    # representation, then its type's name.
    for form in (str, unicode, repr):
        try:
            shown = form(item)
        except Exception:
            continue
        if isinstance(shown, (str, unicode)):
            return _log_item(shown)
    return "<unprintable %s object>" % type(item).__name__


def _log(*items):
    """One log line of UTF-8 bytes, whatever the items hold and wherever
    standard output goes; a line that cannot be written is lost, never raised."""
    try:
        line = " ".join([datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M:%S.%f")] +
                        [_log_item(i) for i in items])
        sys.stdout.write(line + "\n")
    except Exception:
        pass


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


class _RedirectRefused(urllib2.HTTPRedirectHandler):
    """A redirect answer to the POST is its failure: urllib2 would follow it
    with a GET without the body, and that GET's 200 would be taken for the
    endpoint having accepted the message."""

    def redirect_request(self, req, fp, code, msg, headers, newurl):
        return None  # urllib2 then raises the answer as an HTTPError


def _late():
    return "no complete answer within %s seconds" % POST_TIMEOUT


def _bounded_connections(deadline):
    """HTTP and HTTPS connection classes whose connection, TLS handshake and
    every later wait end at the deadline (deadline_socket)."""

    def connected(conn):
        return socket.create_connection((conn.host, conn.port),
                                        deadline_socket.left(deadline, _late()),
                                        conn.source_address)

    class Connection(httplib.HTTPConnection):
        def connect(self):
            self.sock = deadline_socket.DeadlineSocket(connected(self), deadline, _late())
            if self._tunnel_host:
                self._tunnel()

    class SecureConnection(httplib.HTTPSConnection):
        def connect(self):
            sock = connected(self)
            if self._tunnel_host:
                self.sock = deadline_socket.DeadlineSocket(sock, deadline, _late(), closes=False)
                self._tunnel()
            tls = deadline_socket.handshake(self._context, sock, self._tunnel_host or self.host,
                                            deadline, _late())
            self.sock = deadline_socket.DeadlineSocket(tls, deadline, _late())

    return Connection, SecureConnection


class _BoundedHTTP(urllib2.HTTPHandler):
    def http_open(self, req):
        return self.do_open(_bounded_connections(req.deadline)[0], req)


class _BoundedHTTPS(urllib2.HTTPSHandler):
    def https_open(self, req):
        return self.do_open(_bounded_connections(req.deadline)[1], req)


_opener = urllib2.build_opener(_RedirectRefused, _BoundedHTTP, _BoundedHTTPS)


def _read_to_the_end(response, url):
    """Reads the answer's body to its end and drops it; a body shorter than
    its Content-Length (or a chunked one cut off) is a failure, not an
    answer."""
    while response.read(65536):
        pass
    # urllib2 reads through the answer object, whose count of what its
    # Content-Length still owes is the only trace of a body that ended early.
    answer = getattr(getattr(response, "fp", None), "_sock", None)
    owed = getattr(answer, "length", None)
    if owed:
        raise IOError("post_qz_message: %s ended its answer %d bytes short" % (url, owed))


def post_qz_message(url, body, flag):
    """POSTs body to url as a URL-encoded form (flag true) or as raw bytes.
    Raises on a refused connection, any status other than 2xx (redirects
    included), an answer whose body ends before its length, and when the
    whole exchange has not ended within POST_TIMEOUT seconds."""
    if isinstance(body, unicode):
        body = body.encode("utf-8")
    ctype = "application/x-www-form-urlencoded" if flag else "application/octet-stream"
    request = urllib2.Request(url, data=body, headers={"Content-Type": ctype})
    request.deadline = time.time() + POST_TIMEOUT
    response = _opener.open(request, timeout=POST_TIMEOUT)  # HTTPError for 3xx and >= 400
    try:
        status = response.getcode()
        if not 200 <= status < 300:
            raise IOError("post_qz_message: %s answered %s" % (url, status))
        try:
            _read_to_the_end(response, url)
        except (socket.error, httplib.HTTPException) as e:
            raise IOError("post_qz_message: %s: %r" % (url, e))
    finally:
        response.close()


def qz_gzip_data(text):
    """gzip of text (unicode is taken as UTF-8): one member, byte for byte as
    GzipFile writes it into a nameless buffer (no name, the current time,
    level 9). A byte string is packed here directly, since GzipFile's file
    machinery is most of the time on a message's few hundred bytes; anything
    else goes through GzipFile itself, with its own errors."""
    if isinstance(text, unicode):
        text = text.encode("utf-8")
    if type(text) is not str:
        buf = StringIO()
        with gzip.GzipFile(fileobj=buf, mode="wb") as f:
            f.write(text)
        return buf.getvalue()
    packer = zlib.compressobj(9, zlib.DEFLATED, -zlib.MAX_WBITS, zlib.DEF_MEM_LEVEL, 0)
    return "".join((
        # magic, deflate, no flags, mtime, "slowest" (level 9), unknown OS
        struct.pack("<4sIBB", "\037\213\010\000", long(time.time()) & 0xffffffff, 2, 255),
        packer.compress(text), packer.flush(),
        struct.pack("<II", zlib.crc32(text) & 0xffffffff, len(text) & 0xffffffff)))


def qz_gunzip_data(data):
    """The text that qz_gzip_data compressed; raises IOError on other data.

    The payload comes from anyone who can publish, so both sides are bounded:
    a body over QZ_MQ_MAX_BODY bytes is refused unread, and decompression
    goes in steps that stop as soon as the text passes QZ_MQ_MAX_TEXT bytes
    (a small body can expand a thousandfold)."""
    # A negative limit admits nothing; it must never reach zlib as 0, which
    # would read as "no limit".
    max_body = max(0, int(qzconfig.QZ_MQ_MAX_BODY))
    max_text = max(0, int(qzconfig.QZ_MQ_MAX_TEXT))
    if len(data) > max_body:
        raise IOError("compressed body of %d bytes, over QZ_MQ_MAX_BODY (%d)" % (len(data), max_body))
    pieces, size = [], 0
    rest = data
    while rest:  # one gzip member per round, as GzipFile reads them
        if rest[:2] != "\037\213":
            raise IOError("Not a gzipped file")
        if rest[2:3] != "\010":
            raise IOError("Unknown compression method")
        member = zlib.decompressobj(16 + zlib.MAX_WBITS)
        pending = rest
        while pending and not member.unused_data:
            piece = member.decompress(pending, max_text + 1 - size)
            size += len(piece)
            if size > max_text:
                raise IOError("compressed body expands past QZ_MQ_MAX_TEXT (%d bytes)" % max_text)
            pieces.append(piece)
            pending = member.unconsumed_tail
            if not piece and not pending:
                break
        if not member.unused_data and not _member_complete(member):
            raise IOError("truncated gzip data")
        # Members may be followed by zero padding, as GzipFile allows.
        rest = member.unused_data.lstrip("\0")
    return "".join(pieces)


def _member_complete(member):
    # zlib under Python 2 does not tell whether a stream has ended; one byte
    # more, given to a copy, lands in unused_data only if it has.
    probe = member.copy()
    try:
        probe.decompress("\0", 1)
    except zlib.error:
        return False
    return bool(probe.unused_data)


def hbase_key(table, id):
    """Row key "<salt>:<table>:<id>", salt being the first four hex digits of
    md5("<table>:<id>"): consecutive ids of one table land in different key
    ranges (regions) instead of all on the last one, while the key stays
    readable and unique per row."""
    name = "%s:%d" % (table, id)
    return hashlib.md5(name).hexdigest()[:4] + ":" + name


def _record_path(dir, key, suffix=".json"):
    return os.path.join(get_base_path(), dir, key + suffix)


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
