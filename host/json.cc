#include "host/json.h"

namespace qz::host {

py::module_ import_json() {
  try {
    return py::module_::import("json");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
  }
  return py::module_::import("simplejson");
}

}  // namespace qz::host
