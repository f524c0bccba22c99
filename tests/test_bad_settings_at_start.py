"""A setting the programs cannot work with ends their start: one coded line
naming it, its value and what it accepts, status 78 (so that the units do
not restart them), no traceback, and no connection tried."""
import json
import os
import re
import socket

import pytest

from harness import TREE, run

LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} (.*)$")
EX_CONFIG = 78
CODES = {"rowfeed": "MS104", "postrunner": "ML090", "visionbay": "DN090"}

# (program, environment, extra arguments, what the line says after the code)
SECONDS = "it accepts a number of seconds above 0, at most 31536000"
FROM_ENV = " (its value in the environment)"
CASES = [
    ("visionbay", {"QZ_DNN_FETCH_TIMEOUT": "abc"}, [],
     "setting QZ_DNN_FETCH_TIMEOUT='abc' is not usable: " + SECONDS + FROM_ENV),
    ("visionbay", {"QZ_DNN_FETCH_TIMEOUT": ""}, [],
     "setting QZ_DNN_FETCH_TIMEOUT='' is not usable: " + SECONDS + FROM_ENV),
    ("visionbay", {"QZ_DNN_FETCH_TIMEOUT": "-1"}, [],
     "setting QZ_DNN_FETCH_TIMEOUT='-1' is not usable: " + SECONDS + FROM_ENV),
    ("visionbay", {"QZ_DNN_FETCH_TIMEOUT": "inf"}, [],
     "setting QZ_DNN_FETCH_TIMEOUT='inf' is not usable: " + SECONDS + FROM_ENV),
    ("visionbay", {"QZ_DNN_IMAGE_SOURCES": "/srv/images"}, [],
     "setting QZ_DNN_IMAGE_SOURCES='/srv/images' is not usable: it accepts null or a JSON list"
     " of absolute directories and http(s) URL prefixes" + FROM_ENV),
    ("visionbay", {"QZ_DNN_IMAGE_SOURCES": '["images/"]'}, [],
     "setting QZ_DNN_IMAGE_SOURCES='[\"images/\"]' is not usable: it accepts null"),
    ("visionbay", {"QZ_MQ_MAX_TEXT": "1e12"}, [],
     "setting QZ_MQ_MAX_TEXT='1e12' is not usable: it accepts a whole number from 1 to"
     " 1073741824" + FROM_ENV),
    ("postrunner", {"QZ_MQ_MAX_TEXT": "inf"}, [],
     "setting QZ_MQ_MAX_TEXT='inf' is not usable: it accepts a whole number from 1 to"
     " 1073741824" + FROM_ENV),
    ("postrunner", {"QZ_MQ_PREFETCH": "0"}, [],
     "setting QZ_MQ_PREFETCH='0' is not usable: it accepts a whole number from 1 to 65535"
     + FROM_ENV),
    ("postrunner", {"QZ_MQ_PREFETCH": "many"}, [],
     "setting QZ_MQ_PREFETCH='many' is not usable: it accepts a whole number from 1 to 65535"),
    ("postrunner", {"QZ_SMTP_MAIL_TIMEOUT": "nan"}, [],
     "setting QZ_SMTP_MAIL_TIMEOUT='nan' is not usable: " + SECONDS),
    ("postrunner", {"QZ_MQ_PROTOCOL": "maybe"}, [],
     "setting QZ_MQ_PROTOCOL='maybe' is not usable: it accepts a truth value"),
    ("postrunner", {"QZ_MQ_QUEUE_TYPE": "stream"}, [],
     "setting QZ_MQ_QUEUE_TYPE='stream' is not usable: it accepts one of '', 'classic',"
     " 'quorum'"),
    # a secret of the wrong kind is named, its value never shown
    ("postrunner", {"file": {"QZ_SMTP_PWD": 1234}}, [],
     "setting QZ_SMTP_PWD=<hidden> is not usable: it accepts a text"),
    ("rowfeed", {"KAFKA_BATCH": "many"}, [],
     "setting KAFKA_BATCH='many' is not usable: it accepts a whole number from 0 to"
     " 2147483647" + FROM_ENV),
    ("rowfeed", {"QZ_HBASE_IGNORE": '[["t1", "insert"]]'}, [],
     "setting QZ_HBASE_IGNORE='[[\"t1\", \"insert\"]]' is not usable: it accepts a JSON list of"
     " [table, event] pairs"),
    ("rowfeed", {"MYSQL_REPL_SERVER_ID": "0"}, [],
     "setting MYSQL_REPL_SERVER_ID='0' is not usable: it accepts a whole number from 1 to"),
    # the settings file: a value of the wrong kind, and a file that is no JSON object
    ("rowfeed", {"file": {"KAFKA_SEND_INTERVAL": "1s"}}, [],
     "setting KAFKA_SEND_INTERVAL='1s' is not usable: it accepts a number of seconds from 0"),
    ("visionbay", {"file": {"QZ_DNN_MAX_IMAGE_CHUNKS": 2.5}}, [],
     "setting QZ_DNN_MAX_IMAGE_CHUNKS=2.5 is not usable: it accepts a whole number from 1"),
    ("postrunner", {"file": "{not JSON"}, [],
     "setting QZ_SETTINGS_FILE='%(file)s' is not usable: no JSON object could be read from"
     " it: "),
    # the feed's pauses on its command line go the same way
    ("rowfeed", {}, ["-i", "abc"],
     "setting --interval='abc' is not usable: it accepts a number of seconds from 0, finite"),
    ("rowfeed", {}, ["-s", "inf"],
     "setting --sleep='inf' is not usable: it accepts a number of seconds from 0, finite"),
]


