// The deep-learning system DIGITS, as our modules reach it: its configuration,
// its job scheduler and its image utilities. Each call imports what it names
// at the moment of use (the host caches modules, so a repeated import is a
// lookup), so a DIGITS installation is found wherever the host finds it. A
// missing package raises the host's ImportError from the call.
#pragma once

#include "host/host.h"

namespace qz::contracts::digits {

// The packages `digits` and `digits.utils`, which the modules load when they
// load.
inline void import_packages() {
  py::module_::import("digits");
  py::module_::import("digits.utils");
}

// digits.config.load_config("quiet"): the settings, read afresh, nothing printed.
inline void load_config_quietly() {
  py::module_::import("digits.config").attr("load_config")(host::text("quiet"));
}

// digits.webapp.scheduler: start() answers with a truth value, get_job(id)
// with a job or a false value, stop() ends it.
inline py::object scheduler() { return py::module_::import("digits.webapp").attr("scheduler"); }

// digits.utils.image: load_image(location), resize_image(image, h, w,
// channels=, resize_mode=), and the loader's limits as module attributes.
inline py::object image_utils() { return py::module_::import("digits.utils").attr("image"); }

}  // namespace qz::contracts::digits
