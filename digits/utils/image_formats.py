"""What an image's bytes say before any decoder sees them.

Pillow's Image.open finds a decoder by trying its plugins on the bytes, and a
try runs that plugin's header parser: whatever the bytes are, TIFF, PSD, ICO
and the rest get to parse them first, and Pillow 6.2.2 has published faults in
several of them. Here the format is taken from the signature alone, and only
the plugin class of that one format is ever instantiated; Pillow's registry
is left as it is, so other users of PIL in the process see no difference.

Before the plugin runs, its structure is walked without decoding anything,
mirroring the loops of Pillow's parsers: they handle chunks, segments, blocks
and even stray bytes one at a time in Python, at a few microseconds each, so
what the format lets grow without adding pixels (empty chunks, text, padding)
is counted against a budget and refused before a parser loops over it.
"""
import re
import struct
import zlib

from PIL import BmpImagePlugin, GifImagePlugin, JpegImagePlugin, PngImagePlugin, PpmImagePlugin

# A GIF comment is joined piece by piece (255 bytes at a time), in time that
# grows with the square of its length: 64 KiB takes about a millisecond.
MAX_GIF_COMMENT = 64 * 1024
# Pillow reads a PPM header a byte at a time; real ones are a few dozen bytes.
MAX_PPM_HEADER = 4096


class Refused(Exception):
    """The bytes are over a budget; the message says which."""


class TooManyPixels(Refused):
    """The header names more pixels than the budget allows."""


class Budget(object):
    """The limits of one image and what its walk has counted against them so far."""

    def __init__(self, max_pixels, max_chunks, max_metadata, max_scans):
        self.max_pixels = max_pixels
        self.max_chunks = max_chunks
        self.max_metadata = max_metadata
        self.max_scans = max_scans
        self.chunks = 0
        self.metadata = 0
        # Memory a decoder needs beyond the image it fills (bytes).
        self.decoder_memory = 0

    def chunk(self, count=1):
        self.chunks += count
        if self.chunks > self.max_chunks:
            raise Refused("more than %d chunks, segments or blocks (MAX_CHUNKS)" % self.max_chunks)

    def metadata_bytes(self, count):
        self.metadata += count
        if self.metadata > self.max_metadata:
            raise Refused("more than %d bytes of metadata (MAX_METADATA_BYTES)" % self.max_metadata)

    def metadata_left(self):
        return max(0, self.max_metadata - self.metadata)

    def pixels(self, width, height):
        if width * height > self.max_pixels:
            raise TooManyPixels("too many pixels: %dx%d, limit %d" % (width, height, self.max_pixels))


# --- signatures -----------------------------------------------------------------

_PPM_MAGIC = re.compile(br"P[456][\x20\x09-\x0d]")

_ACCEPTABLE = [
    ("PNG", lambda d: d[:8] == b"\x89PNG\r\n\x1a\n"),
    ("JPEG", lambda d: d[:2] == b"\xff\xd8"),
    ("GIF", lambda d: d[:6] in (b"GIF87a", b"GIF89a")),
    ("BMP", lambda d: d[:2] == b"BM"),
    ("PPM", lambda d: _PPM_MAGIC.match(d) is not None),
]

# Only to name what is refused; none of these bytes reach a decoder.
_NAMED = [
    ("TIFF", (b"II*\0", b"MM\0*")),
    ("PSD", (b"8BPS",)),
    ("ICO", (b"\0\0\1\0",)),
    ("EPS", (b"%!PS", b"\xc5\xd0\xd3\xc6")),
    ("ICNS", (b"icns",)),
    ("BLP", (b"BLP1", b"BLP2")),
    ("JPEG2000", (b"\0\0\0\x0cjP  \r\n\x87\n", b"\xff\x4f\xff\x51")),
    ("SGI", (b"\x01\xda",)),
    ("PDF", (b"%PDF",)),
]


def sniff(data):
    """The format the signature of `data` names ("PNG", ..., "TIFF", "WEBP", ...), or None."""
    for name, matches in _ACCEPTABLE:
        if matches(data):
            return name
    for name, signatures in _NAMED:
        if data.startswith(signatures):
            return name
    if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        return "WEBP"
    return None


DECODABLE = tuple(name for name, _ in _ACCEPTABLE)


# --- PNG ------------------------------------------------------------------------

def _inflated_size(payload, cap):
    """How far `payload` inflates, counted up to cap + 1; broken data inflates to nothing, as for Pillow."""
    try:
        return len(zlib.decompressobj().decompress(payload, cap + 1))
    except zlib.error:
        return 0


def _compressed_text(kind, body):
    """The zlib payload that Pillow inflates in a zTXt, iTXt or iCCP chunk, or None."""
    key_end = body.find(b"\0")
    if key_end < 0:
        return None
    if kind in (b"zTXt", b"iCCP"):
        return body[key_end + 2:]
    rest = body[key_end + 1:]  # iTXt: flag, method, language\0, translated key\0, text
    if len(rest) < 2 or rest[0] == b"\0" or rest[1] != b"\0":
        return None
    parts = rest[2:].split(b"\0", 2)
    return parts[2] if len(parts) == 3 else None


