// How rowfeed's start ends when it cannot go on: one coded line, the code
// last on standard error, and no traceback.
#pragma once

#include "contracts/qzconfig.h"
#include "host/host.h"
#include "rowfeed/secure_connections.h"

#include <string>

namespace qz::rowfeed {

// Ends the start with one coded line naming `what` and `value` and the
// error (and the client's `reason`, when given), status 1, as every failure
// of the feed ends.
[[noreturn]] void end_start(const char* code, const char* what, py::handle value,
                            py::error_already_set& error, const std::string& reason = "");

// A setting that cannot be used ends the start before anything connects:
// MS104, naming the setting and its value (a secret's value never shows),
// and the status that tells a bad setting from a lost server.
[[noreturn]] void end_start_on_setting(const BadSetting& bad);

// The float conversion is the host's: its notations. A value it does not
// take ends the start with MS104, naming the option and the value.
py::object to_seconds(const char* option, py::handle value, bool positive = false);

// MYSQL_READ_TIMEOUT, checked at start (MS104) and read at each use.
py::object read_deadline(const qz::contracts::QzConfig& config);

}  // namespace qz::rowfeed
