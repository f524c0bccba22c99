#!/usr/bin/env bash
# End-to-end smoke check of the running stack: each server does real work
# through the same interface the project's code and tests use. Every step is
# time-bounded; the whole run takes well under a minute. It adds rows/mails/
# requests but never deletes anything a test left behind.
set -uo pipefail

STACK_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=lib.sh
. "$STACK_DIR/lib.sh"
export QZ_RUN
PY2="${QZ_PY2:-/root/.pyenv/versions/2.7.18/bin/python}"

passed=0
failed=0
check() {
  # check NAME TIMEOUT COMMAND...: PASS/FAIL line, output shown on failure.
  local name=$1 secs=$2 out rc
  shift 2
  # Each step runs in a fresh copy of this script under timeout(1), which
  # kills the step's whole process group (JVMs included) when time is up.
  out=$(timeout "$secs" bash "$STACK_DIR/selfcheck.sh" __run "$@" 2>&1)
  rc=$?
  if ((rc == 0)); then
    echo "PASS $name"
    passed=$((passed + 1))
  else
    ((rc == 124)) && out="$out"$'\n'"(timed out after ${secs}s)"
    echo "FAIL $name"
    sed 's/^/    /' <<<"$out" | tail -n 25
    failed=$((failed + 1))
  fi
}

sql_admin() { mariadb --no-defaults -h127.0.0.1 -P"$MARIADB_PORT" -uqzadmin -pqzadmin --connect-timeout=5 -N -B "$@"; }
sql_repl() { mariadb --no-defaults -h127.0.0.1 -P"$MARIADB_PORT" -uqzrepl -pqzrepl --connect-timeout=5 -N -B "$@"; }

# --- MariaDB ---------------------------------------------------------------

mariadb_binlog_row() {
  # qz_other, not the followed schema, and dropped again: nothing is left
  # behind for the project's tests to trip over.
  local table="qz_other.selfcheck_$$" marker="selfcheck-$$-$RANDOM" file events rc=0
  sql_admin -e "SELECT @@binlog_format, @@binlog_row_image, @@server_id, @@log_bin" \
    | grep -qx $'ROW\tFULL\t1\t1' || { echo "binlog settings are not ROW/FULL/server_id=1"; return 1; }
  sql_admin -e "CREATE TABLE $table (id INT AUTO_INCREMENT PRIMARY KEY, v VARCHAR(64));
                INSERT INTO $table (v) VALUES ('$marker')" || return 1
  # The replication user reads the event: that is what the feed will do.
  file=$(sql_repl -e "SHOW MASTER STATUS" | cut -f1)
  if [[ -z $file ]]; then
    echo "qzrepl cannot run SHOW MASTER STATUS"; rc=1
  else
    events=$(sql_repl -e "SHOW BINLOG EVENTS IN '$file'") || rc=1
    if ! grep -q "Table_map.*(${table//./\\.})" <<<"$events"; then
      echo "no Table_map event for $table"; rc=1
    elif ! grep -A1 "Table_map.*(${table//./\\.})" <<<"$events" | grep -q Write_rows; then
      echo "no Write_rows event after the Table_map of $table"; rc=1
    fi
  fi
  sql_admin -e "DROP TABLE $table" || rc=1
  return $rc
}

mariadb_schemas_and_users() {
  local dbs
  dbs=$(sql_admin -e "SHOW DATABASES") || return 1
  if ! grep -qx qz <<<"$dbs" || ! grep -qx qz_other <<<"$dbs"; then
    echo "schemas qz/qz_other missing"; return 1
  fi
  sql_repl -e "SHOW GRANTS" | grep -q "REPLICATION SLAVE" || { echo "qzrepl lacks REPLICATION SLAVE"; return 1; }
  # root is reachable over the socket only.
  mariadb --no-defaults -S "$QZ_RUN/mariadb/mysqld.sock" -uroot -e "SELECT 1" >/dev/null || return 1
}

# --- Kafka -----------------------------------------------------------------

kafka_java() {
  local libs
  libs=$(kafka_libs_dir) || { echo "Kafka jars missing; run stack/install.sh"; return 1; }
  java -Xmx256m -Dlog4j.configuration="file:$TOOLS_LOG4J" \
    -cp "$libs/*" "$@"
}

kafka_topics_listed() {
  local topics t
  # Kafka's own tool, not the stack's Python shortcut, so the two agree.
  topics=$(kafka_java org.apache.kafka.tools.TopicCommand --bootstrap-server "127.0.0.1:$KAFKA_PORT" --list) || return 1
  for t in hbase $QZ_KAFKA_TOPICS; do
    grep -qx "$t" <<<"$topics" || { echo "topic $t not listed:"; echo "$topics"; return 1; }
  done
}

