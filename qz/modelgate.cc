// qz.modelgate: one-image classification with a DIGITS model job as a plain
// call (JSON in, JSON out), and the current UTC time.
#include "contracts/digits.h"
#include "contracts/qzconfig.h"
#include "host/arguments.h"
#include "host/json.h"
#include "host/module.h"
#include "vision/one_image.h"

namespace {

using qz::host::text;
using qz::host::truth;

struct Bindings {
  py::module_ json;
  py::module_ datetime;
};
Bindings* bound = nullptr;  // bound at load, never freed

std::array<py::object, 2> payload_arguments(const py::args& args, const py::kwargs& kwargs,
                                            const char* format) {
  return qz::host::parse_arguments<2>(args, kwargs, format, {"payload", "channel"});
}

py::object classify(py::args args, py::kwargs kwargs) {
  auto [payload, channel] = payload_arguments(args, kwargs, "O|O:classify");
  // The payload may come from anywhere; the decoder sees it only within budget.
  auto config = qz::contracts::QzConfig::bind();
  qz::host::check_json_budget(payload, config.json_max_number(), config.json_max_depth());
  py::object job_request = bound->json.attr("loads")(payload);
  if (!truth(job_request.attr("get")(text("image_url"))) ||
      !truth(job_request.attr("get")(text("job_id"))))
    return text("image_url|job_id NULL");
  qz::vision::check_image_settings();
  qz::contracts::digits::load_config_quietly();
  py::object scheduler = qz::contracts::digits::scheduler();
  py::object result = py::dict();
  // Every call starts the scheduler and stops it again, also after an error.
  try {
    if (truth(scheduler.attr("start")())) {
      py::object job = scheduler.attr("get_job")(job_request.attr("get")(text("job_id")));
      if (truth(job))
        result = qz::vision::classify_one(job_request.attr("get")(text("image_url")), job,
                                          py::none(), text("none"), qz::vision::kLibrary);
    }
  } catch (...) {
    scheduler.attr("stop")();
    throw;
  }
  scheduler.attr("stop")();
  return bound->json.attr("dumps")(result);
}

py::object time_now(py::args args, py::kwargs kwargs) {
  payload_arguments(args, kwargs, "O|O:time");
  return bound->datetime.attr("datetime").attr("utcnow")().attr("strftime")(
      text("%Y-%m-%d %H:%M:%S"));
}

}  // namespace

QZ_MODULE(modelgate, m) {
  py::module_::import("sys");
  py::module_::import("time");
  bound = new Bindings{.json = qz::host::import_json(), .datetime = py::module_::import("datetime")};
  py::module_::import("qz.qzconfig");
  qz::contracts::digits::import_packages();

  m.attr("version") = text("0.010");
  m.def("image_classification_model_classify_one", [](py::args a, py::kwargs k) {
    return qz::vision::classify_one_operation(a, k, qz::vision::kLibrary);
  });
  m.def("classify", &classify);
  m.def("time", &time_now);
}
