#include "host/log.h"

#include <cctype>

namespace qz::host {

namespace {

void check(int status) {
  if (status != 0) throw py::error_already_set();
}

// The host's rule (ceval.c, PRINT_ITEM): after a text whose last character is
// whitespace other than a blank, no separator is owed to the next item.
bool owes_separator(py::handle v) {
  PyObject* o = v.ptr();
  if (PyString_Check(o)) {
    Py_ssize_t n = PyString_GET_SIZE(o);
    if (n == 0) return true;
    char last = PyString_AS_STRING(o)[n - 1];
    return !std::isspace(static_cast<unsigned char>(last)) || last == ' ';
  }
  if (PyUnicode_Check(o)) {
    Py_ssize_t n = PyUnicode_GET_SIZE(o);
    if (n == 0) return true;
    Py_UNICODE last = PyUnicode_AS_UNICODE(o)[n - 1];
    return !Py_UNICODE_ISSPACE(last) || last == ' ';
  }
  return true;
}

}  // namespace

void print_items(const py::object* items, std::size_t count) {
  PyObject* out = PySys_GetObject(const_cast<char*>("stdout"));  // borrowed
  if (out == nullptr || out == Py_None) {
    PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
    throw py::error_already_set();
  }
  py::object stream = py::reinterpret_borrow<py::object>(out);
  for (std::size_t i = 0; i < count; ++i) {
    if (PyFile_SoftSpace(stream.ptr(), 0)) check(PyFile_WriteString(" ", stream.ptr()));
    check(PyFile_WriteObject(items[i].ptr(), stream.ptr(), Py_PRINT_RAW));
    if (owes_separator(items[i])) PyFile_SoftSpace(stream.ptr(), 1);
  }
  check(PyFile_WriteString("\n", stream.ptr()));
  PyFile_SoftSpace(stream.ptr(), 0);
}

}  // namespace qz::host
