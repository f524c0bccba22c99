"""load_image under hostile image bytes: only the accepted formats' own decoders parse them,
and nothing within the byte and pixel limits costs more than the decoding budget."""
import io
import threading
import time
import zlib

import numpy as np
import pytest
from PIL import Image, ImageFile, JpegImagePlugin, TiffImagePlugin

import hostile_images as hostile
from digits import utils
from digits.utils.errors import LoadImageError
from layer_fixtures import run_python

pytest_plugins = ["layer_fixtures"]

load_image = utils.image.load_image

# What a refusal may take here, building nothing: they take milliseconds, the
# same bytes took from 1 to 45 s of CPU before their structure was walked.
REFUSAL_LIMIT = 2.0


def encoded(image, fmt, **options):
    buf = io.BytesIO()
    image.save(buf, fmt, **options)
    return buf.getvalue()


def small_jpeg():
    return encoded(Image.new("L", (8, 8), 50), "JPEG")


def progressive_jpeg(size=(2000, 2000)):
    return encoded(Image.new("L", size, 50), "JPEG", progressive=True)


def zlib_of(count):
    return zlib.compress(b"t" * count)


def written(tmpdir, data, name="image"):
    path = tmpdir.join(name)
    path.write_binary(data)
    return str(path)


def outcome(path, limit=REFUSAL_LIMIT):
    """(image or error, seconds) of load_image(path), which must end within `limit` seconds."""
    result = []

    def attempt():
        start = time.time()
        try:
            value = load_image(path)
        except Exception as e:
            value = e
        result.append((value, time.time() - start))

    worker = threading.Thread(target=attempt)
    worker.daemon = True
    worker.start()
    worker.join(limit)
    assert result, "load_image still running after %s s" % limit
    return result[0]


def refusal(path):
    error, _ = outcome(path)
    assert isinstance(error, LoadImageError), error
    return str(error)


# --- only the plugin of the signature's format ----------------------------------

@pytest.fixture
def parsed_by(monkeypatch):
    """The formats whose Pillow plugins parse anything during the test; EXIF parsed counts as TIFF."""
    Image.init()
    calls = []

    def recording(cls, original):
        def _open(self):
            calls.append(cls.format)
            return original(self)
        return _open

    # JPEG's factory is a function in front of its class.
    classes = set(factory for factory, _ in Image.OPEN.values() if isinstance(factory, type))
    classes.add(JpegImagePlugin.JpegImageFile)
    for cls in classes:
        if "_open" in cls.__dict__:
            monkeypatch.setattr(cls, "_open", recording(cls, cls.__dict__["_open"]))
    for directory in (TiffImagePlugin.ImageFileDirectory_v1, TiffImagePlugin.ImageFileDirectory_v2):
        original = directory.load
        monkeypatch.setattr(directory, "load", lambda self, fp, original=original: (
            calls.append("TIFF"), original(self, fp))[1])
    return calls


def psd():
    header = b"8BPS" + b"\0\x01" + b"\0" * 6 + b"\0\x01" + b"\0\0\0\x03" * 2 + b"\0\x08" + b"\0\x01"
    return header + b"\0\0\0\0" * 3 + b"\0\0" + b"\0" * 9


EXIF = b"Exif\0\0" + b"II*\0\x08\0\0\0" + b"\0\0" + b"\0\0\0\0"   # one empty IFD


@pytest.mark.parametrize("data, fmt", [
    (encoded(Image.new("L", (5, 3)), "TIFF"), "TIFF"),
    (psd(), "PSD"),
    (encoded(Image.new("RGB", (16, 16)), "ICO"), "ICO"),
    (b"%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n", "EPS"),
    (b"\x05\0\x02\0\0\0\0\0\0\0\0\0\x05\0\x03\0\x08\0" + b"\0" * 50, None),  # TGA: no signature, its plugin tries anything
], ids=["tiff", "psd", "ico", "eps", "unsigned"])
def test_other_formats_reach_no_plugin(tmpdir, parsed_by, data, fmt):
    message = refusal(written(tmpdir, data))
    assert parsed_by == []
    if fmt:
        assert "format %s not accepted" % fmt in message
    else:
        assert "not a readable image" in message


@pytest.mark.parametrize("data, fmt", [
    (encoded(Image.new("L", (5, 3)), "PNG"), "PNG"),
    (encoded(Image.new("RGB", (5, 3)), "JPEG", exif=EXIF), "JPEG"),
    (encoded(Image.new("L", (5, 3)), "GIF"), "GIF"),
    (encoded(Image.new("RGB", (5, 3)), "BMP"), "BMP"),
    (encoded(Image.new("RGB", (5, 3)), "PPM"), "PPM"),
], ids=["png", "jpeg-with-exif", "gif", "bmp", "ppm"])
def test_accepted_formats_reach_their_own_plugin_only(tmpdir, parsed_by, data, fmt):
    image, _ = outcome(written(tmpdir, data))
    assert image.size == (5, 3)
    assert parsed_by == [fmt]


