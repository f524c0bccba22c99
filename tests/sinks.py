"""Test-side access to the local SMTP and HTTP sinks (Python 2.7 and 3).

The sinks (stack/smtpsink.py, stack/httpsink.py) keep what they receive as
files under the run directory ($QZ_RUN, default <repo>/run); these helpers
read those files and write the sinks' control.json, which the sinks re-read
on every connection / command / request.

    import sinks
    sinks.clear_mail()
    sinks.smtp_control(refuse_rcpt=["nobody@example.com"])
    ... run the code under test ...
    sinks.wait_mails(1)
    m = sinks.mails()[0]        # m["raw"], m["rcpt_tos"], m["auth_user"], ...
    sinks.smtp_control()        # no faults again

SMTP fault settings: refuse_login, refuse_rcpt, drop_every, drop_next,
refuse_connections_until (see stack/README.md). HTTP: status, body, delay.
"""

import base64
import email
import errno
import json
import os
import time

from atomicfile import write_atomic

__all__ = [
    "run_dir", "mail_dir", "mails", "clear_mail", "smtp_control",
    "smtp_stats", "wait_mails", "http_dir", "http_requests", "clear_http",
    "http_control", "wait_http",
]


def run_dir():
    return os.environ.get("QZ_RUN") or os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "run")


def mail_dir():
    return os.path.join(run_dir(), "smtp", "mail")


def http_dir():
    return os.path.join(run_dir(), "http", "requests")


def _write_json_atomic(path, value):
    # The sink may read at any moment: it must see the old or the new file,
    # never a half-written one.
    write_atomic(path, json.dumps(value, sort_keys=True).encode("utf-8"))


def _records(directory):
    """Sidecar JSON files in arrival order, as (path-without-ext, dict)."""
    if not os.path.isdir(directory):
        return []
    out = []
    for name in sorted(os.listdir(directory)):
        if name.endswith(".json") and name[:-5].isdigit():
            with open(os.path.join(directory, name)) as f:
                out.append((os.path.join(directory, name[:-5]), json.load(f)))
    return out


def _clear(directory):
    if os.path.isdir(directory):
        for name in os.listdir(directory):
            try:
                os.unlink(os.path.join(directory, name))
            except OSError as e:  # a sink's temporary file, renamed meanwhile
                if e.errno != errno.ENOENT:
                    raise


def _wait(read, count, timeout):
    deadline = time.time() + timeout
    while True:
        items = read()
        if len(items) >= count or time.time() >= deadline:
            return items
        time.sleep(0.05)


# --- SMTP ---------------------------------------------------------------------

def mails():
    """Every stored mail, oldest first.

    Each is the sidecar dict (mail_from, rcpt_tos, auth_user -- None without
    AUTH --, connection, message_on_connection, seq, received_at, ...) plus
    "raw": the DATA bytes as received and "message": them parsed.
    """
    out = []
    for base, meta in _records(mail_dir()):
        with open(base + ".eml", "rb") as f:
            raw = f.read()
        meta["raw"] = raw
        parse = getattr(email, "message_from_bytes", email.message_from_string)
        meta["message"] = parse(raw)
        out.append(meta)
    return out


def wait_mails(count, timeout=10.0):
    """Polls until at least count mails are stored (or timeout); returns mails()."""
    return _wait(mails, count, timeout)


def clear_mail(smtp_dir=None):
    """Empties the mail folder of the stack's sink, or of the sink whose
    --dir is smtp_dir."""
    _clear(os.path.join(smtp_dir, "mail") if smtp_dir else mail_dir())


def smtp_control(**settings):
    """Replaces the SMTP sink's fault settings; no arguments clears them.

    The drop_every count restarts whenever the file's content changes.
    """
    _write_json_atomic(os.path.join(run_dir(), "smtp", "control.json"), settings)


def smtp_stats(smtp_dir=None):
    """Counters since the sink started: connections, refused_connections,
    messages, dropped. smtp_dir: as for clear_mail."""
    path = os.path.join(smtp_dir or os.path.join(run_dir(), "smtp"), "stats.json")
    # The sink rewrites the file in place; a read that met a write half-way
    # is simply read again.
    for attempt in range(20):
        with open(path) as f:
            raw = f.read()
        try:
            return json.loads(raw)
        except ValueError:
            if attempt == 19:
                raise
            time.sleep(0.005)


# --- HTTP ---------------------------------------------------------------------

def http_requests():
    """Every recorded request, oldest first: method, path, headers (list of
    [name, value]), body (bytes), body_text (None unless UTF-8), ..."""
    out = []
    for _, rec in _records(http_dir()):
        rec["body"] = base64.b64decode(rec["body_b64"])
        out.append(rec)
    return out


def wait_http(count, timeout=10.0):
    return _wait(http_requests, count, timeout)


def clear_http():
    _clear(http_dir())


def http_control(**settings):
    """Sets the HTTP sink's answer, e.g. http_control(status=500); no
    arguments restores 200 "ok"."""
    _write_json_atomic(os.path.join(run_dir(), "http", "control.json"), settings)
