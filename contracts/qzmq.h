// The platform's message-queue modules `qz.qzmqobj` and `qz.qzmqtool`, as our
// modules reach them. The client object that QZMQObject() returns is used
// through its own attributes (open, consume, wait, close); the calls' keyword
// names are part of the contract and spelled out at the call sites.
//
// open(userid, password, host, ssl) takes the rest of the connection from the
// platform's settings (virtual host, TLS files). A setting that cannot work
// makes open raise qzmqobj.SettingError, a ValueError whose message names the
// setting and its value (never a secret), before any connection is tried.
#pragma once

#include "host/host.h"

namespace qz::contracts {

class QzMqObj {
 public:
  // Imports qz.qzmqobj; a missing module raises the host's ImportError.
  static QzMqObj bind() { return QzMqObj(py::module_::import("qz.qzmqobj")); }

  // A new, unconnected client.
  py::object QZMQObject() const { return module_.attr("QZMQObject")(); }
  py::object check_consumer_message(py::handle channel, py::handle consumer_tag,
                                    py::handle body) const {
    return module_.attr("check_consumer_message")(channel, consumer_tag, body);
  }
  // The class of open's error for a bad setting; none when the platform's
  // client has no such class (its errors then end the start as any other).
  py::object SettingError() const { return py::getattr(module_, "SettingError", py::none()); }
  // Reads and checks the settings of a broker connection (virtual host, TLS
  // files; `ssl` is the program's --ssl) as open does, without connecting:
  // a bad one raises SettingError. Nothing on a platform without the check.
  void check_connection_settings(py::handle ssl) const {
    py::object checker = py::getattr(module_, "check_connection_settings", py::none());
    if (!checker.is_none()) checker(ssl);
  }
  // The application headers as a mapping, or a false value.
  py::object get_headers_obj(py::handle properties) const {
    return module_.attr("get_headers_obj")(properties);
  }

 private:
  explicit QzMqObj(py::module_ m) : module_(std::move(m)) {}
  py::module_ module_;
};

class QzMqTool {
 public:
  // Imports qz.qzmqtool; a missing module raises the host's ImportError.
  static QzMqTool bind() { return QzMqTool(py::module_::import("qz.qzmqtool")); }

  // Publishes an already compressed reply; the result is truth-tested only.
  py::object do_basic_publish(py::handle body, py::handle headers, py::handle routing_key,
                              py::handle ch, py::handle tag, py::handle exchange) const {
    return module_.attr("do_basic_publish")(
        body, headers, routing_key,
        **host::kwargs({{"ch", ch}, {"tag", tag}, {"exchange", exchange}}));
  }
  // Sends body to queue on channel and returns the answer; raises on time-out.
  py::object rpc_call_with_timeout(py::handle body, py::handle timeout, py::handle channel,
                                   py::handle queue) const {
    return module_.attr("rpc_call_with_timeout")(body, timeout, channel, queue);
  }

 private:
  explicit QzMqTool(py::module_ m) : module_(std::move(m)) {}
  py::module_ module_;
};

}  // namespace qz::contracts
