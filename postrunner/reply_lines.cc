#include "postrunner/reply_lines.h"

namespace qz::postrunner {

namespace {

// smtplib's own tests: a line whose code is no number, or without "-" after
// its code, ends the reply.
bool ends_reply(py::handle line) {
  if (PyString_GET_SIZE(line.ptr()) < 4 || PyString_AS_STRING(line.ptr())[3] != '-') return true;
  py::object code = host::steal(PySequence_GetSlice(line.ptr(), 0, 3));
  return !host::unless_raised(PyNumber_Int(code.ptr()), {PyExc_ValueError});
}

}  // namespace

void ReplyLines::define(py::module_& m) {
  py::class_<ReplyLines>(m, "_ReplyLines")
      .def("readline", &ReplyLines::readline)
      .def("close", &ReplyLines::close);
}

py::object ReplyLines::readline(py::args args) {
  py::object line = file_.attr("readline")(*args);
  if (!PyString_Check(line.ptr())) return line;
  Py_ssize_t size = PyString_GET_SIZE(line.ptr());
  reply_bytes_ += size;
  if (reply_bytes_ > kBudget) {
    py::object error = py::module_::import("socket").attr("error");
    PyErr_Format(error.ptr(), "a reply longer than %zd bytes", kBudget);
    throw py::error_already_set();
  }
  if (ends_reply(line)) reply_bytes_ = 0;
  return line;
}

void ReplyLines::close() { file_.attr("close")(); }

}  // namespace qz::postrunner
