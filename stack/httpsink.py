#!/usr/bin/python3
"""HTTP sink for tests: records every request as a JSON file.

requests/NNNNNN.json holds method, path, headers (in order, repeats kept),
the body as base64 and, when it is UTF-8, as text. The answer is 200 "ok"
unless control.json (read on every request) says otherwise:
  {"status": 500}            answer with that status
  {"body": "..."}            answer with that body instead of "ok"
  {"delay": 1.5}             wait that many seconds (capped at 30) first
"""

import argparse
import base64
import json
import logging
import os
import signal
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from atomicfile import write_atomic

log = logging.getLogger("httpsink")


class Store:
    def __init__(self, root):
        self.req_dir = os.path.join(root, "requests")
        self.control_path = os.path.join(root, "control.json")
        os.makedirs(self.req_dir, exist_ok=True)
        nums = [int(n[:-5]) for n in os.listdir(self.req_dir)
                if n.endswith(".json") and n[:-5].isdigit()]
        self.seq = max(nums, default=0)
        self.lock = threading.Lock()

    def control(self):
        try:
            with open(self.control_path, "rb") as f:
                value = json.loads(f.read().decode("utf-8") or "{}")
        except FileNotFoundError:
            return {}
        except ValueError:
            log.warning("ignoring unreadable control.json")
            return {}
        return value if isinstance(value, dict) else {}

    def save(self, record):
        with self.lock:
            self.seq += 1
            seq = self.seq
        record["seq"] = seq
        write_atomic(os.path.join(self.req_dir, "%06d.json" % seq),
                     json.dumps(record, indent=1, sort_keys=True).encode())
        return seq


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "qz-httpsink/1"
    store = None  # set in main()

    def _read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            chunks = []
            while True:
                size_line = self.rfile.readline()
                size = int(size_line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    # trailers end with an empty line
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    break
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
            return b"".join(chunks)
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def _handle(self):
        body = self._read_body()
        try:
            text = body.decode("utf-8")
        except UnicodeDecodeError:
            text = None
        record = {
            "method": self.command,
            "path": self.path,
            "version": self.request_version,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body_b64": base64.b64encode(body).decode("ascii"),
            "body_text": text,
            "client": list(self.client_address),
            "received_at": time.time(),
        }
        seq = self.store.save(record)
        ctl = self.store.control()
        delay = ctl.get("delay")
        if isinstance(delay, (int, float)) and delay > 0:
            time.sleep(min(delay, 30))
        status = ctl.get("status", 200)
        status = status if isinstance(status, int) and 100 <= status <= 599 else 200
        answer = ctl.get("body", "ok")
        answer = (answer if isinstance(answer, str) else json.dumps(answer)).encode()
        log.info("%06d %s %s %d bytes -> %d", seq, self.command, self.path,
                 len(body), status)
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(answer)

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = _handle

    def log_message(self, fmt, *args):
        pass  # _handle logs one line per request


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=8088)
    ap.add_argument("--dir", required=True, help="run/http directory")
    args = ap.parse_args()
    logging.basicConfig(
        level=logging.INFO,
        format="%(asctime)s %(name)s %(levelname)s %(message)s")

    Handler.store = Store(args.dir)
    ThreadingHTTPServer.allow_reuse_address = True
    ThreadingHTTPServer.daemon_threads = True
    server = ThreadingHTTPServer((args.host, args.port), Handler)

    def stop(*_):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    log.info("listening on %s:%d, requests in %s (starting after %06d)",
             args.host, args.port, Handler.store.req_dir, Handler.store.seq)
    server.serve_forever()
    log.info("stopped")


if __name__ == "__main__":
    main()
