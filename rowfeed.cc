// rowfeed: follows a MySQL server's binary log as a replication client and
// publishes every changed row of one schema as a JSON message to Kafka, in
// gzip batches, keeping the log position from which a restart resumes.
//
// The saved position never runs ahead of a row that Kafka has not taken: it
// only moves to the end of a statement (where a resumed stream finds the
// table map it needs) all of whose rows were sent, or skipped. A restart
// may repeat messages; it never loses one.
//
// Its rooms (rowfeed/): the bound host objects (bindings), column values as
// published (column_values), rows to messages (row_messages), the batch, the
// checkpoint and the exit reason (batch, checkpoint, exit_reason), the read
// cycles (feed), and what the start checks and connects (start_failures,
// start_settings, secure_connections, position_record, binlog_server,
// kafka_sender, stop_signals). This file is the start and the module.
#include "contracts/qzconfig.h"
#include "contracts/qztool.h"
#include "host/arguments.h"
#include "host/json.h"
#include "host/log.h"
#include "host/module.h"
#include "host/options.h"
#include "rowfeed/bindings.h"
#include "rowfeed/binlog_server.h"
#include "rowfeed/column_values.h"
#include "rowfeed/feed.h"
#include "rowfeed/kafka_sender.h"
#include "rowfeed/position_record.h"
#include "rowfeed/secure_connections.h"
#include "rowfeed/start_failures.h"
#include "rowfeed/start_settings.h"
#include "rowfeed/stop_signals.h"

#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace {

using qz::host::integer;
using qz::host::is_failure;
using qz::host::log_at_now;
using qz::host::repr_of;
using qz::host::steal;
using qz::host::str_of;
using qz::host::text;
using qz::host::truth;
using qz::rowfeed::as_double;
using qz::rowfeed::BadPositionRecord;
using qz::rowfeed::BadSetting;
using qz::rowfeed::ClientWarnings;
using qz::rowfeed::database_tls_context;
using qz::rowfeed::end_start;
using qz::rowfeed::end_start_on_setting;
using qz::rowfeed::Feed;
using qz::rowfeed::global;
using qz::rowfeed::kafka_security_settings;
using qz::rowfeed::KafkaSender;
using qz::rowfeed::bound;
using qz::rowfeed::read_deadline;
using qz::rowfeed::read_position_record;
using qz::rowfeed::report_bad_record;
using qz::rowfeed::same;
using qz::rowfeed::Settings;
using qz::rowfeed::to_seconds;

// The replication library reads a TIMESTAMP as seconds since the epoch and
// makes it a datetime with datetime.fromtimestamp, in the process's local
// zone: a zone's offset shifts every value, and where a daylight-saving fold
// repeats an hour two instants become one datetime, past repair. So its row
// decoder is given a datetime module whose datetime builds those values in
// UTC, the zone in which "hbase_json" reads every date-and-time; all else of
// the module is the host's own.
py::object decode_timestamps_in_utc(py::handle row_event, py::handle datetime,
                                    py::handle builtins) {
  py::object imported = py::getattr(row_event, "datetime", py::none());
  if (!imported.is(datetime))
    throw std::runtime_error(
        "pymysqlreplication.row_event does not read TIMESTAMP values through the datetime "
        "module; its local-zone values would be published as UTC");
  py::object host_datetime = datetime.attr("datetime");
  py::dict members;
  members[text("fromtimestamp")] =
      builtins.attr("staticmethod")(host_datetime.attr("utcfromtimestamp"));
  members[text("__module__")] = text("rowfeed");
  py::object in_utc =
      builtins.attr("type")(text("datetime"), py::make_tuple(host_datetime), members);
  py::object module = py::module_::import("types").attr("ModuleType")(text("datetime"));
  module.attr("__dict__").attr("update")(datetime.attr("__dict__"));
  module.attr("datetime") = in_utc;
  row_event.attr("datetime") = module;
  return in_utc;
}

py::tuple parse_feed_command_line() {
  py::object hostname = py::module_::import("socket").attr("gethostname")();
  py::object default_host = hostname + text(":9092");
  return qz::host::parse_platform_command_line(
      {nullptr, "--host", "host", default_host, "Kafka broker to connect to (default: %default)"},
      {
          {"-r", "--topic", "topic", text("hbase"),
           "message topic routing key (default: %default)"},
          {"-i", "--interval", "interval", text("0.001"),
           "interval to control loop sleep interval (default: %default)"},
          {"-s", "--sleep", "sleep", text("1"),
           "sleep interval to control loop query interval (default: %default)"},
      });
}

