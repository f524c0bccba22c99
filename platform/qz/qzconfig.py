"""Settings of the qz platform.

Every setting is a module attribute. Its value is, in order of precedence:
the environment variable of the same name, the settings file named by
QZ_SETTINGS_FILE (a JSON object), the default below (which points at the
local stack). A value from the environment is parsed to the setting's kind:
numbers, truth values ("1", "true", "yes", "on" / "0", "false", "no", "off",
""), and JSON for lists and mappings. Text is never left where a number is
meant: the callers compare and multiply these values.

What each setting accepts (its kind and range, or its choices) is said once,
in ACCEPTS. A value from the environment or the file that it does not
accept never fails the load: it is kept in PROBLEMS, and the attribute is
an Unusable that raises the SettingError naming the setting at any use. The
programs call check() with the settings they read, once, at their start,
and end there on the first problem (never a secret's value in it). A
library that loads this module fails at its first use of such a setting.

Callers read settings at the moment of use, so assigning an attribute at run
time takes effect at the next use; check() judges the attributes as they are
when it is called.
"""
import json
import os

DEFAULTS = [
    # name, default, meaning
    ("MYSQLHOST", "127.0.0.1:3306", "database server host[:port] that rowfeed follows"),
    ("MYSQL_REPLUSER", "qzrepl", "replication user"),
    ("MYSQL_REPLPASSWD", "qzrepl", "replication user's password"),
    ("MYSQL_REPL_SERVER_ID", 1001, "server id under which rowfeed registers as a replica"),
    ("MYSQLDB", "qz", "the one schema whose row changes are followed"),
    ("QZ_MQ_QUEUE_INTERVAL", 0.5, "rowfeed: an --interval above this is replaced"),
    ("QZ_MQ_QSET_INTERVAL", 1.0, "rowfeed: the pause (seconds) used when it is"),
    ("QZ_KF_HOST", "127.0.0.1:9092", "Kafka broker, used when --host is empty"),
    ("QZ_KF_TOPIC", "hbase", "Kafka topic, used when --topic is empty"),
    # rowfeed's TLS and authentication; with TLS on, chain and host name are always checked.
    ("QZ_KF_SECURITY_PROTOCOL", "PLAINTEXT",
     "Kafka connection: PLAINTEXT, SSL, SASL_PLAINTEXT or SASL_SSL (--ssl adds TLS to the first"
     " and the third)"),
    ("QZ_KF_SASL_MECHANISM", "SCRAM-SHA-512", "SASL mechanism: PLAIN, SCRAM-SHA-256 or SCRAM-SHA-512"),
    ("QZ_KF_SASL_USERNAME", "", "SASL user"),
    ("QZ_KF_SASL_PASSWORD", "", "SASL password"),
    ("QZ_KF_SSL_CAFILE", "", "CA file (PEM) Kafka's certificates are checked against; empty: the system's"),
    ("QZ_KF_SSL_CERTFILE", "", "client certificate (PEM) for mutual TLS; empty: none"),
    ("QZ_KF_SSL_KEYFILE", "", "the client certificate's key (PEM, not encrypted); empty: in the certificate file"),
    ("QZ_MYSQL_SSL_CA", "",
     "CA file (PEM) the database's certificate is checked against; any QZ_MYSQL_SSL_* set turns TLS on"),
    ("QZ_MYSQL_SSL_CERT", "", "client certificate (PEM) for the database; empty: none"),
    ("QZ_MYSQL_SSL_KEY", "", "its key (PEM, not encrypted); empty: in the certificate file"),
    ("QZ_HBASE_IGNORE", [], "[table, event] pairs not fed (event: write, update, delete)"),
    ("QZ_HBASE_TABLES_MAP", {}, "table -> [_, row-id column]; a table without an entry has row id 0"),
    ("KAFKA_BATCH", 100, "a batch is sent when it holds more messages than this"),
    ("KAFKA_MAX_MESSAGE_SIZE", 900000, "a batch is sent when its text reaches this size"),
    ("KAFKA_SEND_INTERVAL", 1.0, "a batch is sent when it is this old (seconds)"),
    ("KAFKA_STAT_INTERVAL", 60, "statistics period (seconds); pauses between read cycles"),
    ("MAX_QMSG_COUNT", 1000000000, "rowfeed ends after this many read cycles"),
    ("MYSQL_READ_TIMEOUT", 30.0,
     "rowfeed: seconds without a byte from the database after which its connection counts as lost"),
    ("QZ_MQ_PROTOCOL", True, "true: consumers take (channel, method, properties, body)"),
    ("QZ_SMTP_HOST", "127.0.0.1", "SMTP server"),
    ("QZ_SMTP_PORT", 8025, "SMTP port"),
    ("QZ_SMTP_TIMEOUT", 30, "SMTP socket time-out (seconds)"),
    ("QZ_SMTP_MAIL_TIMEOUT", 120.0,
     "seconds for the whole SMTP exchange of one mail: connect, greeting, login, sendmail"),
    ("QZ_SMTP_UID", "qzmail", "SMTP login user; empty means no login"),
    ("QZ_SMTP_PWD", "qzmail", "SMTP login password"),
    ("QZ_SMTP_SENDER", "qz@localhost", "sender address of every mail"),
    ("QZ_SMTP_REPLYTO", "noreply@localhost", "Reply-To address of every mail"),
    ("SEND_MAIL_MODE", "native", "native: send by SMTP; anything else: forward"),
    ("QZ_MQ_EXCHANGE_TAG", "_reply", "appended to a queue's name to name its reply exchange"),
    ("QZ_RPC_TIMEOUT", 30, "remote-call time-out (seconds)"),
    ("QZ_MQ_QUEUE_TYPE", "classic",
     "durable queues a consumer declares: classic, or quorum (replicated on a cluster)"),
    # The window of a consumer and what becomes of a request that failed.
    ("QZ_MQ_PREFETCH", 50, "unacknowledged deliveries a consumer holds at most (1 to 65535)"),
    ("QZ_MQ_RETRY_DELAY", 5.0,
     "seconds a failed request is held before it goes back to the queue, after its first failure"),
    ("QZ_MQ_RETRY_MAX_DELAY", 300.0, "the hold doubles with each failure up to this (seconds)"),
    ("QZ_MQ_MAX_FAILURES", 10, "failures after which a request is parked in <key>.failed"),
    # What one request may cost. Requests come from anyone who can publish.
    ("QZ_MQ_MAX_BODY", 1 << 20, "largest compressed request or reply accepted (bytes)"),
    ("QZ_MQ_MAX_TEXT", 1 << 20, "largest text a compressed body may expand to (bytes)"),
    ("QZ_JSON_MAX_NUMBER", 400, "longest number (characters) accepted in a request's JSON"),
    ("QZ_JSON_MAX_DEPTH", 64, "deepest nesting of arrays and objects in a request's JSON"),
    ("QZ_DNN_FETCH_TIMEOUT", 10.0,
     "seconds for a whole image fetch: lookup, connect, TLS, every redirect, the body"),
    ("QZ_DNN_IMAGE_SOURCES", None,
     "local roots and URL prefixes image locations may use; null: any path, any http(s) host"
     " but link-local ones"),
    # The decoding budget of one image; see digits/README.md.
    ("QZ_DNN_MAX_IMAGE_CHUNKS", 10000,
     "most PNG chunks, JPEG segments or GIF blocks the image parsers step through"),
    ("QZ_DNN_MAX_IMAGE_METADATA", 4 * 1024 * 1024,
     "most bytes of an image's metadata (text, ICC profile, EXIF, comments), as it inflates"),
    ("QZ_DNN_MAX_JPEG_SCANS", 64, "most scans of a JPEG image"),
    ("QZ_DNN_MAX_DECODE_MEMORY", 160 * 1000 * 1000,
     "most image memory (bytes) one image's decoding and conversion may hold"),
    # TLS and the virtual host of every queue connection (the programs'
    # --ssl, every caller's open). With TLS on, the broker's chain and host
    # name are always checked: against the CA file when one is named, else
    # against the system's store.
    ("QZ_MQ_VHOST", "/", "virtual host of every queue connection"),
    ("QZ_MQ_SSL_CAFILE", "",
     "with --ssl: PEM file of the CA(s) that signed the broker; empty: the system's store"),
    ("QZ_MQ_SSL_CERTFILE", "",
     "with --ssl: PEM client certificate for brokers that ask for one; empty: none"),
    ("QZ_MQ_SSL_KEYFILE", "",
     "with --ssl: the client certificate's unencrypted PEM key; empty: in QZ_MQ_SSL_CERTFILE"),
    # TLS of postrunner's SMTP connection; the login is never sent before it.
    ("QZ_SMTP_TLS", "",
     "empty: plain SMTP; starttls: STARTTLS before anything else (587); ssl: implicit TLS (465)"),
    ("QZ_SMTP_SSL_CAFILE", "",
     "with QZ_SMTP_TLS: PEM file of the CA(s) that signed the server; empty: the system's store"),
]



