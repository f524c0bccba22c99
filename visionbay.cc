// visionbay: serves remote calls on the message broker: classifies one image
// with a trained DIGITS model job, or tells the time.
#include "contracts/qzconfig.h"
#include "contracts/qztool.h"
#include "host/options.h"
#include "host/module.h"

namespace {

using qz::host::text;

py::tuple parse_service_command_line() {
  return qz::host::parse_command_line({
      {nullptr, "--host", "host", text("localhost"),
       "AMQP server to connect to (default: %default)"},
      {"-u", "--userid", "userid", text("guest"), "userid to authenticate as (default: %default)"},
      {"-p", "--password", "password", text("plovk562"),
       "password to authenticate with (default: %default)"},
      {"-a", "--allservices", "allservices", text("n"),
       "to start all qz services? (default: %default)"},
      {nullptr, "--ssl", "ssl", py::none(), "Enable SSL (default: not enabled)", true},
  });
}

void main_operation() { parse_service_command_line(); }

}  // namespace

QZ_PROGRAM(visionbay, m) {
  qz::contracts::QzConfig::bind();
  qz::contracts::QzTool::bind();

  m.attr("version") = text("0.010");
  m.attr("QZ_KEY") = text("dnn_arpc");

  m.def("main", &main_operation);
  qz::host::run_main_if_main(m);
}
