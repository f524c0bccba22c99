"""Loading and resizing of images, the way DIGITS' image-classification jobs see them.

Image locations come from remote callers, so the loader is defensive: every
limit below is checked before the costly step it protects (the byte count
before reading on, the format's signature and its structure before any
decoder parses it, the pixel count and the memory a decode takes before
decoding). The decoders that may run are an allow-list, chosen from the
signature: Pillow 6.2.2 (the last release for Python 2.7) has unfixed faults
in several of its other decoders, its EPS plugin runs Ghostscript, and
Image.open would let each of them parse the bytes while it looks for one that
claims them. See image_formats.

The limits are module attributes read at call time, so a host (or a test) can
tighten them without new arguments in the callers' call shapes.

A fetch runs on non-blocking sockets under one deadline, name lookup and TLS
handshake included: a socket time-out restarts with every byte, and the
stdlib's handshake and TLS reads wait once per byte received. It connects to
the very address it checked, so a name that resolves (or re-resolves) to a
metadata address cannot slip through between the check and the connect.
"""
import base64
import cStringIO
import errno
import httplib
import os
import re
import socket
import stat
import time
import urllib
import urlparse
import warnings

import math
import select
import ssl
import sys
import threading

import numpy as np
from PIL import Image

from digits.utils import image_formats
from digits.utils.errors import LoadImageError

FETCH_TIMEOUT = 10.0  # seconds for a whole http(s) fetch, redirects included
MAX_IMAGE_BYTES = 10 * 1024 * 1024  # encoded size, for files and fetches alike
MAX_PIXELS = 20 * 1000 * 1000  # width * height, checked from the header
MAX_REDIRECTS = 3
# Where images may come from: None (any local path, any http/https host) or
# local roots and URL prefixes; see _sources(). Link-local and metadata
# addresses are refused whatever it says.
ALLOWED_SOURCES = None
# Narrows image_formats.DECODABLE; a name outside it widens nothing.
ALLOWED_FORMATS = ("PNG", "JPEG", "GIF", "BMP", "PPM")
# The decoding budget. Within it no image of MAX_IMAGE_BYTES and MAX_PIXELS
# takes more than about a second of CPU to decode (bench/decode).
# What the parsers step through one at a time, in Python, at up to 5 us each:
# PNG chunks, JPEG segments (and tables, components, resources inside them),
# GIF blocks before the first frame, stray bytes between any of them.
MAX_CHUNKS = 10000
# Bytes of what is not pixels: PNG's ancillary chunks (compressed text and
# ICC profiles as they inflate), JPEG's APPn and COM segments, GIF's
# extensions. A CMYK ICC profile alone can take a megabyte.
MAX_METADATA_BYTES = 4 * 1024 * 1024
# Each scan of a JPEG is a pass over all its blocks (3 ms at 20 megapixels),
# whatever few bytes it has; encoders write at most 18.
MAX_JPEG_SCANS = 64
# Image memory of one decode: the decoder's image, the one converted to L or
# RGB and what the decoder keeps beside them (a multi-scan JPEG's
# coefficients). 8 bytes a pixel at MAX_PIXELS: an RGBA or CMYK image at the
# pixel limit, decoded and converted, fits.
MAX_DECODE_MEMORY = 160 * 1000 * 1000
RESIZE_MODES = ("squash", "crop", "fill", "half_crop")

# Pillow's own bomb check is a second line behind MAX_PIXELS: it errors above
# twice its limit even if a caller reaches Image.open some other way.
if Image.MAX_IMAGE_PIXELS is None or Image.MAX_IMAGE_PIXELS > MAX_PIXELS:
    Image.MAX_IMAGE_PIXELS = MAX_PIXELS
# Between one and two times its limit Pillow only warns; the loader refuses
# those images itself with an error, so the warning would only add noise.
warnings.filterwarnings("ignore", category=Image.DecompressionBombWarning, module="PIL.Image")

_URL = re.compile(r"^([A-Za-z][A-Za-z0-9+.\-]*)://")
_REDIRECTS = (301, 302, 303, 307, 308)
_USER_AGENT = "digits-layer/0.1"
_DEFAULT_PORTS = {"http": 80, "https": 443}
_NOT_ALLOWED = "not allowed (outside the allowed image sources)"
# A lookup that outlives its fetch keeps its thread until the resolver gives
# up; this many may linger at once, so slow names cannot pile up threads.
_MAX_PENDING_LOOKUPS = 16


