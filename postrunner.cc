// postrunner: consumes mail requests from the message broker ("qz_mail") and
// sends each as plain-text UTF-8 mail over one reused SMTP connection, or
// forwards it to the platform's endpoint in a mode other than "native".
#include "contracts/qzconfig.h"
#include "contracts/qztool.h"
#include "host/arguments.h"
#include "host/json.h"
#include "host/log.h"
#include "host/utf8.h"
#include "host/module.h"
#include "net/socket_deadline.h"
#include "worker/worker.h"

#include <chrono>
#include <cmath>
#include <memory>
#include <string>

namespace {

using qz::host::integer;
using qz::host::is_failure;
using qz::host::text;
using qz::host::throw_error;
using qz::host::truth;
using qz::worker::field;

// What the module binds when it loads. Never freed: the host does not unload
// modules. The module's own namespace holds QZ_KEY and the `smtp` slot, so
// they stay visible (and replaceable) as module attributes.
struct Bindings {
  py::dict globals;
  py::module_ smtplib;
  py::object mime_text;  // email.mime.text.MIMEText
  py::object header;     // email.header.Header
  py::module_ json;
  py::module_ dumptree;
  qz::contracts::QzConfig config;
  qz::contracts::QzTool tool;
};
Bindings* bound = nullptr;

// Bounds the SMTP exchange in hand (one mail, or the last quit). Never
// freed, as the program's other bindings.
qz::SocketDeadline& smtp_deadline() {
  static auto* deadline = new qz::SocketDeadline;
  return *deadline;
}

// The exchange in hand stays under its deadline until this leaves scope,
// however it ends (an interrupt included).
class Watching {
 public:
  Watching() = default;
  Watching(const Watching&) = delete;
  Watching& operator=(const Watching&) = delete;
  ~Watching() { smtp_deadline().disarm(); }
  // Ends the watch at once; true when the deadline had passed.
  bool end() { return smtp_deadline().disarm(); }
};

// Puts the exchange in hand under its deadline; one that cannot be watched
// (no descriptor left to duplicate) does not start.
void arm_deadline(int fd, double seconds) {
  if (!smtp_deadline().arm(fd, seconds)) {
    PyErr_SetFromErrno(PyExc_OSError);
    throw py::error_already_set();
  }
}

py::object global(const char* name) { return qz::host::global(bound->globals, name); }

// Mail text is composed and joined as UTF-8 bytes: a decoded JSON report
// gives unicode, and joining it to the request's non-ASCII UTF-8 bytes, or
// handing non-ASCII unicode to the MIME composer, fails in the host. The
// mail is labelled UTF-8, so it must be: a request may carry any bytes, and
// those that are not UTF-8 (an encoded surrogate included) are shown as
// \xNN, as the log lines show them.
py::object utf8(py::object s) {
  if (PyUnicode_Check(s.ptr())) s = s.attr("encode")(text("utf-8"));
  if (!PyString_Check(s.ptr())) return s;
  std::string_view bytes(PyString_AS_STRING(s.ptr()), PyString_GET_SIZE(s.ptr()));
  if (qz::host::is_utf8(bytes)) return s;
  std::string shown;
  qz::host::append_escaped_utf8(shown, bytes);
  return text(shown);
}

py::object concat(py::handle a, py::handle b) {
  return qz::host::steal(PyNumber_Add(a.ptr(), b.ptr()));
}

// ---- mail composition and sending ----

py::object compose(py::handle to, py::handle subject, py::handle body, py::handle sender) {
  auto own = [](py::handle h) { return py::reinterpret_borrow<py::object>(h); };
  py::object message = bound->mime_text(concat(text("QZ Mail\n\n"), utf8(own(body))),
                                          text("plain"), text("utf-8"));
  message[text("Subject")] =
      bound->header(concat(text("[QZ Mail] "), utf8(own(subject))), text("utf-8"));
  message[text("From")] = sender;
  message[text("To")] = to;
  message.attr("add_header")(text("reply-to"), bound->config.QZ_SMTP_REPLYTO());
  return message;
}

// ---- the SMTP connection ----

// An SMTP server's reply lines as smtplib reads them (readline, close), from
// the socket's own file, within a budget: one reply, its continuation lines
// together, of more than kBudget bytes fails as a socket error, which smtplib
// reports as a lost connection. smtplib keeps a reply's lines in a list, so a
// server sending "250-..." lines without end would fill memory until the
// mail's deadline; a real reply (a few extensions after EHLO) is below 2 KiB.
class ReplyLines {
 public:
  static constexpr Py_ssize_t kBudget = 64 * 1024;

