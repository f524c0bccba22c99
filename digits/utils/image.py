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

Three rooms do the work: image_sources (where images may come from),
image_fetch (a file's or a URL's bytes, under one deadline) and image_decode
(the format from the signature, the decoding budget). This module holds the
limits and puts the three together.
"""
import warnings

import numpy as np
from PIL import Image

from digits.utils import image_formats
from digits.utils.errors import LoadImageError
from digits.utils.image_decode import decode, eight_bit
from digits.utils.image_fetch import fetch, read_file
from digits.utils.image_sources import URL, parse_sources, shown_location

FETCH_TIMEOUT = 10.0  # seconds for a whole http(s) fetch, redirects included
MAX_IMAGE_BYTES = 10 * 1024 * 1024  # encoded size, for files and fetches alike
MAX_PIXELS = 20 * 1000 * 1000  # width * height, checked from the header
MAX_REDIRECTS = 3
# Where images may come from: None (any local path, any http/https host) or
# local roots and URL prefixes; see image_sources.parse_sources. Link-local and metadata
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


def load_image(path):
    """Returns the image at `path` (a local file or an http/https URL) as a PIL image, mode L or RGB.

    Raises LoadImageError (an IOError and a ValueError) for anything refused or unreadable.
    """
    if not isinstance(path, basestring):
        raise LoadImageError("image location must be a string, not %s" % type(path).__name__)
    location = path
    if not location:
        raise LoadImageError("image location is empty")
    sources = parse_sources(ALLOWED_SOURCES)
    match = URL.match(location)
    if match:
        scheme = match.group(1).lower()
        if scheme not in ("http", "https"):
            raise LoadImageError("URL scheme %r not allowed (only http and https): %s"
                                 % (scheme, shown_location(location)))
        data = fetch(location, sources, _fetch_timeout(), MAX_IMAGE_BYTES, MAX_REDIRECTS)
    else:
        data = read_file(location, sources, MAX_IMAGE_BYTES)
    return decode(data, location, _budget(), _limit("MAX_DECODE_MEMORY"), ALLOWED_FORMATS)


def _fetch_timeout():
    try:
        timeout = float(FETCH_TIMEOUT)
    except (TypeError, ValueError):
        timeout = float("nan")
    if isinstance(FETCH_TIMEOUT, bool) or not 0 < timeout < float("inf"):
        raise LoadImageError("FETCH_TIMEOUT must be a positive number of seconds, not %r" % (FETCH_TIMEOUT,))
    return timeout


def _limit(name):
    value = globals()[name]
    if isinstance(value, bool) or not isinstance(value, (int, long)) or value <= 0:
        raise LoadImageError("%s must be a positive integer, not %r" % (name, value))
    return value


def _budget():
    return image_formats.Budget(_limit("MAX_PIXELS"), _limit("MAX_CHUNKS"),
                                _limit("MAX_METADATA_BYTES"), _limit("MAX_JPEG_SCANS"))


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
            im = eight_bit(im)
            if im.mode != "L":
                im = im.convert("L")
    elif channels == 3:
        if im.mode != "RGB":
            im = eight_bit(im).convert("RGB")
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
        else:
            # crop covers the target, fill fits inside it, half_crop lies between
            ratio = {"crop": min, "fill": max}.get(
                resize_mode, lambda a, b: (a + b) / 2.0)(width_ratio, height_ratio)
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