def load_image(path):
    """Returns the image at `path` (a local file or an http/https URL) as a PIL image, mode L or RGB.

    Raises LoadImageError (an IOError and a ValueError) for anything refused or unreadable.
    """
    if not isinstance(path, basestring):
        raise LoadImageError("image location must be a string, not %s" % type(path).__name__)
    location = path
    if not location:
        raise LoadImageError("image location is empty")
    sources = _sources()
    match = _URL.match(location)
    if match:
        scheme = match.group(1).lower()
        if scheme not in ("http", "https"):
            raise LoadImageError("URL scheme %r not allowed (only http and https): %s"
                                 % (scheme, _shown(location)))
        data = _fetch(location, sources)
    else:
        data = _read_file(location, sources)
    return _decode(data, location)


def _shown(location, limit=200):
    text = location if len(location) <= limit else location[:limit] + "..."
    return repr(text)


class _Sources(object):
    """ALLOWED_SOURCES, checked: real paths of the local roots, and URL prefixes."""

    def __init__(self, roots, prefixes):
        self.roots = roots        # real paths, as byte strings
        self.prefixes = prefixes  # (scheme, host, port, decoded path)

    def path_allowed(self, real):
        return any(_under(real, root) for root in self.roots)

    def url_allowed(self, scheme, host, port, path):
        for p_scheme, p_host, p_port, p_path in self.prefixes:
            if (p_scheme, p_host, p_port) == (scheme, host, port) and _url_path_under(path, p_path):
                return True
        return False


def _setting_error(message):
    return LoadImageError("ALLOWED_SOURCES: " + message)


def _sources():
    """Reads ALLOWED_SOURCES: None, or a _Sources. A malformed value refuses every load."""
    value = ALLOWED_SOURCES
    if value is None:
        return None
    if isinstance(value, basestring):
        if not value.strip():
            return None
        entries = [e for e in re.split(r"[\s,]+", value) if e]
    elif isinstance(value, (list, tuple)):
        entries = list(value)
    else:
        raise _setting_error("must be None, a string or a list of strings, not %s" % type(value).__name__)
    roots, prefixes = [], []
    for entry in entries:
        if not isinstance(entry, basestring):
            raise _setting_error("entries must be strings, not %s" % type(entry).__name__)
        if u"\0" in entry or not entry.strip():
            raise _setting_error("unusable entry %r" % (entry,))
        if _URL.match(entry):
            prefixes.append(_url_prefix(entry))
        elif entry.startswith("/"):
            root = _fs_bytes(entry)
            if root is None:
                raise _setting_error("unusable entry %r" % (entry,))
            roots.append(os.path.realpath(root))
        else:
            raise _setting_error("%r is neither an absolute directory nor an http(s) URL prefix" % (entry,))
    return _Sources(roots, prefixes)


def _url_prefix(entry):
    try:
        parts = urlparse.urlsplit(_ascii_url(entry))
        scheme, host, port = _netloc(parts)
    except ValueError as e:
        raise _setting_error("malformed URL prefix %r: %s" % (entry, e))
    if scheme not in _DEFAULT_PORTS:
        raise _setting_error("URL prefix %r must be http or https" % (entry,))
    if "@" in parts.netloc or parts.query or parts.fragment or entry.rstrip().endswith(("?", "#")):
        raise _setting_error("URL prefix %r may hold no user name, query or fragment" % (entry,))
    path = urllib.unquote(parts.path) or "/"
    if not _plain_path(path):
        raise _setting_error("URL prefix %r has '.' or '..' segments" % (entry,))
    return scheme, host, port, path


def _netloc(parts):
    """(scheme, host, port) of a split URL, the port made explicit; ValueError if malformed.

    Parsed here rather than with urlsplit's .port, which reads a port out of
    range as "no port" and so as the default one.
    """
    scheme = parts.scheme.lower()
    hostport = parts.netloc.rpartition("@")[2]
    if hostport.startswith("["):
        host, bracket, rest = hostport[1:].partition("]")
        if not bracket or (rest and not rest.startswith(":")):
            raise ValueError("bad IPv6 host")
        port_text = rest[1:]
        had_colon = bool(rest)
    else:
        host, colon, port_text = hostport.partition(":")
        had_colon = bool(colon)
        if ":" in port_text:
            raise ValueError("IPv6 host without brackets")
    host = host.lower()
    if not host:
        raise ValueError("no host")
    if not had_colon or port_text == "":
        return scheme, host, _DEFAULT_PORTS.get(scheme)
    if not port_text.isdigit() or not 0 < int(port_text) <= 65535:
        raise ValueError("bad port %r" % port_text)
    return scheme, host, int(port_text)


