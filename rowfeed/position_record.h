// The saved log position as the feed finds it when a cycle begins.
//
// The position is never guessed: only a record that is not there means
// "start where the server's log is now". A record that is there but cannot
// be read, or that holds no binary-log file and position, would otherwise
// make the feed start at the server's current position, skip every row
// between, and then write over the one record that said where it was. Such
// a record is named and left as it is.
#pragma once

#include "host/host.h"

#include <string>

namespace qz::rowfeed {

// The record is there but is no position: `what` says what is wrong with
// it, in words for the operator.
struct BadPositionRecord {
  std::string what;
};

struct SavedPosition {
  bool found = false;  // false: no record at all
  py::object file, pos;
  long rows = 0;  // rows of the statement after `pos` that Kafka already took
};

// Checks a record as loaded by qztool.load_tmp_json: `present` whether its
// file exists, `record` what the loader gave (none when it could not read
// it). A record is a mapping whose "log_file" is a non-empty text and whose
// "log_pos" an integer of at least 4 (where the first event of a file
// begins); an optional "log_rows" (rows of the statement that begins there
// which Kafka already took) an integer of 0 or more. Throws
// BadPositionRecord.
SavedPosition check_position_record(bool present, py::handle record);

}  // namespace qz::rowfeed
