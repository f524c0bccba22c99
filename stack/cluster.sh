# shellcheck shell=bash
# Clusters for failure drills, sourced by stack/stack: a Kafka cluster
# (KRaft, every node broker and controller) and a RabbitMQ cluster, beside
# the single servers and never in their way: their own ports, their own epmd,
# their data under $QZ_RUN/cluster-kafka and $QZ_RUN/cluster-rabbitmq.
#
# Node i of N (1-based):
#   kafka-i     broker 127.0.0.1:$((KC_BROKER_BASE + i)), controller $((KC_CTRL_BASE + i))
#   rabbitmq-i  AMQP 127.0.0.1:$((RC_AMQP_BASE + i)), node qzc<i>@localhost,
#               distribution $((RC_DIST_BASE + i)), epmd $RC_EPMD_PORT

KC="$QZ_RUN/cluster-kafka"
RC="$QZ_RUN/cluster-rabbitmq"
KC_BROKER_BASE=19090     # 19091, 19092, ...
KC_CTRL_BASE=19190       # 19191, 19192, ...
RC_AMQP_BASE=5700        # 5701, 5702, ...
RC_DIST_BASE=25700       # 25701, 25702, ...
RC_EPMD_PORT=4370        # not the single node's 4369: stopping one never strands the other
CLUSTER_MAX_NODES=5
# Heap per Kafka node: three of them share two cores and the other servers.
KC_HEAP="${QZ_CLUSTER_KAFKA_HEAP:-384m}"

cluster_size() {  # KIND: the node count recorded by the last "up", or 0
  local f
  case $1 in kafka) f=$KC/nodes ;; rabbitmq) f=$RC/nodes ;; esac
  [[ -s $f ]] && cat "$f" || echo 0
}

check_size() {
  [[ $2 =~ ^[1-9]$ ]] && (($2 <= CLUSTER_MAX_NODES)) \
    || die "--$1-nodes takes 1 to $CLUSTER_MAX_NODES"
  local had
  had=$(cluster_size "$1")
  ((had == 0 || had == $2)) \
    || die "a $1 cluster of $had nodes exists under $QZ_RUN; 'stack down $1-cluster' and remove its directory first"
}

# Replication of the project's topics: three copies (fewer on a smaller
# cluster), and a write counts once two of them have it.
kc_replication() { local n; n=$(cluster_size kafka); echo $((n < 3 ? n : 3)); }
kc_min_isr() { local r; r=$(kc_replication); echo $((r > 1 ? r - 1 : 1)); }

kc_bootstrap() {
  local n i out=()
  n=$(cluster_size kafka)
  for ((i = 1; i <= n; i++)); do out+=("127.0.0.1:$((KC_BROKER_BASE + i))"); done
  local IFS=,
  echo "${out[*]}"
}

rc_hosts() {
  local n i out=()
  n=$(cluster_size rabbitmq)
  for ((i = 1; i <= n; i++)); do out+=("127.0.0.1:$((RC_AMQP_BASE + i))"); done
  local IFS=,
  echo "${out[*]}"
}

# --- Kafka cluster ---------------------------------------------------------------

kc_dir() { echo "$KC/node$1"; }
kc_pid() { live_pid "$(kc_dir "$1")/kafka.pid" "$(kc_dir "$1")/server.properties"; }

