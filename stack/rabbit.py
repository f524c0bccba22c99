"""The stack's RabbitMQ as the tests, benchmarks and tools reach it: on
127.0.0.1, with the account the workers use by default (their --user and
--password)."""
import pika

HOST = "127.0.0.1"
USER = "guest"
PASSWORD = "plovk562"


def connect(virtual_host="/", host=HOST, port=5672, **options):
    """A blocking connection to the stack's broker (or one node of its
    cluster, by `host` and `port`); `options` go to pika's
    ConnectionParameters (heartbeat, socket_timeout, ...)."""
    return pika.BlockingConnection(pika.ConnectionParameters(
        host=host, port=port, virtual_host=virtual_host,
        credentials=pika.PlainCredentials(USER, PASSWORD), **options))


def channel(virtual_host="/", **where):
    """(connection, channel) on the stack's broker; the caller closes the connection."""
    conn = connect(virtual_host, **where)
    return conn, conn.channel()
