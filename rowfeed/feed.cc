#include "rowfeed/feed.h"

#include "rowfeed/bindings.h"
#include "rowfeed/binlog_server.h"
#include "rowfeed/start_failures.h"
#include "rowfeed/stop_signals.h"

#include "host/log.h"

#include <cmath>

namespace qz::rowfeed {

using qz::host::integer;
using qz::host::is_failure;
using qz::host::log_at_now;
using qz::host::repr_of;
using qz::host::str_of;
using qz::host::text;
using qz::host::truth;

namespace {

// STMT_END_F: the last rows event of a statement.
constexpr long kStatementEnd = 0x0001;

// The batch's limits, read from the settings at each test, in its order.
struct BatchSettings {
  double max_chars() const { return as_double(bound->config.KAFKA_MAX_MESSAGE_SIZE()); }
  double max_messages() const { return as_double(bound->config.KAFKA_BATCH()); }
  double send_interval() const { return as_double(bound->config.KAFKA_SEND_INTERVAL()); }
};

}  // namespace


py::object record_path() {
  return bound->path_join(bound->tool.get_base_path(), text("tmp"),
                            global("QZ_KEY") + text(".json"));
}

SavedPosition read_position_record() {
  bool present = truth(bound->tool.load_tmp_json(text("tmp"), global("QZ_KEY"), text(".json")));
  py::object record = present ? bound->tool.load_tmp_json(text("tmp"), global("QZ_KEY"))
                              : py::none();
  return qz::rowfeed::check_position_record(present, record);
}

void report_bad_record(const BadPositionRecord& bad) {
  log_at_now("MS107 position record", record_path(), text(bad.what) + text(";"),
             "it is left as it is and the feed ends; write the position to resume from into it, "
             "or remove it to start at the server's current position");
}

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
    bound->tool.save_tmp_json(text("tmp"), record, global("QZ_KEY"));
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
  if (elapsed > as_double(bound->config.KAFKA_STAT_INTERVAL())) {
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
  return truth(bound->tool.load_tmp_json(text("tmp"), global("QZ_KEY"), text(".stop")));
}

// A stop that came by signal leaves no file to remove.
void Feed::remove_stop_file() {
  if (truth(bound->tool.load_tmp_json(text("tmp"), global("QZ_KEY"), text(".stop"))))
    bound->remove(settings_.stop_event);
}

// Sends the batch in hand (one produce request) once the batch before it
// was taken, and returns while its answer is on the way. Kafka takes a
// batch whole or not at all; the position moves past a batch only once
// Kafka took it. An empty batch is not offered: the broker refuses one.
// Throws BatchFailed when Kafka answers the batch before with an error that
// no resend mends, BatchRefused when it refuses that batch as too large,
// and the host's error of everything a later cycle may get past.
void Feed::send_batch(double now) {
  settle_in_flight();
  if (batch_.empty()) {
    batch_.sent(now);
    checkpoint_.acknowledged();
    return;
  }
  in_flight_ = InFlight{batch_.hand_over(now), checkpoint_.queued(), std::nullopt};
  start_in_flight();
}

// Sends the batch in hand and waits until Kafka took everything read.
void Feed::send_all(double now) {
  send_batch(now);
  settle_in_flight();
}

void Feed::start_in_flight() {
  std::vector<std::string_view> values;
  values.reserve(in_flight_->messages.size());
  for (const QueuedMessage& message : in_flight_->messages) {
    // The message texts are the host's JSON of ASCII: byte strings.
    char* data;
    Py_ssize_t size;
    if (PyString_AsStringAndSize(message.text.ptr(), &data, &size) != 0)
      throw py::error_already_set();
    values.emplace_back(data, static_cast<size_t>(size));
  }
  in_flight_->pending = settings_.kafka->start(settings_.topic, values);
}

// Waits for the answer to the batch on its way (sending it first if an
// earlier try failed); once Kafka took it, the position may pass it. A
// failed answer leaves the batch here, not on its way.
void Feed::settle_in_flight() {
  if (!in_flight_) return;
  if (!in_flight_->pending) start_in_flight();
  try {
    settings_.kafka->finish(*in_flight_->pending);
  } catch (...) {
    in_flight_->pending.reset();
    throw;
  }
  checkpoint_.acknowledged(in_flight_->upto);
  in_flight_.reset();
}

// Messages read that Kafka has not (yet) taken.
size_t Feed::unsent() const {
  return batch_.size() + (in_flight_ ? in_flight_->messages.size() : 0);
}

// Names the largest message of the refused batch: an operator raises the
// broker's limit or lowers KAFKA_MAX_MESSAGE_SIZE.
// The refused batch is the one that was on its way.
void Feed::report_refused(const BatchRefused& refused) {
  exit_.failure(ExitReason::kBatchRefused);
  const std::vector<QueuedMessage>& messages = in_flight_->messages;
  const QueuedMessage* largest = &messages.front();
  for (const QueuedMessage& message : messages)
    if (message.size > largest->size) largest = &message;
  log_at_now("MS130 Kafka refused a batch as too large; largest message: table",
             largest->table, "id", largest->row_id, "size", largest->size, "at",
             largest->reread_from.file, largest->reread_from.pos, "batch of", messages.size(),
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
  py::object encoded = bound->json_dumps(message);
  Py_ssize_t size = py::len(encoded);
  batch_.add({encoded, size, py::reinterpret_borrow<py::object>(table),
              py::reinterpret_borrow<py::object>(row_id), checkpoint_.statement_start()});
  checkpoint_.row_done();
  double at = now();
  if (batch_.full(at, BatchSettings{})) {
    // The whole batch goes, the message that filled it included: it does
    // not open the next batch as well.
    send_batch(at);
    ++passes_;
  }
}

// Every row counts, also an empty one and one that is not fed.
void Feed::queue_row(const ChangeKind& kind, const py::dict& conversions, py::handle row,
                     py::handle table) {
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
  queue_message(message_of(table, row_id, change, conversions), table, row_id);
}

void Feed::queue_rows(py::handle event) {
  py::object table = platform_text(event.attr("table"));
  ChangeKind kind = change_kind(event);
  const py::dict& conversions = conversions_.of(event.attr("columns"));
  for (py::handle row : event.attr("rows")) queue_row(kind, conversions, row, table);
}

// A resumed stream needs the table map that opens a statement, so only the
// end of a statement is a position to save.
void Feed::note_statement_end(py::handle event) {
  if ((py::cast<long>(event.attr("flags")) & kStatementEnd) == 0) return;
  checkpoint_.statement_end(stream_position(), unsent() > 0);
  rows_to_pass_over_ = 0;
}

// The event in hand is not converted: a restart reads it again.
void Feed::stop_while_reading() {
  remove_stop_file();
  save_log_pos();
  if (unsent() == 0) return;
  // The line counts what the stop sends; a batch on its way was sent.
  if (!batch_.empty()) log_at_now("found stop event with", batch_.size(), "messages");
  try {
    send_all(now());
    ++passes_;
  } catch (const BatchFailed& failed) {
    log_at_now("MS115", str_of(failed.error));
    log_at_now("MS115 send_messages failed1");
  }
}

// Within one process a row is never queued twice: what is pending lies after
// the position the new cycle starts from, and the re-read rebuilds it.
void Feed::drop_pending_before_reread(const Position& saved) {
  if (unsent() == 0) return;
  if (saved.known())
    log_at_now("dropping", unsent(), "pending messages, re-read from", saved.file, saved.pos);
  else
    log_at_now("dropping", unsent(), "pending messages, re-read from the log's start");
  batch_.drop();
  in_flight_.reset();
}

py::object Feed::open_stream(bool resume) {
  py::list only_events;
  only_events.append(bound->delete_rows);
  only_events.append(bound->write_rows);
  only_events.append(bound->update_rows);
  py::list only_schemas;
  only_schemas.append(bound->config.MYSQLDB());
  // A connection that stalls without closing would hold the cycle for ever:
  // every read of the stream (and of its catalogue queries) has a deadline.
  // The dump does not block at the log's end, so the server is never silent
  // while it serves the stream; silence that long is a stall.
  py::dict connection;
  for (auto item : py::reinterpret_borrow<py::dict>(global("MYSQL_SETTINGS")))
    connection[item.first] = item.second;
  connection[text("read_timeout")] = read_deadline(bound->config);
  if (!connection.contains(text("connect_timeout")))
    connection[text("connect_timeout")] = integer(10);
  return bound->stream_reader(**qz::host::kwargs({
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

namespace {

// A read of the stream that met its deadline: the driver's lost connection
// (2013) whose cause was a time-out.
bool read_timed_out(py::error_already_set& error) {
  if (!error.matches(bound->operational_error.ptr())) return false;
  py::object args = error.value().attr("args");
  if (py::len(args) < 2 || !same(args[integer(0)], integer(2013))) return false;
  int found = PySequence_Contains(str_of(args[integer(1)]).ptr(), text("timed out").ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

}  // namespace

// A failed cycle is read again from the saved position by the next one.
void Feed::recover(py::error_already_set& error) {
  bool internal = error.matches(bound->internal_error.ptr());
  exit_.failure(internal ? ExitReason::kDatabaseError : ExitReason::kOtherError);
  py::object shown = repr_of(error.value());
  if (read_timed_out(error))
    log_at_now("MS160 the database sent nothing for", read_deadline(bound->config),
               "seconds (MYSQL_READ_TIMEOUT): the connection counts as lost, a new cycle "
               "reconnects");
  log_at_now(cycle_, "/", passes_, shown, "sleeping ", global("QZ_SLEEP"), " seconds...");
  py::object trace = error.trace() ? py::reinterpret_borrow<py::object>(error.trace()) : py::none();
  bound->print_exception(error.type(), error.value(), trace);
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
  if (!error.matches(bound->operational_error.ptr())) return false;
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
    // A send that fails here may follow one that Kafka took: its position
    // is saved whatever comes of the rest.
    try {
      send_all(now());
      if (read_to_end) checkpoint_.acknowledged_to_log_end(stream_position());
    } catch (const BatchFailed& failed) {
      log_at_now("MS115", str_of(failed.error));
      log_at_now("MS115 send_messages failed2");
    } catch (py::error_already_set&) {
      save_log_pos();
      throw;
    }
    save_log_pos();
  }
  if (!stream_.is_none()) stream_.attr("close")();
}

// KAFKA_STAT_INTERVAL pauses; returns whether the stop file came in them.
bool Feed::stop_file_while_waiting() {
  Py_ssize_t steps = py::len(bound->builtin_range(bound->config.KAFKA_STAT_INTERVAL()));
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
      if (error.matches(bound->layout_mismatch.ptr())) {
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
  if (PyObject_RichCompareBool(integer(cycle_).ptr(), bound->config.MAX_QMSG_COUNT().ptr(),
                               Py_GT) == 1) {
    log_at_now("\nMAX_QMSG_COUNT_Interrupt, exiting...");
    exit_.ended_in_error();
    another = false;
  }
  return another;
}

void Feed::report_unsent() {
  if (unsent() == 0) return;
  // Never reported as success: these rows were read but not sent. The saved
  // position lies before them, so a restart reads them again.
  log_at_now("MS135", unsent(), "messages were not sent; a restart re-reads them");
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

}  // namespace qz::rowfeed
