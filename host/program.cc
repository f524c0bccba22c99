#include "host/module.h"

#include <frameobject.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#ifndef QZ_PYTHON_HOME
#error "QZ_PYTHON_HOME must name the host's installation prefix"
#endif

namespace qz::host {

namespace {

// An error raised by native code carries no host frame, and the host prints
// no "Traceback" header for it. Add the frame the host would have shown for
// a module run as a script, so the report reads as the host's usual one.
void add_module_frame(const char* source_name) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyCodeObject* code = PyCode_NewEmpty(source_name, "<module>", 1);
  PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
  PyFrameObject* frame =
      code != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
  PyErr_Restore(type, value, tb);
  if (frame != nullptr) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(code);
}

// Prints the pending error as the host does; a SystemExit ends the process
// there with its own status (the host's handle_system_exit).
int report_uncaught(const char* source_name) {
  add_module_frame(source_name);
  PyErr_Print();
  return 1;
}

constexpr int kStopSignals[] = {SIGTERM, SIGINT};
volatile std::sig_atomic_t noted_stop_signal = 0;
bool holding = false;

// The first stop signal is the one that counts: a second one (a supervisor's
// stop, then an impatient Ctrl-C) asks for the same stop.
extern "C" void note_stop_signal(int signum) {
  if (noted_stop_signal == 0) noted_stop_signal = signum;
}

}  // namespace

void hold_stop_signals() {
  if (holding) return;
  struct sigaction action = {};
  action.sa_handler = note_stop_signal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int s : kStopSignals) sigaction(s, &action, nullptr);
  holding = true;
}

const char* held_stop_signal() {
  switch (noted_stop_signal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    default:
      return nullptr;
  }
}

void release_stop_signals() {
  if (!holding) return;
  holding = false;
  for (int s : kStopSignals) {
    struct sigaction current = {};
    sigaction(s, nullptr, &current);
    if (current.sa_handler != note_stop_signal) continue;  // taken over
    if (s == SIGINT) {
      py::module_ signal_module = py::module_::import("signal");
      signal_module.attr("signal")(integer(SIGINT), signal_module.attr("default_int_handler"));
    } else {
      std::signal(s, SIG_DFL);
    }
  }
  int noted = noted_stop_signal;
  noted_stop_signal = 0;
  if (noted != 0) std::raise(noted);
}

int run_program(int argc, char** argv, const char* source_name, ModuleSetup setup,
                bool hold_signals) {
  // Before anything else: a supervisor may stop a worker the instant it starts.
  if (hold_signals) hold_stop_signals();
  // Log lines must appear as they are written, also into a pipe or a file.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  Py_SetProgramName(argv[0]);
  // The launcher does not live inside the host's installation, so the host
  // cannot find its own library from our path; point it there unless the
  // operator chose another home.
  static char home[] = QZ_PYTHON_HOME;
  const char* env_home = std::getenv("PYTHONHOME");
  if (env_home == nullptr || *env_home == '\0') Py_SetPythonHome(home);
  Py_InitializeEx(1);
  PySys_SetArgvEx(argc, argv, 1);

  int status = 0;
  try {
    auto main_module = py::reinterpret_borrow<py::module_>(PyImport_AddModule("__main__"));
    setup(main_module);
  } catch (py::error_already_set& e) {
    e.restore();
    status = report_uncaught(source_name);
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    status = report_uncaught(source_name);
  }
  Py_Finalize();
  return status;
}

}  // namespace qz::host