class SettingError(ValueError):
    """A setting that cannot work, named with its value (never a secret's)
    and what it accepts. Raised before any connection is tried, so that a
    program names it at its start and ends, instead of failing at every
    connection."""

    def __init__(self, name, shown=None, why=None):
        if why is None:  # a message of its own, naming what it is about
            ValueError.__init__(self, name)
        else:
            ValueError.__init__(self, "setting %s=%s is not usable: %s" % (name, shown, why))
        self.name = name
        self.shown = shown  # the value as a log line may show it
        self.why = why


# Settings whose value a log line never shows.
SECRETS = frozenset(["MYSQL_REPLPASSWD", "QZ_KF_SASL_PASSWORD", "QZ_SMTP_PWD"])
HIDDEN = "<hidden>"

_TRUE = ("1", "true", "yes", "on")
_FALSE = ("0", "false", "no", "off", "")
_INF = float("inf")
# The longest wait any setting may ask for: a year. Beyond it a number of
# seconds is a mistake, and some waits of the host overflow on it.
_MOST_SECONDS = 365 * 24 * 3600.0


class _Refused(Exception):
    """A value outside what its setting accepts (internal to the rules)."""


# What each setting accepts. A rule turns a value (of the file's JSON, or an
# attribute assigned at run time) into the setting's value, or raises
# _Refused; `parse` turns an environment text into such a value first.
class _Text(object):
    def __init__(self, empty_means_none=False):
        self.accepts = "a text"
        self.none_ok = empty_means_none

    def parse(self, raw):
        return raw

    def check(self, value):
        if value is None and self.none_ok:
            return ""
        if isinstance(value, unicode):
            return value.encode("utf-8")
        if not isinstance(value, str):
            raise _Refused()
        return value