kafka_round_trip() {
  # A topic of its own, so that tests reading qz_test never see these.
  local topic=qz_selfcheck marker="selfcheck-$$-$RANDOM" offset got
  "$STACK_DIR/stack" topic "$topic" >/dev/null || return 1
  offset=$(kafka_java org.apache.kafka.tools.GetOffsetShell --bootstrap-server "127.0.0.1:$KAFKA_PORT" \
    --topic "$topic" --partitions 0 --time -1 | awk -F: '{ print $3 }') || return 1
  [[ $offset =~ ^[0-9]+$ ]] || { echo "no end offset for $topic: '$offset'"; return 1; }
  echo "$marker" | kafka_java kafka.tools.ConsoleProducer \
    --bootstrap-server "127.0.0.1:$KAFKA_PORT" --topic "$topic" >/dev/null || return 1
  got=$(kafka_java org.apache.kafka.tools.consumer.ConsoleConsumer \
    --bootstrap-server "127.0.0.1:$KAFKA_PORT" --topic "$topic" --partition 0 \
    --offset "$offset" --max-messages 1 --timeout-ms 15000 2>/dev/null) || true
  [[ $got == "$marker" ]] || { echo "produced '$marker' at offset $offset, read back '$got'"; return 1; }
}

# --- RabbitMQ --------------------------------------------------------------

rabbitmqctl() {
  HOME="$QZ_RUN/rabbitmq/home" ERL_EPMD_ADDRESS=127.0.0.1 LANG=C.UTF-8 LC_ALL=C.UTF-8 \
    RABBITMQ_CONF_ENV_FILE="$QZ_RUN/rabbitmq/rabbitmq-env.conf" \
    RABBITMQ_CTL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1}" \
    /usr/lib/rabbitmq/bin/rabbitmqctl -n "$RABBITMQ_NODE" "$@"
}

# --- sinks (python3, through sinks.py) -------------------------------------

py3() { PYTHONPATH="$STACK_DIR:$STACK_DIR/../tests" "$PY3" - "$@"; }

# ---------------------------------------------------------------------------

if [[ ${1:-} == __run ]]; then
  shift
  "$@"
  exit
fi

TOOLS_LOG4J=$(mktemp --suffix=.log4j.properties)
export TOOLS_LOG4J
trap 'rm -f "$TOOLS_LOG4J"' EXIT
printf 'log4j.rootLogger=WARN, stderr\nlog4j.appender.stderr=org.apache.log4j.ConsoleAppender\nlog4j.appender.stderr.Target=System.err\nlog4j.appender.stderr.layout=org.apache.log4j.PatternLayout\nlog4j.appender.stderr.layout.ConversionPattern=%%p %%m%%n\n' \
  >"$TOOLS_LOG4J"

declare -A store_before=()
for d in "$QZ_RUN/smtp/mail" "$QZ_RUN/http/requests"; do
  store_before[$d]=$(ls "$d" 2>/dev/null)
done

check "stack status: every server up" 20 "$STACK_DIR/stack" status
check "mariadb: row insert shows up in SHOW BINLOG EVENTS (as qzrepl)" 20 mariadb_binlog_row
check "mariadb: schemas qz, qz_other; qzrepl grants; root over socket" 20 mariadb_schemas_and_users
check "kafka: TopicCommand lists hbase and QZ_KAFKA_TOPICS" 40 kafka_topics_listed
check "kafka: a produced message is consumed back" 60 kafka_round_trip
check "rabbitmq: rabbitmqctl list_queues" 30 rabbitmqctl -q list_queues
check "rabbitmq: guest authenticates with plovk562" 30 rabbitmqctl -q authenticate_user guest plovk562

check "smtp: with and without login, one connection, stored byte-exact" 20 py3 <<'EOF'
import smtplib, sinks
sinks.smtp_control()
before = len(sinks.mails())
body = b"Subject: selfcheck\r\n\r\n.leading dot\r\n\xc3\xa9t\xc3\xa9\r\n"
s = smtplib.SMTP("127.0.0.1", 8025, timeout=10)
s.login("qzmail", "qzmail")
s.sendmail("from@qz.test", ["a@qz.test", "b@qz.test"], body)
s.sendmail("from@qz.test", ["c@qz.test"], body)
s.quit()
s = smtplib.SMTP("127.0.0.1", 8025, timeout=10)
s.sendmail("anon@qz.test", ["d@qz.test"], body)
s.quit()
new = sinks.wait_mails(before + 3)[before:]
assert len(new) == 3, new
a, b, c = new
assert a["raw"] == body, (a["raw"], body)
assert a["rcpt_tos"] == ["a@qz.test", "b@qz.test"] and a["mail_from"] == "from@qz.test", a
assert a["auth_user"] == "qzmail" and c["auth_user"] is None, (a, c)
assert a["connection"] == b["connection"] != c["connection"], (a, b, c)
assert a["message"]["Subject"] == "selfcheck"
EOF

check "smtp: faults (refuse_login 535, refuse_rcpt 550, drop_next, drop_every, refuse_connections_until)" 30 py3 <<'EOF'
import smtplib, socket, time, sinks

