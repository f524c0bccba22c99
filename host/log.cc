#include "host/log.h"

#include "host/utf8.h"

#include <cctype>
#include <string>

namespace qz::host {

namespace {

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

// A host error met while making an item's text: a failure is dropped (the
// next way of showing the item is tried); an interrupt or exit request goes on.
void drop_failure() { unless_raised(nullptr, {PyExc_Exception}); }

bool append_text(std::string& line, PyObject* text) {
  if (PyString_Check(text)) {
    append_escaped_utf8(line, std::string_view(PyString_AS_STRING(text), PyString_GET_SIZE(text)));
    return true;
  }
  if (PyUnicode_Check(text)) {
    py::object encoded = py::reinterpret_steal<py::object>(PyUnicode_AsUTF8String(text));
    if (!encoded) {
      drop_failure();
      return false;
    }
    append_escaped_utf8(line, std::string_view(PyString_AS_STRING(encoded.ptr()),
                                              PyString_GET_SIZE(encoded.ptr())));
    return true;
  }
  return false;
}

// The item's text as print shows it (its str()). Where str() fails, as it does
// for an error or object whose text is non-ASCII unicode, the unicode form is
// taken, then the representation, then the type's name, as the host's
// traceback module does for an unprintable value.
void append_item(std::string& line, py::handle item) {
  PyObject* v = item.ptr();
  if (PyString_CheckExact(v) || PyUnicode_CheckExact(v)) {
    if (append_text(line, v)) return;
  }
  using Form = PyObject* (*)(PyObject*);
  for (Form form : {Form(PyObject_Str), Form(PyObject_Unicode), Form(PyObject_Repr)}) {
    py::object shown = py::reinterpret_steal<py::object>(form(v));
    if (!shown) {
      drop_failure();
      continue;
    }
    if (append_text(line, shown.ptr())) return;
  }
  line += "<unprintable ";
  line += Py_TYPE(v)->tp_name;
  line += " object>";
}

}  // namespace

void print_items(const py::object* items, std::size_t count) {
  // The whole line is made first and written at once: an item that cannot be
  // shown never leaves half a line for the next one to join.
  std::string line;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && owes_separator(items[i - 1])) line += ' ';
    append_item(line, items[i]);
  }
  line += '\n';
  PyObject* out = PySys_GetObject(const_cast<char*>("stdout"));  // borrowed
  if (out == nullptr || out == Py_None) return;  // nowhere to write, as under pythonw
  py::object stream = py::reinterpret_borrow<py::object>(out);
  if (PyFile_SoftSpace(stream.ptr(), 0)) line.insert(0, 1, ' ');
  py::object bytes = py::reinterpret_steal<py::object>(
      PyString_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size())));
  if (!bytes || PyFile_WriteObject(bytes.ptr(), stream.ptr(), Py_PRINT_RAW) != 0) {
    drop_failure();
    if (PyFile_Check(stream.ptr())) return;  // an I/O error: trying again could repeat part
    // A stream that takes only unicode (io's text files, a codecs writer
    // put over sys.stdout) gets the same text as unicode. One that refuses
    // that too (closed, full disk, its reader gone) costs the line, never
    // the caller's work.
    py::object unicode = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
        line.data(), static_cast<Py_ssize_t>(line.size()), "strict"));
    if (!unicode || PyFile_WriteObject(unicode.ptr(), stream.ptr(), Py_PRINT_RAW) != 0)
      drop_failure();
  }
  PyFile_SoftSpace(stream.ptr(), 0);
}

}  // namespace qz::host