class _Choice(_Text):
    def __init__(self, *words):
        _Text.__init__(self, "" in words)
        self.words = words
        self.accepts = "one of " + ", ".join(repr(w) for w in words)

    def check(self, value):
        value = _Text.check(self, value)
        if value not in self.words:
            raise _Refused()
        return value


class _Truth(object):
    accepts = "a truth value (1, true, yes, on / 0, false, no, off, empty)"

    def parse(self, raw):
        word = raw.strip().lower()
        if word in _TRUE:
            return True
        if word in _FALSE:
            return False
        raise _Refused()

    def check(self, value):
        if isinstance(value, bool):
            return value
        if isinstance(value, (int, long)) and value in (0, 1):
            return bool(value)
        raise _Refused()


def _number(raw):
    try:
        return int(raw)
    except ValueError:
        pass
    try:
        return float(raw)
    except ValueError:
        raise _Refused()


class _Whole(object):
    def __init__(self, low, high):
        self.low, self.high = low, high
        self.accepts = "a whole number from %d to %d" % (low, high)

    def parse(self, raw):
        return _number(raw)

    def check(self, value):
        if isinstance(value, float) and value.is_integer():
            value = int(value)
        if isinstance(value, bool) or not isinstance(value, (int, long)) \
                or not self.low <= value <= self.high:
            raise _Refused()
        return value


class _Seconds(object):
    def __init__(self, zero_ok=False):
        self.zero_ok = zero_ok
        self.accepts = "a number of seconds %s, at most %d" % (
            "from 0" if zero_ok else "above 0", _MOST_SECONDS)

    def parse(self, raw):
        return _number(raw)

    def check(self, value):
        if isinstance(value, bool) or not isinstance(value, (int, long, float)):
            raise _Refused()
        if not (0 <= value if self.zero_ok else 0 < value) or not value <= _MOST_SECONDS:
            raise _Refused()  # nan and inf fail here too
        return value


class _Json(object):
    """A JSON value that `shape` accepts (a function answering True)."""

    def __init__(self, accepts, shape):
        self.accepts = accepts
        self.shape = shape

    def parse(self, raw):
        try:
            return json.loads(raw)
        except ValueError:
            raise _Refused()

    def check(self, value):
        if not self.shape(value):
            raise _Refused()
        return _to_bytes(value)


def _is_text(value):
    return isinstance(value, basestring)


