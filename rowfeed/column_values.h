// Column values as they go into a message's "hbase_json".
#pragma once

#include "host/host.h"

namespace qz::rowfeed {

// Binds the host's datetime C API for this room's use of it; once, at load.
void bind_datetime_api();

// A value as it goes into "hbase_json": date-and-time as whole UTC seconds;
// decimals stay (encoded with all their digits); dates as ISO 8601 text;
// times as signed durations; sets as sorted lists; byte strings that are not
// UTF-8 as base64 text. Everything else is left to the encoder. The rule by
// the value's kind, for a value whose column type does not decide.
py::object lossless(py::handle value);

// How a column's values go into "hbase_json", where its MySQL type decides
// (the table kColumnTypes in column_values.cc, keyed by the type code of
// the log's table map). A value of another kind than its type gives (a
// NULL, a zero date the decoder leaves as it found it) takes the rule by
// its kind, so a type's conversion never sees a value it was not made for.
enum class Conversion : unsigned char {
  kByValue,   // the rule by the value's kind: lossless()
  kDateTime,  // DATETIME, TIMESTAMP: whole UTC seconds
  kDate,      // DATE: ISO 8601 text
  kTime,      // TIME: a signed duration, [-]H:MM:SS[.ffffff]
  kSet,       // SET: a sorted list of its members
};

// The conversion of a column of MySQL type `type`.
Conversion conversion_of_type(long type);

// `value` of a column whose type gives `conversion`.
py::object lossless_as(Conversion conversion, py::handle value);

// The conversions of a rows event's columns, by column name, from the
// event's `columns` (each with .name and .type): name -> int(Conversion),
// only the columns whose type decides. The last table's is kept: the rows
// events of one table map share its column list.
class ColumnConversions {
 public:
  const py::dict& of(py::handle columns);

 private:
  py::object columns_ = py::none();  // held, so that its identity stays its own
  py::dict by_name_;
};

}  // namespace qz::rowfeed
