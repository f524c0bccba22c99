"""Every module operation takes its parameters by the names callers know,
and a wrong call raises the host's own argument error (the TypeError of its
argument parser, as for the host's built-in functions), never a binding
library's."""
import re

import pytest

import postrunner
import rowfeed
import sinks
import visionbay
from qz import modelgate, sweeper


class Message(object):
    def __init__(self):
        self.channel = self.properties = None
        self.body = "ignored"


@pytest.mark.parametrize("call, error", [
    (lambda: postrunner.qz_send_mail(to="a@example.com", subject="s"),
     "Required argument 'body' (pos 3) not found"),
    (lambda: postrunner.qz_send_mail("a@example.com", "s", "b", cc="x"),
     "qz_send_mail() takes at most 3 arguments (4 given)"),
    (lambda: postrunner.recv_callback2(channel=None, method=None, properties=None),
     "Required argument 'body' (pos 4) not found"),
    (lambda: postrunner.recv_callback(), "Required argument 'msg' (pos 1) not found"),
    (lambda: postrunner.main(1), "main() takes at most 0 arguments (1 given)"),
    (lambda: visionbay.recv_callback2(None, None, None, None, None),
     "recv_callback2() takes at most 4 arguments (5 given)"),
    (lambda: visionbay.recv_callback(None, message=None),
     "recv_callback() takes at most 1 argument (2 given)"),
    (lambda: visionbay.main(x=1), "main() takes at most 0 arguments (1 given)"),
    (lambda: rowfeed.main(None), "main() takes at most 0 arguments (1 given)"),
    (lambda: modelgate.time(), "Required argument 'payload' (pos 1) not found"),
    (lambda: modelgate.time(payload=None, chanel=None),
     "'chanel' is an invalid keyword argument for this function"),
    (lambda: modelgate.classify(channel=None), "Required argument 'payload' (pos 1) not found"),
    (lambda: sweeper.clean(), "Required argument 'payload' (pos 1) not found"),
])
def test_a_wrong_call_raises_the_hosts_argument_error(call, error):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == error


@pytest.fixture
def mail_connection_closed_after():
    yield
    if postrunner.smtp:
        postrunner.smtp.quit()
    postrunner.smtp = None


def test_operations_take_their_parameters_by_name(mail_connection_closed_after):
    sinks.clear_mail()
    postrunner.qz_send_mail(to="kw@example.com", subject="by name", body="body by name")
    [mail] = sinks.wait_mails(1)
    assert "kw@example.com" in str(mail)
    assert re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$", modelgate.time(payload=None,
                                                                        channel=None))
    assert sweeper.clean(payload="{}", channel=None) == "NG"
    assert sweeper.prepare_clean(payload="{}", channel=None) == "NG"