kc_config() {
  local i=$1 n=$2 d voters="" j rf
  d=$(kc_dir "$i")
  mkdir -p "$d/data" "$d/logs"
  for ((j = 1; j <= n; j++)); do voters+="${voters:+,}$j@127.0.0.1:$((KC_CTRL_BASE + j))"; done
  rf=$((n < 3 ? n : 3))
  cat >"$d/server.properties" <<EOF
# Written by stack/stack on every start; edit the script, not this file.
process.roles=broker,controller
node.id=$i
controller.quorum.voters=$voters
listeners=PLAINTEXT://127.0.0.1:$((KC_BROKER_BASE + i)),CONTROLLER://127.0.0.1:$((KC_CTRL_BASE + i))
advertised.listeners=PLAINTEXT://127.0.0.1:$((KC_BROKER_BASE + i))
controller.listener.names=CONTROLLER
inter.broker.listener.name=PLAINTEXT
listener.security.protocol.map=CONTROLLER:PLAINTEXT,PLAINTEXT:PLAINTEXT
log.dirs=$d/data
num.partitions=1
default.replication.factor=$rf
min.insync.replicas=$((rf > 1 ? rf - 1 : 1))
# A replica that was not in sync never becomes leader: that would drop writes.
unclean.leader.election.enable=false
auto.create.topics.enable=true
offsets.topic.replication.factor=$rf
offsets.topic.num.partitions=1
transaction.state.log.replication.factor=$rf
transaction.state.log.min.isr=$((rf > 1 ? rf - 1 : 1))
transaction.state.log.num.partitions=1
group.initial.rebalance.delay.ms=0
log.retention.hours=48
log.segment.bytes=268435456
num.network.threads=2
num.io.threads=2
EOF
  cat >"$d/log4j.properties" <<EOF
log4j.rootLogger=INFO, server
log4j.appender.server=org.apache.log4j.DailyRollingFileAppender
log4j.appender.server.DatePattern='.'yyyy-MM-dd
log4j.appender.server.File=$d/logs/server.log
log4j.appender.server.layout=org.apache.log4j.PatternLayout
log4j.appender.server.layout.ConversionPattern=[%d] %p %m (%c)%n
log4j.logger.state.change.logger=WARN
log4j.logger.kafka.request.logger=WARN
log4j.logger.org.apache.kafka.clients.NetworkClient=WARN
EOF
}

kc_start() {
  local i=$1 n=$2 libs d
  d=$(kc_dir "$i")
  libs=$(kafka_libs_dir) || { say "kafka-$i" "no Kafka jars in $QZ_CACHE; run stack/install.sh"; return 1; }
  kc_config "$i" "$n"
  if [[ ! -f $d/data/meta.properties ]]; then
    java -Xmx256m -Dlog4j.configuration="file:$d/log4j.properties" -Dkafka.logs.dir="$d/logs" \
      -cp "$libs/*" kafka.tools.StorageTool format \
      -t "$(<"$KC/cluster.id")" -c "$d/server.properties" --ignore-formatted \
      >>"$d/logs/format.log" 2>&1 || { tail -n 20 "$d/logs/format.log" >&2; return 1; }
  fi
  spawn "$d/logs/kafka.out" "$d/kafka.pid" \
    java -Xms128m -Xmx"$KC_HEAP" -XX:+UseG1GC -XX:MaxGCPauseMillis=20 \
    -XX:+ExitOnOutOfMemoryError -Djava.awt.headless=true -Djava.net.preferIPv4Stack=true \
    -Dkafka.logs.dir="$d/logs" -Dlog4j.configuration="file:$d/log4j.properties" \
    -cp "$libs/*" kafka.Kafka "$d/server.properties"
}

kc_answers() {
  "$PY3" "$STACK_DIR/kafkactl.py" --bootstrap "127.0.0.1:$((KC_BROKER_BASE + $1))" --timeout 3 \
    topics >/dev/null 2>&1
}

# Up: every node started, and every one of them in the metadata as a live
# broker (a node that answers alone, before the quorum has it, is not).
kc_node_up() {
  local i=$1 n=$2 t0 deadline
  t0=$(now)
  if ! kc_pid "$i" >/dev/null; then
    port_open $((KC_BROKER_BASE + i)) && { say "kafka-$i" "FAILED: port $((KC_BROKER_BASE + i)) is taken"; return 1; }
    port_open $((KC_CTRL_BASE + i)) && { say "kafka-$i" "FAILED: port $((KC_CTRL_BASE + i)) is taken"; return 1; }
    kc_start "$i" "$n" || return 1
  fi
  deadline=$((SECONDS + UP_TIMEOUT))
  until kc_answers "$i"; do
    kc_pid "$i" >/dev/null || { cl_fail "kafka-$i" "$(kc_dir "$i")/logs/server.log $(kc_dir "$i")/logs/kafka.out" "exited during start-up"; return 1; }
    ((SECONDS < deadline)) || { cl_fail "kafka-$i" "$(kc_dir "$i")/logs/server.log" "not answering after ${UP_TIMEOUT}s"; return 1; }
    sleep 0.5
  done
  say "kafka-$i" "answering on 127.0.0.1:$((KC_BROKER_BASE + i)) after $(elapsed "$t0")s"
}

