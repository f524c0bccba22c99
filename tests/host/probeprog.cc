// A program for the launcher's tests: its main does what its arguments ask.
//   exit N      -> sys.exit(N)
//   raise       -> a ValueError from deep in C++
//   setup-error -> set-up itself fails before main
//   argv        -> prints sys.argv and __name__ (argv-then-wait: then sleeps)
#include "host/log.h"
#include "host/module.h"

#include <string>

namespace {

using qz::host::text;

void main_operation() {
  py::list argv = py::module_::import("sys").attr("argv");
  std::string what = argv.size() > 1 ? std::string(py::bytes(argv[1])) : "";
  if (what == "exit") {
    py::module_::import("sys").attr("exit")(py::module_::import("__builtin__").attr("int")(argv[2]));
  } else if (what == "raise") {
    py::module_::import("__builtin__").attr("float")(text("not a number"));
  } else if (what == "argv" || what == "argv-then-wait") {
    py::object name = py::module_::import("__main__").attr("__name__");
    qz::host::log(qz::host::repr_of(argv), name);
    if (what == "argv-then-wait") qz::host::sleep(60);
  }
}

}  // namespace

QZ_PROGRAM(probeprog, m) {
  m.attr("version") = text("0.010");
  py::list argv = py::module_::import("sys").attr("argv");
  if (argv.size() > 1 && std::string(py::bytes(argv[1])) == "setup-error")
    py::module_::import("qz_no_such_module");
  m.def("main", &main_operation);
  qz::host::run_main_if_main(m);
}