def _plain_path(path):
    # What a server may take for a step up or a separator must not meet a prefix check.
    return "\\" not in path and "\0" not in path and not any(
        segment in (".", "..") for segment in path.split("/"))


def _url_path_under(raw_path, prefix):
    if prefix == "/":
        return True
    path = urllib.unquote(raw_path) or "/"
    return _plain_path(path) and _under(path, prefix)


def _under(path, root):
    """True if `path` is `root` or below it, on a directory boundary."""
    if root.endswith("/"):
        return path.startswith(root) or path == root.rstrip("/")
    return path == root or path.startswith(root + "/")


def _fs_bytes(path):
    if isinstance(path, unicode):
        try:
            return path.encode(sys.getfilesystemencoding() or "utf-8")
        except UnicodeError:
            return None
    return path


def _allowed_path(path, sources):
    """The real path to open for `path`, or LoadImageError if it lies outside every root."""
    shown = _shown(path)
    name = _fs_bytes(path)
    if name is None:
        raise LoadImageError("unusable image path %s: not in the file system's encoding" % shown)
    try:
        real = os.path.realpath(name)
    except (OSError, IOError) as e:
        raise LoadImageError(e.errno, "cannot open image file %s: %s" % (shown, e.strerror))
    # realpath gives up on a symlink loop and hands back the rest unresolved,
    # '..' included; such a path is refused rather than trusted.
    if not (real.startswith("/") and _plain_path(real) and sources.path_allowed(real)):
        raise LoadImageError("image path %s: %s" % (_NOT_ALLOWED, shown))
    # A trailing slash still demands a directory, as it would on the path given.
    return real + "/" if name.endswith("/") and real != "/" else real


def _opened_path(fd):
    """The path the kernel opened for `fd`, or None where /proc cannot tell."""
    try:
        return os.readlink("/proc/self/fd/%d" % fd)
    except (OSError, IOError):
        return None


def _read_file(path, sources=None):
    if u"\0" in path:
        raise LoadImageError("image path contains a NUL character")
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0)
    target = path
    if sources is not None:
        target = _allowed_path(path, sources)
        # The real path has no links left: a link put there since is not followed.
        flags |= getattr(os, "O_NOFOLLOW", 0)
    # Opened without blocking and checked on the open descriptor: a FIFO or a
    # device named by a remote caller must neither hang nor stream forever.
    try:
        fd = os.open(target, flags)
    except (OSError, IOError) as e:
        if sources is not None and e.errno == errno.ELOOP:
            raise LoadImageError("image path %s: %s" % (_NOT_ALLOWED, _shown(path)))
        raise LoadImageError(e.errno, "cannot open image file %s: %s" % (_shown(path), e.strerror))
    except (UnicodeError, TypeError, ValueError) as e:
        raise LoadImageError("unusable image path %s: %s" % (_shown(path), e))
    try:
        if sources is not None:
            # A directory on the way swapped for a link between the check and
            # the open would escape the roots; the kernel knows what it opened.
            opened = _opened_path(fd)
            if opened is not None and not sources.path_allowed(opened):
                raise LoadImageError("image path %s: %s" % (_NOT_ALLOWED, _shown(path)))
        st = os.fstat(fd)
        if stat.S_ISDIR(st.st_mode):
            raise LoadImageError(errno.EISDIR, "image path is a directory: %s" % _shown(path))
        if not stat.S_ISREG(st.st_mode):
            raise LoadImageError("image path is not a regular file: %s" % _shown(path))
        cap = MAX_IMAGE_BYTES
        if st.st_size > cap:
            raise LoadImageError("image file too large: %d bytes, limit %d: %s"
                                 % (st.st_size, cap, _shown(path)))
        chunks, total = [], 0
        while total <= cap:
            chunk = os.read(fd, min(1 << 20, cap + 1 - total))
            if not chunk:
                break
            chunks.append(chunk)
            total += len(chunk)
        if total > cap:
            raise LoadImageError("image file too large: more than %d bytes: %s" % (cap, _shown(path)))
        return b"".join(chunks)
    except (OSError, IOError) as e:
        if isinstance(e, LoadImageError):
            raise
        raise LoadImageError(e.errno, "cannot read image file %s: %s" % (_shown(path), e.strerror))
    finally:
        os.close(fd)