// Says at start whether the rows of the log carry their own column names:
// without them a row written before an ALTER TABLE cannot be read as it was
// written (such a statement then ends the feed, MS145).
void report_row_metadata() {
  try {
    py::object mode = qz::rowfeed::row_metadata_mode(global("MYSQL_SETTINGS"));
    if (!mode.is_none() && same(str_of(mode).attr("upper")(), text("FULL")))
      log_at_now("MS101 the server writes full row metadata (binlog_row_metadata=FULL): each "
                 "row is read under the columns it was written with");
    else
      log_at_now("MS102 the server writes no column names into its log",
                 text("(binlog_row_metadata=") +
                     (mode.is_none() ? text("none: the server has no such setting")
                                     : py::object(str_of(mode))) +
                     text("):"),
                 "rows written before an ALTER TABLE of their table cannot be read and stop "
                 "the feed (MS145); set binlog_row_metadata=FULL (MariaDB 10.5, MySQL 8.0.1 and "
                 "later)");
  } catch (py::error_already_set& error) {
    if (!is_failure(error)) throw;
    log_at_now("MS103 the server could not be asked whether it writes full row metadata:",
               repr_of(error.value()), "; each table map of the log tells");
  }
}

// "host:port" in the database setting: the pinned driver (PyMySQL 0.10.1)
// refuses a port given as text, so the port goes on as an integer.
void split_database_host() {
  py::object settings = global("MYSQL_SETTINGS");
  py::object host = settings[text("host")];
  py::object parts = host.attr("split")(text(":"));
  if (py::len(parts) != 2) return;
  try {
    settings[text("port")] = steal(PyNumber_Int(parts[integer(1)].ptr()));
  } catch (py::error_already_set& error) {
    if (!is_failure(error)) throw;
    end_start("MS104", "MYSQLHOST", repr_of(host), error);
  }
  settings[text("host")] = parts[integer(0)];
}

// The Kafka client's connection settings beyond the brokers' addresses;
// `encrypt` is --ssl. Throws BadSetting.
py::dict kafka_client_settings(bool encrypt) {
  py::dict settings = kafka_security_settings(bound->config, encrypt);
  settings[text("client_id")] = text("rowfeed");
  return settings;
}

// The database connections' TLS, when the QZ_MYSQL_SSL_* settings ask.
void secure_database_connection() {
  py::object context = database_tls_context(bound->config);
  if (!context.is_none()) global("MYSQL_SETTINGS")[text("ssl")] = context;
}

// The producer, built and connected to a leader of the topic once before
// the read cycles. A broker that does not answer, or refuses the
// connection's TLS or SASL, ends the start: MS105.
std::unique_ptr<KafkaSender> connect_kafka(py::handle kf_host, py::handle kf_topic,
                                           py::dict settings) {
  ClientWarnings warnings;
  try {
    auto kafka = std::make_unique<KafkaSender>(kf_host, settings, KafkaSender::Limits{});
    kafka->connect(kf_topic);
    return kafka;
  } catch (py::error_already_set& error) {
    if (!is_failure(error)) throw;
    end_start("MS105", "Kafka at", kf_host, error, warnings.last());
  }
}

// A topic name Kafka can never take would fail every cycle's first send for
// ever; it ends the start instead: MS106, with the status of a bad setting,
// since no restart can mend it.
void check_topic(py::handle kf_topic) {
  try {
    py::module_::import("kafka.util").attr("ensure_valid_topic_name")(kf_topic);
  } catch (py::error_already_set& error) {
    if (!is_failure(error)) throw;
    log_at_now("MS106 Kafka topic", repr_of(kf_topic), "could not be used:",
               repr_of(error.value()));
    qz::host::end_on_bad_setting("MS106");
  }
}

// Everything before the first cycle.
Settings start_feed() {
  const auto& config = bound->config;
  py::object options = parse_feed_command_line()[0];
  if (auto bad = qz::rowfeed::start_setting_problem(config, options)) end_start_on_setting(*bad);
  py::object queue_interval = to_seconds("-i/--interval", options.attr("interval"));
  py::object qset_interval = to_seconds("-s/--sleep", options.attr("sleep"));
  py::object stop_event = bound->path_join(bound->tool.get_base_path(), text("tmp"),
                                             global("QZ_KEY") + text(".stop"));
  if (PyObject_RichCompareBool(config.QZ_MQ_QUEUE_INTERVAL().ptr(), queue_interval.ptr(),
                               Py_LT) == 1) {
    queue_interval = config.QZ_MQ_QUEUE_INTERVAL();
    qset_interval = config.QZ_MQ_QSET_INTERVAL();
  }
  py::object kf_host = config.QZ_KF_HOST();
  if (truth(options.attr("host"))) kf_host = options.attr("host");
  py::dict kafka_settings;
  try {
    kafka_settings = kafka_client_settings(truth(options.attr("ssl")));
    secure_database_connection();
  } catch (const BadSetting& bad) {
    end_start_on_setting(bad);
  }
  py::object kf_topic = options.attr("topic");
  if (!truth(kf_topic)) kf_topic = config.QZ_KF_TOPIC();
  check_topic(kf_topic);
  auto kafka = connect_kafka(kf_host, kf_topic, kafka_settings);
  log_at_now(kf_host + text(":" + std::to_string(getpid())), options.attr("interval"), kf_topic);
  try {
    read_position_record();
  } catch (const BadPositionRecord& bad) {
    report_bad_record(bad);
    qz::host::throw_error(PyExc_SystemExit, text("MS107"));
  }
  split_database_host();
  read_deadline(bound->config);
  report_row_metadata();
  qz::rowfeed::install_stop_signals();
  return {
      .topic = kf_topic,
      .qset_interval = as_double(qset_interval),
      .stop_event = stop_event,
      .kafka = std::move(kafka),
  };
}

