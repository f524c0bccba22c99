"""A consumer for the failed-request tests, run as a process of its own. By
body: "fail:<k>:<name>" fails its first k deliveries (by returning without an
acknowledgement), "raise:<k>:<name>" fails them by raising, "always" stands
for k without end; any other body is acknowledged, "last" then cancels the
consumer. Prints "in hand <body>" at each delivery."""
import sys
import time

from qz import qzconfig, qzmqobj

qzconfig.QZ_MQ_PROTOCOL = True
key = sys.argv[1]
seen = {}


def handler(channel, method, properties, body):
    seen[body] = seen.get(body, 0) + 1
    print "%.3f in hand %s" % (time.time(), body)
    sys.stdout.flush()
    how, _, rest = body.partition(":")
    if how in ("fail", "raise"):
        times = rest.split(":")[0]
        if times == "always" or seen[body] <= int(times):
            if how == "raise":
                raise RuntimeError("failed on purpose")
            return
    channel.basic_ack(method.delivery_tag)
    if body == "last":
        channel.basic_cancel(method.consumer_tag)


mq = qzmqobj.QZMQObject()
mq.open(userid="guest", password="plovk562", host="127.0.0.1")
mq.consume(key, callback=handler, durable=False, exclusive=False, auto_delete=False,
           type="direct")
print "serving"
sys.stdout.flush()
status = mq.wait()
mq.close()
print "wait returned", status