def test_a_narrowed_format_list_refuses_before_any_plugin(tmpdir, parsed_by, monkeypatch):
    monkeypatch.setattr(utils.image, "ALLOWED_FORMATS", ("PNG", "TIFF"))
    assert "format JPEG not accepted" in refusal(written(tmpdir, small_jpeg()))
    # A name the loader has no walk for widens nothing.
    assert "format TIFF not accepted" in refusal(written(tmpdir, encoded(Image.new("L", (5, 3)), "TIFF")))
    assert parsed_by == []


# --- what grows without pixels ----------------------------------------------------

@pytest.mark.parametrize("make, limit", [
    (lambda: hostile.png_chunk_bomb(), "MAX_CHUNKS"),
    (lambda: hostile.png_chunk_bomb(after_idat=True), "MAX_CHUNKS"),
    (lambda: hostile.png_text_bomb(), "MAX_CHUNKS"),
    (lambda: hostile.png_text_bomb(size=1000), "MAX_METADATA_BYTES"),
    (hostile.png_ztxt_bomb, "MAX_METADATA_BYTES"),
    (hostile.png_idat_splinters, "MAX_CHUNKS"),
    (hostile.apng_frame_bomb, "MAX_CHUNKS"),
    (hostile.gif_comment_bomb, "GIF comment"),
    (hostile.gif_stray_bytes, "MAX_CHUNKS"),
    (hostile.gif_extension_bomb, "MAX_CHUNKS"),
    (lambda: hostile.jpeg_marker_bomb(small_jpeg()), "MAX_CHUNKS"),
    (lambda: hostile.jpeg_junk(small_jpeg()), "MAX_CHUNKS"),
    (lambda: hostile.jpeg_segments(small_jpeg(), 0xED, hostile.photoshop_resources(5000), 160), "MAX_CHUNKS"),
    (lambda: hostile.jpeg_segments(small_jpeg(), 0xC0, b"\x08\0\x08\0\x08\x01" + b"\x01\x11\0" * 21000, 150),
     "MAX_CHUNKS"),
    (lambda: hostile.jpeg_scan_bomb(progressive_jpeg()), "MAX_JPEG_SCANS"),
    (hostile.ppm_blank_bomb, "PPM header"),
    (hostile.ppm_comment_bomb, "PPM header"),
], ids=["png-empty-chunks", "png-empty-chunks-after-pixels", "png-text", "png-large-text", "png-ztxt",
        "png-idat-splinters", "apng-frames", "gif-comment", "gif-stray-bytes", "gif-extensions",
        "jpeg-comments", "jpeg-junk", "jpeg-photoshop-resources", "jpeg-frame-components",
        "jpeg-scans", "ppm-blanks", "ppm-comments"])
def test_structure_bombs_are_refused_at_once(tmpdir, make, limit):
    message = refusal(written(tmpdir, make()))
    assert "over its decoding budget" in message and limit in message, message


def test_chunks_of_no_type_count_too_for_a_lenient_pillow(tmpdir, monkeypatch):
    # Another user of PIL in the process may let Pillow read on past them.
    monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", True)
    message = refusal(written(tmpdir, hostile.png(before=[hostile.png_chunk(b"!!!!")] * 870000)))
    assert "MAX_CHUNKS" in message


def test_a_gif_of_many_frames_costs_its_first_frame_only(tmpdir):
    image, _ = outcome(written(tmpdir, hostile.gif_frame_bomb()))
    assert image.size == (1, 1)


@pytest.mark.parametrize("limit, value, at_limit, over", [
    # IHDR, IDAT, IEND and n chunks before or after the pixels
    ("MAX_CHUNKS", 8, hostile.png(before=[hostile.png_chunk(b"zzZz")] * 5),
     hostile.png(before=[hostile.png_chunk(b"zzZz")] * 6)),
    ("MAX_CHUNKS", 8, hostile.png(after=[hostile.png_chunk(b"tEXt", b"k\0v")] * 5),
     hostile.png(after=[hostile.png_chunk(b"tEXt", b"k\0v")] * 6)),
    ("MAX_METADATA_BYTES", 1000, hostile.png(before=[hostile.png_chunk(b"tEXt", b"k\0" + b"v" * 998)]),
     hostile.png(after=[hostile.png_chunk(b"tEXt", b"k\0" + b"v" * 999)])),
    # compressed text counts as it inflates, beside its own bytes
    ("MAX_METADATA_BYTES", 1000, hostile.png(before=[hostile.png_chunk(b"zTXt", b"k\0\0" + zlib_of(900))]),
     hostile.png(before=[hostile.png_chunk(b"zTXt", b"k\0\0" + zlib_of(1000))])),
    ("MAX_METADATA_BYTES", 1000, hostile.png(before=[hostile.png_chunk(b"iTXt", b"k\0\x01\0\0\0" + zlib_of(900))]),
     hostile.png(before=[hostile.png_chunk(b"iTXt", b"k\0\x01\0\0\0" + zlib_of(1000))])),
    # segments count with their length field; the JFIF segment before takes 16 bytes
    ("MAX_METADATA_BYTES", 1000, hostile.jpeg_segments(small_jpeg(), 0xFE, b"c" * 982, 1),
     hostile.jpeg_segments(small_jpeg(), 0xFE, b"c" * 983, 1)),
], ids=["png-chunks-before", "png-chunks-after", "png-text", "png-ztxt", "png-itxt", "jpeg-app"])
def test_limits_hold_to_the_unit(tmpdir, monkeypatch, limit, value, at_limit, over):
    monkeypatch.setattr(utils.image, limit, value)
    image, _ = outcome(written(tmpdir, at_limit))
    assert isinstance(image, Image.Image), image
    assert limit in refusal(written(tmpdir, over))