  explicit ReplyLines(py::object file) : file_(std::move(file)) {}

  py::object readline(py::args args) {
    py::object line = file_.attr("readline")(*args);
    if (!PyString_Check(line.ptr())) return line;
    Py_ssize_t size = PyString_GET_SIZE(line.ptr());
    reply_bytes_ += size;
    if (reply_bytes_ > kBudget) {
      py::object error = py::module_::import("socket").attr("error");
      PyErr_Format(error.ptr(), "a reply longer than %zd bytes", kBudget);
      throw py::error_already_set();
    }
    if (ends_reply(line)) reply_bytes_ = 0;
    return line;
  }
  void close() { file_.attr("close")(); }

 private:
  // smtplib's own tests: a line whose code is no number, or without "-"
  // after its code, ends the reply.
  static bool ends_reply(py::handle line) {
    if (PyString_GET_SIZE(line.ptr()) < 4 || PyString_AS_STRING(line.ptr())[3] != '-') return true;
    py::object code = qz::host::steal(PySequence_GetSlice(line.ptr(), 0, 3));
    return !qz::host::unless_raised(PyNumber_Int(code.ptr()), {PyExc_ValueError});
  }

  py::object file_;
  Py_ssize_t reply_bytes_ = 0;
};

// The time one mail's exchange may take, counted from its start.
struct MailBudget {
  std::chrono::steady_clock::time_point start;
  double seconds;

  double left() const {
    std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    return seconds - spent.count();
  }
};

// The wait a new connection's connect may take: the socket's own time-out
// (None: no limit), but no longer than the mail has left, and never zero
// (which would make the socket non-blocking).
py::object connect_wait(py::handle per_wait, double left) {
  double most = std::fmax(left, 0.001);
  if (!per_wait.is_none()) {
    if (qz::host::as_double(per_wait) <= most) return py::reinterpret_borrow<py::object>(per_wait);
  }
  return py::float_(most);
}

// ---- TLS of the SMTP connection ----

// QZ_SMTP_TLS: plain (the default), STARTTLS on the plain connection before
// anything else is said, or TLS from the first byte (implicit, port 465).
enum class Tls { kNone, kStartTls, kImplicit };

struct Security {
  Tls tls = Tls::kNone;
  py::object context;  // ssl.SSLContext; none without TLS
};

[[noreturn]] void bad_setting(const char* format, py::handle a, py::handle b = py::handle()) {
  py::object values = b ? py::make_tuple(a, b) : py::make_tuple(a);
  throw_error(PyExc_ValueError, text(format).attr("__mod__")(values));
}

// A text setting as a byte string; none and the empty text are "".
py::object text_setting(const char* name) {
  py::object value = bound->config.setting_or(name, text(""));
  if (value.is_none()) return text("");
  if (PyUnicode_Check(value.ptr())) return value.attr("encode")(text("utf-8"));
  if (!PyString_Check(value.ptr())) {
    std::string format = std::string("setting ") + name + "=%r is not a text";
    bad_setting(format.c_str(), value);
  }
  return value;
}

// QZ_SMTP_TLS and QZ_SMTP_SSL_CAFILE, read when a connection is opened (and
// at start, so that a bad one is named there): a value that cannot work
// raises ValueError naming the setting and its value. With TLS the server's
// chain and its name (QZ_SMTP_HOST) are always checked, against the CA file
// when one is named, else against the system's store.
Security security() {
  py::object mode = text_setting("QZ_SMTP_TLS");
  py::object cafile = text_setting("QZ_SMTP_SSL_CAFILE");
  py::object word = mode.attr("lower")();
  Security chosen;
  if (word.equal(text("starttls"))) {
    chosen.tls = Tls::kStartTls;
  } else if (word.equal(text("ssl"))) {
    chosen.tls = Tls::kImplicit;
  } else if (truth(mode)) {
    bad_setting("setting QZ_SMTP_TLS=%r is not one of '', 'starttls', 'ssl'", mode);
  }
  if (chosen.tls == Tls::kNone) {
    // A CA named for a connection without TLS says that TLS was meant: the
    // login would go in the clear.
    if (truth(cafile))
      bad_setting("setting QZ_SMTP_SSL_CAFILE=%r is set but QZ_SMTP_TLS is empty", cafile);
    return chosen;
  }
  py::module_ ssl = py::module_::import("ssl");
  try {
    chosen.context = ssl.attr("create_default_context")(
        **qz::host::kwargs({{"cafile", truth(cafile) ? cafile : py::none()}}));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_IOError) && !e.matches(ssl.attr("SSLError"))) throw;
    py::object reason = concat(concat(e.value().attr("__class__").attr("__name__"), text(": ")),
                               qz::host::str_of(e.value()));
    bad_setting("setting QZ_SMTP_SSL_CAFILE=%r: no CA could be read from it: %s", cafile, reason);
  }
  return chosen;
}

