"""The image loader's decoding budget, at its edges: for each kind of
structure the budget bounds, the largest image it still admits; the images
at the pixel limit that cost most to decode and convert; and the bombs the
budget refuses. Each is loaded with load_image in a process of its own, for
its CPU time and the growth of the process's peak memory. Targets: at most
1 s of CPU for every image, and a peak that grows by at most the decoding
memory budget plus the encoded bytes and 16 MB of the interpreter's own.
Last line: "ratio <1 s / the largest CPU time>" (at least 1 when met)."""
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

import hostile_images as hostile  # noqa: E402
from digits.utils import image as loader  # noqa: E402

CPU_TARGET = 1.0
SLACK = 16 * 1000 * 1000

CHILD = r"""
import os, resource, sys, time
from digits.utils.image import load_image
from PIL import Image


def pillow(path):
    image = Image.open(path)
    image.load()
    return image if image.mode in ("L", "RGB") else image.convert("L" if image.mode in ("1", "LA", "I") else "RGB")


load = pillow if sys.argv[2] == "pillow" else load_image
with open("/proc/self/statm") as statm:  # what the process holds now, not its peak so far
    before = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
cpu = time.clock()
try:
    image = load(sys.argv[1])
    outcome = "%s %dx%d" % (image.mode, image.size[0], image.size[1])
except Exception as e:
    outcome = "refused: " + str(e).split(": /")[0][:70]
cpu = time.clock() - cpu
grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
sys.stdout.write("%f %d %s" % (cpu, grown, outcome))
"""


def encoded(image, fmt, **options):
    buf = io.BytesIO()
    image.save(buf, fmt, **options)
    return buf.getvalue()


def with_scans(base, total):
    """A progressive JPEG `base` given DC refinement scans over all its components up to `total` scans."""
    components = ord(base[base.index(b"\xff\xc2") + 9])
    body = chr(components) + b"".join(chr(c + 1) + b"\0" for c in range(components)) + b"\0\0\x10"
    scan = b"\xff\xda" + struct.pack(">H", len(body) + 2) + body
    return base[:-2] + scan * (total - base.count(b"\xff\xda")) + b"\xff\xd9"


