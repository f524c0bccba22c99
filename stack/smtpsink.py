#!/usr/bin/python3
"""SMTP sink for tests: accepts every mail and keeps it as a file.

Each accepted message becomes NNNNNN.eml (the DATA payload after
dot-unstuffing, CRLFs kept, without the final ".") plus NNNNNN.json
(envelope, authenticated user, connection number). The .json is written
last, so a reader that lists *.json never sees half a message.

Faults are read from control.json on every connection and command, so a
test changes the sink's behaviour while it runs (see stack/README.md).

Listeners, one store: the plain port (no STARTTLS offered, AUTH in the
clear), and with --cert/--key a STARTTLS port (AUTH offered and taken only
after STARTTLS) and an implicit-TLS port. Each mail's .json says which
("listener") and whether its session was encrypted ("tls").
"""

import argparse
import asyncio
import json
import logging
import os
import signal
import socket
import ssl
import time

from aiosmtpd.smtp import SMTP, AuthResult

from atomicfile import write_atomic

log = logging.getLogger("smtpsink")

USER = b"qzmail"
PASSWORD = b"qzmail"
STATS_WIDTH = 256  # bytes of stats.json: its JSON, padded with blanks


class State:
    """Counters and fault settings shared by all connections."""

    def __init__(self, root):
        self.mail_dir = os.path.join(root, "mail")
        self.control_path = os.path.join(root, "control.json")
        self.stats_path = os.path.join(root, "stats.json")
        os.makedirs(self.mail_dir, exist_ok=True)
        self.seq = self._last_seq()
        self.connections = 0
        self.refused = 0
        self.messages = 0
        self.dropped = 0
        # drop_every counts from the moment the control file last changed,
        # so a test that sets it knows exactly which message is cut.
        self._control_raw = None
        self.accepted_since_change = 0
        self._stats_fd = None

    def _last_seq(self):
        nums = [int(n[:-5]) for n in os.listdir(self.mail_dir)
                if n.endswith(".json") and n[:-5].isdigit()]
        return max(nums, default=0)

    def control(self):
        try:
            with open(self.control_path, "rb") as f:
                raw = f.read()
        except FileNotFoundError:
            raw = b""
        if raw != self._control_raw:
            self._control_raw = raw
            self.accepted_since_change = 0
        if not raw.strip():
            return {}
        try:
            value = json.loads(raw.decode("utf-8"))
        except ValueError:
            log.warning("ignoring unreadable control.json: %r", raw[:200])
            return {}
        return value if isinstance(value, dict) else {}

    def clear_drop_next(self):
        ctl = self.control()
        ctl["drop_next"] = False
        raw = json.dumps(ctl, sort_keys=True).encode()
        write_atomic(self.control_path, raw)
        # Our own rewrite is not a change made by a test.
        self._control_raw = raw

    def write_stats(self):
        # Rewritten in place at a fixed width, not replaced by a rename: ext4
        # flushes a file renamed over another, which on every mail made the
        # sink wait on the disk and its speed drift with the disk's.
        data = json.dumps({
            "connections": self.connections,
            "refused_connections": self.refused,
            "messages": self.messages,
            "dropped": self.dropped,
        }, sort_keys=True).encode()
        if self._stats_fd is None:
            self._stats_fd = os.open(self.stats_path, os.O_RDWR | os.O_CREAT, 0o644)
            os.ftruncate(self._stats_fd, STATS_WIDTH)
        os.pwrite(self._stats_fd, data.ljust(STATS_WIDTH), 0)

    def store(self, raw, meta):
        self.seq += 1
        base = os.path.join(self.mail_dir, "%06d" % self.seq)
        meta["seq"] = self.seq
        meta["file"] = os.path.basename(base) + ".eml"
        write_atomic(base + ".eml", raw)
        write_atomic(base + ".json",
                     json.dumps(meta, sort_keys=True, indent=1).encode())
        self.messages += 1
        self.write_stats()
        return self.seq


def _text(value):
    if isinstance(value, bytes):
        return value.decode("utf-8", "surrogateescape")
    return value


class Handler:
    def __init__(self, state):
        self.state = state

    async def handle_RCPT(self, server, session, envelope, address, options):
        refused = self.state.control().get("refuse_rcpt") or []
        if isinstance(refused, str):
            refused = [refused]
        if address.lower() in {a.lower() for a in refused}:
            log.info("conn %d: refusing recipient %s", server.conn_no, address)
            return "550 5.1.1 <%s>: recipient refused by test control" % address
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        ctl = self.state.control()
        if ctl.get("drop_next"):
            self.state.clear_drop_next()
            self.state.dropped += 1
            self.state.write_stats()
            log.info("conn %d: drop_next, closing without an answer",
                     server.conn_no)
            server.drop_now()
            return "421 not sent"  # the transport is gone; never reaches the client
        user = session.auth_data
        meta = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": list(envelope.rcpt_tos),
            "mail_options": list(envelope.mail_options),
            "auth_user": _text(getattr(user, "login", user)) if session.authenticated else None,
            "connection": server.conn_no,
            "listener": server.listener,
            "tls": server.listener == "ssl" or server._tls_protocol is not None,
            "message_on_connection": server.messages_here + 1,
            "helo": session.host_name,
            "peer": list(session.peer) if session.peer else None,
            "received_at": time.time(),
            "size": len(envelope.original_content),
        }
        seq = self.state.store(envelope.original_content, meta)
        server.messages_here += 1
        self.state.accepted_since_change += 1
        log.info("conn %d: stored %06d from %s to %s (%d bytes, auth=%s)",
                 server.conn_no, seq, envelope.mail_from, envelope.rcpt_tos,
                 meta["size"], meta["auth_user"])
        every = ctl.get("drop_every")
        if isinstance(every, int) and every > 0 \
                and self.state.accepted_since_change % every == 0:
            server.close_after_reply = True
        return "250 OK queued as %06d" % seq


