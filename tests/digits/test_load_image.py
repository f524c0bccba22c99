"""load_image: what it accepts, and that what it refuses is refused before it costs anything."""
import BaseHTTPServer
import errno
import io
import os
import socket
import SocketServer
import struct
import threading
import time
import zlib

import numpy as np
import pytest
from PIL import Image

from digits import utils
from digits.utils.errors import LoadImageError

load_image = utils.image.load_image


def encoded(image, fmt):
    buf = io.BytesIO()
    image.save(buf, fmt)
    return buf.getvalue()


def png_header_only(width, height):
    """A PNG whose header claims width x height grey pixels, with no pixel data to speak of."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(b"")) + chunk(b"IEND", b"")


def noise_png(size=64):
    return encoded(Image.fromarray(np.random.RandomState(1).randint(0, 256, (size, size)).astype(np.uint8)), "PNG")


SMALL_PNG = encoded(Image.new("L", (5, 3), 128), "PNG")


def _write(tmpdir, name, data):
    path = tmpdir.join(name)
    path.write_binary(data)
    return str(path)


@pytest.mark.parametrize("make, fmt, mode", [
    (lambda: Image.new("L", (5, 3), 9), "PNG", "L"),
    (lambda: Image.new("RGB", (5, 3), (1, 2, 3)), "PNG", "RGB"),
    (lambda: Image.new("RGBA", (5, 3), (1, 2, 3, 4)), "PNG", "RGB"),
    (lambda: Image.new("P", (5, 3), 2), "PNG", "RGB"),
    (lambda: Image.new("1", (5, 3), 1), "PNG", "L"),
    (lambda: Image.new("RGB", (5, 3), (200, 10, 10)), "JPEG", "RGB"),
    (lambda: Image.new("RGB", (5, 3), (200, 10, 10)).convert("P", palette=Image.ADAPTIVE), "GIF", "RGB"),
    (lambda: Image.new("RGB", (5, 3), (9, 9, 9)), "BMP", "RGB"),
    (lambda: Image.new("L", (5, 3), 9), "PPM", "L"),
], ids=["grey", "rgb", "rgba", "palette", "bilevel", "jpeg", "gif", "bmp", "pgm"])
def test_accepted_images_come_back_as_grey_or_rgb(tmpdir, make, fmt, mode):
    image = load_image(_write(tmpdir, "x." + fmt.lower(), encoded(make(), fmt)))
    assert (image.mode, image.size) == (mode, (5, 3))


def _png_with_metadata():
    from PIL import PngImagePlugin
    info = PngImagePlugin.PngInfo()
    info.add_text("Comment", "made for the test")
    info.add_text("Description", "x" * 5000, zip=True)
    info.add_itxt("XML:com.adobe.xmp", u"<x:xmpmeta>\u00e9</x:xmpmeta>" * 100, zip=True)
    buf = io.BytesIO()
    Image.new("RGB", (5, 3)).save(buf, "PNG", pnginfo=info, icc_profile=b"\0" * 3000, dpi=(300, 300))
    return buf.getvalue()


def _animated_gif():
    frames = [Image.new("L", (5, 3), v).convert("P") for v in (0, 80, 160, 240)]
    buf = io.BytesIO()
    frames[0].save(buf, "GIF", save_all=True, append_images=frames[1:], loop=0, duration=100,
                   comment=b"a comment")
    return buf.getvalue()


def _jpeg(mode, **options):
    buf = io.BytesIO()
    Image.new(mode, (5, 3)).save(buf, "JPEG", **options)
    return buf.getvalue()


@pytest.mark.parametrize("make, mode", [
    (lambda: _jpeg("RGB", progressive=True, optimize=True), "RGB"),
    (lambda: _jpeg("CMYK"), "RGB"),
    (lambda: _jpeg("L", icc_profile=b"\1" * 70000, exif=b"Exif\0\0" + b"\0" * 2000, dpi=(72, 72)), "L"),
    (_png_with_metadata, "RGB"),
    (_animated_gif, "L"),      # a grey palette reads as grey
    (lambda: encoded(Image.new("1", (5, 3)), "PPM"), "L"),
    (lambda: b"P5\n# a comment\n5 3\n65535\n" + b"\x01\x02" * 15, "L"),
    (lambda: encoded(Image.new("1", (5, 3)), "BMP"), "L"),
], ids=["progressive-jpeg", "cmyk-jpeg", "jpeg-icc-in-two-segments", "png-text-icc", "animated-gif",
        "pbm", "pgm-16-bit", "bmp-1-bit"])
def test_what_encoders_commonly_write_loads(tmpdir, make, mode):
    image = load_image(_write(tmpdir, "x", make()))
    assert (image.mode, image.size) == (mode, (5, 3))


def test_sixteen_bit_grey_is_scaled_not_clipped(tmpdir):
    deep = Image.fromarray(np.array([[0, 32896, 65535]], np.uint16))
    image = load_image(_write(tmpdir, "deep.png", encoded(deep, "PNG")))
    assert image.mode == "L"
    assert np.asarray(image).tolist() == [[0, 128, 255]]


def test_unicode_path_is_accepted(tmpdir):
    path = _write(tmpdir, "u.png", SMALL_PNG)
    assert load_image(path.decode("ascii")).size == (5, 3)


EPS = (b"%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n"
       b"newpath 0 0 moveto 10 10 lineto stroke\n%%EOF\n")


@pytest.mark.parametrize("data, message", [
    (b"", "not a readable image"),
    (b"plain text, not an image at all", "not a readable image"),
    (noise_png()[:800], "corrupt"),
    (encoded(Image.new("L", (5, 3)), "TIFF"), "format TIFF not accepted"),
    (EPS, "format EPS not accepted"),
    (png_header_only(5000, 4001), "too many pixels"),
    (png_header_only(30000, 30000), "too many pixels"),
], ids=["empty", "text", "truncated", "tiff", "eps", "over-20-megapixels", "decompression-bomb"])
@pytest.mark.filterwarnings("ignore::PIL.Image.DecompressionBombWarning")
def test_refused_content(tmpdir, data, message):
    with pytest.raises(ValueError) as caught:
        load_image(_write(tmpdir, "bad.png", data))
    assert message in str(caught.value)
    assert isinstance(caught.value, LoadImageError)


def test_missing_file_is_an_io_error_naming_the_path(tmpdir):
    path = str(tmpdir.join("nowhere.png"))
    with pytest.raises(IOError) as caught:
        load_image(path)
    assert caught.value.errno == errno.ENOENT and "nowhere.png" in str(caught.value)


def _refused_within(seconds, location):
    """load_image(location) in a thread: it must fail, and neither hang nor stream forever."""
    outcome = []

    def attempt():
        try:
            load_image(location)
            outcome.append(None)
        except Exception as e:
            outcome.append(e)

    worker = threading.Thread(target=attempt)
    worker.daemon = True
    worker.start()
    worker.join(seconds)
    assert outcome, "load_image(%r) still running after %s s" % (location, seconds)
    assert isinstance(outcome[0], LoadImageError), outcome
    return outcome[0]


def test_things_that_are_not_regular_files_are_refused_without_reading(tmpdir):
    fifo = str(tmpdir.join("pipe.png"))
    os.mkfifo(fifo)
    for location in [fifo, "/dev/zero", str(tmpdir)]:
        _refused_within(10, location)


def test_files_over_the_byte_limit_are_refused(tmpdir, monkeypatch):
    path = _write(tmpdir, "noise.png", noise_png())
    monkeypatch.setattr(utils.image, "MAX_IMAGE_BYTES", os.path.getsize(path) - 1)
    with pytest.raises(LoadImageError) as caught:
        load_image(path)
    assert "too large" in str(caught.value)
    monkeypatch.setattr(utils.image, "MAX_IMAGE_BYTES", os.path.getsize(path))
    assert load_image(path).size == (64, 64)


@pytest.mark.parametrize("location", [
    "file:///etc/hostname", "FILE:///etc/hostname", "ftp://127.0.0.1/x.png", "gopher://127.0.0.1/x",
    "data://image/png;base64,AAAA",
])
def test_schemes_other_than_http_are_refused(location):
    with pytest.raises(LoadImageError) as caught:
        load_image(location)
    assert "not allowed" in str(caught.value)


@pytest.mark.parametrize("location", [None, 42, "", "a\x00b.png"], ids=["none", "number", "empty", "nul"])
def test_unusable_locations_are_refused(location):
    with pytest.raises(LoadImageError):
        load_image(location)


class _Server(SocketServer.ThreadingMixIn, BaseHTTPServer.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class _Handler(BaseHTTPServer.BaseHTTPRequestHandler):
    release = None  # set by the fixture; ends every slow answer at tear-down

    def log_message(self, *args):
        pass

    def _head(self, status, length=None, extra=()):
        self.send_response(status)
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.flush()

    def do_GET(self):
        try:
            self._answer()
        except socket.error:
            pass  # the client gave up, which is what several cases test

    def _answer(self):
        path = self.path
        if path == "/ok.png":
            self._head(200, len(SMALL_PNG), [("Content-Type", "image/png")])
            self.wfile.write(SMALL_PNG)
        elif path == "/redirect":
            self._head(302, 0, [("Location", "/ok.png")])
        elif path == "/to-file":
            self._head(302, 0, [("Location", "file:///etc/hostname")])
        elif path == "/loop":
            self._head(302, 0, [("Location", "/loop")])
        elif path == "/text":
            self._head(200, 5)
            self.wfile.write("hello")
        elif path == "/declared-big":
            self._head(200, 50 * 1024 * 1024)
            self.wfile.write(SMALL_PNG)
        elif path == "/endless":
            self._head(200)
            for _ in range(64):  # 4 MB at most, far above the cap the tests set
                self.wfile.write(b"\0" * 65536)
        elif path == "/short":
            self._head(200, 1000)
            self.wfile.write(SMALL_PNG[:10])
        elif path == "/stall":
            self._head(200, 100)
            self.release.wait(5)
        elif path == "/drip":
            self._head(200, 10000)
            end = time.time() + 5
            while time.time() < end and not self.release.is_set():
                self.wfile.write(b"\0")
                self.wfile.flush()
                time.sleep(0.05)
        else:
            self._head(404, 0)


@pytest.fixture(scope="module")
def http_base():
    release = threading.Event()
    _Handler.release = release
    server = _Server(("127.0.0.1", 0), _Handler)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1})
    thread.daemon = True
    thread.start()
    yield "http://127.0.0.1:%d" % server.server_address[1]
    release.set()
    server.shutdown()
    server.server_close()
    thread.join(5)


@pytest.mark.parametrize("path", ["/ok.png", "/redirect"])
def test_http_images_are_fetched(http_base, path):
    image = load_image(http_base + path)
    assert (image.mode, image.size) == ("L", (5, 3))


@pytest.mark.parametrize("path, message", [
    ("/missing", "HTTP 404"),
    ("/text", "not a readable image"),
    ("/to-file", "not allowed"),
    ("/loop", "redirects"),
    ("/declared-big", "too large"),
    ("/endless", "too large"),
    ("/short", "truncated"),
])
def test_http_refusals(http_base, monkeypatch, path, message):
    monkeypatch.setattr(utils.image, "MAX_IMAGE_BYTES", 100000)
    error = _refused_within(30, http_base + path)
    assert message in str(error)


@pytest.mark.parametrize("path", ["/stall", "/drip"])
def test_http_fetch_gives_up_at_the_time_limit(http_base, monkeypatch, path):
    # The drip sends a byte every 0.05 s: only a limit on the whole fetch ends it.
    monkeypatch.setattr(utils.image, "FETCH_TIMEOUT", 0.5)
    error = _refused_within(4, http_base + path)
    assert "timed out" in str(error)


def test_unreachable_server_is_an_error(monkeypatch):
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    monkeypatch.setattr(utils.image, "FETCH_TIMEOUT", 2)
    error = _refused_within(10, "http://127.0.0.1:%d/x.png" % port)
    assert "cannot fetch" in str(error)
