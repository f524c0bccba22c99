#pragma once

#include "rowfeed/position.h"

#include <algorithm>

namespace qz::rowfeed {

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
    rows_taken_before_ = at.rows;
  }
  // A row of the statement in hand was queued, or passed over.
  void row_done() { ++rows_in_statement_; }
  // The stream read a statement's last rows event; `in_flight`: some rows
  // read are not yet acknowledged, so the position waits for them.
  void statement_end(const Position& at, bool in_flight) {
    statement_end_ = at;
    rows_in_statement_ = 0;
    rows_taken_before_ = 0;
    if (!in_flight) safe_ = at;
  }
  // The position that covers every row queued so far: where a send taken
  // by Kafka lets the position move. A restart still passing over the rows
  // an earlier run sent has counted fewer of them than Kafka holds: it keeps
  // the larger count, or the rows not yet passed over would be sent again
  // after the next restart.
  Position queued() const {
    Position upto = statement_end_;
    upto.rows = std::max(rows_in_statement_, rows_taken_before_);
    return upto;
  }
  // Kafka took a batch sent when `queued()` was `upto`, and every batch
  // before it; the rows queued since wait for their own batch.
  void acknowledged(const Position& upto) { safe_ = upto; }
  // Kafka took every message read so far.
  void acknowledged() { acknowledged(queued()); }
  // Kafka took every message read so far, and the stream read to the log's
  // end: nothing lies between its position `at` and what was sent.
  void acknowledged_to_log_end(const Position& at) { safe_ = at; }
  // Where a re-read of the statement in hand begins.
  const Position& statement_start() const { return statement_end_; }
  const Position& safe() const { return safe_; }

 private:
  Position safe_, statement_end_;
  long rows_in_statement_ = 0;
  // Rows of the resumed statement that Kafka took before this cycle.
  long rows_taken_before_ = 0;
};

}  // namespace qz::rowfeed
