"""load_image under hostile locations: one deadline for the whole fetch, and sources an operator can narrow."""
import io
import os
import socket
import ssl
import subprocess
import threading
import time

import pytest
from PIL import Image

from digits import utils
from digits.utils.errors import LoadImageError

load_image = utils.image.load_image

buf = io.BytesIO()
Image.new("L", (5, 3), 128).save(buf, "PNG")
SMALL_PNG = buf.getvalue()

BUDGET = 1.5     # FETCH_TIMEOUT in the timing tests
MARGIN = 1.0     # what a refusal may take past the deadline (thread joins poll every 50 ms)


def outcome_of(location, limit=15):
    """(error, seconds) of load_image(location) run in a thread that must end within `limit`."""
    result = []

    def attempt():
        start = time.time()
        try:
            load_image(location)
            result.append((None, time.time() - start))
        except Exception as e:
            result.append((e, time.time() - start))

    worker = threading.Thread(target=attempt)
    worker.daemon = True
    worker.start()
    worker.join(limit)
    assert result, "load_image(%r) still running after %s s" % (location, limit)
    return result[0]


def refused(location, limit=15):
    error, seconds = outcome_of(location, limit)
    assert isinstance(error, LoadImageError), error
    return str(error), seconds


# --- servers that misbehave on purpose; each ends when the test does ---------

class RawServer(object):
    """A TCP server on 127.0.0.1 that runs handler(conn, server) per connection in a thread."""

    def __init__(self, handler):
        self.handler = handler
        self.release = threading.Event()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.listener.settimeout(0.1)
        self.port = self.listener.getsockname()[1]
        self.base = "http://127.0.0.1:%d" % self.port
        self.accepted = 0
        self.thread = threading.Thread(target=self._serve)
        self.thread.daemon = True
        self.thread.start()

    def _serve(self):
        while not self.release.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except socket.error:
                return
            self.accepted += 1
            worker = threading.Thread(target=self._handle, args=(conn,))
            worker.daemon = True
            worker.start()

    def _handle(self, conn):
        conn.settimeout(5)
        try:
            self.handler(conn, self)
        except (socket.error, ssl.SSLError):
            pass  # the client gave up, which is what most cases test
        finally:
            conn.close()

    def sleep(self, seconds):
        """False once the test is over: every slow answer stops there."""
        return not self.release.wait(seconds)

    def stop(self):
        self.release.set()
        self.thread.join(5)
        self.listener.close()


@pytest.fixture
def serve():
    servers = []

    def start(handler):
        servers.append(RawServer(handler))
        return servers[-1]
    yield start
    for server in servers:
        server.stop()


def read_head(conn):
    data = b""
    while b"\r\n\r\n" not in data and len(data) < 65536:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    return data.split(b" ")[1] if data.count(b" ") >= 2 else b""


def answer(conn, status, headers=(), body=b""):
    lines = ["HTTP/1.1 %s" % status, "Content-Length: %d" % len(body), "Connection: close"]
    lines += ["%s: %s" % h for h in headers]
    conn.sendall("\r\n".join(lines).encode("ascii") + b"\r\n\r\n" + body)


def redirect(conn, location):
    answer(conn, "302 Found", [("Location", location)])


@pytest.fixture(scope="module")
def certificate(tmpdir_factory):
    """A self-signed certificate for the name localhost (not for 127.0.0.1), and its key."""
    folder = tmpdir_factory.mktemp("tls")
    cert, key = str(folder.join("cert.pem")), str(folder.join("key.pem"))
    try:
        subprocess.check_output(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=localhost",
             "-addext", "subjectAltName=DNS:localhost"], stderr=subprocess.STDOUT)
    except (OSError, subprocess.CalledProcessError) as e:
        pytest.skip("openssl cannot make a test certificate: %s" % e)
    return cert, key


@pytest.fixture
def trusted(certificate, monkeypatch):
    """The test certificate is the trust store of every fetch in the test."""
    monkeypatch.setenv("SSL_CERT_FILE", certificate[0])
    monkeypatch.delenv("SSL_CERT_DIR", raising=False)
    return certificate


