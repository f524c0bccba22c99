"""Decoding within a budget: the format known from the bytes' signature
before any plugin runs, the structure walked within its limits, and the
image memory a decode takes counted from the header before decoding."""
import cStringIO

import numpy as np
from PIL import Image

from digits.utils import image_formats
from digits.utils.errors import LoadImageError
from digits.utils.image_sources import shown_location


def decode(data, location, budget, memory_limit, formats):
    """The image in `data` as a PIL image of mode L or RGB, decoded by the
    plugin of its signature's format if that is one of `formats`, within
    `budget` (an image_formats.Budget) and `memory_limit` bytes of image memory."""
    shown = shown_location(location)
    accepted = [f for f in formats if f in image_formats.DECODABLE]
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
        raise LoadImageError("image has too many pixels (limit %d): %s" % (budget.max_pixels, shown))
    except Exception as e:
        raise LoadImageError("not a readable image: %s (%s)" % (shown, e))
    width, height = im.size
    if width <= 0 or height <= 0:
        raise LoadImageError("image has no pixels: %s" % shown)
    if width * height > budget.max_pixels:
        raise LoadImageError("image has too many pixels: %dx%d, limit %d: %s"
                             % (width, height, budget.max_pixels, shown))
    memory = _decode_memory(im, fmt) + budget.decoder_memory
    if memory > memory_limit:
        raise LoadImageError("image over its decoding budget, about %d bytes of image memory"
                             " for %dx%d %s, limit %d (MAX_DECODE_MEMORY): %s"
                             % (memory, width, height, im.mode, memory_limit, shown))
    try:
        im.load()
    except Exception as e:
        raise LoadImageError("corrupt image data: %s (%s)" % (shown, e))
    return eight_bit(im)


# Bytes a pixel takes in Pillow's memory, by mode; other modes take 4.
_PIXEL_BYTES = {"1": 1, "L": 1, "P": 1, "I;16": 2, "I;16B": 2, "I;16L": 2}
# Pixels that eight_bit converts in one piece.
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


def eight_bit(im):
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
