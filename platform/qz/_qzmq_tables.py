"""Pika, as the queue client needs it: a header table that cannot be read
costs the message its headers, not the connection. Imported for its effect."""
import struct
import threading

import pika.data

from qz.qztool import _log


def _read_unreadable_tables_as_empty():
    """A header table that pika cannot decode (nested too deep for the host's
    recursion limit, a timestamp out of the platform's range, an unknown
    field type) makes it drop the whole connection; the message then comes
    back at every start and no consumer of the queue ever gets past it. Read
    such a table as empty instead, skipping its bytes: the message arrives
    without headers, and the workers drop it as such, with their warning."""
    decode = pika.data.decode_table
    nesting = threading.local()

    def decode_table(encoded, offset):
        level = getattr(nesting, "level", 0)
        nesting.level = level + 1
        try:
            return decode(encoded, offset)
        except Exception as e:
            if level:
                raise  # the outermost table is skipped as a whole
            size = struct.unpack_from(">I", encoded, offset)[0]
            _log("QZMQObject: a table of", size, "bytes could not be read, taken as empty:",
                 "%s: %s" % (type(e).__name__, e))
            return {}, offset + 4 + size
        finally:
            nesting.level = level

    pika.data.decode_table = decode_table


_read_unreadable_tables_as_empty()
