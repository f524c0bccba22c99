#include "contracts/consumer.h"

#include "host/arguments.h"

namespace qz::contracts {

using host::kwargs;
using host::text;

py::object open_queue_client(const QzMqObj& mqobj, const QzTool& tool, py::handle options) {
  py::object mq = mqobj.QZMQObject();
  mq.attr("open")(**kwargs({{"userid", options.attr("userid")},
                            {"password", tool.check_mq_password(options.attr("password"))},
                            {"host", options.attr("host")},
                            {"ssl", options.attr("ssl")}}));
  host::release_stop_signals();
  return mq;
}

void register_consumer(py::handle mq, py::handle key, py::handle handler, bool durable) {
  mq.attr("consume")(key, **kwargs({{"callback", handler},
                                    {"durable", py::bool_(durable)},
                                    {"exclusive", py::bool_(false)},
                                    {"auto_delete", py::bool_(false)},
                                    {"type", text("direct")}}));
}

bool cancel_if_asked(py::handle channel, py::handle method, py::handle body, py::handle key) {
  auto own = [](py::handle h) { return py::reinterpret_borrow<py::object>(h); };
  py::object cancel_word = text("cancel_") + own(key);
  if (!own(body).equal(cancel_word) && !own(body).equal(method.attr("consumer_tag"))) return false;
  channel.attr("basic_cancel")(method.attr("consumer_tag"));
  acknowledge(channel, method);
  return true;
}

void acknowledge(py::handle channel, py::handle method) {
  channel.attr("basic_ack")(method.attr("delivery_tag"));
}

void define_handlers(py::module_& m, DeliveryHandler handle) {
  m.def("recv_callback2", [handle](py::args args, py::kwargs kwargs) {
    auto [channel, method, properties, body] = host::parse_arguments<4>(
        args, kwargs, "OOOO:recv_callback2", {"channel", "method", "properties", "body"});
    handle(Delivery{channel, method, properties, body});
  });
  m.def("recv_callback", [handle](py::args args, py::kwargs kwargs) {
    auto [msg] = host::parse_arguments<1>(args, kwargs, "O:recv_callback", {"msg"});
    handle(Delivery{msg.attr("channel"), msg, msg.attr("properties"), msg.attr("body")});
  });
}

}  // namespace qz::contracts