def _refused_address(family, address):
    """True for link-local and cloud-metadata addresses, in whatever form they come."""
    address = address.partition("%")[0]
    try:
        packed = socket.inet_pton(family, address)
    except (socket.error, ValueError):
        return True  # an address this check cannot read is not connected to
    if family == socket.AF_INET6:
        if ord(packed[0]) == 0xfe and ord(packed[1]) & 0xc0 == 0x80:  # fe80::/10
            return True
        if packed == socket.inet_pton(socket.AF_INET6, "fd00:ec2::254"):
            return True
        # IPv4-mapped, IPv4-compatible and NAT64 forms reach the IPv4 address inside.
        if packed[:12] in (b"\0" * 10 + b"\xff\xff", b"\0" * 12, b"\0\x64\xff\x9b" + b"\0" * 8):
            packed = packed[12:]
        else:
            return False
    return packed[:2] == b"\xa9\xfe" or packed == b"\x64\x64\x64\xc8"  # 169.254/16, 100.100.100.200


def _literal_addresses(host, port):
    for family in (socket.AF_INET, socket.AF_INET6):
        try:
            socket.inet_pton(family, host)
        except (socket.error, ValueError):
            continue
        address = (host, port) if family == socket.AF_INET else (host, port, 0, 0)
        return [(family, socket.SOCK_STREAM, socket.IPPROTO_TCP, "", address)]
    return None


_pending_lookups = [0]
_lookups_lock = threading.Lock()


def _resolve(host, port, deadline, shown):
    """getaddrinfo within the deadline: it has no time-out of its own, so it runs in a thread."""
    literal = _literal_addresses(host, port)
    if literal is not None:
        return literal
    with _lookups_lock:
        if _pending_lookups[0] >= _MAX_PENDING_LOOKUPS:
            raise LoadImageError("too many name lookups in progress fetching %s" % shown)
        _pending_lookups[0] += 1
    outcome = []

    def lookup():
        try:
            outcome.append((socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM, socket.IPPROTO_TCP), None))
        except BaseException as e:
            outcome.append((None, e))
        finally:
            with _lookups_lock:
                _pending_lookups[0] -= 1

    worker = threading.Thread(target=lookup, name="digits-image-lookup")
    worker.daemon = True
    try:
        worker.start()
    except BaseException:
        with _lookups_lock:
            _pending_lookups[0] -= 1
        raise LoadImageError("cannot fetch %s: no thread for the name lookup" % shown)
    worker.join(max(0.0, deadline - time.time()))
    if not outcome:
        raise socket.timeout("timed out")
    addresses, error = outcome[0]
    if error is not None:
        if isinstance(error, socket.gaierror):
            raise LoadImageError("cannot fetch %s: cannot resolve host %r: %s"
                                 % (shown, host, error.args[-1]))
        raise error
    return [a for a in addresses if a[0] in (socket.AF_INET, socket.AF_INET6)]


def _wait(sock, writing, deadline):
    """Waits until `sock` is ready, for no longer than the deadline allows."""
    while True:
        left = deadline - time.time()
        if left <= 0:
            raise socket.timeout("timed out")
        try:
            if hasattr(select, "poll"):
                poller = select.poll()
                poller.register(sock.fileno(), select.POLLOUT if writing else select.POLLIN)
                ready = poller.poll(int(math.ceil(left * 1000)))
            else:
                ready = select.select([] if writing else [sock], [sock] if writing else [], [], left)[:2]
                ready = ready[0] or ready[1]
        except (select.error, OSError, IOError) as e:
            if e.args and e.args[0] == errno.EINTR:
                continue
            raise
        if ready:
            return


