"""Loading and resizing of images, the way DIGITS' image-classification jobs see them.

Image locations come from remote callers, so the loader is defensive: every
limit below is checked before the costly step it protects (the byte count
before reading on, the pixel count in the header before decoding), and the
decoders that may run are an allow-list, because Pillow 6.2.2 (the last
release for Python 2.7) has unfixed faults in several of its other decoders
and its EPS plugin runs Ghostscript.

The limits are module attributes read at call time, so a host (or a test) can
tighten them without new arguments in the callers' call shapes.
"""
import base64
import errno
import httplib
import io
import os
import re
import socket
import stat
import time
import urllib
import urlparse
import warnings

import numpy as np
from PIL import Image

from digits.utils.errors import LoadImageError

FETCH_TIMEOUT = 10.0  # seconds for a whole http(s) fetch, redirects included
MAX_IMAGE_BYTES = 10 * 1024 * 1024  # encoded size, for files and fetches alike
MAX_PIXELS = 20 * 1000 * 1000  # width * height, checked from the header
MAX_REDIRECTS = 3
ALLOWED_FORMATS = ("PNG", "JPEG", "GIF", "BMP", "PPM")
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


def load_image(path):
    """Returns the image at `path` (a local file or an http/https URL) as a PIL image, mode L or RGB.

    Raises LoadImageError (an IOError and a ValueError) for anything refused or unreadable.
    """
    if not isinstance(path, basestring):
        raise LoadImageError("image location must be a string, not %s" % type(path).__name__)
    location = path
    if not location:
        raise LoadImageError("image location is empty")
    match = _URL.match(location)
    if match:
        scheme = match.group(1).lower()
        if scheme not in ("http", "https"):
            raise LoadImageError("URL scheme %r not allowed (only http and https): %s"
                                 % (scheme, _shown(location)))
        data = _fetch(location)
    else:
        data = _read_file(location)
    return _decode(data, location)


def _shown(location, limit=200):
    text = location if len(location) <= limit else location[:limit] + "..."
    return repr(text)


def _read_file(path):
    if u"\0" in path:
        raise LoadImageError("image path contains a NUL character")
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0)
    # Opened without blocking and checked on the open descriptor: a FIFO or a
    # device named by a remote caller must neither hang nor stream forever.
    try:
        fd = os.open(path, flags)
    except (OSError, IOError) as e:
        raise LoadImageError(e.errno, "cannot open image file %s: %s" % (_shown(path), e.strerror))
    except (UnicodeError, TypeError, ValueError) as e:
        raise LoadImageError("unusable image path %s: %s" % (_shown(path), e))
    try:
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


class _DeadlineSocket(object):
    """A socket whose every wait gets only the time left before one deadline.

    A plain socket time-out bounds each wait alone, so a server that sends a
    byte every few seconds could hold a fetch open for ever.
    """

    def __init__(self, sock, deadline):
        self._sock = sock
        self._deadline = deadline

    def _arm(self):
        left = self._deadline - time.time()
        if left <= 0:
            raise socket.timeout("timed out")
        self._sock.settimeout(left)

    def recv(self, *args):
        self._arm()
        return self._sock.recv(*args)

    def sendall(self, *args):
        self._arm()
        return self._sock.sendall(*args)

    def makefile(self, mode="r", bufsize=-1):
        return socket._fileobject(self, mode, bufsize)

    def close(self):
        # httplib closes its connection while the response still reads from
        # it; the fetch closes the real socket itself once it is done.
        pass


def _ascii_url(url):
    if isinstance(url, unicode):
        url = url.encode("utf-8")
    # Non-ASCII bytes and blanks cannot go on the request line as they are.
    return urllib.quote(url, safe="%/:=&?~#+!$,;'@()*[]")


def _fetch(url):
    timeout = float(FETCH_TIMEOUT)
    cap = MAX_IMAGE_BYTES
    deadline = time.time() + timeout
    shown = _shown(url)
    current = _ascii_url(url)
    for _ in range(MAX_REDIRECTS + 1):
        try:
            parts = urlparse.urlsplit(current)
            scheme = parts.scheme.lower()
            host, port = parts.hostname, parts.port
        except ValueError as e:
            raise LoadImageError("malformed URL %s: %s" % (shown, e))
        if scheme not in ("http", "https"):
            raise LoadImageError("URL scheme %r not allowed (only http and https): %s" % (scheme, shown))
        if not host:
            raise LoadImageError("URL has no host: %s" % shown)
        target = parts.path or "/"
        if parts.query:
            target += "?" + parts.query
        headers = {"User-Agent": _USER_AGENT, "Accept": "image/*", "Connection": "close"}
        if parts.username is not None:
            creds = "%s:%s" % (urllib.unquote(parts.username), urllib.unquote(parts.password or ""))
            headers["Authorization"] = "Basic " + base64.b64encode(creds)
        left = deadline - time.time()
        if left <= 0:
            raise LoadImageError("timed out after %.1f s fetching %s" % (timeout, shown))
        cls = httplib.HTTPSConnection if scheme == "https" else httplib.HTTPConnection
        conn = cls(host, port, timeout=left)
        raw = None
        try:
            try:
                conn.connect()
                raw = conn.sock
                conn.sock = _DeadlineSocket(raw, deadline)
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
            conn.close()
            if raw is not None:
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


def _decode(data, location):
    shown = _shown(location)
    try:
        im = Image.open(io.BytesIO(data))
    except Image.DecompressionBombError:
        raise LoadImageError("image has too many pixels (limit %d): %s" % (MAX_PIXELS, shown))
    except Exception as e:
        raise LoadImageError("not a readable image: %s (%s)" % (shown, e))
    if im.format not in ALLOWED_FORMATS:
        raise LoadImageError("image format %s not accepted (only %s): %s"
                             % (im.format, ", ".join(ALLOWED_FORMATS), shown))
    width, height = im.size
    if width <= 0 or height <= 0:
        raise LoadImageError("image has no pixels: %s" % shown)
    if width * height > MAX_PIXELS:
        raise LoadImageError("image has too many pixels: %dx%d, limit %d: %s"
                             % (width, height, MAX_PIXELS, shown))
    try:
        im.load()
    except Exception as e:
        raise LoadImageError("corrupt image data: %s (%s)" % (shown, e))
    return _eight_bit(im)


def _eight_bit(im):
    if im.mode in ("L", "RGB"):
        return im
    if im.mode in ("1", "LA", "La"):
        return im.convert("L")
    if im.mode in ("I", "F") or im.mode.startswith("I;"):
        # 16-bit grey: Pillow's own conversion clips at 255 instead of scaling.
        values = np.asarray(im, dtype=np.float64)
        if values.size and values.max() > 255:
            values = values / 257.0
        return Image.fromarray(np.clip(np.rint(values), 0, 255).astype(np.uint8), "L")
    return im.convert("RGB")


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
