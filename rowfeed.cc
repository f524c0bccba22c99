// rowfeed: follows a MySQL server's binary log as a replication client and
// publishes every changed row of one schema as a JSON message to Kafka, in
// gzip batches, keeping the log position from which a restart resumes.
//
// The saved position never runs ahead of a row that Kafka has not taken: it
// only moves to the end of a statement (where a resumed stream finds the
// table map it needs) all of whose rows were sent, or skipped. A restart
// may repeat messages; it never loses one.
#include "contracts/qzconfig.h"
#include "contracts/qztool.h"
#include "host/arguments.h"
#include "host/json.h"
#include "host/log.h"
#include "host/module.h"
#include "host/options.h"
#include "rowfeed/binlog_server.h"
#include "rowfeed/kafka_sender.h"
#include "rowfeed/secure_connections.h"
#include "rowfeed/position_record.h"
#include "rowfeed/stop_signals.h"
#include "rowfeed/start_settings.h"

#include <datetime.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using qz::host::integer;
using qz::host::steal;
using qz::host::log_at_now;
using qz::host::repr_of;
using qz::host::str_of;
using qz::host::is_failure;
using qz::host::text;
using qz::host::truth;

// STMT_END_F: the last rows event of a statement.
constexpr long kStatementEnd = 0x0001;

