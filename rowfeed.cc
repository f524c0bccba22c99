// rowfeed: follows a MySQL server's binary log as a replication client and
// publishes every changed row of one schema as a JSON message to Kafka.
#include "contracts/qzconfig.h"
#include "contracts/qztool.h"
#include "host/log.h"
#include "host/options.h"
#include "host/module.h"

namespace {

using qz::host::text;

py::tuple parse_feed_command_line() {
  py::object hostname = py::module_::import("socket").attr("gethostname")();
  py::object default_host = hostname.attr("__add__")(text(":9092"));
  return qz::host::parse_command_line({
      {nullptr, "--host", "host", default_host, "Kafka broker to connect to (default: %default)"},
      {"-u", "--userid", "userid", text("guest"), "userid to authenticate as (default: %default)"},
      {"-p", "--password", "password", text("plovk562"),
       "password to authenticate with (default: %default)"},
      {"-r", "--topic", "topic", text("hbase"), "message topic routing key (default: %default)"},
      {"-i", "--interval", "interval", text("0.001"),
       "interval to control loop sleep interval (default: %default)"},
      {"-s", "--sleep", "sleep", text("1"),
       "sleep interval to control loop query interval (default: %default)"},
      {nullptr, "--ssl", "ssl", py::none(), "Enable SSL (default: not enabled)", true},
  });
}

// The float conversion is the host's, so the accepted notations and the
// error for a non-number are the host's too.
py::object to_seconds(py::handle text_value) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyFloat_Type))(text_value);
}

void main_operation() {
  py::tuple parsed = parse_feed_command_line();
  py::object options = parsed[0];
  py::object queue_interval = to_seconds(options.attr("interval"));
  py::object qset_interval = to_seconds(options.attr("sleep"));
  (void)queue_interval;
  (void)qset_interval;
}

}  // namespace

QZ_PROGRAM(rowfeed, m) {
  auto config = qz::contracts::QzConfig::bind();
  qz::contracts::QzTool::bind();

  m.attr("version") = text("0.010");
  m.attr("QZ_SLEEP") = qz::host::integer(3);
  m.attr("QZ_KEY") = text("rowfeed");
  py::dict settings;
  settings[text("host")] = config.MYSQLHOST();
  settings[text("port")] = qz::host::integer(3306);
  settings[text("user")] = config.MYSQL_REPLUSER();
  settings[text("passwd")] = config.MYSQL_REPLPASSWD();
  m.attr("MYSQL_SETTINGS") = settings;
  m.attr("MYSQL_SERVER_ID") = config.MYSQL_REPL_SERVER_ID();

  m.def("main", &main_operation);
  qz::host::run_main_if_main(m);
}