def _nonblocking(op, sock, arg, writing, deadline):
    """op(arg) on a non-blocking socket, waiting within the deadline while it would block."""
    while True:
        try:
            return op(arg)
        except ssl.SSLWantReadError:
            writing = False
        except ssl.SSLWantWriteError:
            writing = True
        except ssl.SSLError:
            raise
        except socket.error as e:
            if e.args and e.args[0] in (errno.EAGAIN, errno.EWOULDBLOCK, errno.EINTR):
                pass
            else:
                raise
        _wait(sock, writing, deadline)


class _DeadlineSocket(object):
    """A non-blocking socket whose every wait gets only the time left before one deadline.

    A plain socket time-out bounds each wait alone, so a server that sends a
    byte every few seconds could hold a fetch open for ever.
    """

    def __init__(self, sock, deadline):
        self._sock = sock
        self._deadline = deadline
        # SSLSocket.send reports a blocked write as 0 bytes, without saying
        # whether it waits to read or to write; write() raises which one.
        self._send = sock.write if isinstance(sock, ssl.SSLSocket) else sock.send

    def recv(self, size):
        return _nonblocking(self._sock.recv, self._sock, size, False, self._deadline)

    def sendall(self, data):
        while data:
            sent = _nonblocking(self._send, self._sock, data, True, self._deadline)
            data = data[sent:]

    def makefile(self, mode="r", bufsize=-1):
        return socket._fileobject(self, mode, bufsize)

    def close(self):
        # httplib closes its connection while the response still reads from
        # it; the fetch closes the real socket itself once it is done.
        pass


def _connect(addresses, deadline):
    """A socket connected to the first of `addresses` that answers, within the deadline."""
    error = None
    for family, socktype, proto, _, address in addresses:
        left = deadline - time.time()
        if left <= 0:
            raise socket.timeout("timed out")
        sock = socket.socket(family, socktype, proto)
        try:
            sock.settimeout(left)  # a connect is one wait: this bounds it
            sock.connect(address)
            sock.settimeout(0.0)
            return sock
        except socket.timeout:
            sock.close()
            raise
        except socket.error as e:
            sock.close()
            error = e
    raise error or socket.error("no address to connect to")


def _handshake(context, sock, host, deadline):
    # What httplib.HTTPSConnection.connect does, with the handshake under the
    # deadline: the host name goes out as SNI and, if the context checks
    # host names, is matched against the certificate once the handshake is done.
    tls = context.wrap_socket(sock, server_hostname=host, do_handshake_on_connect=False)
    _nonblocking(lambda _: tls.do_handshake(), tls, None, False, deadline)
    return tls


def _ascii_url(url):
    if isinstance(url, unicode):
        url = url.encode("utf-8")
    # Non-ASCII bytes and blanks cannot go on the request line as they are.
    return urllib.quote(url, safe="%/:=&?~#+!$,;'@()*[]")


def _fetch_timeout():
    try:
        timeout = float(FETCH_TIMEOUT)
    except (TypeError, ValueError):
        timeout = float("nan")
    if isinstance(FETCH_TIMEOUT, bool) or not 0 < timeout < float("inf"):
        raise LoadImageError("FETCH_TIMEOUT must be a positive number of seconds, not %r" % (FETCH_TIMEOUT,))
    return timeout


