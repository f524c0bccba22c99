#include "host/module.h"

#include <cstring>

namespace qz::host {

void init_module(const char* name, ModuleSetup setup) noexcept {
  try {
    // Borrowed: the host keeps the module in sys.modules. Under a package
    // the host gives it its full dotted name itself.
    PyObject* created = Py_InitModule4(name, nullptr, nullptr, nullptr, PYTHON_API_VERSION);
    if (created == nullptr) return;
    auto m = py::reinterpret_borrow<py::module_>(created);
    setup(m);
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ error while loading a module");
  }
}

void run_main_if_main(py::module_& m) {
  py::object name = m.attr("__name__");
  if (PyString_Check(name.ptr()) && std::strcmp(PyString_AS_STRING(name.ptr()), "__main__") == 0)
    m.attr("main")();
}

}  // namespace qz::host