def _ignore_pairs(value):
    return isinstance(value, list) and all(
        isinstance(p, list) and len(p) == 2 and _is_text(p[0])
        and p[1] in ("write", "update", "delete") for p in value)


def _tables_map(value):
    return isinstance(value, dict) and all(
        isinstance(v, list) and len(v) >= 2 and _is_text(v[1]) for v in value.values())


def _image_sources(value):
    return value is None or isinstance(value, list) and all(
        _is_text(e) and (e.startswith("/") or e.lower().startswith(("http://", "https://")))
        for e in value)


_BYTES = _Whole(1, 1 << 30)

ACCEPTS = {
    "MYSQLHOST": _Text(),
    "MYSQL_REPLUSER": _Text(),
    "MYSQL_REPLPASSWD": _Text(),
    # MySQL's server ids are 32 bits; 0 is refused as a replica's.
    "MYSQL_REPL_SERVER_ID": _Whole(1, (1 << 32) - 1),
    "MYSQLDB": _Text(),
    "QZ_MQ_QUEUE_INTERVAL": _Seconds(zero_ok=True),
    "QZ_MQ_QSET_INTERVAL": _Seconds(zero_ok=True),
    "QZ_KF_HOST": _Text(),
    "QZ_KF_TOPIC": _Text(),
    # The protocol and mechanism words are rowfeed's to check, with the files.
    "QZ_KF_SECURITY_PROTOCOL": _Text(),
    "QZ_KF_SASL_MECHANISM": _Text(),
    "QZ_KF_SASL_USERNAME": _Text(True),
    "QZ_KF_SASL_PASSWORD": _Text(True),
    "QZ_KF_SSL_CAFILE": _Text(True),
    "QZ_KF_SSL_CERTFILE": _Text(True),
    "QZ_KF_SSL_KEYFILE": _Text(True),
    "QZ_MYSQL_SSL_CA": _Text(True),
    "QZ_MYSQL_SSL_CERT": _Text(True),
    "QZ_MYSQL_SSL_KEY": _Text(True),
    "QZ_HBASE_IGNORE": _Json("a JSON list of [table, event] pairs, event write, update or delete",
                             _ignore_pairs),
    "QZ_HBASE_TABLES_MAP": _Json("a JSON object of table: [_, row-id column]", _tables_map),
    "KAFKA_BATCH": _Whole(0, (1 << 31) - 1),
    "KAFKA_MAX_MESSAGE_SIZE": _BYTES,
    "KAFKA_SEND_INTERVAL": _Seconds(zero_ok=True),
    "KAFKA_STAT_INTERVAL": _Whole(0, 86400),
    "MAX_QMSG_COUNT": _Whole(0, (1 << 63) - 1),
    "MYSQL_READ_TIMEOUT": _Seconds(),
    "QZ_MQ_PROTOCOL": _Truth(),
    "QZ_SMTP_HOST": _Text(),
    "QZ_SMTP_PORT": _Whole(1, 65535),
    "QZ_SMTP_TIMEOUT": _Seconds(),
    "QZ_SMTP_MAIL_TIMEOUT": _Seconds(),
    "QZ_SMTP_UID": _Text(True),
    "QZ_SMTP_PWD": _Text(True),
    "QZ_SMTP_SENDER": _Text(),
    "QZ_SMTP_REPLYTO": _Text(),
    "SEND_MAIL_MODE": _Text(),
    "QZ_MQ_EXCHANGE_TAG": _Text(True),
    "QZ_RPC_TIMEOUT": _Seconds(),
    "QZ_MQ_QUEUE_TYPE": _Choice("", "classic", "quorum"),
    # AMQP carries the prefetch count in 16 bits; 0 would mean no limit.
    "QZ_MQ_PREFETCH": _Whole(1, 65535),
    "QZ_MQ_RETRY_DELAY": _Seconds(),
    "QZ_MQ_RETRY_MAX_DELAY": _Seconds(),
    "QZ_MQ_MAX_FAILURES": _Whole(1, 1 << 30),
    "QZ_MQ_MAX_BODY": _BYTES,
    "QZ_MQ_MAX_TEXT": _BYTES,
    "QZ_JSON_MAX_NUMBER": _Whole(1, 1 << 20),
    "QZ_JSON_MAX_DEPTH": _Whole(1, 10000),
    "QZ_DNN_FETCH_TIMEOUT": _Seconds(),
    "QZ_DNN_IMAGE_SOURCES": _Json(
        "null or a JSON list of absolute directories and http(s) URL prefixes", _image_sources),
    "QZ_DNN_MAX_IMAGE_CHUNKS": _Whole(1, 1 << 30),
    "QZ_DNN_MAX_IMAGE_METADATA": _BYTES,
    "QZ_DNN_MAX_JPEG_SCANS": _Whole(1, 1 << 16),
    "QZ_DNN_MAX_DECODE_MEMORY": _Whole(1, 1 << 40),
    # The virtual host's length is the queue client's to check.
    "QZ_MQ_VHOST": _Text(),
    "QZ_MQ_SSL_CAFILE": _Text(True),
    "QZ_MQ_SSL_CERTFILE": _Text(True),
    "QZ_MQ_SSL_KEYFILE": _Text(True),
    "QZ_SMTP_TLS": _Text(True),
    "QZ_SMTP_SSL_CAFILE": _Text(True),
}