def authenticate(server, session, envelope, mechanism, auth_data):
    if server.state.control().get("refuse_login"):
        log.info("conn %d: refuse_login, rejecting AUTH %s",
                 server.conn_no, mechanism)
        return AuthResult(success=False, handled=False)
    ok = (auth_data.login == USER and auth_data.password == PASSWORD)
    log.info("conn %d: AUTH %s as %r: %s", server.conn_no, mechanism,
             auth_data.login, "ok" if ok else "bad credentials")
    if ok:
        return AuthResult(success=True, auth_data=auth_data)
    return AuthResult(success=False, handled=False)


class SinkSMTP(SMTP):
    def __init__(self, state, conn_no, listener, *args, **kwargs):
        self.state = state
        self.conn_no = conn_no
        self.listener = listener
        self.messages_here = 0
        self.close_after_reply = False
        super().__init__(*args, **kwargs)

    def drop_now(self):
        if self.transport is not None:
            self.transport.abort()

    async def smtp_DATA(self, arg):
        await super().smtp_DATA(arg)
        if self.close_after_reply and self.transport is not None:
            self.close_after_reply = False
            self.state.dropped += 1
            self.state.write_stats()
            log.info("conn %d: drop_every, closing after the reply",
                     self.conn_no)
            # close() flushes the 250 first, then FIN: the client learns the
            # message was taken but finds the connection gone afterwards.
            self.transport.close()

    def connection_lost(self, error):
        log.info("conn %d: closed (%s)", self.conn_no,
                 "%s" % error if error else "clean")
        super().connection_lost(error)


class Refuser(asyncio.Protocol):
    """Stands in for SinkSMTP while refuse_connections_until is ahead."""

    def connection_made(self, transport):
        sock = transport.get_extra_info("socket")
        if sock is not None:
            # Linger 0 turns the close into a RST: the client sees a
            # refused/reset connection instead of a silent greeting-less EOF.
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                            b"\x01\x00\x00\x00\x00\x00\x00\x00")
        transport.abort()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8025)
    ap.add_argument("--dir", required=True, help="run/smtp directory")
    ap.add_argument("--starttls-port", type=int, help="STARTTLS listener (needs --cert, --key)")
    ap.add_argument("--ssl-port", type=int, help="implicit-TLS listener (needs --cert, --key)")
    ap.add_argument("--cert", help="server certificate (PEM)")
    ap.add_argument("--key", help="its key (PEM)")
    args = ap.parse_args()
    if (args.starttls_port or args.ssl_port) and not (args.cert and args.key):
        ap.error("--starttls-port and --ssl-port need --cert and --key")

    logging.basicConfig(
        level=logging.INFO,
        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    # aiosmtpd logs every command at INFO; ours are enough.
    logging.getLogger("mail.log").setLevel(logging.WARNING)

    state = State(args.dir)
    handler = Handler(state)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)

    tls = None
    if args.cert:
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(args.cert, args.key)

    def factory(listener="plain"):
        state.connections += 1
        until = state.control().get("refuse_connections_until")
        if isinstance(until, (int, float)) and time.time() < until:
            state.refused += 1
            state.write_stats()
            log.info("conn %d: refused (refuse_connections_until)",
                     state.connections)
            return Refuser()
        state.write_stats()
        log.info("conn %d: accepted", state.connections)
        # The plain listener never offers STARTTLS: clients that require
        # it must be seen failing here. The STARTTLS one offers AUTH only
        # once the session is encrypted, as relays on 587 do.
        starttls = listener == "starttls"
        smtp = SinkSMTP(
            state, state.connections, listener, handler,
            hostname="qz-smtpsink", ident="qz smtp sink",
            tls_context=tls if starttls else None,
            require_starttls=starttls, auth_require_tls=starttls,
            auth_required=False,
            enable_SMTPUTF8=True, decode_data=False,
            data_size_limit=64 * 1024 * 1024, timeout=120,
            authenticator=authenticate, loop=loop)
        return smtp

    def listen(port, listener, context=None):
        return loop.run_until_complete(
            loop.create_server(lambda: factory(listener), host=args.host, port=port,
                               reuse_address=True, ssl=context))

    servers = [listen(args.port, "plain")]
    if args.starttls_port:
        servers.append(listen(args.starttls_port, "starttls"))
    if args.ssl_port:
        servers.append(listen(args.ssl_port, "ssl", tls))
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.add_signal_handler(signal.SIGINT, loop.stop)
    state.write_stats()
    log.info("listening on %s:%d (plain), %s (STARTTLS), %s (TLS), mail in %s"
             " (starting after %06d)", args.host, args.port, args.starttls_port,
             args.ssl_port, state.mail_dir, state.seq)
    loop.run_forever()
    for server in servers:
        server.close()
    log.info("stopped")


if __name__ == "__main__":
    main()
