// visionbay: serves remote calls on the message broker ("dnn_arpc"):
// "qz_dnn_classify" answers with the three most probable categories of one
// image under a DIGITS model job, "qz_time" with the current time.
#include "contracts/digits.h"
#include "contracts/qzconfig.h"
#include "contracts/qztool.h"
#include "host/arguments.h"
#include "host/json.h"
#include "host/log.h"
#include "host/module.h"
#include "vision/one_image.h"
#include "worker/worker.h"

namespace {

using qz::host::log_at_now;
using qz::host::is_failure;
using qz::host::text;
using qz::host::truth;
using qz::worker::field;

// What the module binds when it loads. Never freed: the host does not unload
// modules.
struct Bindings {
  py::module_ time;
  py::module_ json;
  qz::contracts::QzConfig config;
  qz::contracts::QzTool tool;
};
Bindings* bound = nullptr;


// A caller's JSON reaches the decoder only within the budget the settings give.
py::object decode(py::handle json_text) {
  qz::host::check_json_budget(json_text, bound->config.json_max_number(),
                              bound->config.json_max_depth());
  return bound->json.attr("loads")(json_text);
}

// True when `text` (unicode) holds a surrogate code point, which the
// broker's UTF-8 check refuses although the host encodes it.
bool has_surrogate(py::handle text) {
  const Py_UNICODE* p = PyUnicode_AS_UNICODE(text.ptr());
  for (Py_ssize_t i = 0, n = PyUnicode_GET_SIZE(text.ptr()); i < n; ++i)
    if (p[i] >= 0xD800 && p[i] <= 0xDFFF) return true;
  return false;
}

// The caller's response key, or none when it cannot be a routing key. The
// broker takes a key of at most 255 bytes of well-formed UTF-8 and closes the
// whole connection on any other: the request would come back at every start
// and end the service each time.
py::object usable_response_key(py::handle app_headers) {
  py::object key = field(app_headers, "response_key");
  if (!truth(key)) return py::none();
  py::object text_form = key;
  if (PyString_Check(key.ptr())) {
    // bytes that are not UTF-8 are no key; any other error is the host's
    text_form = qz::host::unless_raised(
        PyUnicode_DecodeUTF8(PyString_AS_STRING(key.ptr()), PyString_GET_SIZE(key.ptr()),
                             "strict"),
        {PyExc_UnicodeDecodeError});
    if (!text_form) return py::none();
  } else if (!PyUnicode_Check(key.ptr())) {
    return py::none();
  }
  if (has_surrogate(text_form)) return py::none();
  py::object bytes = qz::host::steal(PyUnicode_AsUTF8String(text_form.ptr()));
  if (PyString_GET_SIZE(bytes.ptr()) > 255) return py::none();
  return key;
}

// ---- answers ----

py::object classify_answer(py::handle json_rpc) {
  py::object json_req = decode(field(json_rpc, "qz_request"));
  py::object job = qz::contracts::digits::scheduler().attr("get_job")(field(json_req, "job_id"));
  if (!truth(job)) return text("no such job");
  py::object result = qz::vision::classify_one(field(json_req, "image_url"), job, py::none(),
                                               text("none"), qz::vision::kService);
  return bound->json.attr("dumps")(result);
}

// A classification that fails is answered with the empty text, its error logged.
py::object classify_service(py::handle json_rpc) {
  try {
    return classify_answer(json_rpc);
  } catch (py::error_already_set& e) {
    if (!is_failure(e)) throw;
    py::object rpc_error = text("#Exception: ") + qz::host::error_repr(e.value());
    log_at_now("DN125", rpc_error);
    return text("");
  }
}

// Seconds since the epoch as the host writes a float: 12 significant digits.
py::object time_service(py::handle) { return qz::host::str_of(bound->time.attr("time")()); }

// The services, by the name a request gives in "qz_service_name"; a name
// that is none of them is answered with the empty text.
struct Service {
  const char* name;
  py::object (*answer)(py::handle json_rpc);
};
constexpr Service kServices[] = {
    {"qz_dnn_classify", &classify_service},
    {"qz_time", &time_service},
};

void handle_request(const qz::worker::Request& request) {
  const qz::worker::Delivery& delivery = request.delivery;
  const py::object& response_key = request.required;
  py::object rpc_result = text("");
  py::object json_rpc = py::dict();
  py::object service = text("qz_time");
  try {
    json_rpc = decode(bound->tool.qz_gunzip_data(delivery.body));
    service = field(json_rpc, "qz_service_name");
  } catch (py::error_already_set& e) {
    if (!is_failure(e)) throw;
    log_at_now("DN075 warning, no qz_service_name ", qz::host::error_repr(e.value()));
  }
  for (const Service& offered : kServices) {
    if (service.equal(text(offered.name))) {
      rpc_result = offered.answer(json_rpc);
      break;
    }
  }
  if (PyUnicode_Check(rpc_result.ptr())) rpc_result = rpc_result.attr("encode")(text("utf-8"));
  if (!PyString_Check(rpc_result.ptr())) rpc_result = qz::host::str_of(rpc_result);
  // Acknowledged whatever the publish reports; an error raised by it leaves
  // the request unacknowledged.
  qz::worker::reply(delivery, response_key, rpc_result, "visionbay");
  qz::worker::acknowledge(delivery);
}

// A setting of the queue connection that cannot work, at start.
constexpr const char* kBadSetting = "DN090";

constexpr qz::worker::Definition kWorker{"dnn_arpc", false, "DN056 warning, no app_headers",
                                   "DN058 warning, no response_key ", &usable_response_key,
                                   &handle_request, kBadSetting};

// ---- the program ----

void main_operation(py::args args, py::kwargs kwargs) {
  qz::host::parse_arguments<0>(args, kwargs, ":main", {});
  py::object options = qz::worker::parse_options(
      {{"-a", "--allservices", "allservices", text("n"),
        "to start all qz services? (default: %default)"}});
  // Before the scheduler: a setting that cannot work ends the start at once.
  qz::worker::check_settings(options, qz::vision::image_setting_names());
  qz::contracts::digits::load_config_quietly();
  py::object digits_scheduler = qz::contracts::digits::scheduler();
  py::object start_status = digits_scheduler.attr("start")();
  log_at_now("DN180 DNN scheduler started", start_status);
  // A scheduler that did not start is a failure, not a clean end.
  if (!truth(start_status)) qz::worker::exit_with(1);
  qz::worker::Served served = qz::worker::serve(options);
  if (!served.opened) {
    digits_scheduler.attr("stop")();
    qz::worker::end_start(kBadSetting);
  }
  digits_scheduler.attr("stop")();
  served.client.attr("close")();
  log_at_now("Bye DNN API service");
  qz::worker::exit_with(served.orderly ? 0 : 1);
}

}  // namespace

QZ_QUEUE_PROGRAM(visionbay, m) {
  auto import = [](const char* name) { return py::module_::import(name); };
  py::module_ time = import("time");
  import("datetime");
  import("sys");
  import("optparse");
  py::module_ json = qz::host::import_json();
  bound = new Bindings{
      .time = time,
      .json = json,
      .config = qz::contracts::QzConfig::bind(),
      .tool = qz::contracts::QzTool::bind(),
  };
  py::module_::import("qz.qzmqtool");  // the replies' module, loaded with the others
  qz::worker::define(m, kWorker);
  qz::contracts::digits::import_packages();

  m.attr("version") = text("0.010");

  m.def("image_classification_model_classify_one", [](py::args a, py::kwargs k) {
    return qz::vision::classify_one_operation(a, k, qz::vision::kService);
  });
  m.def("main", &main_operation);
  qz::host::run_main_if_main(m);
}