def _fetch(url, sources=None):
    timeout = _fetch_timeout()
    cap = MAX_IMAGE_BYTES
    deadline = time.time() + timeout
    shown = _shown(url)
    current = _ascii_url(url)
    for hop in range(MAX_REDIRECTS + 1):
        try:
            parts = urlparse.urlsplit(current)
            scheme = parts.scheme.lower()
            if scheme not in ("http", "https"):
                raise LoadImageError("URL scheme %r not allowed (only http and https): %s" % (scheme, shown))
            scheme, host, port = _netloc(parts)
        except ValueError as e:
            if isinstance(e, LoadImageError):
                raise
            raise LoadImageError("malformed URL %s: %s" % (shown, e))
        if sources is not None and not sources.url_allowed(scheme, host, port, parts.path):
            if hop == 0:
                raise LoadImageError("image URL %s: %s" % (_NOT_ALLOWED, shown))
            raise LoadImageError("redirect to %s %s: %s" % (_shown(current), _NOT_ALLOWED, shown))
        target = parts.path or "/"
        if parts.query:
            target += "?" + parts.query
        headers = {"User-Agent": _USER_AGENT, "Accept": "image/*", "Connection": "close"}
        if parts.username is not None:
            creds = "%s:%s" % (urllib.unquote(parts.username), urllib.unquote(parts.password or ""))
            headers["Authorization"] = "Basic " + base64.b64encode(creds)
        sock = tls = None
        try:
            try:
                addresses = _resolve(host, port, deadline, shown)
                for address in addresses:
                    if _refused_address(address[0], address[4][0]):
                        raise LoadImageError("address %s of host %r not allowed (link-local or cloud metadata): %s"
                                             % (address[4][0], host, shown))
                sock = _connect(addresses, deadline)
                # httplib only writes the request and reads the answer here: it
                # never connects, yet builds the Host header as it always did.
                if scheme == "https":
                    # The context HTTPSConnection would make: the default trust
                    # store and verification (PYTHONHTTPSVERIFY included).
                    context = ssl._create_default_https_context()
                    tls = _handshake(context, sock, host, deadline)
                    conn = httplib.HTTPSConnection(host, port, context=context)
                else:
                    conn = httplib.HTTPConnection(host, port)
                conn.sock = _DeadlineSocket(tls or sock, deadline)
                conn.request("GET", target, headers=headers)
                resp = conn.getresponse()
                if resp.status in _REDIRECTS:
                    location = resp.getheader("location")
                    if not location:
                        raise LoadImageError("HTTP %d without Location from %s" % (resp.status, shown))
                    current = urlparse.urljoin(current, _ascii_url(location))
                    continue
                if resp.status != 200:
                    raise LoadImageError("HTTP %d %s from %s" % (resp.status, resp.reason, shown))
                return _read_body(resp, cap, shown)
            except socket.timeout:
                raise LoadImageError("timed out after %.1f s fetching %s" % (timeout, shown))
            except LoadImageError:
                raise
            except (socket.error, httplib.HTTPException, IOError, ValueError) as e:
                raise LoadImageError("cannot fetch %s: %s" % (shown, e or type(e).__name__))
        finally:
            if sock is not None:
                # The descriptor itself: the wrappers only drop their reference.
                raw = sock._sock
                for wrapper in (tls, sock):
                    if wrapper is not None:
                        wrapper.close()
                raw.close()
    raise LoadImageError("more than %d redirects fetching %s" % (MAX_REDIRECTS, shown))


def _read_body(resp, cap, shown):
    length = resp.getheader("content-length")
    expected = None
    if length is not None:
        try:
            expected = int(length)
        except ValueError:
            raise LoadImageError("bad Content-Length %r from %s" % (length, shown))
        if expected > cap:
            raise LoadImageError("image too large: %d bytes, limit %d: %s" % (expected, cap, shown))
    chunks, total = [], 0
    while total <= cap:
        chunk = resp.read(min(1 << 16, cap + 1 - total))
        if not chunk:
            break
        chunks.append(chunk)
        total += len(chunk)
    if total > cap:
        raise LoadImageError("image too large: more than %d bytes: %s" % (cap, shown))
    if expected is not None and total < expected:
        raise LoadImageError("truncated response: %d of %d bytes from %s" % (total, expected, shown))
    return b"".join(chunks)


def _limit(name):
    value = globals()[name]
    if isinstance(value, bool) or not isinstance(value, (int, long)) or value <= 0:
        raise LoadImageError("%s must be a positive integer, not %r" % (name, value))
    return value


def _budget():
    return image_formats.Budget(_limit("MAX_PIXELS"), _limit("MAX_CHUNKS"),
                                _limit("MAX_METADATA_BYTES"), _limit("MAX_JPEG_SCANS"))