kc_up() {
  local n=$1 i rc=0 t0
  t0=$(now)
  mkdir -p "$KC"
  echo "$n" >"$KC/nodes"
  if [[ ! -s $KC/cluster.id ]]; then
    "$PY3" -c 'import base64,uuid
while True:
    s = base64.urlsafe_b64encode(uuid.uuid4().bytes).rstrip(b"=").decode()
    if not s.startswith("-"): print(s); break' >"$KC/cluster.id"
  fi
  local pids=()
  for ((i = 1; i <= n; i++)); do kc_node_up "$i" "$n" & pids+=($!); done
  for i in "${pids[@]}"; do wait "$i" || rc=1; done
  ((rc == 0)) || return 1
  # Topics need every broker registered, or their replicas would be placed
  # on fewer nodes than asked.
  local out
  # shellcheck disable=SC2086
  out=$("$PY3" "$STACK_DIR/kafkactl.py" --bootstrap "$(kc_bootstrap)" --timeout 60 \
    create hbase $QZ_KAFKA_TOPICS -r "$(kc_replication)" \
    --config "min.insync.replicas=$(kc_min_isr)" 2>&1) || { echo "$out" >&2; return 1; }
  while read -r line; do [[ $line == created* ]] && say kafka-cluster "$line"; done <<<"$out"
  kc_wait_in_sync 60 || return 1
  say kafka-cluster "$n nodes up, bootstrap $(kc_bootstrap), in $(elapsed "$t0")s"
}

# Every partition of the project's topics back to all its replicas in sync:
# a node just restarted has caught up, so the next failure loses nothing.
kc_wait_in_sync() {
  local secs=$1 deadline=$((SECONDS + $1)) out
  while :; do
    # shellcheck disable=SC2086
    out=$("$PY3" "$STACK_DIR/kafkactl.py" --bootstrap "$(kc_bootstrap)" --timeout 5 \
      describe hbase $QZ_KAFKA_TOPICS 2>&1) && \
      ! awk '{ if (split($6, r, ",") != split($8, s, ",") || $4 < 0) bad = 1 } END { exit !bad }' <<<"$out" \
      && return 0
    ((SECONDS < deadline)) || { say kafka-cluster "FAILED: replicas not in sync after ${secs}s:"; echo "$out" >&2; return 1; }
    sleep 0.5
  done
}

# One line a node of a cluster: up (it answers), starting (a process that
# does not answer yet) or down. node_lines KIND BASE_PORT ANSWERS PID_OF
node_lines() {
  local kind=$1 base=$2 answers=$3 pid_of=$4 n i pid
  n=$(cluster_size "$kind")
  for ((i = 1; i <= n; i++)); do
    if "$answers" "$i"; then pid=up
    elif pid=$("$pid_of" "$i"); then pid="starting (pid $pid)"
    else pid=down; fi
    printf '%-11s %-16s %s\n' "$kind-$i" "127.0.0.1:$((base + i))" "$pid"
  done
}

kc_status() { node_lines kafka "$KC_BROKER_BASE" kc_answers kc_pid; }

