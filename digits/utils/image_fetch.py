"""Getting an image's bytes: a local file opened without following what it
must not, or an http(s) fetch on non-blocking sockets under one deadline,
name lookup and TLS handshake included (a socket time-out restarts with every
byte, and the stdlib's handshake and TLS reads wait once per byte received).
A fetch connects to the very address it checked, so a name that resolves (or
re-resolves) to a metadata address cannot slip through between the check and
the connect."""
import base64
import errno
import httplib
import os
import socket
import ssl
import stat
import threading
import time
import urllib
import urlparse

import deadline_socket
from digits.utils.errors import LoadImageError
from digits.utils.image_sources import (NOT_ALLOWED, allowed_path, ascii_url, netloc,
                                        refused_address, shown_location)

_REDIRECTS = (301, 302, 303, 307, 308)
_USER_AGENT = "digits-layer/0.1"
# A lookup that outlives its fetch keeps its thread until the resolver gives
# up; this many may linger at once, so slow names cannot pile up threads.
_MAX_PENDING_LOOKUPS = 16


def _opened_path(fd):
    """The path the kernel opened for `fd`, or None where /proc cannot tell."""
    try:
        return os.readlink("/proc/self/fd/%d" % fd)
    except (OSError, IOError):
        return None


def read_file(path, sources, cap):
    """The bytes of a local file of at most `cap` bytes, within `sources` (None: anywhere)."""
    if u"\0" in path:
        raise LoadImageError("image path contains a NUL character")
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0)
    target = path
    if sources is not None:
        target = allowed_path(path, sources)
        # The real path has no links left: a link put there since is not followed.
        flags |= getattr(os, "O_NOFOLLOW", 0)
    # Opened without blocking and checked on the open descriptor: a FIFO or a
    # device named by a remote caller must neither hang nor stream forever.
    try:
        fd = os.open(target, flags)
    except (OSError, IOError) as e:
        if sources is not None and e.errno == errno.ELOOP:
            raise LoadImageError("image path %s: %s" % (NOT_ALLOWED, shown_location(path)))
        raise LoadImageError(e.errno, "cannot open image file %s: %s" % (shown_location(path), e.strerror))
    except (UnicodeError, TypeError, ValueError) as e:
        raise LoadImageError("unusable image path %s: %s" % (shown_location(path), e))
    try:
        if sources is not None:
            # A directory on the way swapped for a link between the check and
            # the open would escape the roots; the kernel knows what it opened.
            opened = _opened_path(fd)
            if opened is not None and not sources.path_allowed(opened):
                raise LoadImageError("image path %s: %s" % (NOT_ALLOWED, shown_location(path)))
        st = os.fstat(fd)
        if stat.S_ISDIR(st.st_mode):
            raise LoadImageError(errno.EISDIR, "image path is a directory: %s" % shown_location(path))
        if not stat.S_ISREG(st.st_mode):
            raise LoadImageError("image path is not a regular file: %s" % shown_location(path))
        if st.st_size > cap:
            raise LoadImageError("image file too large: %d bytes, limit %d: %s"
                                 % (st.st_size, cap, shown_location(path)))
        chunks, total = [], 0
        while total <= cap:
            chunk = os.read(fd, min(1 << 20, cap + 1 - total))
            if not chunk:
                break
            chunks.append(chunk)
            total += len(chunk)
        if total > cap:
            raise LoadImageError("image file too large: more than %d bytes: %s" % (cap, shown_location(path)))
        return b"".join(chunks)
    except (OSError, IOError) as e:
        if isinstance(e, LoadImageError):
            raise
        raise LoadImageError(e.errno, "cannot read image file %s: %s" % (shown_location(path), e.strerror))
    finally:
        os.close(fd)


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


def fetch(url, sources, timeout, cap, max_redirects):
    """The body of an http(s) URL of at most `cap` bytes, within `sources`,
    following at most `max_redirects` redirects, all of it within `timeout` seconds."""
    deadline = time.time() + timeout
    shown = shown_location(url)
    current = ascii_url(url)
    for hop in range(max_redirects + 1):
        try:
            parts = urlparse.urlsplit(current)
            scheme = parts.scheme.lower()
            if scheme not in ("http", "https"):
                raise LoadImageError("URL scheme %r not allowed (only http and https): %s" % (scheme, shown))
            scheme, host, port = netloc(parts)
        except ValueError as e:
            if isinstance(e, LoadImageError):
                raise
            raise LoadImageError("malformed URL %s: %s" % (shown, e))
        if sources is not None and not sources.url_allowed(scheme, host, port, parts.path):
            if hop == 0:
                raise LoadImageError("image URL %s: %s" % (NOT_ALLOWED, shown))
            raise LoadImageError("redirect to %s %s: %s" % (shown_location(current), NOT_ALLOWED, shown))
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
                    if refused_address(address[0], address[4][0]):
                        raise LoadImageError("address %s of host %r not allowed (link-local or cloud metadata): %s"
                                             % (address[4][0], host, shown))
                sock = deadline_socket.connect(addresses, deadline)
                # httplib only writes the request and reads the answer here: it
                # never connects, yet builds the Host header as it always did.
                if scheme == "https":
                    # The context HTTPSConnection would make: the default trust
                    # store and verification (PYTHONHTTPSVERIFY included).
                    context = ssl._create_default_https_context()
                    tls = deadline_socket.handshake(context, sock, host, deadline)
                    conn = httplib.HTTPSConnection(host, port, context=context)
                else:
                    conn = httplib.HTTPConnection(host, port)
                # the fetch closes the descriptor itself once it is done
                conn.sock = deadline_socket.DeadlineSocket(tls or sock, deadline, closes=False)
                conn.request("GET", target, headers=headers)
                resp = conn.getresponse()
                if resp.status in _REDIRECTS:
                    location = resp.getheader("location")
                    if not location:
                        raise LoadImageError("HTTP %d without Location from %s" % (resp.status, shown))
                    current = urlparse.urljoin(current, ascii_url(location))
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
    raise LoadImageError("more than %d redirects fetching %s" % (max_redirects, shown))


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