def _decode(data, location):
    shown = _shown(location)
    budget = _budget()
    memory_limit = _limit("MAX_DECODE_MEMORY")
    accepted = [f for f in ALLOWED_FORMATS if f in image_formats.DECODABLE]
    fmt = image_formats.sniff(data)
    only = ", ".join(accepted) or "none"
    if fmt is None:
        raise LoadImageError("not a readable image: %s (no signature of an accepted format: %s)" % (shown, only))
    if fmt not in accepted:
        raise LoadImageError("image format %s not accepted (only %s): %s" % (fmt, only, shown))
    try:
        image_formats.WALKS[fmt](data, budget)
    except image_formats.TooManyPixels as e:
        raise LoadImageError("image has %s: %s" % (e, shown))
    except image_formats.Refused as e:
        raise LoadImageError("image over its decoding budget, %s: %s" % (e, shown))
    try:
        # cStringIO reads the string in place: no second copy of the bytes.
        im = image_formats.PLUGINS[fmt](cStringIO.StringIO(data))
    except Image.DecompressionBombError:
        raise LoadImageError("image has too many pixels (limit %d): %s" % (MAX_PIXELS, shown))
    except Exception as e:
        raise LoadImageError("not a readable image: %s (%s)" % (shown, e))
    width, height = im.size
    if width <= 0 or height <= 0:
        raise LoadImageError("image has no pixels: %s" % shown)
    if width * height > MAX_PIXELS:
        raise LoadImageError("image has too many pixels: %dx%d, limit %d: %s"
                             % (width, height, MAX_PIXELS, shown))
    memory = _decode_memory(im, fmt) + budget.decoder_memory
    if memory > memory_limit:
        raise LoadImageError("image over its decoding budget, about %d bytes of image memory"
                             " for %dx%d %s, limit %d (MAX_DECODE_MEMORY): %s"
                             % (memory, width, height, im.mode, memory_limit, shown))
    try:
        im.load()
    except Exception as e:
        raise LoadImageError("corrupt image data: %s (%s)" % (shown, e))
    return _eight_bit(im)


# Bytes a pixel takes in Pillow's memory, by mode; other modes take 4.
_PIXEL_BYTES = {"1": 1, "L": 1, "P": 1, "I;16": 2, "I;16B": 2, "I;16L": 2}
# Pixels that _eight_bit converts in one piece.
_BAND_PIXELS = 1 << 18


def _decode_memory(im, fmt):
    """Bytes of image memory that decoding `im` and converting it to L or RGB holds at its peak."""
    pixels = im.size[0] * im.size[1]
    held = pixels * _PIXEL_BYTES.get(im.mode, 4)
    if fmt == "GIF":
        # The frame is copied once decoded, for the next one to build on, and
        # a background may be kept beside it to dispose of it.
        held += 2 * pixels
    if im.mode not in ("L", "RGB"):
        held += pixels * (1 if _grey(im.mode) else 4)
    return held


def _grey(mode):
    return mode in ("1", "L", "LA", "La", "I", "F") or mode.startswith("I;")


def _eight_bit(im):
    if im.mode in ("L", "RGB"):
        return im
    if im.mode in ("1", "LA", "La"):
        return im.convert("L")
    if im.mode in ("I", "F") or im.mode.startswith("I;"):
        return _wide_grey(im)
    return im.convert("RGB")