// `sock` wrapped in TLS for `host`, handshake done (under the deadline the
// caller has armed on its descriptor), and its replies read within their
// budget from here on.
py::object secured(const py::object& opened, py::handle sock, py::handle host,
                   const Security& how) {
  py::object tls = how.context.attr("wrap_socket")(
      sock, **qz::host::kwargs({{"server_hostname", host}}));
  // A new reader: what the old one had buffered past the server's last
  // plain reply never passes for something the server said under TLS.
  opened.attr("file") = py::cast(ReplyLines(tls.attr("makefile")(text("rb"))));
  return tls;
}

// STARTTLS on a connection just greeted, before any login: a server that
// does not offer it, or refuses it, fails the mail and nothing else is sent.
void start_tls(const py::object& opened, py::handle host, const Security& how) {
  opened.attr("ehlo_or_helo_if_needed")();
  if (!truth(opened.attr("has_extn")(text("starttls")))) {
    py::object message = text("the SMTP server %s does not offer STARTTLS (QZ_SMTP_TLS=%r)")
                             .attr("__mod__")(py::make_tuple(host, text("starttls")));
    throw_error(bound->smtplib.attr("SMTPException"), message);
  }
  py::object reply = opened.attr("docmd")(text("STARTTLS"));
  if (!integer(220).equal(reply[integer(0)])) {
    PyErr_SetObject(bound->smtplib.attr("SMTPResponseException").ptr(), reply.ptr());
    throw py::error_already_set();
  }
  opened.attr("sock") = secured(opened, opened.attr("sock"), host, how);
  // What the server said before TLS counts for nothing after it.
  opened.attr("helo_resp") = py::none();
  opened.attr("ehlo_resp") = py::none();
  opened.attr("esmtp_features") = py::dict();
  opened.attr("does_esmtp") = integer(0);
}

// The descriptor of an SMTP connection's socket; -1 when it has none (closed).
int socket_of(py::handle smtp) {
  py::object sock = py::getattr(smtp, "sock", py::none());
  if (sock.is_none()) return -1;
  return py::cast<int>(sock.attr("fileno")());
}

// The deadline of the exchange in hand covers the connection's socket.
void watch(py::handle smtp, const MailBudget& budget) {
  int fd = socket_of(smtp);
  if (fd >= 0) arm_deadline(fd, budget.left());
}

