// The consumer life that postrunner and visionbay share: connect with the
// command line's settings, register one handler under the program's key,
// and tell a cancel request from a work request.
#pragma once

#include "contracts/qzmq.h"
#include "contracts/qztool.h"
#include "host/module.h"

namespace qz::contracts {

// QZMQObject() opened with the --userid, --password (through
// check_mq_password), --host and --ssl values of `options`; a stop signal
// that came while the program started is then handed to the open client.
py::object open_queue_client(const QzMqObj& mqobj, const QzTool& tool, py::handle options);

// consume(key, callback=handler, durable=..., exclusive=False,
// auto_delete=False, type="direct"): the same topology for every caller.
void register_consumer(py::handle mq, py::handle key, py::handle handler, bool durable);

// A body equal to "cancel_" + key, or to the consumer's own tag, cancels the
// consumer and is acknowledged; true when the message was such a request.
bool cancel_if_asked(py::handle channel, py::handle method, py::handle body, py::handle key);

// channel.basic_ack(method.delivery_tag)
void acknowledge(py::handle channel, py::handle method);

// One delivery as a handler sees it. In the one-argument form the message
// object stands in for the method (it carries consumer_tag and delivery_tag).
struct Delivery {
  py::object channel, method, properties, body;
};
using DeliveryHandler = void (*)(const Delivery&);

// Defines the module's two handler operations, recv_callback2(channel,
// method, properties, body) and recv_callback(msg), both taking their
// parameters by position or by name with the host's own argument errors,
// and both handing the delivery to `handle`.
void define_handlers(py::module_& m, DeliveryHandler handle);

}  // namespace qz::contracts
