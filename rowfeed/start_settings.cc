#include "rowfeed/start_settings.h"

#include <cmath>

namespace qz::rowfeed {

namespace {

using host::text;


// A pause given on the command line: the host's float conversion (its
// notations), then finite and not negative, or sleep() would fail or never
// come back.
std::optional<BadSetting> pause_problem(const char* name, py::handle raw) {
  py::object seconds =
      qz::host::unless_raised(PyNumber_Float(raw.ptr()), {PyExc_ValueError, PyExc_TypeError});
  if (seconds) {
    double value = PyFloat_AS_DOUBLE(seconds.ptr());
    if (std::isfinite(value) && value >= 0) return std::nullopt;
  }
  return BadSetting{name, host::repr_of(raw), "it accepts a number of seconds from 0, finite"};
}

}  // namespace

std::optional<BadSetting> start_setting_problem(const contracts::QzConfig& config,
                                                py::handle options) {
  try {
    config.check({"MYSQLHOST", "MYSQL_REPLUSER", "MYSQL_REPLPASSWD", "MYSQL_REPL_SERVER_ID",
                  "MYSQLDB", "QZ_MQ_QUEUE_INTERVAL", "QZ_MQ_QSET_INTERVAL", "QZ_KF_HOST",
                  "QZ_KF_TOPIC", "QZ_KF_SECURITY_PROTOCOL", "QZ_KF_SASL_MECHANISM",
                  "QZ_KF_SASL_USERNAME", "QZ_KF_SASL_PASSWORD", "QZ_KF_SSL_CAFILE",
                  "QZ_KF_SSL_CERTFILE", "QZ_KF_SSL_KEYFILE", "QZ_MYSQL_SSL_CA",
                  "QZ_MYSQL_SSL_CERT", "QZ_MYSQL_SSL_KEY", "QZ_HBASE_IGNORE",
                  "QZ_HBASE_TABLES_MAP", "KAFKA_BATCH", "KAFKA_MAX_MESSAGE_SIZE",
                  "KAFKA_SEND_INTERVAL", "KAFKA_STAT_INTERVAL", "MAX_QMSG_COUNT",
                  "MYSQL_READ_TIMEOUT"});
  } catch (py::error_already_set& e) {
    py::object refused = config.SettingError();
    if (refused.is_none() || !e.matches(refused)) throw;
    py::object error = e.value();
    py::object why = py::getattr(error, "why", py::none());
    if (why.is_none()) return BadSetting{"(unnamed)", text("?"), qz::host::str_text(error)};
    return BadSetting{qz::host::str_text(error.attr("name")), error.attr("shown"), qz::host::str_text(why)};
  }
  if (auto bad = pause_problem("--interval", options.attr("interval"))) return bad;
  return pause_problem("--sleep", options.attr("sleep"));
}

}  // namespace qz::rowfeed
