"""The stack's RabbitMQ as the tests, benchmarks and tools reach it: on
127.0.0.1, with the account the workers use by default (their --user and
--password)."""
import pika

HOST = "127.0.0.1"
USER = "guest"
PASSWORD = "plovk562"


def connect(virtual_host="/"):
    """A blocking connection to the stack's broker."""
    return pika.BlockingConnection(pika.ConnectionParameters(
        host=HOST, virtual_host=virtual_host, credentials=pika.PlainCredentials(USER, PASSWORD)))


def channel(virtual_host="/"):
    """(connection, channel) on the stack's broker; the caller closes the connection."""
    conn = connect(virtual_host)
    return conn, conn.channel()
