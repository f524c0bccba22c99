"""The broker connection the queue client opens: the virtual host, TLS and
the connection parameters, each setting checked and named before any
connection is made."""
import pika

from qz import qzconfig


# A setting that cannot work, named with its value (never a secret's); the
# settings module's own kind, so that one catch serves both.
SettingError = qzconfig.SettingError


# The longest virtual host name AMQP carries (a short string).
_VHOST_BYTES = 255


def _text_setting(name):
    value = getattr(qzconfig, name, "")
    if value is None:
        return ""
    if isinstance(value, unicode):
        value = value.encode("utf-8")
    if not isinstance(value, str):
        raise SettingError("setting %s=%r is not a text" % (name, value))
    return value


def virtual_host_setting():
    """QZ_MQ_VHOST, checked: a virtual host the broker can be asked for."""
    vhost = getattr(qzconfig, "QZ_MQ_VHOST", "/")
    if isinstance(vhost, unicode):
        vhost = vhost.encode("utf-8")
    if not isinstance(vhost, str) or not vhost or len(vhost) > _VHOST_BYTES:
        raise SettingError("setting QZ_MQ_VHOST=%r is not a virtual host name (1 to %d bytes)"
                           % (vhost, _VHOST_BYTES))
    return vhost


def _no_key_password():
    # OpenSSL would otherwise ask for an encrypted key's pass phrase on the
    # terminal, and a supervised worker would wait there for ever.
    return ""


def tls_context(ssl):
    """The TLS context of a broker connection, or None without TLS. The
    chain and the host name are always checked; QZ_MQ_SSL_CAFILE, when
    set, is the only trust (a private CA), else the system's store is.
    The files are read here, so that a bad one is named before any
    connection; the message names the setting and its path, never what
    the file holds."""
    files = [(name, _text_setting(name))
             for name in ("QZ_MQ_SSL_CAFILE", "QZ_MQ_SSL_CERTFILE", "QZ_MQ_SSL_KEYFILE")]
    if not ssl:
        # Named without TLS, they say that TLS was meant: the connection
        # would go, password and all, in the clear.
        for name, path in files:
            if path:
                raise SettingError("setting %s=%r is set but the connection has no TLS (--ssl)"
                                   % (name, path))
        return None
    import ssl as tls
    (_, cafile), (_, certfile), (_, keyfile) = files
    if keyfile and not certfile:
        raise SettingError("setting QZ_MQ_SSL_KEYFILE=%r is set without QZ_MQ_SSL_CERTFILE"
                           % keyfile)
    try:
        context = tls.create_default_context(cafile=cafile or None)
    except (IOError, tls.SSLError) as e:
        raise SettingError("setting QZ_MQ_SSL_CAFILE=%r: no CA could be read from it: %s"
                           % (cafile, _reason(e)))
    if certfile:
        try:
            context.load_cert_chain(certfile, keyfile or None, password=_no_key_password)
        except (IOError, tls.SSLError) as e:
            raise SettingError("setting QZ_MQ_SSL_CERTFILE=%r, QZ_MQ_SSL_KEYFILE=%r: no"
                               " certificate and unencrypted key could be read from them: %s"
                               % (certfile, keyfile, _reason(e)))
    return context


def _reason(error):
    """An error's kind and message on one line, as the log shows them."""
    return "%s: %s" % (type(error).__name__, error)


def connection_parameters(userid="guest", password="guest", host="localhost", ssl=False,
                          port=None, virtual_host=None):
    """The broker connection that open() makes. host may be "name" or
    "name:port"; virtual_host None is QZ_MQ_VHOST. With TLS, host is the
    name the broker's certificate must carry (a DNS name: Python 2.7 never
    matches a certificate's IP address entries)."""
    if virtual_host is None:
        virtual_host = virtual_host_setting()
    context = tls_context(ssl)
    if port is None and ":" in host:
        host, port = host.rsplit(":", 1)
    port = int(port) if port else (5671 if ssl else 5672)
    return pika.ConnectionParameters(
        host=host, port=port, virtual_host=virtual_host,
        credentials=pika.PlainCredentials(userid, password),
        ssl_options=pika.SSLOptions(context, host) if context is not None else None,
        heartbeat=60, blocked_connection_timeout=300)
