// qz.sweeper: asks the platform's data-access service to run or prepare its
// automatic data clean, by a remote call on "data_arpc".
#include "contracts/qzconfig.h"
#include "contracts/qzmq.h"
#include "host/arguments.h"
#include "host/json.h"
#include "host/module.h"

#include <optional>

namespace {

using qz::host::text;

// Bound once at load; never freed, since the host does not unload modules.
struct Bindings {
  py::module_ json;
  qz::contracts::QzConfig config;
  qz::contracts::QzMqTool mqtool;
};
Bindings* bound = nullptr;

constexpr const char* kNothingSent = "NG";

// The remote-call envelope: the request list as JSON text inside JSON text.
py::object envelope(const py::list& request) {
  py::dict body;
  body[text("qz_request")] = bound->json.attr("dumps")(request);
  body[text("qz_service_name")] = text("qz_data_access");
  return bound->json.attr("dumps")(body);
}

py::object call_data_access(const py::list& request, py::handle timeout, py::handle channel) {
  return bound->mqtool.rpc_call_with_timeout(envelope(request), timeout, channel,
                                               text("data_arpc"));
}

std::array<py::object, 2> clean_arguments(const py::args& args, const py::kwargs& kwargs,
                                          const char* format) {
  auto a = qz::host::parse_arguments<2>(args, kwargs, format, {"payload", "channel"});
  if (!a[1]) a[1] = py::none();
  return a;
}

py::object clean(py::args args, py::kwargs kwargs) {
  auto [payload, channel] = clean_arguments(args, kwargs, "O|O:clean");
  if (!qz::host::truth(channel)) return text(kNothingSent);
  py::list request;
  request.append(text("Task"));
  request.append(text("autoclean"));
  return call_data_access(request, bound->config.QZ_RPC_TIMEOUT(), channel);
}

py::object prepare_clean(py::args args, py::kwargs kwargs) {
  auto [payload, channel] = clean_arguments(args, kwargs, "O|O:prepare_clean");
  if (!qz::host::truth(channel)) return text(kNothingSent);
  py::object job = bound->json.attr("loads")(payload);
  py::list request;
  request.append(text("Task"));
  request.append(text("prepare_autoclean"));
  if (qz::host::truth(job)) {
    py::object op = job.attr("get")(text("op"));  // a true non-object job raises here
    if (qz::host::truth(op)) request.append(op);
  }
  py::object timeout = bound->config.QZ_RPC_TIMEOUT() * qz::host::integer(50);
  return call_data_access(request, timeout, channel);
}

}  // namespace

QZ_MODULE(sweeper, m) {
  bound = new Bindings{
      .json = qz::host::import_json(),
      .config = qz::contracts::QzConfig::bind(),
      .mqtool = qz::contracts::QzMqTool::bind(),
  };
  m.attr("version") = text("0.010");
  m.def("clean", &clean);
  m.def("prepare_clean", &prepare_clean);
}
