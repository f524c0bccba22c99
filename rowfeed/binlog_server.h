// What the feed asks the database server outside the replication stream:
// short queries on a connection of their own, made with the stream's
// connection settings and bounded in time (10 s to connect, 10 s a read).
#pragma once

#include "host/host.h"

namespace qz::rowfeed {

// The server's binlog_row_metadata ("FULL", "MINIMAL", "NO_LOG"), or none
// when the server has no such variable (MySQL before 8.0.1, MariaDB before
// 10.5: its log names no columns). Throws the driver's error when the
// server cannot be asked.
py::object row_metadata_mode(py::handle connection_settings);

// The binary-log files the server still has, oldest first (SHOW BINARY
// LOGS), as a list of texts. Throws the driver's error.
py::list binary_logs(py::handle connection_settings);

}  // namespace qz::rowfeed
