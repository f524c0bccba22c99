// Rows of the binary log to the feed's messages: the kind of change, the
// columns after it, the row id, and the message itself.
#pragma once

#include "host/host.h"

namespace qz::rowfeed {

// The kind of change a rows event holds, and the key of a row's columns
// after it; no kind for an event of another kind.
struct ChangeKind {
  py::object sql_event = py::none();
  py::object columns_key;
};

ChangeKind change_kind(py::handle event);

// A changed row: its kind of change, and its columns (name -> value) after it.
struct RowChange {
  py::object sql_event;
  py::object columns = py::none();  // none for an event of another kind
  // An update's columns before it: under binlog_row_image MINIMAL the
  // after image holds only the columns the update set, the before image
  // the row's key. None for other kinds.
  py::object before = py::none();
};

RowChange row_change(const ChangeKind& kind, py::handle row);

// QZ_HBASE_IGNORE holds [table, event] pairs that are not fed.
bool ignored(py::handle table, py::handle sql_event);

// The row id from the column that QZ_HBASE_TABLES_MAP names for the table;
// 0 without one, or when the column holds no integer (with an SS255 line).
// A partial image without the column takes it from the image that holds it
// (an update's before image).
py::object row_id_of(py::handle table, const RowChange& change);

// The message of a row. Its columns are converted in place, as
// `conversions` (ColumnConversions::of the row's event) say, and carry the
// kind of change as well.
py::dict message_of(py::handle table, py::handle row_id, const RowChange& change,
                    const py::dict& conversions);

// The platform's texts are byte strings: a table's name goes on as UTF-8,
// as QZ_HBASE_TABLES_MAP and QZ_HBASE_IGNORE hold it and as
// qztool.hbase_key takes it.
py::object platform_text(py::object name);

}  // namespace qz::rowfeed
