#include "worker/worker.h"

#include "contracts/qzconfig.h"
#include "contracts/qzmq.h"
#include "contracts/qztool.h"
#include "host/arguments.h"
#include "host/log.h"
#include "host/module.h"

#include <stdexcept>

namespace qz::worker {

using host::kwargs;
using host::text;
using host::truth;

namespace {

// What the worker binds when the program's module loads. Never freed: the
// host does not unload modules. QZ_KEY and the handlers stay in the module's
// namespace and are read at each use, so a caller may replace them.
struct Bindings {
  const Definition* definition;
  py::dict globals;
  contracts::QzConfig config;
  contracts::QzTool tool;
  contracts::QzMqObj mqobj;
};
Bindings* bound = nullptr;

py::object global(const char* name) { return host::global(bound->globals, name); }

bool cancel_if_asked(const Delivery& d) {
  py::object cancel_word = text("cancel_") + global("QZ_KEY");
  if (!d.body.equal(cancel_word) && !d.body.equal(d.method.attr("consumer_tag"))) return false;
  d.channel.attr("basic_cancel")(d.method.attr("consumer_tag"));
  acknowledge(d);
  return true;
}

void receive(const Delivery& d) {
  const Definition& definition = *bound->definition;
  py::object headers = bound->mqobj.get_headers_obj(d.properties);
  if (cancel_if_asked(d)) return;
  bound->mqobj.check_consumer_message(d.channel, d.method.attr("consumer_tag"), d.body);
  if (!truth(headers)) {
    host::log_at_now(definition.no_headers_warning);
    acknowledge(d);
    return;
  }
  py::object required = definition.required_header(headers);
  if (required.is_none()) {
    host::log_at_now(definition.no_required_warning);
    acknowledge(d);
    return;
  }
  definition.handle(Request{d, headers, required});
}

}  // namespace

void define(py::module_& m, const Definition& definition) {
  bound = new Bindings{
      .definition = &definition,
      .globals = py::reinterpret_borrow<py::dict>(m.attr("__dict__")),
      .config = contracts::QzConfig::bind(),
      .tool = contracts::QzTool::bind(),
      .mqobj = contracts::QzMqObj::bind(),
  };
  m.attr("QZ_KEY") = text(definition.key);
  m.def("recv_callback2", [](py::args args, py::kwargs kw) {
    auto [channel, method, properties, body] = host::parse_arguments<4>(
        args, kw, "OOOO:recv_callback2", {"channel", "method", "properties", "body"});
    receive(Delivery{channel, method, properties, body});
  });
  m.def("recv_callback", [](py::args args, py::kwargs kw) {
    auto [msg] = host::parse_arguments<1>(args, kw, "O:recv_callback", {"msg"});
    receive(Delivery{msg.attr("channel"), msg, msg.attr("properties"), msg.attr("body")});
  });
}

py::object field(py::handle mapping, const char* name) { return mapping.attr("get")(text(name)); }

py::object parse_options(std::initializer_list<host::Option> own) {
  return host::parse_platform_command_line(
      {nullptr, "--host", "host", text("localhost"),
       "AMQP server to connect to (default: %default)"},
      own)[0];
}

namespace {

// What every worker reads through the queue client and its own preamble.
constexpr std::initializer_list<const char*> kQueueSettings = {
    "QZ_MQ_PROTOCOL",     "QZ_MQ_EXCHANGE_TAG", "QZ_MQ_QUEUE_TYPE",   "QZ_MQ_PREFETCH",
    "QZ_MQ_RETRY_DELAY",  "QZ_MQ_RETRY_MAX_DELAY", "QZ_MQ_MAX_FAILURES", "QZ_MQ_MAX_BODY",
    "QZ_MQ_MAX_TEXT",     "QZ_JSON_MAX_NUMBER", "QZ_JSON_MAX_DEPTH",  "QZ_MQ_VHOST",
    "QZ_MQ_SSL_CAFILE",   "QZ_MQ_SSL_CERTFILE", "QZ_MQ_SSL_KEYFILE",
};

}  // namespace

void check_settings(py::handle options, const std::vector<const char*>& own) {
  try {
    bound->config.check(kQueueSettings);
    bound->config.check(own);
    bound->mqobj.check_connection_settings(options.attr("ssl"));
  } catch (py::error_already_set& e) {
    py::object refused = bound->config.SettingError();
    py::object refused_by_client = bound->mqobj.SettingError();
    if (!(!refused.is_none() && e.matches(refused)) &&
        !(!refused_by_client.is_none() && e.matches(refused_by_client)))
      throw;
    host::log_at_now(bound->definition->bad_setting_code, host::str_of(e.value()));
    end_start(bound->definition->bad_setting_code);
  }
}

Served serve(py::handle options) {
  py::object mq = bound->mqobj.QZMQObject();
  try {
    mq.attr("open")(**kwargs({{"userid", options.attr("userid")},
                              {"password", bound->tool.check_mq_password(options.attr("password"))},
                              {"host", options.attr("host")},
                              {"ssl", options.attr("ssl")}}));
  } catch (py::error_already_set& e) {
    py::object refused = bound->mqobj.SettingError();
    if (refused.is_none() || !e.matches(refused)) throw;
    host::log_at_now(bound->definition->bad_setting_code, host::str_of(e.value()));
    return Served{mq, false, false};
  }
  host::release_stop_signals();
  py::object handler = truth(bound->config.QZ_MQ_PROTOCOL()) ? global("recv_callback2")
                                                             : global("recv_callback");
  py::bool_ durable(bound->definition->durable);
  mq.attr("consume")(global("QZ_KEY"), **kwargs({{"callback", handler},
                                                 {"durable", durable},
                                                 {"exclusive", py::bool_(false)},
                                                 {"auto_delete", py::bool_(false)},
                                                 {"type", text("direct")}}));
  py::object status = mq.attr("wait")();
  return Served{mq, truth(status)};
}

void acknowledge(const Delivery& d) { d.channel.attr("basic_ack")(d.method.attr("delivery_tag")); }

void reply(const Delivery& d, py::handle response_key, py::handle answer, const char* tag) {
  py::dict context;
  context[text("retry")] = host::integer(0);
  context[text("response_key")] = response_key;
  // Bound at the first reply: a worker that never replies does not need
  // the publishing module at all.
  static const contracts::QzMqTool* mqtool = new contracts::QzMqTool(contracts::QzMqTool::bind());
  py::object exchange = text(bound->definition->key) + bound->config.QZ_MQ_EXCHANGE_TAG();
  mqtool->do_basic_publish(bound->tool.qz_gzip_data(answer), context, response_key, d.channel,
                           text(tag), exchange);
}

void end_start(const char* code) { host::end_on_bad_setting(code); }

void exit_with(int status) {
  py::module_::import("sys").attr("exit")(host::integer(status));
  throw std::logic_error("sys.exit returned");  // it raises SystemExit
}

}  // namespace qz::worker
