"""A small service for the remote-call tests: answers "echo:<request>" with
do_basic_publish, after sleeping when the request starts with "sleep:<s>"."""
import sys
import time

from qz import qzconfig, qzmqobj, qzmqtool, qztool

key = sys.argv[1]


def answer(channel, method, properties, body):
    request = qztool.qz_gunzip_data(body)
    if request.startswith("sleep:"):
        time.sleep(float(request.split(":")[1].split()[0]))
    response_key = qzmqobj.get_headers_obj(properties)["response_key"]
    qzmqtool.do_basic_publish(qztool.qz_gzip_data("echo:" + request),
                              {"retry": 0, "response_key": response_key}, response_key,
                              ch=channel, tag="responder",
                              exchange=key + qzconfig.QZ_MQ_EXCHANGE_TAG)
    channel.basic_ack(method.delivery_tag)


qzconfig.QZ_MQ_PROTOCOL = True
mq = qzmqobj.QZMQObject()
mq.open(userid="guest", password="plovk562", host="127.0.0.1")
mq.consume(key, callback=answer, durable=False, exclusive=False, auto_delete=False,
           type="direct")
print "serving"
sys.stdout.flush()
mq.wait()
mq.close()
