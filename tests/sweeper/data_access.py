"""A small data-access service on "data_arpc" for the clean-request tests:
records every envelope it receives (one JSON line per request in the file
named by argv[1]) and, unless argv[2] is "silent", answers with the text
"done:" followed by the decoded request list as JSON."""
import json
import sys

from qz import qzmqtool

record_path, mode = sys.argv[1], sys.argv[2]


def answer(text):
    envelope = json.loads(text)
    request = json.loads(envelope["qz_request"])
    with open(record_path, "a") as f:
        f.write(json.dumps({"service": envelope["qz_service_name"], "request": request}) + "\n")
    return None if mode == "silent" else "done:" + json.dumps(request)


qzmqtool.serve_remote_calls("data_arpc", answer, "data_access", "guest", "plovk562")
