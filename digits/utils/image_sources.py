"""Where images may come from: the allowed sources (local roots and URL
prefixes), checked as a whole before any byte is read, and the addresses a
fetch never connects to whatever they say (link-local, cloud metadata)."""
import os
import re
import socket
import sys
import urllib
import urlparse

from digits.utils.errors import LoadImageError

URL = re.compile(r"^([A-Za-z][A-Za-z0-9+.\-]*)://")
DEFAULT_PORTS = {"http": 80, "https": 443}
NOT_ALLOWED = "not allowed (outside the allowed image sources)"


def shown_location(location, limit=200):
    text = location if len(location) <= limit else location[:limit] + "..."
    return repr(text)


class Sources(object):
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


def parse_sources(value):
    """ALLOWED_SOURCES read: None, or a Sources. A malformed value refuses every load."""
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
        if URL.match(entry):
            prefixes.append(_url_prefix(entry))
        elif entry.startswith("/"):
            root = _fs_bytes(entry)
            if root is None:
                raise _setting_error("unusable entry %r" % (entry,))
            roots.append(os.path.realpath(root))
        else:
            raise _setting_error("%r is neither an absolute directory nor an http(s) URL prefix" % (entry,))
    return Sources(roots, prefixes)


def _url_prefix(entry):
    try:
        parts = urlparse.urlsplit(ascii_url(entry))
        scheme, host, port = netloc(parts)
    except ValueError as e:
        raise _setting_error("malformed URL prefix %r: %s" % (entry, e))
    if scheme not in DEFAULT_PORTS:
        raise _setting_error("URL prefix %r must be http or https" % (entry,))
    if "@" in parts.netloc or parts.query or parts.fragment or entry.rstrip().endswith(("?", "#")):
        raise _setting_error("URL prefix %r may hold no user name, query or fragment" % (entry,))
    path = urllib.unquote(parts.path) or "/"
    if not _plain_path(path):
        raise _setting_error("URL prefix %r has '.' or '..' segments" % (entry,))
    return scheme, host, port, path


def netloc(parts):
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
        return scheme, host, DEFAULT_PORTS.get(scheme)
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


def allowed_path(path, sources):
    """The real path to open for `path`, or LoadImageError if it lies outside every root."""
    shown = shown_location(path)
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
        raise LoadImageError("image path %s: %s" % (NOT_ALLOWED, shown))
    # A trailing slash still demands a directory, as it would on the path given.
    return real + "/" if name.endswith("/") and real != "/" else real


def ascii_url(url):
    if isinstance(url, unicode):
        url = url.encode("utf-8")
    # Non-ASCII bytes and blanks cannot go on the request line as they are.
    return urllib.quote(url, safe="%/:=&?~#+!$,;'@()*[]")


def refused_address(family, address):
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
