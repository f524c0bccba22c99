#include "rowfeed/column_values.h"

#include "rowfeed/bindings.h"

#include <datetime.h>

#include <climits>
#include <cstdio>
#include <string_view>

namespace qz::rowfeed {

using qz::host::steal;
using qz::host::text;

// Python 2's datetime.h gives each source file a C API pointer of its own.
void bind_datetime_api() {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw py::error_already_set();
}

namespace {

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
               kind == reinterpret_cast<PyTypeObject*>(bound->utc_datetime_kind.ptr());
  if (!plain || reinterpret_cast<_PyDateTime_BaseTZInfo*>(value.ptr())->hastzinfo)
    return bound->timegm(value.attr("utctimetuple")());
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

// MySQL's type codes, as the log's table map writes them, whose values
// have a conversion of their own. A new type's conversion starts here.
struct ColumnType {
  long code;
  const char* name;
  Conversion conversion;
};
constexpr ColumnType kColumnTypes[] = {
    {7, "TIMESTAMP", Conversion::kDateTime},   {12, "DATETIME", Conversion::kDateTime},
    {17, "TIMESTAMP2", Conversion::kDateTime}, {18, "DATETIME2", Conversion::kDateTime},
    {10, "DATE", Conversion::kDate},           {14, "NEWDATE", Conversion::kDate},
    {11, "TIME", Conversion::kTime},           {19, "TIME2", Conversion::kTime},
    {248, "SET", Conversion::kSet},
};

}  // namespace

Conversion conversion_of_type(long type) {
  for (const ColumnType& known : kColumnTypes)
    if (known.code == type) return known.conversion;
  return Conversion::kByValue;
}

py::object lossless_as(Conversion conversion, py::handle value) {
  switch (conversion) {
    case Conversion::kDateTime:
      if (is_instance(value, bound->datetime_kind)) return utc_seconds(value);
      break;
    case Conversion::kDate:
      if (is_instance(value, bound->date_kind) && !is_instance(value, bound->datetime_kind))
        return value.attr("isoformat")();
      break;
    case Conversion::kTime:
      if (is_instance(value, bound->timedelta_kind)) return duration_text(value);
      break;
    case Conversion::kSet:
      if (PyAnySet_Check(value.ptr())) return bound->builtin_sorted(lossless_items(value));
      break;
    case Conversion::kByValue:
      break;
  }
  return lossless(value);
}

const py::dict& ColumnConversions::of(py::handle columns) {
  if (columns.is(columns_)) return by_name_;
  py::dict by_name;
  for (py::handle column : columns) {
    Conversion conversion = conversion_of_type(py::cast<long>(column.attr("type")));
    if (conversion != Conversion::kByValue)
      by_name[column.attr("name")] = qz::host::integer(static_cast<long>(conversion));
  }
  by_name_ = std::move(by_name);
  columns_ = py::reinterpret_borrow<py::object>(columns);
  return by_name_;
}

py::object lossless(py::handle value) {
  if (PyInt_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr()) ||
      PyFloat_CheckExact(value.ptr()) || PyUnicode_CheckExact(value.ptr()) || value.is_none() ||
      PyBool_Check(value.ptr()))
    return py::reinterpret_borrow<py::object>(value);
  if (PyString_Check(value.ptr())) {
    if (qz::host::host_decodes_utf8(value)) return py::reinterpret_borrow<py::object>(value);
    return bound->b64encode(value);
  }
  if (is_instance(value, bound->datetime_kind)) return utc_seconds(value);
  if (is_instance(value, bound->date_kind)) return value.attr("isoformat")();
  if (is_instance(value, bound->timedelta_kind)) return duration_text(value);
  if (PyAnySet_Check(value.ptr())) return bound->builtin_sorted(lossless_items(value));
  if (PyDict_Check(value.ptr()) || PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()))
    return lossless_items(value);
  return py::reinterpret_borrow<py::object>(value);
}

}  // namespace qz::rowfeed
