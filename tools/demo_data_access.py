"""A stand-in for the platform's data-access service, for the demo: answers
every clean request on "data_arpc" with what it was asked to do."""
import json
import sys

from qz import qzconfig, qzmqobj, qzmqtool, qztool


def serve(channel, method, properties, body):
    envelope = json.loads(qztool.qz_gunzip_data(body))
    request = json.loads(envelope["qz_request"])
    key = qzmqobj.get_headers_obj(properties)["response_key"]
    answer = json.dumps({"ok": True, "service": envelope["qz_service_name"], "task": request})
    qzmqtool.do_basic_publish(qztool.qz_gzip_data(answer), {"retry": 0, "response_key": key}, key,
                              ch=channel, tag="demo_data_access",
                              exchange="data_arpc" + qzconfig.QZ_MQ_EXCHANGE_TAG)
    channel.basic_ack(method.delivery_tag)


qzconfig.QZ_MQ_PROTOCOL = True
mq = qzmqobj.QZMQObject()
mq.open(userid="guest", password=qztool.check_mq_password("plovk562"), host="127.0.0.1")
mq.consume("data_arpc", callback=serve, durable=False, exclusive=False, auto_delete=False,
           type="direct")
print "serving"
sys.stdout.flush()
sys.exit(0 if mq.wait() else 1)
