"""A small service for the remote-call tests: answers "echo:<request>",
after sleeping when the request starts with "sleep:<s>"."""
import sys
import time

from qz import qzmqtool


def answer(request):
    if request.startswith("sleep:"):
        time.sleep(float(request.split(":")[1].split()[0]))
    return "echo:" + request


qzmqtool.serve_remote_calls(sys.argv[1], answer, "responder", "guest", "plovk562")
