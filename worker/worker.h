// The queue worker that postrunner and visionbay each are: one consumer under
// the program's key, every delivery passed through the same preamble before
// the program's own handling, and one life (open, consume, wait) whose end
// the program finishes in its own order.
//
// The preamble, in order: the application headers are read; the cancel word
// ("cancel_" + the key, or the consumer's own tag) cancels the consumer and is
// acknowledged; the platform's consumer check sees every other message; a
// message without headers, or without a usable value of the header the
// program requires, is logged with the program's warning and acknowledged
// (nobody could act on it). What passes goes to the program's handler, which
// acknowledges it or, by not doing so, leaves it for a later delivery.
#pragma once

#include "host/host.h"
#include "host/options.h"

#include <initializer_list>

namespace qz::worker {

// One delivery as a handler sees it. In the one-argument form the message
// object stands in for the method (it carries consumer_tag and delivery_tag).
struct Delivery {
  py::object channel, method, properties, body;
};

// A delivery that passed the preamble, with its headers and the usable value
// of the required header.
struct Request {
  const Delivery& delivery;
  py::object headers;
  py::object required;
};

struct Definition {
  const char* key;                 // the queue; becomes the module's QZ_KEY
  bool durable;                    // the queue's (and exchange's) durability
  const char* no_headers_warning;  // logged for a message without headers
  const char* no_required_warning;  // ... without a usable required header
  // The usable value of the required header in `headers`, or none.
  py::object (*required_header)(py::handle headers);
  void (*handle)(const Request& request);
  // The code of the line naming a setting that the queue client refused
  // before it connected (see serve).
  const char* bad_setting_code;
};

// Defines QZ_KEY and the two handler operations, recv_callback2(channel,
// method, properties, body) and recv_callback(msg), on the program's module;
// both take their parameters by position or by name, with the host's own
// argument errors. `definition` must outlive the module (a constant).
void define(py::module_& m, const Definition& definition);

// `name` of the headers, or none (the headers' own get).
py::object field(py::handle mapping, const char* name);

// The command line of a worker: --host, -u/--userid, -p/--password, the
// program's own options, --ssl, with the defaults every worker has.
py::object parse_options(std::initializer_list<host::Option> own);

// Opens the client with the options (the password through the platform's
// check), hands it any stop signal that came while the program started,
// registers the handler form QZ_MQ_PROTOCOL chooses, and waits. The client
// is the caller's to close, at its own step. A setting the client refuses
// before it connects is logged as "<bad_setting_code> <its message>" and
// ends the service unopened: `opened` false, nothing to close.
struct Served {
  py::object client;
  bool orderly;  // wait's truth: the exit status is 0 when true, else 1
  bool opened = true;
};
Served serve(py::handle options);

// Checks, once at the program's start and before anything connects, every
// setting the worker reads: the queue client's, those named in `own`, and
// the broker connection's (virtual host, TLS files, for the --ssl in
// `options`). The first bad one is logged as "<bad_setting_code> <its
// message>" and ends the start (end_start).
void check_settings(py::handle options, const std::vector<const char*>& own);

// Ends the start of a program on a bad setting: status 78 (EX_CONFIG, which
// the units do not restart on), and the code as the last line of standard
// error (the log line names the setting).
[[noreturn]] void end_start(const char* code);

// channel.basic_ack(method.delivery_tag)
void acknowledge(const Delivery& delivery);

// The reply to a remote call: `answer` (byte string) compressed and published
// with do_basic_publish to the reply exchange (the definition's key followed by
// QZ_MQ_EXCHANGE_TAG, read at each reply) under `response_key`,
// with the headers {"retry": 0, "response_key": response_key}. Its result is
// not looked at; an error it raises leaves the caller's request
// unacknowledged.
void reply(const Delivery& delivery, py::handle response_key, py::handle answer,
           const char* tag);

// sys.exit(status)
[[noreturn]] void exit_with(int status);

}  // namespace qz::worker
