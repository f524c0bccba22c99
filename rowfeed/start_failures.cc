#include "rowfeed/start_failures.h"

#include "host/log.h"
#include "rowfeed/bindings.h"

#include <cmath>

namespace qz::rowfeed {

using qz::host::is_failure;
using qz::host::log_at_now;
using qz::host::repr_of;
using qz::host::steal;
using qz::host::str_of;
using qz::host::text;

void end_start(const char* code, const char* what, py::handle value,
               py::error_already_set& error, const std::string& reason) {
  if (reason.empty())
    log_at_now(text(code), text(what), value, "could not be used:", repr_of(error.value()));
  else
    log_at_now(text(code), text(what), value, "could not be used:", repr_of(error.value()),
               text("- the client's last warning: " + reason));
  qz::host::throw_error(PyExc_SystemExit, text(code));
}

void end_start_on_setting(const BadSetting& bad) {
  log_at_now(text("MS104"), text("setting " + bad.name + "=") + str_of(bad.shown),
             text("is not usable: " + bad.why));
  qz::host::end_on_bad_setting("MS104");
}

py::object to_seconds(const char* option, py::handle value, bool positive) {
  try {
    py::object seconds = steal(PyNumber_Float(value.ptr()));
    double number = as_double(seconds);
    if (!std::isfinite(number) || number < 0 || (positive && number == 0))
      qz::host::throw_error(PyExc_ValueError,
                            text(positive ? "not a finite number of seconds above 0"
                                          : "not a finite number of seconds of 0 or more"));
    return seconds;
  } catch (py::error_already_set& error) {
    if (!is_failure(error)) throw;
    end_start("MS104", option, repr_of(value), error);
  }
}

py::object read_deadline(const qz::contracts::QzConfig& config) {
  return to_seconds("MYSQL_READ_TIMEOUT", config.MYSQL_READ_TIMEOUT(), true);
}

}  // namespace qz::rowfeed