def walk_png(data, budget):
    """Every chunk up to IEND, as Pillow's parser (before the pixels) and its load_end (after) take them."""
    size = len(data)
    pos = 8
    while pos + 8 <= size:
        length, kind = struct.unpack_from(">I4s", data, pos)
        # A chunk type that is no word ends Pillow's walk, unless a user of
        # PIL in the process has set ImageFile.LOAD_TRUNCATED_IMAGES: counted
        # on as a chunk all the same.
        budget.chunk()
        start = pos + 8
        end = start + length
        if kind == b"IHDR":
            if length >= 8:
                budget.pixels(*struct.unpack_from(">II", data, start))
        elif kind == b"IEND":
            return
        elif kind != b"IDAT":
            budget.metadata_bytes(length)
            if kind in (b"zTXt", b"iTXt", b"iCCP"):
                payload = _compressed_text(kind, data[start:min(end, size)])
                if payload:
                    budget.metadata_bytes(_inflated_size(payload, budget.metadata_left()))
        pos = end + 4


# --- JPEG -----------------------------------------------------------------------

_SOF = frozenset([0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF])
_PROGRESSIVE = frozenset([0xC2, 0xC6, 0xCA, 0xCE])


def _photoshop_resources(body):
    """How many image resources Pillow's loop steps through in an APP13 segment's body."""
    if body[:14] != b"Photoshop 3.0\0":
        return 0
    blocks = body[14:]
    offset = count = 0
    try:
        while blocks[offset:offset + 4] == b"8BIM":
            count += 1
            offset += 6
            offset += 1 + ord(blocks[offset])
            offset += offset & 1
            (length,) = struct.unpack_from(">I", blocks, offset)
            offset += 4 + length
            offset += offset & 1
    except (IndexError, TypeError, struct.error):
        pass  # where Pillow's own loop fails too
    return count


def _coefficient_bytes(frame):
    """What libjpeg holds for an image decoded over several scans: every coefficient, 2 bytes each."""
    width, height, components = frame
    h_max = max(h for h, _ in components)
    v_max = max(v for _, v in components)
    total = 0
    for h, v in components:
        # The component's 8x8 blocks, rounded up to whole MCUs as libjpeg allocates them.
        blocks_wide = _ceil(_ceil(_ceil(width * h, h_max), 8), h) * h
        blocks_high = _ceil(_ceil(_ceil(height * v, v_max), 8), v) * v
        total += blocks_wide * blocks_high * 64 * 2
    return total


