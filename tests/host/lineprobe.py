"""Writes log lines with non-ASCII items to whatever standard output it was
given, the way a supervisor runs the programs: lineprobe.py CASE.

  items:      the shared writer, one line of every kind of item
  postrunner: postrunner's ML095 line for a forward that fails
  visionbay:  visionbay's DN075 line for a body that does not decode
  refusing:   a standard output that refuses every write
  both_writers: the same items through the native writer and the platform's

Each case ends with the line "done": the caller's work went on after its
log lines, whatever they held."""
import io
import os
import sys


class Odd(Exception):
    """An error whose representation holds UTF-8 and a byte that is not."""

    def __repr__(self):
        return "Odd('J\xc3\xbcrgen \xff')"


class Unprintable(object):
    def __str__(self):
        raise ValueError("no text")

    def __repr__(self):
        raise ValueError("no representation")


class Channel(object):
    acked = []

    def basic_ack(self, delivery_tag=None, *args, **kw):
        self.acked.append(delivery_tag)


class Method(object):
    consumer_tag = "probe"
    delivery_tag = 1


class Properties(object):
    def __init__(self, headers):
        self.headers = headers


def fail(*args, **kw):
    raise Odd()


def items():
    import hostprobe
    hostprobe.log(u"J\xfcrgen", "caf\xc3\xa9", "\xff\xfe", ValueError(u"caf\xe9"))
    hostprobe.log(Unprintable(), u"\U0001d11e", "\xed\xa0\x80", 1)
    hostprobe.log_now(u"SS255 \u65e5\u672c")


# Bytes each writer must show alike: UTF-8, stray bytes, a truncated
# sequence, an overlong form, an encoded surrogate, past U+10FFFF.
BOTH = ("caf\xc3\xa9", "\xff\xfe", "\xe6\x97", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
        u"\ud800", ValueError("\xe9t\xc3\xa9"))


def both_writers():
    import hostprobe
    from qz import qztool
    for four in (BOTH[:4], BOTH[4:]):  # the probe's writer takes four at a time
        hostprobe.log(*four)
        qztool._log(*four)


def postrunner():
    os.environ["SEND_MAIL_MODE"] = "forward"
    import postrunner
    from qz import qztool
    qztool.post_qz_message = fail
    postrunner.recv_callback2(Channel(), Method(), Properties({"to": "a@example.com"}),
                              "subject=s")
    assert Channel.acked == []  # the failed request stays unacknowledged


def visionbay():
    import visionbay
    from qz import qzmqtool, qztool
    qztool.qz_gunzip_data = fail
    qzmqtool.do_basic_publish = lambda *args, **kw: None
    visionbay.recv_callback2(Channel(), Method(), Properties({"response_key": "k"}), "x")
    assert Channel.acked == [1]


class Refusing(io.RawIOBase):
    def writable(self):
        return True

    def write(self, data):
        raise IOError(28, "No space left on device")


def refusing():
    import hostprobe
    real = sys.stdout
    sys.stdout = Refusing()
    try:
        hostprobe.log(u"J\xfcrgen")
        hostprobe.log_now("plain")
    finally:
        sys.stdout = real


if __name__ == "__main__":
    globals()[sys.argv[1]]()
    print "done"
