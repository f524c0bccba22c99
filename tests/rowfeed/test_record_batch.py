"""The feed's record batch, read back by kafka-python's own reader: no server."""
import pytest
from kafka.record.default_records import DefaultRecordBatch
from kafka.record.memory_records import MemoryRecords

import recordbatch


def test_crc32c_of_the_standard_check_string():
    # RFC 3720's check value; the batch's checksum is this function
    assert recordbatch.crc32c(b"123456789") == 0xE3069283
    assert recordbatch.crc32c(b"") == 0


@pytest.mark.parametrize("values", [
    [b"{}"],
    [b'{"a": %d}' % i for i in range(1000)],
    [b"", b"x" * 300, b"y" * 70000],  # lengths across one, two and three varint bytes
], ids=["one", "a thousand", "varint widths"])
def test_batch_reads_back_as_sent(values):
    data = recordbatch.gzip_record_batch(values, 1700000000123)
    records = MemoryRecords(data)
    batch = records.next_batch()
    assert not records.has_next()
    assert isinstance(batch, DefaultRecordBatch)
    assert batch.validate_crc()
    assert batch.compression_type == DefaultRecordBatch.CODEC_GZIP
    assert (batch.base_offset, batch.producer_id, batch.last_offset_delta) == (0, -1, len(values) - 1)
    got = list(batch)
    assert [r.value for r in got] == values
    assert [r.offset for r in got] == list(range(len(values)))
    assert {(r.key, r.timestamp, tuple(r.headers)) for r in got} == {(None, 1700000000123, ())}


def test_an_empty_batch_is_refused():
    # Kafka refuses a batch without records; it must never be built
    with pytest.raises(ValueError):
        recordbatch.gzip_record_batch([], 0)
