"""Fixtures of the platform layer's tests."""
import uuid

import pika
import pytest
import rabbit


@pytest.fixture
def key():
    """A fresh queue key per test; its queue and exchange are removed afterwards."""
    name = "qz_test_" + uuid.uuid4().hex[:8]
    yield name
    conn = rabbit.connect()
    ch = conn.channel()
    ch.queue_delete(queue=name)
    ch.exchange_delete(exchange=name)
    conn.close()
