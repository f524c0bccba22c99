# shellcheck shell=bash disable=SC2034
# Settings shared by install.sh, stack and selfcheck.sh (sourced, not run).

STACK_DIR="${STACK_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)}"
REPO_DIR="$(cd "$STACK_DIR/.." && pwd)"
QZ_RUN="${QZ_RUN:-$REPO_DIR/run}"
QZ_CACHE="${QZ_CACHE:-$HOME/.cache/qz}"
# First one that resolves wins. The current line by default; the previous
# one (which operators still run) is one setting away: KAFKA_VERSIONS=3.9.1.
KAFKA_VERSIONS="${KAFKA_VERSIONS:-4.4.0 4.3.2}"
# The previous line, for the end-to-end pass on it (stack up kafka-previous).
KAFKA_PREVIOUS_VERSIONS="${KAFKA_PREVIOUS_VERSIONS:-3.9.1 3.9.0}"
QZ_KAFKA_TOPICS="${QZ_KAFKA_TOPICS:-hbase qz_test qz_bench qz_demo}"

# The sinks rely on Debian's python3 (aiosmtpd is a Debian package); a
# pyenv shim earlier on PATH would not see it.
PY3=/usr/bin/python3
# The callers' PYTHONPATH names Python 2.7 packages (enum34 among them) that
# break Python 3; the stack's own scripts need none.
unset PYTHONPATH PYTHONHOME

MARIADB_PORT=3306
KAFKA_PORT=9092
KAFKA_CONTROLLER_PORT=9093
KAFKA_PREVIOUS_PORT=9192
KAFKA_PREVIOUS_CONTROLLER_PORT=9193
RABBITMQ_PORT=5672
RABBITMQ_DIST_PORT=25672
EPMD_PORT=4369
SMTP_PORT=8025
HTTP_PORT=8088
RABBITMQ_NODE="qz@localhost"

# Secure listeners beside the plain ones, with certificates from tls.sh
# under $QZ_RUN/tls. Clients name the host "localhost": the certificate's
# only name (Python 2.7 never matches an IP address entry).
TLS_DIR="$QZ_RUN/tls"
KAFKA_SSL_PORT=9094                 # SSL
KAFKA_SASL_SSL_PORT=9095            # SASL_SSL: SCRAM-SHA-512, SCRAM-SHA-256, PLAIN
KAFKA_PREVIOUS_SSL_PORT=9194
KAFKA_PREVIOUS_SASL_SSL_PORT=9195
KAFKA_SASL_USER=qzkafka
KAFKA_SASL_PASSWORD=qzkafka-secret
RABBITMQ_TLS_PORT=5671              # amqps
SMTP_STARTTLS_PORT=8587             # STARTTLS, AUTH offered only after it
SMTP_SSL_PORT=8465                  # implicit TLS
# MariaDB negotiates TLS on its one port; this user is created REQUIRE SSL.
MARIADB_TLS_USER=qzrepltls
MARIADB_TLS_PASSWORD=qzrepltls

# Prints the libs directory of the first complete Kafka download among the
# versions given (default: KAFKA_VERSIONS).
kafka_libs_dir() {
  local v
  for v in ${1:-$KAFKA_VERSIONS}; do
    if [[ -f "$QZ_CACHE/kafka-$v/libs/.complete" ]]; then
      echo "$QZ_CACHE/kafka-$v/libs"
      return 0
    fi
  done
  return 1
}