def fails(fn, exc):
    try:
        fn()
    except exc as e:
        return e
    raise AssertionError("expected %s" % exc.__name__)

def connect():
    return smtplib.SMTP("127.0.0.1", 8025, timeout=10)

try:
    sinks.smtp_control(refuse_login=True)
    s = connect()
    e = fails(lambda: s.login("qzmail", "qzmail"), smtplib.SMTPAuthenticationError)
    assert e.smtp_code == 535, e
    s.quit()

    sinks.smtp_control()
    s = connect()
    e = fails(lambda: s.login("qzmail", "wrong"), smtplib.SMTPAuthenticationError)
    assert e.smtp_code == 535, e
    s.quit()

    sinks.smtp_control(refuse_rcpt=["bad@qz.test"])
    s = connect()
    e = fails(lambda: s.sendmail("f@qz.test", ["bad@qz.test"], "x"), smtplib.SMTPRecipientsRefused)
    assert e.recipients["bad@qz.test"][0] == 550, e.recipients
    s.quit()

    before = len(sinks.mails())
    sinks.smtp_control(drop_next=True)
    s = connect()
    fails(lambda: s.sendmail("f@qz.test", ["t@qz.test"], "dropped"), smtplib.SMTPServerDisconnected)
    assert len(sinks.mails()) == before, "dropped mail was stored"
    s = connect()  # drop_next fired once; the next send goes through
    s.sendmail("f@qz.test", ["t@qz.test"], "after drop")
    s.quit()
    assert len(sinks.wait_mails(before + 1)) == before + 1

    sinks.smtp_control(drop_every=2)
    s = connect()
    s.sendmail("f@qz.test", ["t@qz.test"], "one")
    s.sendmail("f@qz.test", ["t@qz.test"], "two")  # accepted, then the line is cut
    fails(lambda: s.sendmail("f@qz.test", ["t@qz.test"], "three"), smtplib.SMTPServerDisconnected)
    assert len(sinks.wait_mails(before + 3)) == before + 3

    sinks.smtp_control(refuse_connections_until=time.time() + 1.5)
    fails(connect, (smtplib.SMTPServerDisconnected, socket.error))
    time.sleep(1.6)
    connect().quit()
finally:
    sinks.smtp_control()
EOF

check "http: POST stored, configured status returned" 20 py3 <<'EOF'
import json, sinks, urllib.request, urllib.error
before = len(sinks.http_requests())
sinks.http_control(status=503)
try:
    req = urllib.request.Request("http://127.0.0.1:8088/classify?x=1", data=b'{"k": "v"}',
                                 headers={"Content-Type": "application/json"}, method="POST")
    try:
        urllib.request.urlopen(req, timeout=10)
        raise AssertionError("expected 503")
    except urllib.error.HTTPError as e:
        assert e.code == 503, e.code
finally:
    sinks.http_control()
assert urllib.request.urlopen("http://127.0.0.1:8088/ping", timeout=10).read() == b"ok"
post, get = sinks.wait_http(before + 2)[before:before + 2]
assert post["method"] == "POST" and post["path"] == "/classify?x=1", post
assert post["body"] == b'{"k": "v"}' and json.loads(post["body_text"]) == {"k": "v"}
assert ["Content-Type", "application/json"] in post["headers"], post["headers"]
assert get["method"] == "GET" and get["body"] == b""
EOF

if [[ -x $PY2 ]]; then
  check "sinks.py under Python 2.7: sees a mail and a request it sent, writes control" 20 \
    env PYTHONPATH="$STACK_DIR:$STACK_DIR/../tests" "$PY2" -c '
import json, os, smtplib, urllib2, sinks
n_mail, n_http = len(sinks.mails()), len(sinks.http_requests())
s = smtplib.SMTP("127.0.0.1", 8025, timeout=10)
s.sendmail("py2@qz.test", ["t@qz.test"], "Subject: py2\r\n\r\nbody\r\n")
s.quit()
m = sinks.wait_mails(n_mail + 1)[-1]
assert m["raw"] == "Subject: py2\r\n\r\nbody\r\n" and m["message"]["Subject"] == "py2", m
assert urllib2.urlopen("http://127.0.0.1:8088/py2", "data", timeout=10).read() == "ok"
r = sinks.wait_http(n_http + 1)[-1]
assert r["path"] == "/py2" and r["body"] == "data", r
sinks.smtp_control(refuse_login=True)
assert json.load(open(os.path.join(sinks.run_dir(), "smtp", "control.json"))) == {"refuse_login": True}
sinks.smtp_control()
'
fi

# What this run added to the sinks' stores goes again; older files stay.
for d in "$QZ_RUN/smtp/mail" "$QZ_RUN/http/requests"; do
  [[ -d $d ]] || continue
  comm -13 <(sort <<<"${store_before[$d]:-}") <(ls "$d" | sort) | while read -r f; do
    [[ -n $f ]] && rm -f "$d/$f"
  done
done

echo "$passed passed, $failed failed"
((failed == 0))