@pytest.fixture
def listener():
    """A port that takes connections and never answers: any connection a
    program makes is seen, and none of them gets anywhere."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    sock.listen(8)
    sock.settimeout(0)
    yield sock
    sock.close()


def connections(sock):
    found = 0
    while True:
        try:
            conn, _ = sock.accept()
        except socket.error:
            return found
        conn.close()
        found += 1


@pytest.mark.parametrize("name, env, args, named", CASES,
                         ids=["%s-%s" % (c[0], "-".join(sorted(c[1])) or " ".join(c[2]))
                              for c in CASES])
def test_a_bad_setting_ends_the_start_naming_it(tmp_path, listener, name, env, args, named):
    env = dict(env)
    port = "127.0.0.1:%d" % listener.getsockname()[1]
    settings_file = tmp_path / "settings.json"
    if "file" in env:
        held = env.pop("file")  # a text is the file as it is
        settings_file.write_text(unicode(held if isinstance(held, str) else json.dumps(held)))
        env["QZ_SETTINGS_FILE"] = str(settings_file)
        named = named % {"file": settings_file}
    base = tmp_path / "base"
    (base / "tmp").mkdir(parents=True)
    record = {"log_file": "mysql-bin.000001", "log_pos": 4}
    (base / "tmp" / "rowfeed.json").write_text(unicode(json.dumps(record)))
    env.update(QZ_BASE_PATH=str(base), MYSQLHOST=port, QZ_SMTP_HOST="127.0.0.1",
               QZ_SMTP_PORT=str(listener.getsockname()[1]),
               DIGITS_JOBS_DIR=str(tmp_path / "jobs"))
    done = run([os.path.join(TREE, name), "--host", port] + args, env=env, timeout=60)
    assert done.status == EX_CONFIG, done
    lines = [LOG_LINE.match(l).group(1) for l in done.out.splitlines()]
    assert len(lines) == 1 and lines[0].startswith(CODES[name] + " " + named), done
    assert done.err == CODES[name] + "\n", done  # the code alone: no traceback
    assert connections(listener) == 0
    assert json.loads((base / "tmp" / "rowfeed.json").read_text()) == record
