// postrunner: consumes mail requests from the message broker and sends each
// as plain-text UTF-8 mail over one reused SMTP connection.
#include "contracts/qzconfig.h"
#include "contracts/qztool.h"
#include "host/options.h"
#include "host/module.h"

namespace {

using qz::host::text;

py::tuple parse_worker_command_line() {
  return qz::host::parse_command_line({
      {nullptr, "--host", "host", text("localhost"),
       "AMQP server to connect to (default: %default)"},
      {"-u", "--userid", "userid", text("guest"), "userid to authenticate as (default: %default)"},
      {"-p", "--password", "password", text("plovk562"),
       "password to authenticate with (default: %default)"},
      {nullptr, "--ssl", "ssl", py::none(), "Enable SSL (default: not enabled)", true},
  });
}

void main_operation() { parse_worker_command_line(); }

}  // namespace

QZ_PROGRAM(postrunner, m) {
  qz::contracts::QzConfig::bind();
  qz::contracts::QzTool::bind();

  m.attr("version") = text("0.010");
  m.attr("QZ_KEY") = text("qz_mail");
  m.attr("smtp") = py::none();

  m.def("main", &main_operation);
  qz::host::run_main_if_main(m);
}