// Connects a new connection as SMTP(host, port, timeout=...) would: no
// connect without a host, and a greeting other than 220 refused. The
// connect waits no longer than the mail has left, and from the moment the
// socket exists the exchange's deadline is on it and its replies are read
// within their budget: the greeting is part of the exchange, and so is an
// implicit TLS handshake. With STARTTLS the upgrade follows the greeting.
void connect(const py::object& opened, const MailBudget& budget, const Security& how) {
  const auto& c = bound->config;
  py::object host = c.QZ_SMTP_HOST();
  if (!truth(host)) return;
  // The name the server's certificate must carry: the host smtplib
  // connects to, without the port it may split off.
  auto server_name = std::make_shared<py::object>(host);
  // Held by the connection only while it connects: the hook refers to the
  // connection, a cycle the host cannot collect.
  py::object make_socket = opened.attr("_get_socket");
  opened.attr("_get_socket") = py::cpp_function(
      [opened, make_socket, budget, how, server_name](py::object host, py::object port,
                                                      py::object per_wait) {
        *server_name = host;
        py::object sock = make_socket(host, port, connect_wait(per_wait, budget.left()));
        sock.attr("settimeout")(per_wait);
        arm_deadline(py::cast<int>(sock.attr("fileno")()), budget.left());
        if (how.tls == Tls::kImplicit) return secured(opened, sock, host, how);
        opened.attr("file") = py::cast(ReplyLines(sock.attr("makefile")(text("rb"))));
        return sock;
      });
  py::object greeting;
  try {
    greeting = opened.attr("connect")(host, c.QZ_SMTP_PORT());
  } catch (py::error_already_set&) {
    py::delattr(opened, "_get_socket");
    throw;
  }
  py::delattr(opened, "_get_socket");
  if (!integer(220).equal(greeting[integer(0)])) {
    opened.attr("close")();
    PyErr_SetObject(bound->smtplib.attr("SMTPConnectError").ptr(), greeting.ptr());
    throw py::error_already_set();
  }
  if (how.tls == Tls::kStartTls) start_tls(opened, *server_name, how);
}

// A connection already open is reused without a new login. A new one is
// stored in the slot at once, then connected and logged in; one that an
// interrupt left half-way is closed and forgotten, never reused. (smtplib
// looks up the machine's own name as it makes the connection, before the
// connect: that lookup is the resolver's, outside the mail's budget.)
py::object connection(const MailBudget& budget) {
  py::object slot = global("smtp");
  if (truth(slot)) return slot;
  const auto& c = bound->config;
  Security how = security();
  py::object opened = bound->smtplib.attr("SMTP")(
      **qz::host::kwargs({{"timeout", c.QZ_SMTP_TIMEOUT()}}));
  bound->globals[text("smtp")] = opened;
  try {
    connect(opened, budget, how);
    py::object uid = c.QZ_SMTP_UID();
    if (truth(uid)) opened.attr("login")(uid, c.QZ_SMTP_PWD());
  } catch (py::error_already_set& e) {
    if (is_failure(e)) throw;  // the caller gives the connection up
    try {
      opened.attr("close")();
    } catch (py::error_already_set& close_error) {
      if (!is_failure(close_error)) throw;
    }
    bound->globals[text("smtp")] = py::none();
    throw;
  }
  return opened;
}

// After a failed exchange the connection is given up, so that the next mail
// opens a fresh one; its quit may fail too (or find no connection at all).
void drop_connection() {
  py::object slot = global("smtp");
  try {
    slot.attr("quit")();
  } catch (py::error_already_set& e) {
    if (!is_failure(e)) throw;
  }
  try {  // a failed quit leaves the socket open
    if (truth(slot)) slot.attr("close")();
  } catch (py::error_already_set& e) {
    if (!is_failure(e)) throw;
  }
  bound->globals[text("smtp")] = py::none();
}

// Raised in place of what a socket shut down at the deadline gave smtplib
// (end of file, a reset): the host's socket.timeout, which names the budget.
[[noreturn]] void raise_mail_timeout(double seconds) {
  py::object message = qz::host::steal(PyString_FromFormat(
      "the SMTP exchange of one mail took longer than QZ_SMTP_MAIL_TIMEOUT (%s s)",
      PyString_AS_STRING(qz::host::str_of(py::float_(seconds)).ptr())));
  PyErr_SetObject(py::module_::import("socket").attr("timeout").ptr(), message.ptr());
  throw py::error_already_set();
}

