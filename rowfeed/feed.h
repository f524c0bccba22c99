// The feed's read cycles: read the log from the saved position, queue a
// message per row, send the batches, save the position the checkpoint
// allows, until a stop or a failure that no cycle can get past.
#pragma once

#include "rowfeed/batch.h"
#include "rowfeed/checkpoint.h"
#include "rowfeed/column_values.h"
#include "rowfeed/exit_reason.h"
#include "rowfeed/kafka_sender.h"
#include "rowfeed/position.h"
#include "rowfeed/position_record.h"
#include "rowfeed/row_messages.h"

#include <memory>
#include <optional>
#include <vector>

namespace qz::rowfeed {

// The position record's path, as qztool names it, for the operator's line.
py::object record_path();

// The saved position as qztool keeps it; throws BadPositionRecord for a
// record that is there and holds no position.
SavedPosition read_position_record();

// The MS107 line of a record that holds no position.
void report_bad_record(const BadPositionRecord& bad);

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

// The read cycles. Its parts: the batch of messages not yet sent, the batch
// on its way to Kafka, the checkpoint that decides the saved position, the exit reason. A failure
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
  void queue_row(const ChangeKind& kind, const py::dict& conversions, py::handle row,
                 py::handle table);
  void queue_message(py::handle message, py::handle table, py::handle row_id);
  void send_batch(double now);
  void send_all(double now);
  void start_in_flight();
  void settle_in_flight();
  size_t unsent() const;
  void failed_send(const BatchFailed& failed);
  void report_refused(const BatchRefused& refused);
  void save_log_pos();
  Position stream_position() const;
  void report_unsent();

  Settings settings_;
  long cycle_ = 0, rows_ = 0, passes_ = 0, last_row_count_ = 0;
  double last_stat_time_ = 0;
  ExitReason exit_;
  ColumnConversions conversions_;
  Batch batch_;
  // The batch sent last, until Kafka took it: while its answer is on the
  // way the feed reads the next batch's rows. At most one: the next batch
  // goes only once this one was taken. One that failed stays here, not on
  // its way, for the clean-up to offer again.
  struct InFlight {
    std::vector<QueuedMessage> messages;
    Position upto;  // the checkpoint's queued() when it was sent
    std::optional<KafkaSender::Pending> pending;
  };
  std::optional<InFlight> in_flight_;
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

}  // namespace qz::rowfeed