def _ceil(a, b):
    return -(-a // b)


def walk_jpeg(data, budget):
    """Segments up to the first scan as Pillow's parser steps through them, then the scans libjpeg decodes."""
    size = len(data)
    markers = JpegImagePlugin.MARKER
    pos = 2
    frame = None
    progressive = False
    while pos + 1 < size:
        if data[pos] != b"\xff":
            # Bytes between segments: Pillow steps over each one alone.
            following = data.find(b"\xff", pos)
            following = size if following < 0 else following
            budget.chunk(following - pos)
            pos = following
            continue
        marker = ord(data[pos + 1])
        if marker in (0x00, 0xFF):
            budget.chunk()
            pos += 1 if marker == 0xFF else 2
            continue
        if (0xFF00 | marker) not in markers:
            return  # Pillow refuses the file here
        budget.chunk()
        if markers[0xFF00 | marker][2] is None:
            pos += 2  # no length: Pillow reads on right after it
            continue
        if pos + 4 > size:
            return
        # A length below 2 leaves Pillow right after the length field.
        length = max(2, struct.unpack_from(">H", data, pos + 2)[0])
        body = data[pos + 4:pos + 2 + length]
        if 0xE0 <= marker <= 0xEF or marker == 0xFE:
            budget.metadata_bytes(length)
            if marker == 0xED:
                budget.chunk(_photoshop_resources(body))
        elif marker == 0xDB:
            budget.chunk(len(body) // 65)  # Pillow's loop takes one table at a time
        elif marker in _SOF and len(body) >= 6:
            budget.chunk(len(body[6:]) // 3)  # ... and one component at a time
            height, width = struct.unpack_from(">HH", body, 1)
            budget.pixels(width, height)
            components = [(ord(body[i + 1]) >> 4 or 1, ord(body[i + 1]) & 15 or 1)
                          for i in range(6, min(len(body), 6 + 3 * ord(body[5])) - 2, 3)]
            if components:
                frame = (width, height, components)
            progressive = marker in _PROGRESSIVE
        elif marker == 0xDA:
            _scans(data, pos, body, frame, progressive, budget)
            return
        pos += 2 + length


def _scans(data, pos, first_scan, frame, progressive, budget):
    # Every scan is a pass of libjpeg over all the blocks of its components,
    # however few bytes it has, so their number is bounded on its own. Inside
    # scan data a 0xFF byte is always followed by 0x00 or a restart marker,
    # so every start of a scan is a 0xFF 0xDA pair: counting the pairs to the
    # end of the data can count too many (in a table's bytes, in an MPO's
    # second picture), never too few. (An end-of-image pair can hide in a
    # table's bytes too, so the count does not stop at one.)
    scans = data.count(b"\xff\xda", pos)
    if scans > budget.max_scans:
        raise Refused("more than %d scans (MAX_JPEG_SCANS)" % budget.max_scans)
    # libjpeg keeps every coefficient when the image comes in several scans,
    # as it decides it: progressive, or a first scan without every component.
    if frame is not None and (progressive or (first_scan and ord(first_scan[0]) < len(frame[2]))):
        budget.decoder_memory = _coefficient_bytes(frame)


# --- GIF ------------------------------------------------------------------------

def walk_gif(data, budget):
    """The blocks before the first frame, read exactly as Pillow's frame parser reads them.

    Only the first frame is ever decoded: what lies beyond it is never parsed.
    """
    size = len(data)
    if size < 13:
        return
    width, height, flags = struct.unpack_from("<HHB", data, 6)
    budget.pixels(width, height)
    pos = 13 + (3 << ((flags & 7) + 1) if flags & 128 else 0)
    comment = 0

    def sub_block(at):
        """Pillow's data(): (payload length or None, position after it)."""
        budget.chunk()
        if at >= size:
            return None, at
        length = ord(data[at])
        if not length:
            return None, at + 1
        budget.metadata_bytes(length)
        return length, at + 1 + length

    while pos < size:
        introducer = data[pos]
        pos += 1
        if introducer == b";":
            return
        if introducer == b",":
            if pos + 8 <= size:
                left, top, frame_width, frame_height = struct.unpack_from("<HHHH", data, pos)
                budget.pixels(max(width, left + frame_width), max(height, top + frame_height))
            return
        if introducer != b"!":
            budget.chunk()  # a stray byte: skipped alone
            continue
        label = ord(data[pos]) if pos < size else None
        pos += 1
        block, pos = sub_block(pos)
        if label == 254:
            while block:
                comment += block
                if comment > MAX_GIF_COMMENT:
                    raise Refused("a GIF comment of more than %d bytes" % MAX_GIF_COMMENT)
                block, pos = sub_block(pos)
            continue
        if label == 255 and block is not None and data[pos - block:pos - block + 11] == b"NETSCAPE2.0":
            block, pos = sub_block(pos)
        while True:
            block, pos = sub_block(pos)
            if not block:
                break


# --- PPM, BMP -------------------------------------------------------------------

_PPM_BLANK = b"\x20\x09\x0a\x0b\x0c\x0d"


def walk_ppm(data, budget):
    """The header, token by token as Pillow's parser reads it, within MAX_PPM_HEADER bytes."""
    header = data[:MAX_PPM_HEADER]
    pos = 3  # past the magic number and the blank after it
    fields = []
    wanted = 2 if data[1:2] == b"4" else 3
    while len(fields) < wanted:
        while pos < len(header) and header[pos] in _PPM_BLANK:
            pos += 1
        if pos >= len(header):
            break
        if header[pos] == b"#":
            line_end = header.find(b"\n", pos)
            if line_end < 0:
                break
            pos = line_end + 1
            continue
        start = pos
        while pos < len(header) and header[pos] not in _PPM_BLANK:
            pos += 1
        if pos >= len(header):
            break
        token = header[start:pos]
        try:
            if len(token) > 9:
                raise ValueError(token)
            fields.append(int(token))
        except ValueError:
            return  # Pillow refuses the file here
    else:
        budget.pixels(fields[0], fields[1])
        return
    if len(data) > len(header):
        raise Refused("a PPM header longer than %d bytes" % MAX_PPM_HEADER)


def walk_bmp(data, budget):
    """Nothing to walk: a BMP's headers have fixed sizes, and its palette at most 65536 entries."""


WALKS = {"PNG": walk_png, "JPEG": walk_jpeg, "GIF": walk_gif, "BMP": walk_bmp, "PPM": walk_ppm}


# --- the plugins ----------------------------------------------------------------

class _JpegFile(JpegImagePlugin.JpegImageFile):
    """Pillow's JPEG reader, less the EXIF parse it does while reading the headers.

    Without a JFIF resolution it parses EXIF for one, and EXIF is a TIFF
    structure, read by the TIFF plugin's code. The classification has no use
    for a resolution (it gets the default of 72 dpi); a caller that asks for
    EXIF once the image is open still gets it.
    """

    def getexif(self):
        if self.tile is None:  # still inside _open
            return {}
        return JpegImagePlugin.JpegImageFile.getexif(self)


# Each format's own class, called directly: the one plugin that reads the bytes.
# (Not Image.OPEN's factories: JPEG's would hand an MPO to another plugin.)
PLUGINS = {
    "PNG": PngImagePlugin.PngImageFile,
    "JPEG": _JpegFile,
    "GIF": GifImagePlugin.GifImageFile,
    "BMP": BmpImagePlugin.BmpImageFile,
    "PPM": PpmImagePlugin.PpmImageFile,
}
