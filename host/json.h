// The JSON codec our modules use: the host's json module, or simplejson when
// json cannot be loaded (the platform's preference, in that order).
#pragma once

#include "host/host.h"

namespace qz::host {

// Imports the codec; raises the host's ImportError when neither loads.
py::module_ import_json();

}  // namespace qz::host