// One mail's whole exchange, opening the connection and a failure's quit
// included, takes at most QZ_SMTP_MAIL_TIMEOUT: past it the socket is shut
// down and the mail fails with socket.timeout.
void qz_send_mail(py::object to, py::object subject, py::object body) {
  py::object sender = bound->config.QZ_SMTP_SENDER();
  py::object message = compose(to, subject, body, sender);
  py::object text_of_mail = message.attr("as_string")();
  MailBudget budget{std::chrono::steady_clock::now(), bound->config.smtp_mail_timeout()};
  Watching watching;
  try {
    py::object smtp = connection(budget);
    watch(smtp, budget);
    smtp.attr("sendmail")(sender, to, text_of_mail);
  } catch (py::error_already_set& e) {
    if (!is_failure(e)) throw;  // an interrupt or exit passes through untouched
    // The mail's own error names the cause, unless its time ran out; the
    // quit that gives the connection up stays within the same time.
    bool timed_out = smtp_deadline().expired() || budget.left() <= 0;
    drop_connection();
    if (timed_out) raise_mail_timeout(budget.seconds);
    throw;
  }
  // Sent; a deadline that passed just after leaves a socket shut down.
  if (watching.end()) drop_connection();
}

// ---- request handling ----

// A caller's JSON reaches the decoder only within the budget the settings
// give (QZ_JSON_MAX_NUMBER, QZ_JSON_MAX_DEPTH), as visionbay's calls do: a
// report over it fails as a report that is not JSON, before the host spends
// a time quadratic in a number's length on it.
py::object decode(py::handle json_text) {
  qz::host::check_json_budget(json_text, bound->config.json_max_number(),
                              bound->config.json_max_depth());
  return bound->json.attr("loads")(json_text);
}

py::object dump(py::handle value) {
  return utf8(bound->dumptree.attr("qz_dumptree")(value, false));
}

using qz::host::at;

// The report's last line, when it is a JSON object, is replaced (everywhere
// in the report) by its tree dump.
py::object expand_last_line(py::object report) {
  py::object pieces = report.attr("strip")().attr("split")(text("\n"));
  py::object candidate = at(pieces, -1).attr("strip")();
  if (!truth(candidate)) return report;
  if (!(at(candidate, 0).equal(text("{")) && at(candidate, -1).equal(text("}")))) return report;
  py::object parsed = decode(candidate);
  if (!truth(parsed)) return report;
  return report.attr("replace")(candidate, dump(parsed));
}

void send_native(py::handle task_email_to, py::handle body) {
  py::object mail_context = bound->tool.qz_urldecode(qz::host::str_of(body));
  py::object report_str = text("");
  py::object subject = text("");
  if (truth(field(mail_context, "report"))) {
    report_str = mail_context[text("report")];
    mail_context.attr("__delitem__")(text("report"));
    if (truth(field(mail_context, "json")))
      report_str = dump(decode(report_str));
    report_str = expand_last_line(report_str);
  }
  for (const char* hidden : {"qz_hook_callback", "access_key", "task_owner_path"})
    if (truth(field(mail_context, hidden))) mail_context.attr("__delitem__")(text(hidden));
  py::object append_str = dump(mail_context);
  if (truth(field(mail_context, "subject"))) subject = mail_context[text("subject")];
  qz_send_mail(py::reinterpret_borrow<py::object>(task_email_to), subject,
               concat(concat(append_str, text("\n\n")), report_str));
}

// Sends or forwards one request; failures are the caller's to report.
void handle_request(py::handle app_headers, py::handle body) {
  py::object task_email_to = field(app_headers, "to");
  if (!truth(bound->tool.is_email(task_email_to))) return;
  if (bound->config.SEND_MAIL_MODE().equal(text("native")))
    send_native(task_email_to, body);
  else
    bound->tool.post_qz_message(bound->tool.QZ_BASE_URL(), body, py::bool_(true));
}