@pytest.fixture
def budget(monkeypatch):
    monkeypatch.setattr(utils.image, "FETCH_TIMEOUT", BUDGET)
    return BUDGET


# --- one deadline for the whole fetch -----------------------------------------

def drip_during_handshake(conn, server):
    conn.recv(4096)  # the ClientHello
    # A record header announcing 16 kB, then one byte a second: every byte
    # would restart a per-read time-out.
    for byte in b"\x16\x03\x03\x40\x00" + b"\x02" * 100:
        conn.sendall(byte)
        if not server.sleep(1.0):
            return


def drip_after_handshake(conn, server):
    context = ssl.SSLContext(ssl.PROTOCOL_SSLv23)
    context.load_cert_chain(*server.certificate)
    tls = context.wrap_socket(conn, server_side=True)
    read_head(tls)
    # Half a TLS record, a byte at a time: the client's read waits for all of it.
    for byte in b"\x17\x03\x03\x40\x00" + b"\x00" * 100:
        conn.sendall(byte)
        if not server.sleep(0.2):
            return


@pytest.mark.parametrize("handler", [drip_during_handshake, drip_after_handshake],
                         ids=["during-handshake", "after-handshake"])
def test_https_drip_is_cut_at_the_deadline(serve, trusted, budget, handler):
    server = serve(handler)
    server.certificate = trusted
    message, seconds = refused("https://localhost:%d/x.png" % server.port)
    assert "timed out" in message
    assert seconds < budget + MARGIN


def test_slow_name_lookup_is_bounded(monkeypatch, budget):
    released = threading.Event()
    real = socket.getaddrinfo

    def slow(host, *args):
        if host != "slow.example":
            return real(host, *args)
        released.wait(10)
        raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")

    monkeypatch.setattr(socket, "getaddrinfo", slow)
    try:
        message, seconds = refused("http://slow.example/x.png")
        assert "timed out" in message
        assert seconds < budget + MARGIN
        # The lookup left behind still counts: past the cap, no new thread waits.
        monkeypatch.setattr(utils.image_fetch, "_MAX_PENDING_LOOKUPS", 1)
        message, seconds = refused("http://slow.example/x.png")
        assert "too many name lookups" in message and seconds < MARGIN
    finally:
        released.set()


def test_redirect_chain_under_the_hop_time_but_over_the_total(serve, budget):
    def hop(conn, server):
        path = read_head(conn)
        number = int(path.rsplit(b"/", 1)[1])
        # Each hop drips its answer for 0.6 s: well inside the budget alone.
        conn.sendall(b"HTTP/1.1 302 Found\r\n")
        for _ in range(6):
            conn.sendall(b"X: y\r\n")
            if not server.sleep(0.1):
                return
        conn.sendall(b"Location: /hop/%d\r\nContent-Length: 0\r\n\r\n" % (number + 1))

    server = serve(hop)
    message, seconds = refused(server.base + "/hop/0")
    assert "timed out" in message
    assert seconds < budget + MARGIN
    assert server.accepted >= 2


def test_https_with_a_trusted_certificate_still_loads_and_names_are_still_checked(serve, trusted):
    def image(conn, server):
        context = ssl.SSLContext(ssl.PROTOCOL_SSLv23)
        context.load_cert_chain(*server.certificate)
        tls = context.wrap_socket(conn, server_side=True)
        read_head(tls)
        answer(tls, "200 OK", [("Content-Type", "image/png")], SMALL_PNG)

    server = serve(image)
    server.certificate = trusted
    assert load_image("https://localhost:%d/x.png" % server.port).size == (5, 3)
    # The certificate names localhost, not 127.0.0.1: the name check still refuses.
    message, _ = refused("https://127.0.0.1:%d/x.png" % server.port)
    assert "cannot fetch" in message and "127.0.0.1" in message


@pytest.mark.parametrize("value", [0, -1, float("nan"), float("inf"), "soon", None])
def test_unusable_fetch_timeout_is_named(monkeypatch, value):
    monkeypatch.setattr(utils.image, "FETCH_TIMEOUT", value)
    message, _ = refused("http://127.0.0.1:9/x.png")
    assert "FETCH_TIMEOUT" in message


