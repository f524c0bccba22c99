// Where the feed is in the binary log, and a message with the place its row
// came from.
#pragma once

#include "host/host.h"

namespace qz::rowfeed {

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

}  // namespace qz::rowfeed
