// A module that drives the host layer the way our modules do, for its tests.
#include <memory>

#include "host/host.h"
#include "host/json.h"
#include "host/log.h"
#include "host/module.h"

namespace {

using qz::host::text;

// Calls f(*args, **kw) through `depth` nested C++ frames, so that a host
// error raised by f must cross them all to reach the caller.
py::object call_nested(int depth, py::handle f, py::args args, py::kwargs kw) {
  if (depth <= 0) return py::reinterpret_borrow<py::object>(f)(*args, **kw);
  return call_nested(depth - 1, f, args, kw);
}

// Walks nested lists the way the tree builders do, guarded like the host's
// own C code; a self-containing list must end in the host's RuntimeError.
std::size_t count_nodes(py::handle v) {
  qz::host::RecursionGuard guard(" while counting nodes");
  std::size_t n = 1;
  if (PyList_Check(v.ptr()))
    for (py::handle item : py::reinterpret_borrow<py::list>(v)) n += count_nodes(item);
  return n;
}

// One call of every helper that takes or makes host references.
py::object exercise(py::handle v) {
  py::dict kw = qz::host::kwargs({{"key", v}, {"other", text("x")}});
  py::object s = qz::host::str_of(v);
  py::object r = qz::host::repr_of(v);
  bool t = qz::host::truth(v);
  return py::make_tuple(s, r, t, kw, qz::host::is_old_instance(v), qz::host::is_old_class(v));
}

}  // namespace

QZ_MODULE(hostprobe, m) {
  m.def("call_nested", &call_nested);
  m.def("count_nodes", &count_nodes);
  m.def("exercise", &exercise);
  m.def("text", [](py::bytes b) { return text(std::string(b)); });
  m.def("kwargs_keys", []() { return qz::host::kwargs({{"a", py::none()}}).attr("keys")(); });
  m.def("log", [](py::args items) {
    // Up to four items, the widest any log line of ours has in one call here.
    switch (items.size()) {
      case 0: qz::host::log(); break;
      case 1: qz::host::log(items[0]); break;
      case 2: qz::host::log(items[0], items[1]); break;
      case 3: qz::host::log(items[0], items[1], items[2]); break;
      default: qz::host::log(items[0], items[1], items[2], items[3]); break;
    }
  });
  m.def("log_now", [](py::handle item) { qz::host::log_at_now("XX001", item); });
  m.def("utc_now", &qz::host::utc_now);
  m.def("sleep", &qz::host::sleep);
  m.def("default_dumps", [](py::module_ codec) {
    auto dumps = std::make_shared<qz::host::DefaultDumps>(codec);
    return py::cpp_function([dumps](py::handle value) { return (*dumps)(value); });
  });
  m.def("error_repr", &qz::host::error_repr);
  m.def("as_double", [](py::handle v) { return qz::host::as_double(v); });
  m.def("at", &qz::host::at);
  m.def("global_of", [](py::module_ module, py::bytes name) {
    return qz::host::global(py::reinterpret_borrow<py::dict>(module.attr("__dict__")),
                            std::string(name).c_str());
  });
  // int(v), or None where the host raises ValueError; any other error goes on.
  m.def("int_or_none", [](py::handle v) -> py::object {
    py::object number = qz::host::unless_raised(PyNumber_Int(v.ptr()), {PyExc_ValueError});
    return number ? number : py::none();
  });
  m.def("kinds", []() {
    return py::make_tuple(qz::host::old_instance_kind(), qz::host::old_class_kind());
  });
}
