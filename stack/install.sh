#!/usr/bin/env bash
# Installs what the local stack needs and is missing. Safe to re-run: each
# step first checks whether its result is already there, so a complete
# machine passes through in about a second.
set -euo pipefail

STACK_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=lib.sh
. "$STACK_DIR/lib.sh"

log() { echo "install: $*" >&2; }

# --- Debian packages ---------------------------------------------------------
APT_PACKAGES=(
  mariadb-server mariadb-client
  rabbitmq-server
  python3 python3-aiosmtpd
  openjdk-17-jre-headless maven
  procps iproute2 netcat-openbsd
)

missing=()
for p in "${APT_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  log "apt-get install ${missing[*]}"
  # Debian starts a freshly installed daemon right away; those system
  # instances would take our ports (3306, 5672, 4369) with their own data.
  # policy-rc.d answering 101 makes invoke-rc.d skip every start.
  own_policy=0
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    own_policy=1
  fi
  trap '[[ $own_policy == 1 ]] && rm -f /usr/sbin/policy-rc.d' EXIT
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y -q --no-install-recommends "${missing[@]}" >&2; then
    # A stale package list is the usual cause on a machine kept for a while.
    apt-get update -q >&2
    apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
  fi
  if [[ $own_policy == 1 ]]; then rm -f /usr/sbin/policy-rc.d; fi
  trap - EXIT
fi

# Whatever started anyway (an older install, a service manager that ignores
# policy-rc.d) must not hold our ports. Only the system-wide instances are
# stopped: ours run with --datadir / node names under the run directory.
stop_system_instances() {
  local pid cmd
  for pid in $(pgrep -x mariadbd 2>/dev/null; pgrep -x mysqld 2>/dev/null); do
    cmd=$(tr '\0' ' ' < /proc/"$pid"/cmdline 2>/dev/null || true)
    if [[ $cmd != *"$QZ_RUN/mariadb"* ]]; then
      log "stopping system MariaDB (pid $pid)"
      kill "$pid" 2>/dev/null || true
    fi
  done
  for pid in $(pgrep -f 'beam.smp.*-sname rabbit@' 2>/dev/null); do
    log "stopping system RabbitMQ (pid $pid)"
    kill "$pid" 2>/dev/null || true
  done
  # Debian's rabbitmq-server set-up leaves an epmd listening on every
  # interface; ours is started on loopback by `stack up rabbitmq`.
  for pid in $(ss -Hltnp 'sport = :4369' 2>/dev/null | awk '$4 !~ /^(127\.0\.0\.1|\[::1\]):/' \
                 | grep -o 'pid=[0-9]*' | cut -d= -f2 | sort -u); do
    log "stopping epmd listening beyond loopback (pid $pid)"
    kill "$pid" 2>/dev/null || true
  done
  if command -v update-rc.d >/dev/null; then
    update-rc.d mariadb disable >/dev/null 2>&1 || true
    update-rc.d rabbitmq-server disable >/dev/null 2>&1 || true
  fi
  if command -v systemctl >/dev/null && [[ -d /run/systemd/system ]]; then
    systemctl disable --now mariadb rabbitmq-server >/dev/null 2>&1 || true
  fi
}
stop_system_instances

# --- Kafka broker jars from Maven Central -------------------------------------
kafka_ok() { [[ -f "$1/.complete" ]] && ls "$1"/kafka_2.13-*.jar >/dev/null 2>&1; }

# The first of VERSIONS that resolves, unless one is there already.
fetch_kafka() {
  local versions=$1 libs got="" v dir
  if libs="$(kafka_libs_dir "$versions")" && kafka_ok "$libs"; then return 0; fi
  for v in $versions; do
    dir="$QZ_CACHE/kafka-$v/libs"
    if kafka_ok "$dir"; then got=$v; break; fi
    log "fetching Kafka $v jars into $dir"
    rm -rf "$dir.tmp"
    mkdir -p "$dir.tmp"
    if mvn -q -B -f "$STACK_DIR/kafka/pom.xml" -Dkafka.version="$v" \
         dependency:copy-dependencies -DincludeScope=runtime \
         -DoutputDirectory="$dir.tmp" >&2; then
      touch "$dir.tmp/.complete"
      rm -rf "$dir"
      mv "$dir.tmp" "$dir"
      got=$v
      break
    fi
    rm -rf "$dir.tmp"
    log "Kafka $v could not be resolved"
  done
  [[ -n $got ]] || { log "no Kafka version in '$versions' could be fetched"; exit 1; }
  log "Kafka $got: $(ls "$QZ_CACHE/kafka-$got/libs"/*.jar | wc -l) jars"
}
fetch_kafka "$KAFKA_VERSIONS"
fetch_kafka "$KAFKA_PREVIOUS_VERSIONS"

# --- the CA and certificates of the secure listeners --------------------------
"$STACK_DIR/tls.sh"

log "ok"