py::object usable_recipient(py::handle headers) {
  py::object to = field(headers, "to");
  return truth(to) ? to : py::none();
}

void receive(const qz::worker::Request& request) {
  const qz::worker::Delivery& delivery = request.delivery;
  try {
    handle_request(request.headers, delivery.body);
  } catch (py::error_already_set& e) {
    if (!is_failure(e)) throw;
    // The request stays unacknowledged: the queue client holds it for a
    // back-off and gives it back to the queue, or parks it once it has
    // failed too often.
    qz::host::log_at_now("ML095", qz::host::error_repr(e.value()));
    return;
  }
  qz::worker::acknowledge(delivery);
}

// A setting of the connections (queue or SMTP) that cannot work, at start.
constexpr const char* kBadSetting = "ML090";

constexpr qz::worker::Definition kWorker{"qz_mail", true, "ML074 warning, no app_headers",
                                   "ML079 warning, no to", &usable_recipient, &receive,
                                   kBadSetting};

void send_mail_operation(py::args args, py::kwargs kwargs) {
  auto [to, subject, body] = qz::host::parse_arguments<3>(args, kwargs, "OOO:qz_send_mail",
                                                          {"to", "subject", "body"});
  qz_send_mail(to, subject, body);
}

// ---- the program ----

// The SMTP connection's settings are named at start when they cannot work,
// rather than at every mail.
void check_smtp_settings() {
  try {
    security();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    qz::host::log_at_now(kBadSetting, qz::host::str_of(e.value()));
    qz::worker::end_start(kBadSetting);
  }
}

void main_operation(py::args args, py::kwargs kwargs) {
  qz::host::parse_arguments<0>(args, kwargs, ":main", {});
  py::object options = qz::worker::parse_options({});
  qz::worker::check_settings(
      options, {"QZ_SMTP_HOST", "QZ_SMTP_PORT", "QZ_SMTP_TIMEOUT", "QZ_SMTP_MAIL_TIMEOUT",
                "QZ_SMTP_UID", "QZ_SMTP_PWD", "QZ_SMTP_SENDER", "QZ_SMTP_REPLYTO",
                "SEND_MAIL_MODE", "QZ_SMTP_TLS", "QZ_SMTP_SSL_CAFILE"});
  check_smtp_settings();
  qz::worker::Served served = qz::worker::serve(options);
  if (!served.opened) qz::worker::end_start(kBadSetting);
  served.client.attr("close")();
  py::object slot = global("smtp");
  if (truth(slot)) {
    // The last quit is an exchange of its own, bounded like a mail.
    Watching watching;
    try {
      watch(slot, {std::chrono::steady_clock::now(), bound->config.smtp_mail_timeout()});
      slot.attr("quit")();
    } catch (py::error_already_set& e) {
      if (!is_failure(e)) throw;
    }
  }
  qz::worker::exit_with(served.orderly ? 0 : 1);
}

}  // namespace

QZ_QUEUE_PROGRAM(postrunner, m) {
  bound = new Bindings{
      .globals = py::reinterpret_borrow<py::dict>(m.attr("__dict__")),
      .smtplib = py::module_::import("smtplib"),
      .mime_text = py::module_::import("email.mime.text").attr("MIMEText"),
      .header = py::module_::import("email.header").attr("Header"),
      .json = qz::host::import_json(),
      .dumptree = py::module_::import("qz.dumptree"),
      .config = qz::contracts::QzConfig::bind(),
      .tool = qz::contracts::QzTool::bind(),
  };
  py::module_::import("optparse");

  m.attr("version") = text("0.010");
  m.attr("smtp") = py::none();
  py::class_<ReplyLines>(m, "_ReplyLines")
      .def("readline", &ReplyLines::readline)
      .def("close", &ReplyLines::close);
  qz::worker::define(m, kWorker);

  m.def("qz_send_mail", &send_mail_operation);
  m.def("main", &main_operation);
  qz::host::run_main_if_main(m);
}