def test_jpeg_scans_hold_to_the_unit(tmpdir, monkeypatch):
    base = progressive_jpeg((64, 64))
    scans = base.count(b"\xff\xda")
    monkeypatch.setattr(utils.image, "MAX_JPEG_SCANS", scans + 2)
    image, _ = outcome(written(tmpdir, hostile.jpeg_scan_bomb(base, 2)))
    assert image.size == (64, 64)
    assert "MAX_JPEG_SCANS" in refusal(written(tmpdir, hostile.jpeg_scan_bomb(base, 3)))


@pytest.mark.parametrize("limit", ["MAX_CHUNKS", "MAX_METADATA_BYTES", "MAX_JPEG_SCANS", "MAX_DECODE_MEMORY"])
@pytest.mark.parametrize("value", [0, -1, 2.5, "10", None, True])
def test_unusable_limits_are_named(tmpdir, monkeypatch, limit, value):
    monkeypatch.setattr(utils.image, limit, value)
    assert limit in refusal(written(tmpdir, encoded(Image.new("L", (5, 3)), "PNG")))


# --- memory and time of images near the limits -------------------------------------

PEAK = r"""
import resource, sys, time
from digits import utils
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
cpu = time.clock()
image = utils.image.load_image(sys.argv[1])
cpu = time.clock() - cpu
grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
print image.mode, image.size[0], image.size[1], cpu, grown
"""


@pytest.mark.parametrize("make, mode", [
    (lambda: hostile.png(5000, 4000, 16, 6), "RGB"),     # decoded as RGBA, then converted
    (lambda: hostile.png(5000, 4000, 16, 0), "L"),       # decoded as 32-bit integers, then scaled
], ids=["rgba-16-bit", "grey-16-bit"])
def test_images_at_the_pixel_limit_decode_within_the_budget(tmpdir, make, mode):
    finished = run_python(["-c", PEAK, written(tmpdir, make())], cwd=str(tmpdir), timeout=60)
    assert finished.status == 0, finished
    got_mode, width, height, cpu, grown = finished.out.split()
    assert (got_mode, int(width), int(height)) == (mode, 5000, 4000)
    # The budget counts image memory; the interpreter adds its few MB.
    assert int(grown) < utils.image.MAX_DECODE_MEMORY + 16 * 1000 * 1000
    assert float(cpu) < 3.0


@pytest.mark.parametrize("make, per_pixel", [
    (lambda size: encoded(Image.new("RGBA", size), "PNG"), 8),
    (lambda size: encoded(Image.new("P", size), "PNG"), 5),
    (lambda size: encoded(Image.new("L", size), "PNG"), 1),
    (lambda size: hostile.png(size[0], size[1], 16, 0), 5),
    (lambda size: encoded(Image.new("RGB", size, (200, 10, 10)).convert("P", palette=Image.ADAPTIVE), "GIF"), 7),
    (lambda size: encoded(Image.new("L", size), "JPEG", progressive=True), 3),
], ids=["rgba", "palette", "grey", "grey-16-bit", "gif", "progressive-jpeg"])
def test_decode_memory_is_checked_before_decoding(tmpdir, monkeypatch, make, per_pixel):
    path = written(tmpdir, make((64, 48)))
    monkeypatch.setattr(utils.image, "MAX_DECODE_MEMORY", 64 * 48 * per_pixel)
    assert outcome(path)[0].size == (64, 48)
    monkeypatch.setattr(utils.image, "MAX_DECODE_MEMORY", 64 * 48 * per_pixel - 1)
    assert "MAX_DECODE_MEMORY" in refusal(path)


def test_a_progressive_jpeg_too_large_for_its_coefficients_is_refused_unread(tmpdir):
    data = encoded(Image.new("RGB", (5000, 4000)), "JPEG", progressive=True, subsampling=0)
    error, seconds = outcome(written(tmpdir, data))
    assert "MAX_DECODE_MEMORY" in str(error)
    assert seconds < 0.5 * REFUSAL_LIMIT


def test_wide_grey_is_scaled_the_same_in_bands(tmpdir, monkeypatch):
    values = (np.arange(7 * 5, dtype=np.int64).reshape(7, 5) * 1927) % 65536
    expected = np.clip(np.rint(values / 257.0), 0, 255).astype(np.uint8)
    path = written(tmpdir, encoded(Image.fromarray(values.astype(np.int32), "I"), "PNG"))
    monkeypatch.setattr(utils.image_decode, "_BAND_PIXELS", 10)   # two rows a band, the last one short
    assert np.array_equal(np.asarray(load_image(path)), expected)
