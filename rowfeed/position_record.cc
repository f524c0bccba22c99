#include "rowfeed/position_record.h"

#include <climits>

namespace qz::rowfeed {
namespace {

std::string shown(py::handle value) {
  py::object text = qz::host::repr_of(value);
  if (!PyString_Check(text.ptr())) return "(a value with no text)";
  std::string out(PyString_AS_STRING(text.ptr()), PyString_GET_SIZE(text.ptr()));
  // a record is small; a long value is cut, never the line's whole budget
  if (out.size() > 200) out = out.substr(0, 200) + "...";
  return out;
}

py::object member(py::handle record, const char* name) {
  PyObject* found = PyDict_GetItemString(record.ptr(), name);
  return found ? py::reinterpret_borrow<py::object>(found) : py::object();
}

}  // namespace

SavedPosition check_position_record(bool present, py::handle record) {
  if (!present) return {};
  if (record.is_none())
    throw BadPositionRecord{"cannot be read as a JSON record (empty, truncated or not JSON; "
                            "the load_tmp_json line above says why)"};
  if (!PyDict_Check(record.ptr()))
    throw BadPositionRecord{"holds " + shown(record) + ", not {\"log_file\": ..., \"log_pos\": ...}"};
  py::object file = member(record, "log_file");
  py::object pos = member(record, "log_pos");
  if (!file)
    throw BadPositionRecord{"holds no \"log_file\" (" + shown(record) + ")"};
  bool is_text = PyString_Check(file.ptr()) || PyUnicode_Check(file.ptr());
  if (!is_text || PyObject_Length(file.ptr()) <= 0)
    throw BadPositionRecord{"\"log_file\" is " + shown(file) + ", not a binary-log file name"};
  if (!pos)
    throw BadPositionRecord{"holds no \"log_pos\" (" + shown(record) + ")"};
  bool is_integer = (PyInt_Check(pos.ptr()) || PyLong_Check(pos.ptr())) && !PyBool_Check(pos.ptr());
  if (is_integer) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(pos.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    // an offset in a binary log is 32 bits wide
    is_integer = overflow == 0 && value >= 4 && value <= 0xffffffffLL;
  }
  if (!is_integer)
    throw BadPositionRecord{"\"log_pos\" is " + shown(pos) +
                            ", not a position in a binary log (an integer from 4 to 4294967295)"};
  long rows = 0;
  if (py::object count = member(record, "log_rows")) {
    bool counted = (PyInt_Check(count.ptr()) || PyLong_Check(count.ptr())) &&
                   !PyBool_Check(count.ptr());
    if (counted) {
      int overflow = 0;
      long long value = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
      if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
      counted = overflow == 0 && value >= 0 && value <= LONG_MAX;
      rows = static_cast<long>(value);
    }
    if (!counted)
      throw BadPositionRecord{"\"log_rows\" is " + shown(count) +
                              ", not a number of rows (an integer of 0 or more)"};
  }
  return {true, file, pos, rows};
}

}  // namespace qz::rowfeed