# --- link-local and metadata addresses, always refused --------------------------

@pytest.fixture
def no_connect(monkeypatch):
    """Any connect fails the test: the refusals below must come before one."""
    attempts = []

    def connect(addresses, deadline):
        attempts.append(addresses)
        raise AssertionError("connected to %r" % (addresses,))

    monkeypatch.setattr(utils.image_fetch.deadline_socket, "connect", connect)
    return attempts


def resolving_to(monkeypatch, table):
    real = socket.getaddrinfo

    def fake(host, port, *args):
        if host in table:
            return [(family, socket.SOCK_STREAM, socket.IPPROTO_TCP, "",
                     (address, port) if family == socket.AF_INET else (address, port, 0, 0))
                    for family, address in table[host]]
        return real(host, port, *args)

    monkeypatch.setattr(socket, "getaddrinfo", fake)


@pytest.mark.parametrize("url", [
    "http://169.254.169.254/latest/meta-data/",
    "http://169.254.0.1:8080/x.png",
    "https://[fe80::1]/x.png",
    "http://[febf::1]/x.png",
    "http://[::ffff:169.254.169.254]/x.png",
    "http://[::ffff:a9fe:a9fe]/x.png",
    "http://[64:ff9b::a9fe:a9fe]/x.png",
    "http://[fd00:ec2::254]/x.png",
    "http://100.100.100.200/x.png",
    "http://2852039166/x.png",              # 169.254.169.254 as one number
    "http://0251.0376.0251.0376/x.png",     # ... in octal
    "http://metadata.example/x.png",
    "http://mixed.example/x.png",
])
def test_metadata_addresses_are_refused_before_any_connect(monkeypatch, no_connect, url):
    resolving_to(monkeypatch, {
        "metadata.example": [(socket.AF_INET, "169.254.169.254")],
        "mixed.example": [(socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "fe80::1")],
    })
    # An operator listing the address does not make it reachable.
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", None if "example" in url else [url.rsplit("/", 1)[0] + "/"])
    message, seconds = refused(url)
    assert "not allowed (link-local or cloud metadata)" in message, message
    assert no_connect == []


def test_redirect_to_a_metadata_address_is_refused(serve):
    def to_metadata(conn, server):
        read_head(conn)
        redirect(conn, "http://169.254.169.254/latest/meta-data/")

    server = serve(to_metadata)
    message, seconds = refused(server.base + "/x.png")
    assert "169.254.169.254" in message and "not allowed (link-local or cloud metadata)" in message
    assert seconds < MARGIN


def test_names_resolving_to_ordinary_addresses_still_load(serve, monkeypatch):
    def image(conn, server):
        read_head(conn)
        answer(conn, "200 OK", [("Content-Type", "image/png")], SMALL_PNG)

    server = serve(image)
    resolving_to(monkeypatch, {"images.example": [(socket.AF_INET, "127.0.0.1")]})
    assert load_image("http://images.example:%d/x.png" % server.port).size == (5, 3)


# --- ALLOWED_SOURCES: URL prefixes ----------------------------------------------

@pytest.fixture
def resolve_marks_allowed(monkeypatch):
    """A location that passes the source check reaches name lookup, which ends it there."""
    def resolve(host, port, deadline, shown):
        raise LoadImageError("passed the check for %s:%d" % (host, port))

    monkeypatch.setattr(utils.image_fetch, "_resolve", resolve)