// What the module binds when it loads. Never freed: the host does not unload
// modules. Module constants stay in the module's namespace, read at each use.
// Filled by name (designated initialisers, in this order), so that two
// imports swapped cannot compile.
struct Program {
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
Program* program = nullptr;

py::object global(const char* name) { return program->globals[text(name)]; }

bool is_instance(py::handle value, py::handle kind) {
  int result = PyObject_IsInstance(value.ptr(), kind.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

bool same(py::handle left, py::handle right) {
  int result = PyObject_RichCompareBool(left.ptr(), right.ptr(), Py_EQ);
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

double as_double(py::handle number) {
  double result = PyFloat_AsDouble(number.ptr());
  if (result == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return result;
}

double now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// ---- column values the host's JSON encoder cannot represent ----

// MySQL TIME is a signed duration that runs past 24 hours: [-]H:MM:SS[.ffffff].
py::object duration_text(py::handle delta) {
  long long days = py::cast<long long>(delta.attr("days"));
  long long seconds = py::cast<long long>(delta.attr("seconds"));
  long long micros = py::cast<long long>(delta.attr("microseconds"));
  long long total = (days * 86400 + seconds) * 1000000 + micros;
  bool negative = total < 0;
  unsigned long long magnitude = negative ? -static_cast<unsigned long long>(total) : total;
  unsigned long long fraction = magnitude % 1000000, whole = magnitude / 1000000;
  char shown[64];
  int length = std::snprintf(shown, sizeof shown, "%s%llu:%02llu:%02llu", negative ? "-" : "",
                             whole / 3600, (whole / 60) % 60, whole % 60);
  if (fraction != 0)
    length += std::snprintf(shown + length, sizeof shown - length, ".%06llu", fraction);
  return text(std::string_view(shown, static_cast<size_t>(length)));
}

// Days from 1970-01-01 to a proleptic Gregorian date (H. Hinnant's
// days_from_civil): the count calendar.timegm makes of a date.
long long days_from_civil(long long year, unsigned month, unsigned day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<long long>(day_of_era) - 719468;
}

// calendar.timegm(value.utctimetuple()): whole UTC seconds, the fraction
// dropped. Every DATETIME and TIMESTAMP of a row is a naive datetime of the
// host's own kind or the decoder's; for those, utctimetuple() is the value's
// own fields, counted here without the two host calls (a fifth of a row's
// own work). Any other datetime takes the host's way.
py::object utc_seconds(py::handle value) {
  PyTypeObject* kind = Py_TYPE(value.ptr());
  bool plain = kind == PyDateTimeAPI->DateTimeType ||
               kind == reinterpret_cast<PyTypeObject*>(program->utc_datetime_kind.ptr());
  if (!plain || reinterpret_cast<_PyDateTime_BaseTZInfo*>(value.ptr())->hastzinfo)
    return program->timegm(value.attr("utctimetuple")());
  PyObject* when = value.ptr();
  long long seconds =
      days_from_civil(PyDateTime_GET_YEAR(when), PyDateTime_GET_MONTH(when),
                      PyDateTime_GET_DAY(when)) * 86400 +
      PyDateTime_DATE_GET_HOUR(when) * 3600 + PyDateTime_DATE_GET_MINUTE(when) * 60 +
      PyDateTime_DATE_GET_SECOND(when);
  // timegm's type: a plain integer where it fits, else a long integer
  if (seconds < LONG_MIN || seconds > LONG_MAX) return steal(PyLong_FromLongLong(seconds));
  return steal(PyInt_FromLong(static_cast<long>(seconds)));
}

py::object lossless(py::handle value);

py::object lossless_items(py::handle container) {
  if (PyDict_Check(container.ptr())) {
    py::dict copy;
    for (auto item : py::reinterpret_borrow<py::dict>(container))
      copy[item.first] = lossless(item.second);
    return std::move(copy);
  }
  py::list copy;
  for (py::handle element : container) copy.append(lossless(element));
  return std::move(copy);
}

// A value as it goes into "hbase_json": date-and-time as whole UTC seconds;
// decimals stay (encoded with all their digits); dates as ISO 8601 text;
// times as signed durations; sets as sorted lists; byte strings that are not
// UTF-8 as base64 text. Everything else is left to the encoder.
py::object lossless(py::handle value) {
  if (PyInt_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr()) ||
      PyFloat_CheckExact(value.ptr()) || PyUnicode_CheckExact(value.ptr()) || value.is_none() ||
      PyBool_Check(value.ptr()))
    return py::reinterpret_borrow<py::object>(value);
  if (PyString_Check(value.ptr())) {
    // Owned at once: the decoded text only answers whether the bytes are UTF-8.
    py::object decoded = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(PyString_AS_STRING(value.ptr()),
                             PyString_GET_SIZE(value.ptr()), "strict"));
    if (decoded) return py::reinterpret_borrow<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::error_already_set();
    PyErr_Clear();
    return program->b64encode(value);
  }
  if (is_instance(value, program->datetime_kind)) return utc_seconds(value);
  if (is_instance(value, program->date_kind)) return value.attr("isoformat")();
  if (is_instance(value, program->timedelta_kind)) return duration_text(value);
  if (PyAnySet_Check(value.ptr())) return program->builtin_sorted(lossless_items(value));
  if (PyDict_Check(value.ptr()) || PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()))
    return lossless_items(value);
  return py::reinterpret_borrow<py::object>(value);
}

// ---- rows to messages ----

// The kind of change a rows event holds, and the key of a row's columns
// after it; no kind for an event of another kind.
struct ChangeKind {
  py::object sql_event = py::none();
  py::object columns_key;
};

ChangeKind change_kind(py::handle event) {
  if (is_instance(event, program->delete_rows)) return {program->kind_delete, program->key_values};
  if (is_instance(event, program->update_rows))
    return {program->kind_update, program->key_after_values};
  if (is_instance(event, program->write_rows)) return {program->kind_write, program->key_values};
  return {};
}

// A changed row: its kind of change, and its columns (name -> value) after it.
struct RowChange {
  py::object sql_event;
  py::object columns = py::none();  // none for an event of another kind
  // An update's columns before it: under binlog_row_image MINIMAL the
  // after image holds only the columns the update set, the before image
  // the row's key. None for other kinds.
  py::object before = py::none();
};

RowChange row_change(const ChangeKind& kind, py::handle row) {
  if (kind.sql_event.is_none()) return {};
  if (kind.sql_event.is(program->kind_update))
    return {kind.sql_event, row[kind.columns_key], row[program->key_before_values]};
  return {kind.sql_event, row[kind.columns_key]};
}

// QZ_HBASE_IGNORE holds [table, event] pairs that are not fed.
bool ignored(py::handle table, py::handle sql_event) {
  py::object pairs = program->config.QZ_HBASE_IGNORE();
  // nothing to look for in an empty list (the default), so no pair is made
  if (PyList_CheckExact(pairs.ptr()) && PyList_GET_SIZE(pairs.ptr()) == 0) return false;
  py::list table_and_event;
  table_and_event.append(table);
  table_and_event.append(sql_event);
  int found = PySequence_Contains(pairs.ptr(), table_and_event.ptr());
  if (found < 0) throw py::error_already_set();
  return found != 0;
}

// mapping.get(key); without a host call for a plain dict and a text key,
// whose hash cannot fail.
py::object get(py::handle mapping, py::handle key) {
  if (!PyDict_CheckExact(mapping.ptr()) || !PyString_CheckExact(key.ptr()))
    return mapping.attr("get")(key);
  PyObject* found = PyDict_GetItem(mapping.ptr(), key.ptr());
  return found ? py::reinterpret_borrow<py::object>(found) : py::none();
}

// The row id from the column that QZ_HBASE_TABLES_MAP names for the table;
// 0 without one, or when the column holds no integer (with an SS255 line).
// A partial image without the column takes it from the image that holds it
// (an update's before image).
py::object row_id_of(py::handle table, const RowChange& change) {
  py::object row_id = integer(0);
  py::object entry = get(program->config.QZ_HBASE_TABLES_MAP(), table);
  if (truth(entry)) {
    py::object id_column = entry[integer(1)];
    if (truth(id_column)) {
      row_id = get(change.columns, id_column);
      if (row_id.is_none() && !change.before.is_none()) {
        int held = PySequence_Contains(change.columns.ptr(), id_column.ptr());
        if (held < 0) throw py::error_already_set();
        if (held == 0) row_id = get(change.before, id_column);
      }
    }
  }
  if (row_id.is_none()) row_id = integer(0);
  if (!PyInt_Check(row_id.ptr()) && !PyLong_Check(row_id.ptr())) {
    log_at_now("SS255 hbase_baseid error", row_id, table);
    row_id = integer(0);
  }
  return row_id;
}

// Each column's value made lossless, in place. A dict's values are replaced
// as it is walked, which leaves its keys as they are (the host allows that).
void convert_columns(py::handle columns) {
  if (!PyDict_CheckExact(columns.ptr())) {
    for (py::handle name : steal(PySequence_List(columns.ptr())))
      columns[name] = lossless(columns[name]);
    return;
  }
  Py_ssize_t at = 0;
  PyObject *name, *value;
  while (PyDict_Next(columns.ptr(), &at, &name, &value)) {
    py::object converted = lossless(value);
    if (converted.ptr() != value && PyDict_SetItem(columns.ptr(), name, converted.ptr()) < 0)
      throw py::error_already_set();
  }
}

// The message of a row. Its columns are converted in place and carry the
// kind of change as well.
py::dict message_of(py::handle table, py::handle row_id, const RowChange& change) {
  py::handle columns = change.columns;
  py::dict message;
  message[program->key_sql_event] = change.sql_event;
  message[program->key_catalog] = table;
  message[program->key_baseid] = row_id;
  message[program->key_cf] = program->cf_log;
  message[program->key_key] = program->tool.hbase_key(table, row_id);
  convert_columns(columns);
  columns[program->key_sql_event] = change.sql_event;
  message[program->key_json] = program->simplejson_dumps(columns);
  return message;
}

// ---- the feed ----

// A binary-log position a stream can resume from: the end of a statement,
// and how many rows of the next statement Kafka already took (a statement
// larger than a batch goes in several).
struct Position {
  py::object file, pos;
  long rows = 0;
  bool known() const { return static_cast<bool>(file); }
};

// A message in the batch and where its row came from, to name it if Kafka
// refuses it.
struct QueuedMessage {
  py::object text;
  Py_ssize_t size;  // characters of text
  py::object table, row_id;
  Position reread_from;  // where a re-read of its row begins
};

// The messages read and not yet taken by Kafka, in read order; one producer
// call carries them all. The batch goes when the newest message makes it
// reach KAFKA_MAX_MESSAGE_SIZE characters, when it holds more than
// KAFKA_BATCH messages, or when the last batch went more than
// KAFKA_SEND_INTERVAL seconds ago (settings read at each test, in that order).
class Batch {
 public:
  void add(QueuedMessage message) {
    chars_ += message.size;
    messages_.push_back(std::move(message));
  }
  bool full(double now) const {
    const auto& config = program->config;
    return static_cast<double>(chars_) >= as_double(config.KAFKA_MAX_MESSAGE_SIZE()) ||
           static_cast<double>(messages_.size()) > as_double(config.KAFKA_BATCH()) ||
           now - last_sent_ > as_double(config.KAFKA_SEND_INTERVAL());
  }
  // Kafka took every message; the batch's age counts from `at`.
  void sent(double at) {
    clear();
    last_sent_ = at;
  }
  // Let go unsent: the next read cycle reads their rows again.
  void drop() { clear(); }
  // A new read cycle sends its first message at once.
  void restart_clock() { last_sent_ = 0; }
  bool empty() const { return messages_.empty(); }
  size_t size() const { return messages_.size(); }
  const std::vector<QueuedMessage>& messages() const { return messages_; }

 private:
  void clear() {
    messages_.clear();
    chars_ = 0;
  }
  std::vector<QueuedMessage> messages_;
  Py_ssize_t chars_ = 0;
  double last_sent_ = 0;
};

// Alone decides the position a restart resumes from: the end of a statement
// (where a resumed stream finds the table map it needs) and the number of
// rows after it that Kafka already took. As with a list of messages in
// flight, the position moves only when the oldest message outstanding is
// acknowledged; Kafka takes a batch whole, so an acknowledgement moves it to
// the last row queued. Counting the rows of a statement that went keeps a
// restart from sending them again: a row Kafka refuses in the middle of a
// large statement repeats none of the rows before it, however often the
// feed is restarted.
class Checkpoint {
 public:
  // A read cycle resumes here, with nothing in flight; `at.rows` rows after
  // it are passed over.
  void resume_from(const Position& at) {
    safe_ = at;
    statement_end_ = at;
    statement_end_.rows = 0;
    rows_in_statement_ = 0;
  }
  // A row of the statement in hand was queued, or passed over.
  void row_done() { ++rows_in_statement_; }
  // The stream read a statement's last rows event; `in_flight`: some rows
  // read are not yet acknowledged, so the position waits for them.
  void statement_end(const Position& at, bool in_flight) {
    statement_end_ = at;
    rows_in_statement_ = 0;
    if (!in_flight) safe_ = at;
  }
  // Kafka took every message read so far.
  void acknowledged() {
    safe_ = statement_end_;
    safe_.rows = rows_in_statement_;
  }
  // Kafka took every message read so far, and the stream read to the log's
  // end: nothing lies between its position `at` and what was sent.
  void acknowledged_to_log_end(const Position& at) { safe_ = at; }
  // Where a re-read of the statement in hand begins.
  const Position& statement_start() const { return statement_end_; }
  const Position& safe() const { return safe_; }

 private:
  Position safe_, statement_end_;
  long rows_in_statement_ = 0;
};

// Kafka's answers that end the feed (rowfeed/kafka_sender.h): a batch
// answered with an error no resend mends, and one refused as too large,
// which is not offered again. Either batch stays pending.
using qz::rowfeed::BatchFailed;
using qz::rowfeed::BatchRefused;
using qz::rowfeed::KafkaSender;
using qz::rowfeed::ClientWarnings;
using qz::rowfeed::BadSetting;
using qz::rowfeed::database_tls_context;
using qz::rowfeed::kafka_security_settings;
using qz::rowfeed::BadPositionRecord;
using qz::rowfeed::SavedPosition;

// The record path, as qztool names it, for the operator's line.
py::object record_path() {
  return program->path_join(program->tool.get_base_path(), text("tmp"),
                            global("QZ_KEY") + text(".json"));
}

// The saved position as qztool keeps it; throws BadPositionRecord for a
// record that is there and holds no position.
SavedPosition read_position_record() {
  bool present = truth(program->tool.load_tmp_json(text("tmp"), global("QZ_KEY"), text(".json")));
  py::object record = present ? program->tool.load_tmp_json(text("tmp"), global("QZ_KEY"))
                              : py::none();
  return qz::rowfeed::check_position_record(present, record);
}

void report_bad_record(const BadPositionRecord& bad) {
  log_at_now("MS107 position record", record_path(), text(bad.what) + text(";"),
             "it is left as it is and the feed ends; write the position to resume from into it, "
             "or remove it to start at the server's current position");
}

// How the program ends, settled as the feed goes. A failure leaves its code
// at the end of standard error with status 1: MS107 a position record that
// is no position, MS115 a batch that Kafka answered with an error, MS120 a
// database error, MS125 any other error in a read cycle, MS130 a batch
// refused as too large, MS145 rows the log does not describe enough to be
// read, MS150 a saved position the server no longer serves. The last failure wins, also
// over a later orderly stop, so that a supervisor learns that cycles failed.
// Without one, an end in error (the cycle limit, an error outside the read
// cycles, messages left unsent) gives status 1, and the stop file status 0.
class ExitReason {
 public:
  enum Kind {
    kOrderly,
    kInError,
    kBadRecord,
    kSendFailed,
    kDatabaseError,
    kOtherError,
    kBatchRefused,
    kLayoutUnknown,
    kPositionRefused,
  };

  void failure(Kind code) { kind_ = code; }
  void ended_in_error() {
    if (kind_ == kOrderly) kind_ = kInError;
  }
  bool is(Kind kind) const { return kind_ == kind; }

  // Ends the program as the host's sys.exit would; returns after an orderly end.
  void exit() const {
    if (const char* failure = code()) {
      PyErr_SetObject(PyExc_SystemExit, text(failure).ptr());
      throw py::error_already_set();
    }
    if (kind_ == kInError) py::module_::import("sys").attr("exit")(integer(1));
  }

 private:
  const char* code() const {
    switch (kind_) {
      case kSendFailed: return "MS115";
      case kDatabaseError: return "MS120";
      case kOtherError: return "MS125";
      case kBatchRefused: return "MS130";
      case kBadRecord: return "MS107";
      case kLayoutUnknown: return "MS145";
      case kPositionRefused: return "MS150";
      case kOrderly:
      case kInError: break;
    }
    return nullptr;
  }

  Kind kind_ = kOrderly;
};

// How reading the log ended in a read cycle that met no error.
enum class Reading {
  kToLogEnd,  // the stream had no more events: all up to its position was read
  kNoEvent,   // the replication library handed an empty event
  kStopFile,  // the stop file was found: the feed ends after this cycle
};

// What the command line and the settings give the feed at start.
struct Settings {
  py::object topic;
  double qset_interval;
  py::object stop_event;
  std::unique_ptr<KafkaSender> kafka;
};

py::object read_deadline();

// The read cycles. Its parts: the batch of messages not yet sent, the
// checkpoint that decides the saved position, the exit reason. A failure
// travels as an exception (the host's error, BatchFailed, BatchRefused) to
// the one place that handles it for its cycle or for the program.
class Feed {
 public:
  explicit Feed(Settings settings) : settings_(std::move(settings)) {}
  void run();

 private:
  // read cycles
  bool cycle();
  Reading read_log();
  void recover(py::error_already_set& error);
  bool position_refused(py::error_already_set& error);
  void report_layout_unknown(py::error_already_set& error);
  void note_failed_cycle(py::handle error);
  void clean_up(bool read_to_end);
  bool stop_file_while_waiting();
  void drop_pending_before_reread(const Position& saved);
  py::object open_stream(bool resume);
  // per event
  void statistics();
  bool stop_file_present();
  void remove_stop_file();
  void stop_while_reading();
  void queue_rows(py::handle event);
  void note_statement_end(py::handle event);
  // per row and message
  void queue_row(const ChangeKind& kind, py::handle row, py::handle table);
  void queue_message(py::handle message, py::handle table, py::handle row_id);
  void publish_batch();
  void send_batch(double now);
  void failed_send(const BatchFailed& failed);
  void report_refused(const BatchRefused& refused);
  void save_log_pos();
  Position stream_position() const;
  void report_unsent();

  Settings settings_;
  long cycle_ = 0, rows_ = 0, passes_ = 0, last_row_count_ = 0;
  double last_stat_time_ = 0;
  ExitReason exit_;
  Batch batch_;
  Checkpoint checkpoint_;
  py::object stream_ = py::none();
  // Cycles in a row that failed with the same error at the same position.
  long stalled_cycles_ = 0;
  Position stalled_at_;
  py::object stalled_error_;
  bool stop_signal_logged_ = false;
  // Rows after the resumed position that Kafka already took.
  long rows_to_pass_over_ = 0;
};

Position Feed::stream_position() const {
  return {stream_.attr("log_file"), stream_.attr("log_pos")};
}

void Feed::save_log_pos() {
  const Position& safe = checkpoint_.safe();
  if (stream_.is_none() || !safe.known()) return;
  py::dict record;
  record[text("log_file")] = safe.file;
  record[text("log_pos")] = safe.pos;
  if (safe.rows > 0) record[text("log_rows")] = integer(safe.rows);
  log_at_now("save_log_pos", record);
  try {
    program->tool.save_tmp_json(text("tmp"), record, global("QZ_KEY"));
  } catch (py::error_already_set& error) {
    // the line above named a record that was not written (a full disk, say)
    if (is_failure(error))
      log_at_now("MS108 the position record", record_path(), "was not written:",
                 repr_of(error.value()), "; it keeps the position saved before");
    throw;
  }
}

void Feed::statistics() {
  double this_stat_time = now();
  double elapsed = this_stat_time - last_stat_time_;
  if (elapsed > as_double(program->config.KAFKA_STAT_INTERVAL())) {
    if (rows_ > 0) {
      double rate = std::round(static_cast<double>(rows_ - last_row_count_) / elapsed);
      log_at_now("MS255", cycle_, rows_, passes_, stream_.attr("log_file"),
                 stream_.attr("log_pos"), py::float_(rate), "mps");
    }
    last_row_count_ = rows_;
    last_stat_time_ = this_stat_time;
  }
}

bool Feed::stop_file_present() {
  if (const char* signal = qz::rowfeed::stop_signal()) {
    if (!stop_signal_logged_) {
      log_at_now("stop signal", signal, "received: stopping as for the stop file");
      stop_signal_logged_ = true;
    }
    return true;
  }
  return truth(program->tool.load_tmp_json(text("tmp"), global("QZ_KEY"), text(".stop")));
}

// A stop that came by signal leaves no file to remove.
void Feed::remove_stop_file() {
  if (truth(program->tool.load_tmp_json(text("tmp"), global("QZ_KEY"), text(".stop"))))
    program->remove(settings_.stop_event);
}

// One produce request for the whole batch, which stays as it was. Throws
// BatchFailed when Kafka answers with an error that no resend mends,
// BatchRefused when it refuses the batch as too large, and the host's error
// of everything a later cycle may get past.
void Feed::publish_batch() {
  const std::vector<QueuedMessage>& messages = batch_.messages();
  std::vector<std::string_view> values;
  values.reserve(messages.size());
  for (const QueuedMessage& message : messages) {
    // The message texts are the host's JSON of ASCII: byte strings.
    char* data;
    Py_ssize_t size;
    if (PyString_AsStringAndSize(message.text.ptr(), &data, &size) != 0)
      throw py::error_already_set();
    values.emplace_back(data, static_cast<size_t>(size));
  }
  settings_.kafka->send(settings_.topic, values);
}

// Kafka takes the batch whole or not at all (publish_batch's errors); once
// it took the batch, the batch is empty and its rows are acknowledged. An
// empty batch is not offered: the broker refuses one.
void Feed::send_batch(double now) {
  if (!batch_.empty()) publish_batch();
  batch_.sent(now);
  checkpoint_.acknowledged();
}

// Names the largest message of the refused batch: an operator raises the
// broker's limit or lowers KAFKA_MAX_MESSAGE_SIZE.
void Feed::report_refused(const BatchRefused& refused) {
  exit_.failure(ExitReason::kBatchRefused);
  const QueuedMessage* largest = &batch_.messages().front();
  for (const QueuedMessage& message : batch_.messages())
    if (message.size > largest->size) largest = &message;
  log_at_now("MS130 Kafka refused a batch as too large; largest message: table",
             largest->table, "id", largest->row_id, "size", largest->size, "at",
             largest->reread_from.file, largest->reread_from.pos, "batch of", batch_.size(),
             "messages;", str_of(refused.error));
}

// The feed ends after this cycle; its clean-up offers the batch once more.
void Feed::failed_send(const BatchFailed& failed) {
  exit_.failure(ExitReason::kSendFailed);
  log_at_now("MS115", str_of(failed.error));
  log_at_now(text(std::to_string(passes_)), "MS115 send_messages failed, sleeping ",
             global("QZ_SLEEP"), " seconds...");
  save_log_pos();
  qz::host::sleep(as_double(global("QZ_SLEEP")));
}

void Feed::queue_message(py::handle message, py::handle table, py::handle row_id) {
  py::object encoded = program->json_dumps(message);
  Py_ssize_t size = py::len(encoded);
  batch_.add({encoded, size, py::reinterpret_borrow<py::object>(table),
              py::reinterpret_borrow<py::object>(row_id), checkpoint_.statement_start()});
  checkpoint_.row_done();
  double at = now();
  if (batch_.full(at)) {
    // The whole batch goes, the message that filled it included: it does
    // not open the next batch as well.
    send_batch(at);
    ++passes_;
  }
}

// Every row counts, also an empty one and one that is not fed.
void Feed::queue_row(const ChangeKind& kind, py::handle row, py::handle table) {
  ++rows_;
  if (rows_to_pass_over_ > 0) {
    --rows_to_pass_over_;
    checkpoint_.row_done();
    return;
  }
  if (!truth(row)) return checkpoint_.row_done();
  RowChange change = row_change(kind, row);
  if (!truth(change.columns)) return checkpoint_.row_done();
  if (ignored(table, change.sql_event)) {
    ++passes_;
    return checkpoint_.row_done();
  }
  py::object row_id = row_id_of(table, change);
  queue_message(message_of(table, row_id, change), table, row_id);
}

// The platform's texts are byte strings: a table's name goes on as UTF-8,
// as QZ_HBASE_TABLES_MAP and QZ_HBASE_IGNORE hold it and as
// qztool.hbase_key takes it.
py::object platform_text(py::object name) {
  if (!PyUnicode_Check(name.ptr())) return name;
  return steal(PyUnicode_AsUTF8String(name.ptr()));
}

void Feed::queue_rows(py::handle event) {
  py::object table = platform_text(event.attr("table"));
  ChangeKind kind = change_kind(event);
  for (py::handle row : event.attr("rows")) queue_row(kind, row, table);
}

// A resumed stream needs the table map that opens a statement, so only the
// end of a statement is a position to save.
void Feed::note_statement_end(py::handle event) {
  if ((py::cast<long>(event.attr("flags")) & kStatementEnd) == 0) return;
  checkpoint_.statement_end(stream_position(), !batch_.empty());
  rows_to_pass_over_ = 0;
}

// The event in hand is not converted: a restart reads it again.
void Feed::stop_while_reading() {
  remove_stop_file();
  save_log_pos();
  if (batch_.empty()) return;
  log_at_now("found stop event with", batch_.size(), "messages");
  try {
    send_batch(now());
    ++passes_;
  } catch (const BatchFailed& failed) {
    log_at_now("MS115", str_of(failed.error));
    log_at_now("MS115 send_messages failed1");
  }
}

// Within one process a row is never queued twice: what is pending lies after
// the position the new cycle starts from, and the re-read rebuilds it.
void Feed::drop_pending_before_reread(const Position& saved) {
  if (batch_.empty()) return;
  if (saved.known())
    log_at_now("dropping", batch_.size(), "pending messages, re-read from", saved.file, saved.pos);
  else
    log_at_now("dropping", batch_.size(), "pending messages, re-read from the log's start");
  batch_.drop();
}

py::object Feed::open_stream(bool resume) {
  py::list only_events;
  only_events.append(program->delete_rows);
  only_events.append(program->write_rows);
  only_events.append(program->update_rows);
  py::list only_schemas;
  only_schemas.append(program->config.MYSQLDB());
  // A connection that stalls without closing would hold the cycle for ever:
  // every read of the stream (and of its catalogue queries) has a deadline.
  // The dump does not block at the log's end, so the server is never silent
  // while it serves the stream; silence that long is a stall.
  py::dict connection;
  for (auto item : py::reinterpret_borrow<py::dict>(global("MYSQL_SETTINGS")))
    connection[item.first] = item.second;
  connection[text("read_timeout")] = read_deadline();
  if (!connection.contains(text("connect_timeout")))
    connection[text("connect_timeout")] = integer(10);
  return program->stream_reader(**qz::host::kwargs({
      {"connection_settings", connection},
      {"server_id", global("MYSQL_SERVER_ID")},
      {"resume_stream", py::bool_(resume)},
      {"only_events", only_events},
      {"only_schemas", only_schemas},
  }));
}

// Reads from the saved position until the log's end, an empty event or the
// stop file. Throws BatchFailed and BatchRefused of a send, and the host's
// errors of the stream and of the conversion.
Reading Feed::read_log() {
  SavedPosition record = read_position_record();
  bool resume = record.found;
  Position saved;
  if (resume) saved = {record.file, record.pos, record.rows};
  drop_pending_before_reread(saved);
  rows_to_pass_over_ = 0;
  stream_ = open_stream(resume);
  if (resume) {
    stream_.attr("log_pos") = saved.pos;
    stream_.attr("log_file") = saved.file;
    log_at_now("found log_pos", stream_.attr("log_file"), stream_.attr("log_pos"));
    if (saved.rows > 0)
      log_at_now("passing over", saved.rows, "rows of the statement there, which Kafka already took");
    checkpoint_.resume_from(saved);
    rows_to_pass_over_ = saved.rows;
  }
  last_row_count_ = 0;
  last_stat_time_ = 0;
  batch_.restart_clock();
  for (py::handle event : stream_) {
    statistics();
    if (event.is_none()) {
      save_log_pos();
      log_at_now("no binlog", cycle_, rows_, passes_, stream_.attr("log_file"),
                 stream_.attr("log_pos"));
      qz::host::sleep(settings_.qset_interval);
      return Reading::kNoEvent;
    }
    if (stop_file_present()) {
      stop_while_reading();
      return Reading::kStopFile;
    }
    queue_rows(event);
    note_statement_end(event);
  }
  return Reading::kToLogEnd;
}

// A read of the stream that met its deadline: the driver's lost connection
// (2013) whose cause was a time-out.
bool read_timed_out(py::error_already_set& error) {
  if (!error.matches(program->operational_error.ptr())) return false;
  py::object args = error.value().attr("args");
  if (py::len(args) < 2 || !same(args[integer(0)], integer(2013))) return false;
  int found = PySequence_Contains(str_of(args[integer(1)]).ptr(), text("timed out").ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// A failed cycle is read again from the saved position by the next one.
void Feed::recover(py::error_already_set& error) {
  bool internal = error.matches(program->internal_error.ptr());
  exit_.failure(internal ? ExitReason::kDatabaseError : ExitReason::kOtherError);
  py::object shown = repr_of(error.value());
  if (read_timed_out(error))
    log_at_now("MS160 the database sent nothing for", read_deadline(),
               "seconds (MYSQL_READ_TIMEOUT): the connection counts as lost, a new cycle "
               "reconnects");
  log_at_now(cycle_, "/", passes_, shown, "sleeping ", global("QZ_SLEEP"), " seconds...");
  py::object trace = error.trace() ? py::reinterpret_borrow<py::object>(error.trace()) : py::none();
  program->print_exception(error.type(), error.value(), trace);
  save_log_pos();
  note_failed_cycle(shown);
  qz::host::sleep(as_double(global("QZ_SLEEP")));
}

// Rows that the log does not describe (no column names) of a table whose
// columns have changed since: read through today's columns they would be
// published shifted, under other names. The statement is not published;
// what came before it is, and the position stays at its start.
void Feed::report_layout_unknown(py::error_already_set& error) {
  exit_.failure(ExitReason::kLayoutUnknown);
  py::object value = error.value();
  const Position& at = checkpoint_.statement_start();
  py::object schema = value.attr("schema"), table = value.attr("table");
  py::object detail = value.attr("detail");
  log_at_now("MS145 rows of", schema + text(".") + table, "at", at.file, at.pos,
             "cannot be read as they were written:", detail + text(";"),
             "the log names no columns (binlog_row_metadata is not FULL) and the table has "
             "changed since; nothing of this statement is published and the feed ends before "
             "it. Set binlog_row_metadata=FULL on the server (it describes the rows logged "
             "after it), publish this statement's rows by other means and skip it as for a "
             "stalled feed");
}

// The server refuses to send the log from the saved position (error 1236):
// the file was purged, or the position is none of its events. No cycle can
// get past it, so the feed ends and says what was lost.
bool Feed::position_refused(py::error_already_set& error) {
  if (!error.matches(program->operational_error.ptr())) return false;
  py::object args = error.value().attr("args");
  if (py::len(args) < 1 || !same(args[integer(0)], integer(1236))) return false;
  exit_.failure(ExitReason::kPositionRefused);
  py::object said = py::len(args) > 1 ? args[integer(1)] : py::object(py::none());
  const Position& at = checkpoint_.safe();
  py::object files = py::none();
  try {
    files = qz::rowfeed::binary_logs(global("MYSQL_SETTINGS"));
  } catch (py::error_already_set& asked) {
    if (!is_failure(asked)) throw;
    log_at_now("MS150 the server's binary logs could not be listed:", repr_of(asked.value()));
  }
  bool listed = !files.is_none() && at.known();
  bool gone = listed && PySequence_Contains(files.ptr(), at.file.ptr()) == 0;
  if (PyErr_Occurred()) throw py::error_already_set();
  if (gone) {
    py::object oldest = text("(none)");
    if (py::len(files) > 0) oldest = files[integer(0)];
    log_at_now("MS150 saved position", at.file, at.pos,
               "is no longer on the server: its oldest binary log is", str_of(oldest) + text(";"),
               text("the rows written from ") + str_of(at.file) + text(" up to ") +
                   str_of(oldest) + text(" are lost to the feed. The feed ends. To go on, publish"
                                         " those rows by other means if consumers need them, "
                                         "then write {\"log_file\": \"") +
                   str_of(oldest) + text("\", \"log_pos\": 4} into"),
               record_path(), "(server:", repr_of(said) + text(")"));
  } else if (at.known()) {
    log_at_now("MS150 the server refuses to send its log from the saved position", at.file,
               at.pos, "(server:", repr_of(said) + text(");"),
               "the feed ends. Write a position where a statement begins or ends (4 starts any "
               "file) into", record_path());
  } else {
    log_at_now("MS150 the server refuses to send its log (server:", repr_of(said) + text(");"),
               "the feed ends");
  }
  return true;
}

// An error that comes back at the same place every cycle (a row that cannot
// be converted, say) keeps the feed alive and publishing nothing. No row is
// ever skipped for it, so the operator must see it: from the second such
// cycle on, a line counts them.
void Feed::note_failed_cycle(py::handle error) {
  Position at = checkpoint_.safe();
  bool again = stalled_cycles_ > 0 && at.known() == stalled_at_.known() &&
               same(error, stalled_error_) &&
               (!at.known() || (same(at.file, stalled_at_.file) && same(at.pos, stalled_at_.pos)));
  if (!again) {
    stalled_cycles_ = 0;
    stalled_at_ = at;
    stalled_error_ = py::reinterpret_borrow<py::object>(error);
  }
  ++stalled_cycles_;
  if (stalled_cycles_ < 2) return;
  if (at.known())
    log_at_now("MS140 stalled:", stalled_cycles_, "cycles in a row failed at", at.file, at.pos,
               "with the same error");
  else
    log_at_now("MS140 stalled:", stalled_cycles_,
               "cycles in a row failed with the same error before any position was saved");
}

// Sends what is pending and saves the position the checkpoint allows.
// `read_to_end`: the stream read every event up to its position.
void Feed::clean_up(bool read_to_end) {
  log_at_now("finally event with", batch_.size(), "messages");
  // A batch refused as too large is not offered again: the MS130 line said
  // why, and with no send tried none failed. What Kafka took before it is
  // saved, so that a restart does not send it again.
  if (exit_.is(ExitReason::kBatchRefused)) {
    save_log_pos();
  } else {
    try {
      send_batch(now());
      if (read_to_end) checkpoint_.acknowledged_to_log_end(stream_position());
      save_log_pos();
    } catch (const BatchFailed& failed) {
      log_at_now("MS115", str_of(failed.error));
      log_at_now("MS115 send_messages failed2");
    }
  }
  if (!stream_.is_none()) stream_.attr("close")();
}

// KAFKA_STAT_INTERVAL pauses; returns whether the stop file came in them.
bool Feed::stop_file_while_waiting() {
  Py_ssize_t steps = py::len(program->builtin_range(program->config.KAFKA_STAT_INTERVAL()));
  for (Py_ssize_t step = 0; step < steps; ++step) {
    qz::host::sleep(settings_.qset_interval);
    if (stop_file_present()) {
      remove_stop_file();
      return true;
    }
  }
  return false;
}

// One read cycle: read from the saved position, send what is pending, save
// the position, wait. Returns whether another cycle follows.
bool Feed::cycle() {
  if (cycle_ > 0) qz::host::sleep(settings_.qset_interval);
  ++cycle_;
  rows_ = 0;
  stream_ = py::none();
  bool another = true;
  bool read_to_end = false;
  try {
    try {
      Reading reading = read_log();
      stalled_cycles_ = 0;
      read_to_end = reading == Reading::kToLogEnd;
      another = reading != Reading::kStopFile;
    } catch (py::error_already_set& error) {
      if (!is_failure(error)) throw;
      if (error.matches(program->layout_mismatch.ptr())) {
        report_layout_unknown(error);
        another = false;
      } else if (position_refused(error)) {
        another = false;
      } else {
        recover(error);
      }
    } catch (const BadPositionRecord& bad) {
      report_bad_record(bad);
      exit_.failure(ExitReason::kBadRecord);
      another = false;
    } catch (const BatchFailed& failed) {
      failed_send(failed);
      another = false;
    } catch (const BatchRefused& refused) {
      report_refused(refused);
      another = false;
    }
  } catch (...) {
    clean_up(read_to_end);  // as the host's `finally`: also on an interrupt
    throw;
  }
  clean_up(read_to_end);
  if (stop_file_while_waiting()) another = false;
  // A stop signal ends the feed here whatever the pauses: the stop file's
  // own tests may be none (KAFKA_STAT_INTERVAL 0, no row of the schema).
  if (another && qz::rowfeed::stop_signal()) {
    stop_file_present();  // its line
    another = false;
  }
  if (PyObject_RichCompareBool(integer(cycle_).ptr(), program->config.MAX_QMSG_COUNT().ptr(),
                               Py_GT) == 1) {
    log_at_now("\nMAX_QMSG_COUNT_Interrupt, exiting...");
    exit_.ended_in_error();
    another = false;
  }
  return another;
}

void Feed::report_unsent() {
  if (batch_.empty()) return;
  // Never reported as success: these rows were read but not sent. The saved
  // position lies before them, so a restart reads them again.
  log_at_now("MS135", batch_.size(), "messages were not sent; a restart re-reads them");
  exit_.ended_in_error();
}

void Feed::run() {
  log_at_now(settings_.stop_event);
  try {
    while (cycle()) {
    }
  } catch (py::error_already_set& error) {
    if (!is_failure(error)) throw;
    log_at_now(cycle_, "/", passes_, repr_of(error.value()), "exiting...");
    exit_.ended_in_error();
  } catch (const BatchRefused& refused) {
    // refused by the clean-up's send; what Kafka took before it is saved
    report_refused(refused);
    save_log_pos();
  }
  if (settings_.kafka) {
    try {
      settings_.kafka->close();
    } catch (py::error_already_set& error) {
      if (!is_failure(error)) throw;
      log_at_now("Kafka close: ", repr_of(error.value()));
    }
  }
  report_unsent();
  log_at_now("Bye Rowfeed!");
  exit_.exit();
}

// ---- start-up ----

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

[[noreturn]] void end_start(const char* code, const char* what, py::handle value,
                            py::error_already_set& error, const std::string& reason = "");

// The float conversion is the host's: its notations. A value it does not
// take ends the start with MS104, naming the option and the value.
py::object to_seconds(const char* option, py::handle value, bool positive = false) {
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

// MYSQL_READ_TIMEOUT, checked at start (MS104) and read at each use.
py::object read_deadline() {
  return to_seconds("MYSQL_READ_TIMEOUT", program->config.MYSQL_READ_TIMEOUT(), true);
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
  py::dict settings = kafka_security_settings(program->config, encrypt);
  settings[text("client_id")] = text("rowfeed");
  return settings;
}

// A setting that cannot be used ends the start before anything connects:
// MS104, naming the setting and its value (a secret's value never shows),
// and the status that tells a bad setting from a lost server.
[[noreturn]] void end_start_on_setting(const BadSetting& bad) {
  log_at_now(text("MS104"), text("setting " + bad.name + "=") + str_of(bad.shown),
             text("is not usable: " + bad.why));
  qz::host::end_on_bad_setting("MS104");
}

// The database connections' TLS, when the QZ_MYSQL_SSL_* settings ask.
void secure_database_connection() {
  py::object context = database_tls_context(program->config);
  if (!context.is_none()) global("MYSQL_SETTINGS")[text("ssl")] = context;
}

// Ends the start with one coded line, status 1 and the code last on
// standard error, as every failure of the feed ends.
[[noreturn]] void end_start(const char* code, const char* what, py::handle value,
                            py::error_already_set& error, const std::string& reason) {
  if (reason.empty())
    log_at_now(text(code), text(what), value, "could not be used:", repr_of(error.value()));
  else
    log_at_now(text(code), text(what), value, "could not be used:", repr_of(error.value()),
               text("- the client's last warning: " + reason));
  qz::host::throw_error(PyExc_SystemExit, text(code));
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
// ever; it ends the start instead: MS106.
void check_topic(py::handle kf_topic) {
  try {
    py::module_::import("kafka.util").attr("ensure_valid_topic_name")(kf_topic);
  } catch (py::error_already_set& error) {
    if (!is_failure(error)) throw;
    end_start("MS106", "Kafka topic", repr_of(kf_topic), error);
  }
}

// Everything before the first cycle.
Settings start_feed() {
  const auto& config = program->config;
  py::object options = parse_feed_command_line()[0];
  if (auto bad = qz::rowfeed::start_setting_problem(config, options)) end_start_on_setting(*bad);
  py::object queue_interval = to_seconds("-i/--interval", options.attr("interval"));
  py::object qset_interval = to_seconds("-s/--sleep", options.attr("sleep"));
  py::object stop_event = program->path_join(program->tool.get_base_path(), text("tmp"),
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
  read_deadline();
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
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw py::error_already_set();
  auto config = qz::contracts::QzConfig::bind();
  auto tool = qz::contracts::QzTool::bind();
  py::module_ row_event = import("pymysqlreplication.row_event");
  py::module_ datetime = import("datetime");
  py::object builtins = import("__builtin__");
  program = new Program{
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
