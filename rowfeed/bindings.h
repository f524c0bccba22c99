// What rowfeed binds from the host when it loads, shared by its rooms, and
// the few host helpers they all use.
#pragma once

#include "contracts/qzconfig.h"
#include "contracts/qztool.h"
#include "host/host.h"
#include "host/json.h"

namespace qz::rowfeed {

// What the module binds when it loads. Never freed: the host does not unload
// modules. Module constants stay in the module's namespace, read at each use.
// Filled by name (designated initialisers, in this order), so that two
// imports swapped cannot compile.
struct Bindings {
  py::dict globals;
  qz::contracts::QzConfig config;
  qz::contracts::QzTool tool;
  qz::host::DefaultDumps json_dumps;        // the message text
  qz::host::DefaultDumps simplejson_dumps;  // "hbase_json": decimals with all their digits
  // pymysqlreplication and its driver
  py::object stream_reader, delete_rows, write_rows, update_rows, internal_error;
  py::object operational_error, layout_mismatch;
  // column values
  py::object datetime_kind, date_kind, timedelta_kind, timegm, b64encode, builtin_sorted;
  py::object utc_datetime_kind;  // the kind the row decoder builds DATETIME values of
  // a message's own keys, made once: every row uses each of them
  py::object key_sql_event, key_catalog, key_baseid, key_cf, key_key, key_json, cf_log;
  py::object kind_delete, kind_update, kind_write, key_values, key_after_values, key_before_values;
  // the rest of the host
  py::object print_exception, remove, path_join, builtin_range;
};

// Set once by the module's load (rowfeed.cc), never freed.
extern Bindings* bound;

// The module's global `name` (QZ_KEY, QZ_SLEEP, MYSQL_SETTINGS, ...), read at each use.
py::object global(const char* name);

// The host toolkit's helpers, under the names the rooms use.
using qz::host::as_double;
using qz::host::is_instance;
using qz::host::same;

// Seconds since the epoch, as time.time() counts them.
double now();

}  // namespace qz::rowfeed
