#include "host/host.h"

#include <string>

namespace qz::host {

py::object steal(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

void throw_error(py::handle kind, py::handle value) {
  PyErr_SetObject(kind.ptr(), value.ptr());
  throw py::error_already_set();
}

bool is_failure(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

void end_on_bad_setting(const char* code) {
  py::object stderr_file = py::module_::import("sys").attr("stderr");
  stderr_file.attr("write")(text(std::string(code) + "\n"));
  stderr_file.attr("flush")();
  throw_error(PyExc_SystemExit, integer(kBadSettingStatus));
}

py::bytes text(std::string_view s) {
  return py::reinterpret_steal<py::bytes>(
      steal(PyString_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())))
          .release());
}

py::object integer(long v) { return steal(PyInt_FromLong(v)); }

py::dict kwargs(std::initializer_list<std::pair<const char*, py::handle>> items) {
  py::dict d;
  for (const auto& [name, value] : items) d[text(name)] = value;
  return d;
}

py::object str_of(py::handle v) { return steal(PyObject_Str(v.ptr())); }

std::string str_text(py::handle v) { return py::cast<std::string>(str_of(v)); }

py::object repr_of(py::handle v) { return steal(PyObject_Repr(v.ptr())); }

// A __repr__ or __str__ that fails (or hands back unicode the host cannot
// show) must not turn the report of one error into another; an interrupt or
// an exit request raised in one goes on.
py::object error_repr(py::handle e) {
  py::object shown = unless_raised(PyObject_Repr(e.ptr()), {PyExc_Exception});
  if (!shown)
    return steal(PyString_FromFormat("<%s with an unprintable representation>",
                                     Py_TYPE(e.ptr())->tp_name));
  if (!PyExceptionInstance_Check(e.ptr())) return shown;
  py::object args = py::getattr(e, "args", py::none());
  if (!PyTuple_Check(args.ptr()) || PyTuple_GET_SIZE(args.ptr()) != 0) return shown;
  // a message the host cannot show: the plain repr
  py::object message = unless_raised(PyObject_Str(e.ptr()), {PyExc_Exception});
  if (!message) return shown;
  Py_ssize_t size = PyObject_Size(message.ptr());
  if (size < 0) unless_raised(nullptr, {PyExc_Exception});
  if (size <= 0) return shown;
  py::object kind = py::reinterpret_borrow<py::object>(
      reinterpret_cast<PyObject*>(Py_TYPE(e.ptr()))).attr("__name__");
  return steal(PyString_FromFormat("%s(%s,)", PyString_AsString(kind.ptr()),
                                   PyString_AsString(repr_of(message).ptr())));
}

bool truth(py::handle v) {
  int r = PyObject_IsTrue(v.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

bool is_old_instance(py::handle v) noexcept { return PyInstance_Check(v.ptr()); }
bool is_old_class(py::handle v) noexcept { return PyClass_Check(v.ptr()); }
py::handle old_instance_kind() noexcept { return reinterpret_cast<PyObject*>(&PyInstance_Type); }
py::handle old_class_kind() noexcept { return reinterpret_cast<PyObject*>(&PyClass_Type); }

py::object utc_now() {
  py::object datetime = py::module_::import("datetime").attr("datetime");
  return datetime.attr("utcnow")().attr("strftime")(text("%Y-%m-%d %H:%M:%S.%f"));
}

void sleep(double seconds) { py::module_::import("time").attr("sleep")(seconds); }

RecursionGuard::RecursionGuard(const char* where) {
  if (Py_EnterRecursiveCall(const_cast<char*>(where))) {
    // Taking hold of the error instantiates it, a host call that would itself
    // fail at the limit and replace the message; give it room, as the host
    // has once the stack has unwound.
    int limit = Py_GetRecursionLimit();
    Py_SetRecursionLimit(limit + 50);
    py::error_already_set error;
    Py_SetRecursionLimit(limit);
    throw error;
  }
}

RecursionGuard::~RecursionGuard() { Py_LeaveRecursiveCall(); }

bool is_instance(py::handle v, py::handle kind) {
  int result = PyObject_IsInstance(v.ptr(), kind.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

bool same(py::handle v, py::handle other) {
  int result = PyObject_RichCompareBool(v.ptr(), other.ptr(), Py_EQ);
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

double as_double(py::handle number) {
  double result = PyFloat_AsDouble(number.ptr());
  if (result == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return result;
}

py::object at(py::handle sequence, Py_ssize_t i) {
  return steal(PySequence_GetItem(sequence.ptr(), i));
}

py::object global(const py::dict& module_globals, const char* name) {
  return module_globals[text(name)];
}

py::object unless_raised(PyObject* result, std::initializer_list<PyObject*> expected) {
  if (result != nullptr) return py::reinterpret_steal<py::object>(result);
  for (PyObject* kind : expected) {
    if (PyErr_ExceptionMatches(kind)) {
      PyErr_Clear();
      return py::object();
    }
  }
  throw py::error_already_set();
}

bool host_decodes_utf8(py::handle bytes) {
  return static_cast<bool>(unless_raised(
      PyUnicode_DecodeUTF8(PyString_AS_STRING(bytes.ptr()), PyString_GET_SIZE(bytes.ptr()),
                           "strict"),
      {PyExc_UnicodeDecodeError}));
}

}  // namespace qz::host
