// Host modules defined in C++.
//
//   QZ_MODULE(dumptree, m) { ...set-up... }
//
// defines `initdumptree`, which the host calls on import. An error of the
// set-up reaches the importer as the host's own error, type and message
// unchanged (pybind11's own macro would rewrap every error as ImportError).
//
// Programs: one source yields both an importable module and a program that
// the host runs as its main module.
//
//   QZ_PROGRAM(rowfeed, m) { ...set-up...; qz::host::run_main_if_main(m); }
//
// defines `initrowfeed` (so `import rowfeed` runs the set-up only) and the
// program entry used by the launcher executable: the host starts with the
// process arguments as sys.argv, the same set-up runs on the host's
// `__main__` module, and ending the set-up with run_main_if_main() calls
// `main` there, as `if __name__ == "__main__": main()` would.
//
// A module's bindings: what its set-up binds once (the host modules it
// imports, the platform's contracts, its own namespace) is one
// `struct Bindings` in the module's source, held by `Bindings* bound`, made
// in the set-up and never freed (the host does not unload modules). It is
// filled by name, in the order of its members,
//   bound = new Bindings{.json = import_json(), .config = QzConfig::bind()};
// so that two values of one kind given in the wrong order cannot compile.
//
// Exit of the launcher: 0 after a normal end, the status of a SystemExit,
// otherwise 1 after the host's usual traceback on standard error.
#pragma once

#include "host/host.h"

namespace qz::host {

using ModuleSetup = void (*)(py::module_&);

// Creates the module `name` (in the package being imported, if any) and runs
// setup on it; a failure is left set as the host's pending error.
void init_module(const char* name, ModuleSetup setup) noexcept;

// Defined by QZ_PROGRAM in the one program linked into a launcher.
int program_main(int argc, char** argv);

// Starts the host, runs `setup` on `__main__`, reports and finalizes. With
// `hold_stop_signals`, SIGTERM and SIGINT are noted from the launcher's first
// instruction instead of ending the process, until release_stop_signals().
int run_program(int argc, char** argv, const char* source_name, ModuleSetup setup,
                bool hold_stop_signals = false);

// The house way to hold stop signals (SIGTERM, SIGINT) in our programs: a
// C handler notes the first one and nothing else happens, so no host code
// runs inside a signal and no system call is cut short (SA_RESTART); the
// program looks at the note between two steps of its own. rowfeed holds them
// for its whole run (its stop checks read held_stop_signal()); a queue
// program holds them from its first instruction until its queue client,
// which has a hold of its own around each handler, takes them over
// (release_stop_signals below). Calling it again does nothing.
void hold_stop_signals();

// The first stop signal noted while held ("SIGTERM", "SIGINT"), or null.
const char* held_stop_signal();

// Queue workers end in order on SIGTERM and SIGINT, but their queue client
// takes the signals over only when it opens. Called once the client is
// open: a signal still in the launcher's hands goes back to the host's
// default (SIGTERM ends the process, SIGINT raises KeyboardInterrupt), and
// one that arrived before is raised again, now for whoever handles it. Does
// nothing when the signals were not held (the module imported, not run).
void release_stop_signals();

// Calls m.main() when m is the host's main module.
void run_main_if_main(py::module_& m);

}  // namespace qz::host

#define QZ_MODULE(name, variable)                                              \
  static void qz_module_setup_##name(::pybind11::module_&);                    \
  extern "C" PYBIND11_EXPORT void init##name();                                \
  extern "C" PYBIND11_EXPORT void init##name() {                               \
    ::qz::host::init_module(#name, &qz_module_setup_##name);                   \
  }                                                                            \
  static void qz_module_setup_##name(::pybind11::module_& variable)

#define QZ_PROGRAM_HOLDING(name, variable, hold_stop_signals)                  \
  static void qz_program_setup_##name(::pybind11::module_&);                   \
  extern "C" PYBIND11_EXPORT void init##name();                                \
  extern "C" PYBIND11_EXPORT void init##name() {                               \
    ::qz::host::init_module(#name, &qz_program_setup_##name);                  \
  }                                                                            \
  int ::qz::host::program_main(int argc, char** argv) {                        \
    return ::qz::host::run_program(argc, argv, #name ".cc", &qz_program_setup_##name, \
                                   hold_stop_signals);                         \
  }                                                                            \
  static void qz_program_setup_##name(::pybind11::module_& variable)

#define QZ_PROGRAM(name, variable) QZ_PROGRAM_HOLDING(name, variable, false)

// A program whose stop signals are held until its queue client is open.
#define QZ_QUEUE_PROGRAM(name, variable) QZ_PROGRAM_HOLDING(name, variable, true)
