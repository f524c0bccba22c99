#include "rowfeed/row_messages.h"

#include "rowfeed/bindings.h"
#include "rowfeed/column_values.h"

#include "host/log.h"

namespace qz::rowfeed {

using qz::host::integer;
using qz::host::log_at_now;
using qz::host::steal;
using qz::host::truth;

namespace {

// mapping.get(key); without a host call for a plain dict and a text key,
// whose hash cannot fail.
py::object get(py::handle mapping, py::handle key) {
  if (!PyDict_CheckExact(mapping.ptr()) || !PyString_CheckExact(key.ptr()))
    return mapping.attr("get")(key);
  PyObject* found = PyDict_GetItem(mapping.ptr(), key.ptr());
  return found ? py::reinterpret_borrow<py::object>(found) : py::none();
}

// The conversion its column's type gives a value of column `name`.
Conversion conversion_of(const py::dict& conversions, PyObject* name) {
  PyObject* found = PyDict_GetItem(conversions.ptr(), name);
  if (found == nullptr) return Conversion::kByValue;
  return static_cast<Conversion>(PyInt_AS_LONG(found));
}

// Each column's value made lossless, in place, as its type decides. A
// dict's values are replaced as it is walked, which leaves its keys as they
// are (the host allows that).
void convert_columns(py::handle columns, const py::dict& conversions) {
  if (!PyDict_CheckExact(columns.ptr())) {
    for (py::handle name : steal(PySequence_List(columns.ptr())))
      columns[name] = lossless_as(conversion_of(conversions, name.ptr()), columns[name]);
    return;
  }
  Py_ssize_t at = 0;
  PyObject *name, *value;
  while (PyDict_Next(columns.ptr(), &at, &name, &value)) {
    py::object converted = lossless_as(conversion_of(conversions, name), value);
    if (converted.ptr() != value && PyDict_SetItem(columns.ptr(), name, converted.ptr()) < 0)
      throw py::error_already_set();
  }
}

}  // namespace

ChangeKind change_kind(py::handle event) {
  if (is_instance(event, bound->delete_rows)) return {bound->kind_delete, bound->key_values};
  if (is_instance(event, bound->update_rows))
    return {bound->kind_update, bound->key_after_values};
  if (is_instance(event, bound->write_rows)) return {bound->kind_write, bound->key_values};
  return {};
}

RowChange row_change(const ChangeKind& kind, py::handle row) {
  if (kind.sql_event.is_none()) return {};
  if (kind.sql_event.is(bound->kind_update))
    return {kind.sql_event, row[kind.columns_key], row[bound->key_before_values]};
  return {kind.sql_event, row[kind.columns_key]};
}

bool ignored(py::handle table, py::handle sql_event) {
  py::object pairs = bound->config.QZ_HBASE_IGNORE();
  // nothing to look for in an empty list (the default), so no pair is made
  if (PyList_CheckExact(pairs.ptr()) && PyList_GET_SIZE(pairs.ptr()) == 0) return false;
  py::list table_and_event;
  table_and_event.append(table);
  table_and_event.append(sql_event);
  int found = PySequence_Contains(pairs.ptr(), table_and_event.ptr());
  if (found < 0) throw py::error_already_set();
  return found != 0;
}

py::object row_id_of(py::handle table, const RowChange& change) {
  py::object row_id = integer(0);
  py::object entry = get(bound->config.QZ_HBASE_TABLES_MAP(), table);
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

py::dict message_of(py::handle table, py::handle row_id, const RowChange& change,
                    const py::dict& conversions) {
  py::handle columns = change.columns;
  py::dict message;
  message[bound->key_sql_event] = change.sql_event;
  message[bound->key_catalog] = table;
  message[bound->key_baseid] = row_id;
  message[bound->key_cf] = bound->cf_log;
  message[bound->key_key] = bound->tool.hbase_key(table, row_id);
  convert_columns(columns, conversions);
  columns[bound->key_sql_event] = change.sql_event;
  message[bound->key_json] = bound->simplejson_dumps(columns);
  return message;
}

py::object platform_text(py::object name) {
  if (!PyUnicode_Check(name.ptr())) return name;
  return steal(PyUnicode_AsUTF8String(name.ptr()));
}

}  // namespace qz::rowfeed