def _wide_grey(im):
    """16-bit (or wider) grey as 8 bits: scaled when any value is over 255, not clipped as Pillow would.

    Band by band, so that the floating-point copies stay small whatever the image's size.
    """
    width, height = im.size
    scale = im.getextrema()[1] > 255
    whole = im.mode != "F"
    out = Image.new("L", im.size)
    rows = max(1, _BAND_PIXELS // width)
    for top in range(0, height, rows):
        band = im.crop((0, top, width, min(height, top + rows)))
        if whole:
            values = np.asarray(band, dtype=np.int64)
            if scale:
                # round(v / 257) in whole numbers: v / 257 never ends in a half.
                values = (values + 128) // 257
        else:
            values = np.asarray(band, dtype=np.float64)
            values = np.rint(values / 257.0 if scale else values)
        out.paste(Image.fromarray(np.clip(values, 0, 255).astype(np.uint8), "L"), (0, top))
    return out


def _positive_int(value, name):
    if isinstance(value, bool) or not isinstance(value, (int, long, np.integer)) or value <= 0:
        raise ValueError("%s must be a positive integer, not %r" % (name, value))
    return int(value)


def _to_pil(image, channels):
    if isinstance(image, Image.Image):
        im = image
    else:
        arr = np.asarray(image)
        if arr.ndim == 3 and arr.shape[2] == 1:
            arr = arr[:, :, 0]
        if arr.ndim not in (2, 3) or (arr.ndim == 3 and arr.shape[2] not in (3, 4)):
            raise ValueError("image array must be HxW, HxWx1, HxWx3 or HxWx4, not %r" % (arr.shape,))
        if arr.shape[0] == 0 or arr.shape[1] == 0:
            raise ValueError("image array is empty: %r" % (arr.shape,))
        if arr.dtype != np.uint8:
            if arr.dtype.kind not in "uifb":
                raise ValueError("image array must hold numbers, not %s" % arr.dtype)
            arr = np.clip(np.rint(arr.astype(np.float64)), 0, 255).astype(np.uint8)
        mode = "L" if arr.ndim == 2 else ("RGB" if arr.shape[2] == 3 else "RGBA")
        im = Image.fromarray(np.ascontiguousarray(arr), mode)
    if channels is None:
        channels = 1 if im.mode in ("1", "L", "LA", "I", "F") or im.mode.startswith("I;") else 3
    if channels == 1:
        if im.mode != "L":
            im = _eight_bit(im)
            if im.mode != "L":
                im = im.convert("L")
    elif channels == 3:
        if im.mode != "RGB":
            im = _eight_bit(im).convert("RGB")
    else:
        raise ValueError("channels must be 1 or 3, not %r" % (channels,))
    return im


def _noise(shape, seed_parts):
    # Same input, same filler: a classification repeated must give the same answer.
    seed = 0
    for part in seed_parts:
        seed = (seed * 1000003 + int(part)) & 0xFFFFFFFF
    return np.random.RandomState(seed).randint(0, 256, size=shape).astype(np.uint8)


def _scaled(im, width, height):
    return im.resize((max(1, width), max(1, height)), Image.BILINEAR)


def resize_image(image, height, width, channels=None, resize_mode=None):
    """Resizes a PIL image or numpy array to height x width; returns a uint8 array.

    The shape is (height, width) for 1 channel and (height, width, 3) for 3;
    channels None keeps the image's own (grey stays grey). Modes, as in DIGITS:
      squash     stretch to the target size, proportions not kept
      crop       scale so the image covers the target, cut the overhang evenly from both ends
      fill       scale so the image fits inside the target, fill the rest with noise
      half_crop  scale to a width-to-height ratio halfway between, then crop the long side and fill the short one
    """
    height = _positive_int(height, "height")
    width = _positive_int(width, "width")
    if resize_mode is None:
        resize_mode = "squash"
    if resize_mode not in RESIZE_MODES:
        raise ValueError("resize_mode must be one of %s, not %r" % (", ".join(RESIZE_MODES), resize_mode))
    if channels is not None and channels not in (1, 3):
        raise ValueError("channels must be 1 or 3, not %r" % (channels,))
    im = _to_pil(image, channels)
    w0, h0 = im.size
    if (w0, h0) != (width, height):
        width_ratio = float(w0) / width
        height_ratio = float(h0) / height
        if resize_mode == "squash" or width_ratio == height_ratio:
            im = _scaled(im, width, height)
        elif resize_mode == "crop":
            ratio = min(width_ratio, height_ratio)
            im = _center(_scaled(im, int(round(w0 / ratio)), int(round(h0 / ratio))),
                         width, height, (w0, h0, width, height))
        elif resize_mode == "fill":
            ratio = max(width_ratio, height_ratio)
            im = _center(_scaled(im, int(round(w0 / ratio)), int(round(h0 / ratio))),
                         width, height, (w0, h0, width, height))
        else:
            ratio = (width_ratio + height_ratio) / 2.0
            im = _center(_scaled(im, int(round(w0 / ratio)), int(round(h0 / ratio))),
                         width, height, (w0, h0, width, height))
    out = np.array(im, dtype=np.uint8)
    return out


def _center(im, width, height, seed_parts):
    """Centres `im` on a width x height canvas: cuts what overhangs, fills what is short with noise."""
    w, h = im.size
    if (w, h) == (width, height):
        return im
    left = (w - width) // 2 if w > width else 0
    top = (h - height) // 2 if h > height else 0
    im = im.crop((left, top, left + min(w, width), top + min(h, height)))
    w, h = im.size
    if (w, h) == (width, height):
        return im
    shape = (height, width) if im.mode == "L" else (height, width, 3)
    canvas = Image.fromarray(_noise(shape, seed_parts), im.mode)
    canvas.paste(im, ((width - w) // 2, (height - h) // 2))
    return canvas