void main_operation(py::args arguments, py::kwargs keywords) {
  qz::host::parse_arguments<0>(arguments, keywords, ":main", {});
  Settings settings;
  try {
    settings = start_feed();
  } catch (py::error_already_set& error) {
    // A failure of the start that no code above names: one line, the
    // code last on standard error, no traceback.
    if (!is_failure(error)) throw;
    log_at_now("MS109 the start failed:", repr_of(error.value()));
    qz::host::throw_error(PyExc_SystemExit, text("MS109"));
  }
  Feed(std::move(settings)).run();
}

}  // namespace

QZ_PROGRAM(rowfeed, module) {
  auto import = [](const char* name) { return py::module_::import(name); };
  auto interned = [](const char* name) { return steal(PyString_InternFromString(name)); };
  qz::rowfeed::bind_datetime_api();
  auto config = qz::contracts::QzConfig::bind();
  auto tool = qz::contracts::QzTool::bind();
  py::module_ row_event = import("pymysqlreplication.row_event");
  py::module_ datetime = import("datetime");
  py::object builtins = import("__builtin__");
  bound = new qz::rowfeed::Bindings{
      .globals = py::reinterpret_borrow<py::dict>(module.attr("__dict__")),
      .config = config,
      .tool = tool,
      .json_dumps = qz::host::DefaultDumps(qz::host::import_json()),
      .simplejson_dumps = qz::host::DefaultDumps(import("simplejson")),
      .stream_reader = import("pymysqlreplication").attr("BinLogStreamReader"),
      .delete_rows = row_event.attr("DeleteRowsEvent"),
      .write_rows = row_event.attr("WriteRowsEvent"),
      .update_rows = row_event.attr("UpdateRowsEvent"),
      .internal_error = import("pymysql.err").attr("InternalError"),
      .operational_error = import("pymysql.err").attr("OperationalError"),
      .layout_mismatch = import("pymysqlreplication.exceptions").attr("TableLayoutMismatch"),
      .datetime_kind = datetime.attr("datetime"),
      .date_kind = datetime.attr("date"),
      .timedelta_kind = datetime.attr("timedelta"),
      .timegm = import("calendar").attr("timegm"),
      .b64encode = import("base64").attr("b64encode"),
      .builtin_sorted = builtins.attr("sorted"),
      .utc_datetime_kind = decode_timestamps_in_utc(row_event, datetime, builtins),
      .key_sql_event = interned("sql_event"),
      .key_catalog = interned("hbase_catalog"),
      .key_baseid = interned("hbase_baseid"),
      .key_cf = interned("hbase_cf"),
      .key_key = interned("hbase_key"),
      .key_json = interned("hbase_json"),
      .cf_log = interned("log"),
      .kind_delete = interned("delete"),
      .kind_update = interned("update"),
      .kind_write = interned("write"),
      .key_values = interned("values"),
      .key_after_values = interned("after_values"),
      .key_before_values = interned("before_values"),
      .print_exception = import("traceback").attr("print_exception"),
      .remove = import("os").attr("remove"),
      .path_join = import("os.path").attr("join"),
      .builtin_range = builtins.attr("range"),
  };

  module.attr("version") = text("0.010");
  module.attr("QZ_SLEEP") = integer(3);
  module.attr("QZ_KEY") = text("rowfeed");
  py::dict settings;
  settings[text("host")] = config.MYSQLHOST();
  settings[text("port")] = integer(3306);
  settings[text("user")] = config.MYSQL_REPLUSER();
  settings[text("passwd")] = config.MYSQL_REPLPASSWD();
  module.attr("MYSQL_SETTINGS") = settings;
  module.attr("MYSQL_SERVER_ID") = config.MYSQL_REPL_SERVER_ID();

  module.def("main", &main_operation);
  qz::host::run_main_if_main(module);
}