def shown(name, value):
    """`value` of setting `name` as a log line may show it."""
    return HIDDEN if name in SECRETS else repr(value)


class Unusable(object):
    """The value of a setting that loaded unusable. Any use of it but its
    repr raises the SettingError that names it, so that a library that
    reads the setting at its use fails there, visibly, instead of going on
    with a default nobody asked for."""

    def __init__(self, error):
        object.__setattr__(self, "_error", error)

    def __repr__(self):
        return "<unusable: %s>" % self._error

    def _refuse(self, *_):
        raise self._error

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        raise self._error

    __str__ = __unicode__ = __nonzero__ = __len__ = __iter__ = __contains__ = _refuse
    __getitem__ = __setattr__ = __call__ = __hash__ = _refuse
    __int__ = __long__ = __float__ = __index__ = __neg__ = __abs__ = _refuse
    __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = __cmp__ = _refuse
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _refuse
    __div__ = __rdiv__ = __truediv__ = __rtruediv__ = __floordiv__ = __rfloordiv__ = _refuse
    __mod__ = __rmod__ = __pow__ = __rpow__ = _refuse


def _to_bytes(value):
    """JSON gives unicode; the platform's texts are byte strings."""
    if isinstance(value, unicode):
        return value.encode("utf-8")
    if isinstance(value, list):
        return [_to_bytes(v) for v in value]
    if isinstance(value, dict):
        return dict((_to_bytes(k), _to_bytes(v)) for k, v in value.items())
    return value


def _judge(name, value, raw=None):
    """The setting's value, or SettingError naming it."""
    rule = ACCEPTS[name]
    try:
        if raw is not None:
            value = rule.parse(raw)
        return rule.check(value)
    except _Refused:
        given = raw if raw is not None else value
        if isinstance(given, Unusable):
            raise given._error
        where = " (its value in the environment)" if raw is not None else ""
        raise SettingError(name, shown(name, given), "it accepts " + rule.accepts + where)


# What went wrong while the settings loaded, in the order of DEFAULTS; the
# settings file itself, when it cannot be read, comes first.
PROBLEMS = []


def _load_file():
    path = os.environ.get("QZ_SETTINGS_FILE")
    if not path:
        return {}
    try:
        with open(path) as f:
            found = json.load(f)
    except (IOError, OSError, ValueError) as e:
        PROBLEMS.append(SettingError("QZ_SETTINGS_FILE", repr(path),
                                     "no JSON object could be read from it: %s" % e))
        return {}
    if not isinstance(found, dict):
        PROBLEMS.append(SettingError("QZ_SETTINGS_FILE", repr(path),
                                     "it holds no JSON object"))
        return {}
    return _to_bytes(found)


def _settle():
    from_file = _load_file()
    for name, default, _ in DEFAULTS:
        raw = os.environ.get(name)
        try:
            if raw is not None:
                value = _judge(name, None, raw)
            elif name in from_file:
                value = _judge(name, from_file[name])
            else:
                value = default
        except SettingError as e:
            PROBLEMS.append(e)
            value = Unusable(e)
        globals()[name] = value


def check(names=None):
    """Raises the first problem of the named settings (all by default) as
    SettingError: a settings file that could not be read, a value of the
    wrong kind or out of range, whether it came from the environment or
    the file or was assigned since. Returns None when all are usable."""
    wanted = None if names is None else set(names)
    for problem in PROBLEMS:
        if problem.name == "QZ_SETTINGS_FILE":
            raise problem
    for name, _, _ in DEFAULTS:
        if wanted is None or name in wanted:
            _judge(name, globals()[name])


_settle()