kc_down() {
  local n i pid pids=()
  n=$(cluster_size kafka)
  for ((i = 1; i <= n; i++)); do
    if pid=$(kc_pid "$i"); then
      ( stop_pid "kafka-$i" "$pid" 60; say "kafka-$i" "stopped" ) & pids+=($!)
    fi
  done
  ((${#pids[@]})) && wait "${pids[@]}"
  return 0
}

# --- RabbitMQ cluster ------------------------------------------------------------

rc_dir() { echo "$RC/node$1"; }
rc_node() { echo "qzc$1@localhost"; }
rc_pid() { live_pid "$(rc_dir "$1")/rabbitmq.pid" "$RABBIT_SBIN/rabbitmq-server"; }

rc_env() {
  local i=$1 d
  d=$(rc_dir "$i")
  mkdir -p "$d/mnesia" "$d/log" "$RC/home"
  : >"$d/rabbitmq-env.conf"
  [[ -f $d/enabled_plugins ]] || echo '[].' >"$d/enabled_plugins"
  [[ -f $d/rabbitmq.conf ]] || cat >"$d/rabbitmq.conf" <<'EOF'
loopback_users.guest = true
log.console = false
log.file.level = info
disk_free_limit.absolute = 50MB
# A lost node is a node that crashed; never pause the survivors (that is for
# clusters that can split); quorum queues keep their own majority rule.
cluster_partition_handling = ignore
EOF
  export RABBITMQ_NODENAME; RABBITMQ_NODENAME=$(rc_node "$i")
  export RABBITMQ_NODE_IP_ADDRESS=127.0.0.1
  export RABBITMQ_NODE_PORT=$((RC_AMQP_BASE + i))
  export RABBITMQ_DIST_PORT=$((RC_DIST_BASE + i))
  export RABBITMQ_MNESIA_BASE="$d/mnesia"
  export RABBITMQ_LOG_BASE="$d/log"
  export RABBITMQ_CONFIG_FILE="$d/rabbitmq.conf"
  export RABBITMQ_ENABLED_PLUGINS_FILE="$d/enabled_plugins"
  export RABBITMQ_CONF_ENV_FILE="$d/rabbitmq-env.conf"
  export RABBITMQ_PID_FILE="$d/beam.pid"
  # One Erlang cookie for every node of the cluster and for rabbitmqctl.
  export HOME="$RC/home"
  export ERL_EPMD_ADDRESS=127.0.0.1
  export ERL_EPMD_PORT=$RC_EPMD_PORT
  export RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1} +sbwt none +sbwtdcpu none +sbwtdio none"
  export RABBITMQ_CTL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1}"
  export LANG=C.UTF-8 LC_ALL=C.UTF-8
}

rc_ctl() {  # I ARGS...: rabbitmqctl against node I
  local i=$1
  shift
  ( rc_env "$i"; "$RABBIT_SBIN/rabbitmqctl" -n "$(rc_node "$i")" "$@" )
}

rc_answers() { local pid; pid=$(rc_pid "$1") && port_owned_by $((RC_AMQP_BASE + $1)) "$pid"; }

rc_node_up() {
  local i=$1 t0 deadline d
  t0=$(now)
  d=$(rc_dir "$i")
  if ! rc_pid "$i" >/dev/null; then
    for p in $((RC_AMQP_BASE + i)) $((RC_DIST_BASE + i)); do
      port_open "$p" && { say "rabbitmq-$i" "FAILED: port $p is taken"; return 1; }
    done
    (
      rc_env "$i"
      epmd -daemon -address 127.0.0.1 -port "$RC_EPMD_PORT" 2>/dev/null || true
      spawn "$d/log/startup.log" "$d/rabbitmq.pid" "$RABBIT_SBIN/rabbitmq-server"
    ) || return 1
  fi
  deadline=$((SECONDS + UP_TIMEOUT))
  until rc_answers "$i"; do
    rc_pid "$i" >/dev/null || { cl_fail "rabbitmq-$i" "$d/log/$(rc_node "$i").log $d/log/startup.log" "exited during start-up"; return 1; }
    ((SECONDS < deadline)) || { cl_fail "rabbitmq-$i" "$d/log/$(rc_node "$i").log" "not answering after ${UP_TIMEOUT}s"; return 1; }
    sleep 0.25
  done
  rc_ctl "$i" -q await_startup --timeout "$UP_TIMEOUT" >/dev/null \
    || { cl_fail "rabbitmq-$i" "$d/log/$(rc_node "$i").log" "did not finish starting"; return 1; }
  say "rabbitmq-$i" "up on 127.0.0.1:$((RC_AMQP_BASE + i)) as $(rc_node "$i") after $(elapsed "$t0")s"
}

rc_up() {
  local n=$1 i rc=0 t0
  t0=$(now)
  mkdir -p "$RC/home"
  echo "$n" >"$RC/nodes"
  if [[ ! -s $RC/home/.erlang.cookie ]]; then
    "$PY3" -c 'import secrets; print(secrets.token_hex(16).upper(), end="")' >"$RC/home/.erlang.cookie"
    chmod 400 "$RC/home/.erlang.cookie"
  fi
  local pids=()
  for ((i = 1; i <= n; i++)); do rc_node_up "$i" & pids+=($!); done
  for i in "${pids[@]}"; do wait "$i" || rc=1; done
  ((rc == 0)) || return 1
  # Joining is once per node; a node that rejoins after a crash finds its
  # cluster in its own data.
  if [[ ! -f $RC/node1/.joined ]]; then
    rc_ctl 1 -q change_password guest plovk562 >/dev/null || return 1
    touch "$RC/node1/.joined"
  fi
  for ((i = 2; i <= n; i++)); do
    [[ -f $RC/node$i/.joined ]] && continue
    say "rabbitmq-$i" "joining $(rc_node 1)"
    { rc_ctl "$i" -q stop_app && rc_ctl "$i" -q join_cluster "$(rc_node 1)" \
        && rc_ctl "$i" -q start_app; } >/dev/null 2>&1 \
      || { cl_fail "rabbitmq-$i" "$(rc_dir "$i")/log/$(rc_node "$i").log" "could not join $(rc_node 1)"; return 1; }
    touch "$RC/node$i/.joined"
  done
  rc_wait_running "$n" 60 || return 1
  say rabbitmq-cluster "$n nodes up, hosts $(rc_hosts), in $(elapsed "$t0")s"
}

# Every node of the cluster sees every other one running.
rc_wait_running() {
  local n=$1 secs=$2 deadline=$((SECONDS + $2)) i count ok
  while :; do
    ok=1
    for ((i = 1; i <= n; i++)); do
      count=$(rc_ctl "$i" -q eval 'length(rabbit_nodes:all_running()).' 2>/dev/null | tr -dc 0-9)
      [[ $count == "$n" ]] || { ok=0; break; }
    done
    ((ok)) && return 0
    ((SECONDS < deadline)) || { say rabbitmq-cluster "FAILED: node $i sees ${count:-no} running nodes of $n after ${secs}s"; return 1; }
    sleep 0.5
  done
}

rc_status() { node_lines rabbitmq "$RC_AMQP_BASE" rc_answers rc_pid; }

rc_down() {
  local n i pid pids=()
  n=$(cluster_size rabbitmq)
  for ((i = 1; i <= n; i++)); do
    if pid=$(rc_pid "$i"); then
      (
        rc_ctl "$i" -q stop >/dev/null 2>&1 || true
        wait_gone "$pid" 60 || stop_pid "rabbitmq-$i" "$pid" 10
        say "rabbitmq-$i" "stopped"
      ) & pids+=($!)
    fi
  done
  ((${#pids[@]})) && wait "${pids[@]}"
  if ! ERL_EPMD_PORT=$RC_EPMD_PORT epmd -names 2>/dev/null | grep -q '^name '; then
    ERL_EPMD_PORT=$RC_EPMD_PORT epmd -kill >/dev/null 2>&1 || true
  fi
  return 0
}

# --- shared ----------------------------------------------------------------------

cl_fail() {
  local name=$1 logs=$2 msg=$3 log
  say "$name" "FAILED: $msg"
  for log in $logs; do
    [[ -s $log ]] || continue
    echo "----- last lines of $log -----" >&2
    tail -n 30 "$log" >&2
  done
  return 1
}

# NODE is kafka-I or rabbitmq-I. SIGKILL, as a crash or a pulled plug would
# do: no clean shutdown, no goodbye to the other nodes.
cluster_kill() {
  local node=$1 kind i pid
  [[ $node =~ ^(kafka|rabbitmq)-([1-9])$ ]] || die "usage: stack kill kafka-I|rabbitmq-I"
  kind=${BASH_REMATCH[1]} i=${BASH_REMATCH[2]}
  ((i <= $(cluster_size "$kind"))) || die "no node $node"
  if [[ $kind == kafka ]]; then pid=$(kc_pid "$i"); else pid=$(rc_pid "$i"); fi \
    || die "$node is not running"
  # The whole session: RabbitMQ's script and its Erlang VM go together.
  kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid"
  wait_gone "$pid" 10 || die "$node did not die"
  echo "killed $node (pid $pid)"
}

cluster_status() {
  (($(cluster_size kafka))) && kc_status
  (($(cluster_size rabbitmq))) && rc_status
  return 0
}
