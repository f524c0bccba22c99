"""A stand-in for the platform's data-access service, for the demo: answers
every clean request on "data_arpc" with what it was asked to do."""
import json
import sys

from qz import qzmqtool, qztool


def answer(text):
    envelope = json.loads(text)
    request = json.loads(envelope["qz_request"])
    return json.dumps({"ok": True, "service": envelope["qz_service_name"], "task": request})


served = qzmqtool.serve_remote_calls("data_arpc", answer, "demo_data_access", "guest",
                                     qztool.check_mq_password("plovk562"))
sys.exit(0 if served else 1)
