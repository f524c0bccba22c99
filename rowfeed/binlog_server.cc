#include "rowfeed/binlog_server.h"

namespace qz::rowfeed {
namespace {

using qz::host::integer;
using qz::host::text;

py::object connect(py::handle connection_settings) {
  py::dict settings;
  for (auto item : py::reinterpret_borrow<py::dict>(connection_settings))
    settings[item.first] = item.second;
  settings[text("connect_timeout")] = integer(10);
  settings[text("read_timeout")] = integer(10);
  settings[text("write_timeout")] = integer(10);
  return py::module_::import("pymysql").attr("connect")(**settings);
}

// The rows of one query; the connection is closed whatever happens.
py::object rows_of(py::handle connection_settings, const char* query) {
  py::object connection = connect(connection_settings);
  try {
    py::object cursor = connection.attr("cursor")();
    cursor.attr("execute")(text(query));
    py::object rows = cursor.attr("fetchall")();
    connection.attr("close")();
    return rows;
  } catch (...) {
    try {
      connection.attr("close")();
    } catch (py::error_already_set&) {
    }
    throw;
  }
}

}  // namespace

py::object row_metadata_mode(py::handle connection_settings) {
  py::object rows = rows_of(connection_settings, "SHOW GLOBAL VARIABLES LIKE 'binlog_row_metadata'");
  if (py::len(rows) == 0) return py::none();
  return rows[integer(0)][integer(1)];
}

py::list binary_logs(py::handle connection_settings) {
  py::list files;
  for (py::handle row : rows_of(connection_settings, "SHOW BINARY LOGS")) files.append(row[integer(0)]);
  return files;
}

}  // namespace qz::rowfeed
