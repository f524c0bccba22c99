"""Settings of the qz platform.

Every setting is a module attribute. Its value is, in order of precedence:
the environment variable of the same name, the settings file named by
QZ_SETTINGS_FILE (a JSON object), the default below (which points at the
local stack). A value from the environment is parsed to the kind of the
default: numbers, truth values ("1", "true", "yes", "on" / "0", "false",
"no", "off", ""), and JSON for lists and mappings. Text is never left where
a number is meant: the callers compare and multiply these values.

Callers read settings at the moment of use, so assigning an attribute at run
time takes effect at the next use.
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

_TRUE = ("1", "true", "yes", "on")
_FALSE = ("0", "false", "no", "off", "")


def _parse(raw, default):
    if default is None:  # a JSON value, null by default
        return _to_bytes(json.loads(raw))
    if isinstance(default, bool):
        word = raw.strip().lower()
        if word in _TRUE:
            return True
        if word in _FALSE:
            return False
        raise ValueError("not a truth value")
    if isinstance(default, (int, long)):
        return int(raw)
    if isinstance(default, float):
        return float(raw)
    if isinstance(default, (list, dict)):
        value = json.loads(raw, object_hook=_to_bytes)
        if not isinstance(value, type(default)):
            raise ValueError("expected a JSON %s" % type(default).__name__)
        return _to_bytes(value)
    return raw


def _to_bytes(value):
    """JSON gives unicode; the platform's texts are byte strings."""
    if isinstance(value, unicode):
        return value.encode("utf-8")
    if isinstance(value, list):
        return [_to_bytes(v) for v in value]
    if isinstance(value, dict):
        return dict((_to_bytes(k), _to_bytes(v)) for k, v in value.items())
    return value


def _load_file():
    path = os.environ.get("QZ_SETTINGS_FILE")
    if not path:
        return {}
    with open(path) as f:
        return _to_bytes(json.load(f))


def _settle():
    from_file = _load_file()
    for name, default, _ in DEFAULTS:
        value = from_file.get(name, default)
        raw = os.environ.get(name)
        if raw is not None:
            try:
                value = _parse(raw, default)
            except ValueError as e:
                # The program stops at its start, and says which setting.
                raise ValueError("setting %s=%r from the environment: %s" % (name, raw, e))
        globals()[name] = value


_settle()
