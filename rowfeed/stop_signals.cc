#include "rowfeed/stop_signals.h"

#include <csignal>

namespace qz::rowfeed {
namespace {

const char* received = nullptr;

void on_signal(int number, py::object /*frame*/) {
  if (received) return;
  received = number == SIGTERM ? "SIGTERM" : "SIGINT";
}

}  // namespace

void install_stop_signals() {
  py::module_ signal = py::module_::import("signal");
  py::cpp_function handler(&on_signal);
  for (int number : {SIGTERM, SIGINT}) {
    signal.attr("signal")(number, handler);
    signal.attr("siginterrupt")(number, false);
  }
}

const char* stop_signal() {
  if (!received && PyErr_CheckSignals() != 0) throw py::error_already_set();
  return received;
}

}  // namespace qz::rowfeed
