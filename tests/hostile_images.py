"""Small builders of hostile and near-limit images, for the tests and the decoding benchmark."""
import struct
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_chunk(kind, data=b""):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)


def png(width=1, height=1, depth=8, colour=0, before=(), after=(), idat=None, row_filter=0):
    """A PNG of zero samples, each row under `row_filter`; `before` and `after` are chunks put around its one IDAT."""
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    if idat is None:
        row = chr(row_filter) + b"\0" * ((width * channels * depth + 7) // 8)
        packer = zlib.compressobj(9)
        idat = b"".join(packer.compress(row) for _ in range(height)) + packer.flush()
    head = png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 0))
    if colour == 3:
        head += png_chunk(b"PLTE", b"\0\0\0")
    return (PNG_SIGNATURE + head + b"".join(before) + png_chunk(b"IDAT", idat)
            + b"".join(after) + png_chunk(b"IEND"))


def png_chunk_bomb(count=870000, after_idat=False):
    """Empty ancillary chunks of a kind no decoder knows: 12 bytes each."""
    chunks = [png_chunk(b"zzZz")] * count
    return png(after=chunks) if after_idat else png(before=chunks)


def png_text_bomb(total=9 * 1000 * 1000, size=20):
    """tEXt chunks of `size` bytes each (keys differ, so each is kept), `total` bytes in all."""
    count = total // (size + 12)
    return png(before=[png_chunk(b"tEXt", (b"k%07d\0" % i).ljust(size, b"v")) for i in range(count)])


def apng_frame_bomb(count=150000):
    """An animated PNG of `count` 1x1 frames."""
    frame_data = zlib.compress(b"\0\0")
    chunks = [png_chunk(b"acTL", struct.pack(">II", count, 0))]
    for i in range(count):
        chunks.append(png_chunk(b"fcTL", struct.pack(">IIIIIHHBB", 2 * i + 1, 1, 1, 0, 0, 1, 100, 0, 0)))
        chunks.append(png_chunk(b"fdAT", struct.pack(">I", 2 * i + 2) + frame_data))
    return png(after=chunks)


def gif(frames=1, width=1, height=1, extensions=b"", trailer=b";"):
    """A grey GIF of `frames` frames of one pixel each (the first covers width x height)."""
    screen = b"GIF89a" + struct.pack("<HHBBB", width, height, 0x80, 0, 0) + b"\0\0\0\xff\xff\xff"
    frame = (b"!\xf9\x04\x00\x0a\x00\x00\x00"                  # graphic control: 0.1 s
             + b"," + struct.pack("<HHHHB", 0, 0, 1, 1, 0)    # one pixel at the corner
             + b"\x02\x02\x44\x01\x00")                       # its LZW data
    return screen + extensions + frame * frames + trailer


def gif_frame_bomb(count=450000):
    return gif(frames=count)


def gif_comment_bomb(size=9 * 1000 * 1000):
    """One comment extension of `size` bytes, in 255-byte sub-blocks, before the first frame."""
    blocks = (b"\xff" + b"c" * 255) * (size // 255)
    return gif(extensions=b"!\xfe" + blocks + b"\0")


def gif_stray_bytes(size=9 * 1000 * 1000):
    """Bytes that are no block at all between the screen and the first frame (decoders skip them)."""
    return gif(extensions=b"\0" * size)


def gif_extension_bomb(count=1800000):
    """Extension blocks of one byte before the first frame: 5 bytes each."""
    return gif(extensions=b"!\x01\x01x\x00" * count)


def png_idat_splinters(width=3000, height=3000):
    """One image's data cut into IDAT chunks of one byte each."""
    packer = zlib.compressobj(1)
    row = bytes(b"\0" + bytearray(i % 251 for i in range(width)))
    data = b"".join(packer.compress(row) for _ in range(height)) + packer.flush()
    head = png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
    return (PNG_SIGNATURE + head + b"".join(png_chunk(b"IDAT", data[i:i + 1]) for i in range(len(data)))
            + png_chunk(b"IEND"))


def png_ztxt_bomb(count=5000):
    """zTXt chunks of 1 kB each that expand to 1 MB each."""
    text = zlib.compress(b"\0" * (1 << 20), 9)
    return png(before=[png_chunk(b"zTXt", b"k%d\0\0" % i + text) for i in range(count)])


def ppm_blank_bomb(size=9 * 1000 * 1000):
    return b"P5" + b" " * size + b"1 1 255\n\0"


def ppm_comment_bomb(count=4 * 1000 * 1000):
    return b"P5\n" + b"#\n" * count + b"1 1 255\n\0"


def _sos(component, ss, se, ah, al):
    return b"\xff\xda" + struct.pack(">HBBBBBB", 8, 1, component, 0, ss, se, ah << 4 | al)


def jpeg_scan_bomb(base, count=100000):
    """A progressive JPEG `base` (bytes) with `count` empty DC refinement scans before its end."""
    assert base.endswith(b"\xff\xd9")
    return base[:-2] + _sos(1, 0, 0, 1, 0) * count + b"\xff\xd9"


def jpeg_marker_bomb(base, count=2500000):
    """Empty comment segments (4 bytes each) right after the start of a JPEG `base`."""
    return base[:2] + b"\xff\xfe\x00\x02" * count + base[2:]


def jpeg_junk(base, size=9 * 1000 * 1000):
    """Bytes that are no segment between the start of a JPEG and its first marker."""
    return base[:2] + b"\0" * size + base[2:]


def jpeg_segments(base, marker, body, count):
    """`count` segments of one kind right after the start of a JPEG `base`."""
    segment = b"\xff" + chr(marker) + struct.pack(">H", len(body) + 2) + body
    return base[:2] + segment * count + base[2:]


def photoshop_resources(count):
    """An APP13 body of `count` empty Photoshop image resources."""
    return b"Photoshop 3.0\0" + (b"8BIM" + b"\x04\x04" + b"\0\0" + b"\0\0\0\0") * count
