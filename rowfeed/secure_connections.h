// TLS and authentication of the feed's two connections, from the settings
// QZ_KF_SECURITY_PROTOCOL, QZ_KF_SASL_*, QZ_KF_SSL_* (Kafka) and
// QZ_MYSQL_SSL_* (the database's replication stream and its control
// connection). The settings' defaults and meanings live in qz.qzconfig.
//
// Whenever TLS is on, the server's chain and host name are checked against
// the named CA file (the system's store when none is named); nothing here
// can turn that off. Python 2.7 matches a host name against the
// certificate's DNS names only, never against an IP address entry.
//
// Each function reads the settings once, at the feed's start, and checks
// them all before anything connects: a setting that cannot be used is
// thrown as BadSetting, never carried to the first connection attempt.
#pragma once

#include "contracts/qzconfig.h"
#include "host/host.h"

#include <string>

namespace qz::rowfeed {

// A setting that cannot be used. `shown` is its value as it may appear in a
// log line: a secret's value never does (it is shown as "<hidden>").
struct BadSetting {
  std::string name;
  py::object shown;
  std::string why;
};

// The Kafka client's keyword settings for security: security_protocol,
// and as the protocol asks, sasl_mechanism / sasl_plain_username /
// sasl_plain_password and ssl_context (a context that checks the chain and
// the host name). `encrypt` (the feed's --ssl) makes PLAINTEXT into SSL and
// SASL_PLAINTEXT into SASL_SSL. Throws BadSetting.
py::dict kafka_security_settings(const contracts::QzConfig& config, bool encrypt);

// The TLS context for the database connections, or None when none of
// QZ_MYSQL_SSL_CA, QZ_MYSQL_SSL_CERT, QZ_MYSQL_SSL_KEY is set (plain, as
// before). Once one is set, a server that offers no TLS is refused.
// Throws BadSetting.
py::object database_tls_context(const contracts::QzConfig& config);

}  // namespace qz::rowfeed