@pytest.mark.parametrize("url, allowed", [
    ("https://images.example.com/cats/a.png", True),
    ("https://IMAGES.Example.COM:443/cats/a.png", True),
    ("https://images.example.com/cats", True),
    ("https://user:pw@images.example.com/cats/a.png", True),
    ("https://images.example.com/cats/a%20b.png?size=2", True),
    ("http://images.example.com/cats/a.png", False),
    ("https://images.example.com:8443/cats/a.png", False),
    ("https://images.example.com/catsX/a.png", False),
    ("https://images.example.com/dogs/a.png", False),
    ("https://images.example.com/cats/../dogs/a.png", False),
    ("https://images.example.com/cats/%2e%2E/dogs/a.png", False),
    ("https://images.example.com/cats/..%2fdogs/a.png", False),
    ("https://images.example.com/cats/..\\dogs/a.png", False),
    ("https://images.example.com@evil.example/cats/a.png", False),
    ("https://images.example.com.evil.example/cats/a.png", False),
    ("https://evil.example/cats/a.png", False),
])
def test_url_prefixes_match_origin_then_path(monkeypatch, resolve_marks_allowed, url, allowed):
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", ["https://images.example.com/cats/", "/nonexistent-root"])
    message, _ = refused(url)
    if allowed:
        assert "passed the check" in message
    else:
        assert message == "image URL not allowed (outside the allowed image sources): %r" % url


def test_url_prefix_default_port_and_port_forms_are_one_origin(monkeypatch, resolve_marks_allowed):
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", "http://Images.Example.com:80")
    assert "passed the check" in refused("http://images.example.com/any/thing.png")[0]
    assert "not allowed" in refused("http://images.example.com:8080/x.png")[0]
    assert "malformed URL" in refused("http://images.example.com:99999/x.png")[0]


@pytest.mark.parametrize("path, allowed", [
    ("/allowed/ok.png", True),
    ("/allowed/to-allowed", True),
    ("/allowed/to-outside", False),
    ("/allowed/to-other-port", False),
    ("/outside/ok.png", False),
])
def test_every_redirect_hop_is_checked_against_the_sources(serve, monkeypatch, path, allowed):
    def site(conn, server):
        asked = read_head(conn)
        if asked.endswith(b".png"):
            answer(conn, "200 OK", [("Content-Type", "image/png")], SMALL_PNG)
        elif asked == b"/allowed/to-allowed":
            redirect(conn, "/allowed/ok.png")
        elif asked == b"/allowed/to-outside":
            redirect(conn, "/outside/ok.png")
        else:
            redirect(conn, "http://127.0.0.1:%d/allowed/ok.png" % other.port)

    server = serve(site)
    other = serve(site)
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", (server.base + "/allowed/",))
    error, _ = outcome_of(server.base + path)
    if allowed:
        assert error is None
    else:
        assert isinstance(error, LoadImageError)
        assert "not allowed (outside the allowed image sources)" in str(error)
        assert other.accepted == 0


# --- ALLOWED_SOURCES: local roots -----------------------------------------------

@pytest.fixture
def tree(tmpdir):
    """<tmp>/imgs (the root), <tmp>/imgsX and <tmp>/secret.png beside it, and links both ways."""
    root = tmpdir.mkdir("imgs")
    root.join("ok.png").write_binary(SMALL_PNG)
    root.mkdir("sub").join("deep.png").write_binary(SMALL_PNG)
    tmpdir.mkdir("imgsX").join("a.png").write_binary(SMALL_PNG)
    tmpdir.join("secret.png").write_binary(SMALL_PNG)
    os.symlink(str(tmpdir.join("secret.png")), str(root.join("out-link.png")))
    os.symlink(str(tmpdir), str(root.join("out-dir")))
    os.symlink(str(root.join("sub", "deep.png")), str(root.join("in-link.png")))
    os.symlink(str(root), str(tmpdir.join("imgs-link")))
    return tmpdir


