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

// Starts the host, runs `setup` on `__main__`, reports and finalizes.
int run_program(int argc, char** argv, const char* source_name, ModuleSetup setup);

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

#define QZ_PROGRAM(name, variable)                                             \
  static void qz_program_setup_##name(::pybind11::module_&);                   \
  extern "C" PYBIND11_EXPORT void init##name();                                \
  extern "C" PYBIND11_EXPORT void init##name() {                               \
    ::qz::host::init_module(#name, &qz_program_setup_##name);                  \
  }                                                                            \
  int ::qz::host::program_main(int argc, char** argv) {                        \
    return ::qz::host::run_program(argc, argv, #name ".cc", &qz_program_setup_##name); \
  }                                                                            \
  static void qz_program_setup_##name(::pybind11::module_& variable)
