// visionbay: serves remote calls on the message broker ("dnn_arpc"):
// "qz_dnn_classify" answers with the three most probable categories of one
// image under a DIGITS model job, "qz_time" with the current time.
#include "contracts/consumer.h"
#include "contracts/qzconfig.h"
#include "contracts/qzmq.h"
#include "contracts/qztool.h"
#include "host/arguments.h"
#include "host/json.h"
#include "host/log.h"
#include "host/module.h"
#include "host/options.h"
#include "vision/one_image.h"

namespace {

using qz::host::log_at_now;
using qz::host::is_failure;
using qz::host::text;
using qz::host::truth;

// What the module binds when it loads. Never freed: the host does not unload
// modules. QZ_KEY stays in the module's namespace, read at each use.
struct Program {
  py::dict globals;
  py::module_ time;
  py::module_ json;
  qz::contracts::QzConfig config;
  qz::contracts::QzTool tool;
  qz::contracts::QzMqTool mqtool;
  qz::contracts::QzMqObj mqobj;
};
Program* program = nullptr;

py::object global(const char* name) { return program->globals[text(name)]; }

py::object field(py::handle mapping, const char* name) { return mapping.attr("get")(text(name)); }

py::object scheduler() { return py::module_::import("digits.webapp").attr("scheduler"); }

// A caller's JSON reaches the decoder only within the budget the settings give.
py::object decode(py::handle json_text) {
  qz::host::check_json_budget(json_text, program->config.json_max_number(),
                              program->config.json_max_depth());
  return program->json.attr("loads")(json_text);
}

// The caller's response key, or none when it cannot be a routing key: a
// broker refuses keys that are not text or are over 255 bytes, and a publish
// that raises would leave the request to come back at every start.
py::object usable_response_key(py::handle app_headers) {
  py::object key = field(app_headers, "response_key");
  if (!truth(key)) return py::none();
  py::object bytes = key;
  if (PyUnicode_Check(key.ptr()))
    bytes = qz::host::steal(PyUnicode_AsUTF8String(key.ptr()));
  else if (!PyString_Check(key.ptr()))
    return py::none();
  if (PyString_GET_SIZE(bytes.ptr()) > 255) return py::none();
  return key;
}

// ---- answers ----

py::object classify_answer(py::handle json_rpc) {
  py::object json_req = decode(field(json_rpc, "qz_request"));
  py::object job = scheduler().attr("get_job")(field(json_req, "job_id"));
  if (!truth(job)) return text("no such job");
  py::object result = qz::vision::classify_one(field(json_req, "image_url"), job, py::none(),
                                               text("none"), qz::vision::kService);
  return program->json.attr("dumps")(result);
}

// Seconds since the epoch as the host writes a float: 12 significant digits.
py::object time_answer() { return qz::host::str_of(program->time.attr("time")()); }

void handle_request(const qz::contracts::Delivery& delivery) {
  const auto& [channel, method, properties, body] = delivery;
  py::object app_headers = program->mqobj.get_headers_obj(properties);
  if (qz::contracts::cancel_if_asked(channel, method, body, global("QZ_KEY"))) return;
  program->mqobj.check_consumer_message(channel, method.attr("consumer_tag"), body);
  if (!truth(app_headers)) {
    log_at_now("DN056 warning, no app_headers");
    qz::contracts::acknowledge(channel, method);
    return;
  }
  py::object response_key = usable_response_key(app_headers);
  if (response_key.is_none()) {
    log_at_now("DN058 warning, no response_key ");
    qz::contracts::acknowledge(channel, method);
    return;
  }
  py::object rpc_result = text("");
  py::dict rpc_context;
  rpc_context[text("retry")] = qz::host::integer(0);
  rpc_context[text("response_key")] = response_key;
  py::object json_rpc = py::dict();
  py::object service = text("qz_time");
  try {
    json_rpc = decode(program->tool.qz_gunzip_data(body));
    service = field(json_rpc, "qz_service_name");
  } catch (py::error_already_set& e) {
    if (!is_failure(e)) throw;
    log_at_now("DN075 warning, no qz_service_name ", qz::host::error_repr(e.value()));
  }
  if (service.equal(text("qz_dnn_classify"))) {
    try {
      rpc_result = classify_answer(json_rpc);
    } catch (py::error_already_set& e) {
      if (!is_failure(e)) throw;
      py::object rpc_error = text("#Exception: ") + qz::host::error_repr(e.value());
      log_at_now("DN125", rpc_error);
      rpc_result = text("");
    }
  } else if (service.equal(text("qz_time"))) {
    rpc_result = time_answer();
  }
  if (PyUnicode_Check(rpc_result.ptr())) rpc_result = rpc_result.attr("encode")(text("utf-8"));
  if (!PyString_Check(rpc_result.ptr())) rpc_result = qz::host::str_of(rpc_result);
  // Acknowledged whatever the publish reports; an error raised by it leaves
  // the request unacknowledged.
  program->mqtool.do_basic_publish(program->tool.qz_gzip_data(rpc_result), rpc_context,
                                   response_key, channel, text("visionbay"),
                                   text("dnn_arpc") + program->config.QZ_MQ_EXCHANGE_TAG());
  qz::contracts::acknowledge(channel, method);
}

// ---- the program ----

py::tuple parse_service_command_line() {
  return qz::host::parse_command_line({
      {nullptr, "--host", "host", text("localhost"),
       "AMQP server to connect to (default: %default)"},
      {"-u", "--userid", "userid", text("guest"), "userid to authenticate as (default: %default)"},
      {"-p", "--password", "password", text("plovk562"),
       "password to authenticate with (default: %default)"},
      {"-a", "--allservices", "allservices", text("n"),
       "to start all qz services? (default: %default)"},
      {nullptr, "--ssl", "ssl", py::none(), "Enable SSL (default: not enabled)", true},
  });
}

void exit_with(int status) {
  py::module_::import("sys").attr("exit")(qz::host::integer(status));
}

void main_operation(py::args args, py::kwargs kwargs) {
  qz::host::parse_arguments<0>(args, kwargs, ":main", {});
  py::object options = parse_service_command_line()[0];
  py::module_::import("digits.config").attr("load_config")(text("quiet"));
  py::object digits_scheduler = scheduler();
  py::object start_status = digits_scheduler.attr("start")();
  log_at_now("DN180 DNN scheduler started", start_status);
  // A scheduler that did not start is a failure, not a clean end.
  if (!truth(start_status)) exit_with(1);
  py::object mq = qz::contracts::open_queue_client(program->mqobj, program->tool, options);
  py::object handler = truth(program->config.QZ_MQ_PROTOCOL()) ? global("recv_callback2")
                                                               : global("recv_callback");
  qz::contracts::register_consumer(mq, global("QZ_KEY"), handler, false);
  py::object w_status = mq.attr("wait")();
  digits_scheduler.attr("stop")();
  mq.attr("close")();
  log_at_now("Bye DNN API service");
  exit_with(truth(w_status) ? 0 : 1);
}

}  // namespace

QZ_QUEUE_PROGRAM(visionbay, m) {
  auto import = [](const char* name) { return py::module_::import(name); };
  py::module_ time = import("time");
  import("datetime");
  import("sys");
  import("optparse");
  py::module_ json = qz::host::import_json();
  program = new Program{
      py::reinterpret_borrow<py::dict>(m.attr("__dict__")),
      time,
      json,
      qz::contracts::QzConfig::bind(),
      qz::contracts::QzTool::bind(),
      qz::contracts::QzMqTool::bind(),
      qz::contracts::QzMqObj::bind(),
  };
  import("digits");
  import("digits.utils");

  m.attr("version") = text("0.010");
  m.attr("QZ_KEY") = text("dnn_arpc");

  m.def("image_classification_model_classify_one", [](py::args a, py::kwargs k) {
    return qz::vision::classify_one_operation(a, k, qz::vision::kService);
  });
  qz::contracts::define_handlers(m, &handle_request);
  m.def("main", &main_operation);
  qz::host::run_main_if_main(m);
}