@pytest.mark.parametrize("root, location, allowed", [
    ("imgs", "imgs/ok.png", True),
    ("imgs/", "imgs/sub/deep.png", True),
    ("imgs", "imgs/in-link.png", True),
    ("imgs", "imgs/sub/../ok.png", True),
    ("imgs-link", "imgs/ok.png", True),           # the root's real path counts
    ("imgs", "imgs-link/ok.png", True),
    ("imgs", "secret.png", False),
    ("imgs", "imgs/out-link.png", False),
    ("imgs", "imgs/out-dir/secret.png", False),
    ("imgs", "imgs/../secret.png", False),
    ("imgs", "imgs/sub/../../secret.png", False),
    ("imgs", "imgsX/a.png", False),
    ("imgs", "imgs/missing/../../secret.png", False),
])
def test_local_paths_must_resolve_inside_a_root(tree, monkeypatch, root, location, allowed):
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", [str(tree.join(root)) + ("/" if root.endswith("/") else "")])
    path = str(tree.join(location)) if "/.." not in location else str(tree) + "/" + location
    error, _ = outcome_of(path)
    if allowed:
        assert error is None
    else:
        assert str(error) == "image path not allowed (outside the allowed image sources): %r" % path


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="the kernel cannot name an open file here")
def test_the_file_actually_opened_is_checked_again(tree, monkeypatch):
    # As if a directory on the way became a link out between the check and the open.
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", [str(tree.join("imgs"))])
    monkeypatch.setattr(utils.image_fetch, "allowed_path", lambda path, sources: str(tree.join("secret.png")))
    location = str(tree.join("imgs", "ok.png"))
    assert refused(location)[0] == "image path not allowed (outside the allowed image sources): %r" % location


def test_relative_paths_resolve_from_the_working_directory(tree, monkeypatch):
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", [str(tree.join("imgs"))])
    monkeypatch.chdir(str(tree.join("imgs", "sub")))
    assert load_image("deep.png").size == (5, 3)
    assert "not allowed" in refused("../../secret.png")[0]


def test_missing_files_tell_existence_only_inside_the_roots(tree, monkeypatch):
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", [str(tree.join("imgs"))])
    with pytest.raises(IOError) as inside:
        load_image(str(tree.join("imgs", "nowhere.png")))
    assert inside.value.errno == 2
    for outside in [str(tree.join("nowhere.png")), str(tree.join("secret.png"))]:
        assert "not allowed" in refused(outside)[0]


def test_only_url_prefixes_refuse_every_path_and_only_roots_every_url(tree, monkeypatch):
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", ["https://images.example.com/"])
    assert "image path not allowed" in refused(str(tree.join("imgs", "ok.png")))[0]
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", [str(tree.join("imgs"))])
    assert "image URL not allowed" in refused("https://images.example.com/x.png")[0]
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", [])
    assert "image path not allowed" in refused(str(tree.join("imgs", "ok.png")))[0]


# --- ALLOWED_SOURCES: its forms ---------------------------------------------------

@pytest.mark.parametrize("value", [
    lambda root: "%s, https://images.example.com/" % root,
    lambda root: "https://images.example.com/\n%s" % root,
    lambda root: (root, u"https://images.example.com/"),
    lambda root: [root.decode("ascii")],
], ids=["commas", "whitespace", "tuple", "unicode-list"])
def test_accepted_forms(tree, monkeypatch, value):
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", value(str(tree.join("imgs"))))
    assert load_image(str(tree.join("imgs", "ok.png"))).size == (5, 3)
    assert "not allowed" in refused(str(tree.join("secret.png")))[0]


@pytest.mark.parametrize("value", [None, "", "  \n"], ids=["none", "empty", "blank"])
def test_unset_keeps_any_path_and_host(tree, monkeypatch, value):
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", value)
    assert load_image(str(tree.join("secret.png"))).size == (5, 3)


@pytest.mark.parametrize("value", [
    42, {"/srv/images": True}, ["images/"], ["~/images"], [None], ["/srv/a\0b"],
    ["ftp://images.example.com/"], ["https://"], ["https://user@images.example.com/"],
    ["https://images.example.com/?size=2"], ["https://images.example.com/#top"],
    ["https://images.example.com:0/"], ["https://images.example.com:http/"],
    ["https://images.example.com/a/../b/"],
])
def test_malformed_setting_refuses_with_its_name(tree, monkeypatch, value):
    monkeypatch.setattr(utils.image, "ALLOWED_SOURCES", value)
    for location in [str(tree.join("imgs", "ok.png")), "https://images.example.com/x.png"]:
        message, _ = refused(location)
        assert message.startswith("ALLOWED_SOURCES: "), message
