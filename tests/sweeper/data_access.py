"""A small data-access service on "data_arpc" for the clean-request tests:
records every envelope it receives (one JSON line per request in the file
named by argv[1]) and, unless argv[2] is "silent", answers with the text
"done:" followed by the decoded request list as JSON."""
import json
import sys

from qz import qzconfig, qzmqobj, qzmqtool, qztool

record_path, mode = sys.argv[1], sys.argv[2]


def serve(channel, method, properties, body):
    envelope = json.loads(qztool.qz_gunzip_data(body))
    request = json.loads(envelope["qz_request"])
    with open(record_path, "a") as f:
        f.write(json.dumps({"service": envelope["qz_service_name"], "request": request}) + "\n")
    if mode != "silent":
        key = qzmqobj.get_headers_obj(properties)["response_key"]
        answer = "done:" + json.dumps(request)
        qzmqtool.do_basic_publish(qztool.qz_gzip_data(answer), {"retry": 0, "response_key": key},
                                  key, ch=channel, tag="data_access",
                                  exchange="data_arpc" + qzconfig.QZ_MQ_EXCHANGE_TAG)
    channel.basic_ack(method.delivery_tag)


qzconfig.QZ_MQ_PROTOCOL = True
mq = qzmqobj.QZMQObject()
mq.open(userid="guest", password="plovk562", host="127.0.0.1")
mq.consume("data_arpc", callback=serve, durable=False, exclusive=False, auto_delete=False,
           type="direct")
print "serving"
sys.stdout.flush()
mq.wait()
mq.close()