def cases():
    chunks, metadata = loader.MAX_CHUNKS, loader.MAX_METADATA_BYTES
    small_jpeg = encoded(Image.new("L", (8, 8)), "JPEG")
    jpeg_segments = small_jpeg.count(b"\xff") - 2  # SOI and EOI hold no length; near enough
    inflating = zlib.compress(b"t" * 1000000, 9)
    noise = np.random.RandomState(0).randint(0, 256, (1800, 1800, 3)).astype(np.uint8)
    yield "within", "PNG, empty chunks", lambda: hostile.png(before=[hostile.png_chunk(b"zzZz")] * (chunks - 3))
    yield "within", "PNG, tEXt chunks", lambda: hostile.png(before=[
        hostile.png_chunk(b"tEXt", b"k%07d\0v" % i) for i in range(chunks - 3)])
    yield "within", "PNG, zTXt inflating", lambda: hostile.png(before=[
        hostile.png_chunk(b"zTXt", b"k%d\0\0" % i + inflating) for i in range(metadata // 1000100)])
    yield "within", "APNG, frames", lambda: hostile.apng_frame_bomb((chunks - 5) // 2)
    yield "within", "GIF, comment", lambda: hostile.gif_comment_bomb(64 * 1024 - 255)
    yield "within", "GIF, stray bytes", lambda: hostile.gif_stray_bytes(chunks - 8)
    yield "within", "JPEG, comments", lambda: hostile.jpeg_marker_bomb(small_jpeg, chunks - jpeg_segments - 20)
    yield "within", "JPEG, resources", lambda: hostile.jpeg_segments(
        small_jpeg, 0xED, hostile.photoshop_resources((chunks - 50) // 4), 4)
    yield "within", "JPEG, 64 scans 20 MP", lambda: with_scans(
        encoded(Image.new("RGB", (5000, 4000), (90, 20, 200)), "JPEG", progressive=True), loader.MAX_JPEG_SCANS)
    yield "within", "PPM, header", lambda: b"P5" + b" " * 4080 + b"1 1 255\n\0"
    yield "limit", "PNG RGBA 16-bit 20 MP", lambda: hostile.png(5000, 4000, 16, 6)
    yield "limit", "PNG RGBA 16-bit Paeth", lambda: hostile.png(5000, 4000, 16, 6, row_filter=4)
    yield "limit", "PNG grey 16-bit 20 MP", lambda: hostile.png(5000, 4000, 16, 0)
    yield "limit", "PNG palette 20 MP", lambda: hostile.png(5000, 4000, 8, 3)
    yield "limit", "PNG noise 10 MB", lambda: encoded(Image.fromarray(noise), "PNG")
    yield "limit", "JPEG RGB 20 MP", lambda: encoded(Image.new("RGB", (5000, 4000), (90, 20, 200)), "JPEG")
    yield "limit", "JPEG CMYK 20 MP", lambda: encoded(Image.new("CMYK", (5000, 4000)), "JPEG")
    yield "limit", "JPEG progressive 20 MP", lambda: encoded(
        Image.new("RGB", (5000, 4000), (90, 20, 200)), "JPEG", progressive=True)
    yield "limit", "GIF 20 MP", lambda: encoded(
        Image.new("RGB", (5000, 4000), (200, 10, 10)).convert("P", palette=Image.ADAPTIVE), "GIF")
    yield "limit", "BMP 1-bit 20 MP", lambda: encoded(Image.new("1", (5000, 4000)), "BMP")
    yield "bomb", "PNG 870,000 empty chunks", lambda: hostile.png_chunk_bomb()
    yield "bomb", "PNG 9 MB of tEXt", lambda: hostile.png_text_bomb()
    yield "bomb", "APNG 150,000 frames", hostile.apng_frame_bomb
    yield "bomb", "GIF 450,000 frames", hostile.gif_frame_bomb
    yield "bomb", "GIF 9 MB comment", hostile.gif_comment_bomb
    yield "bomb", "JPEG 100,000 scans", lambda: hostile.jpeg_scan_bomb(
        encoded(Image.new("L", (2000, 2000)), "JPEG", progressive=True))
    yield "bomb", "JPEG 4:4:4 progressive 20 MP", lambda: encoded(
        Image.new("RGB", (5000, 4000)), "JPEG", progressive=True, subsampling=0)


def measure(path, how="loader"):
    # Run from the image's folder: from the checkout, "-c" would import its digits/, not the build's.
    out = subprocess.check_output([sys.executable, "-c", CHILD, path, how], cwd=os.path.dirname(path))
    cpu, grown, outcome = out.split(" ", 2)
    return float(cpu), int(grown), outcome


def main():
    folder = tempfile.mkdtemp(prefix="qz-decode-bench-")
    worst_cpu, memory_met = 0.0, True
    try:
        print "budget: MAX_CHUNKS %d, MAX_METADATA_BYTES %d, MAX_JPEG_SCANS %d, MAX_DECODE_MEMORY %d" % (
            loader.MAX_CHUNKS, loader.MAX_METADATA_BYTES, loader.MAX_JPEG_SCANS, loader.MAX_DECODE_MEMORY)
        for kind, name, make in cases():
            data = make()
            path = os.path.join(folder, "image")
            with open(path, "wb") as f:
                f.write(data)
            cpu, grown, outcome = measure(path)
            worst_cpu = max(worst_cpu, cpu)
            if grown > loader.MAX_DECODE_MEMORY + len(data) + SLACK:
                memory_met = False
            # Pillow alone on the bombs would take up to a minute each (see the README).
            floor = "" if kind == "bomb" else "  Pillow alone %7.1f ms, +%4.0f MB" % (
                lambda cpu, grown, _: (cpu * 1000, grown / 1e6))(*measure(path, "pillow"))
            print "%-6s %-28s %5.2f MB %7.1f ms  peak +%4.0f MB  %-22s%s" % (
                kind, name, len(data) / 1e6, cpu * 1000, grown / 1e6, outcome[:22], floor)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print "CPU: at most %.1f s for every image: %s" % (CPU_TARGET, "met" if worst_cpu <= CPU_TARGET else "NOT met")
    print "memory: peak at most the budget + the bytes + %d MB: %s" % (SLACK / 1000000, "met" if memory_met else "NOT met")
    print "ratio %.2f" % (CPU_TARGET / worst_cpu)


if __name__ == "__main__":
    main()
