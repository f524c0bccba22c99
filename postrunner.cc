// postrunner: consumes mail requests from the message broker ("qz_mail") and
// sends each as plain-text UTF-8 mail over one reused SMTP connection, or
// forwards it to the platform's endpoint in a mode other than "native".
// Here: the request's handling and the mail's composing and rendering; the
// SMTP transport (connection, deadline, reply budget, TLS) is the session's,
// postrunner/smtp_session.h.
#include "contracts/qzconfig.h"
#include "contracts/qztool.h"
#include "host/arguments.h"
#include "host/json.h"
#include "host/log.h"
#include "host/utf8.h"
#include "host/module.h"
#include "postrunner/smtp_session.h"
#include "worker/worker.h"

#include <string>

namespace {

using qz::host::at;
using qz::host::is_failure;
using qz::host::text;
using qz::host::truth;
using qz::worker::field;

// What the module binds when it loads. Never freed: the host does not unload
// modules. The module's own namespace holds QZ_KEY and the SMTP session's
// `smtp` slot, so they stay visible (and replaceable) as module attributes.
struct Bindings {
  py::object mime_text;  // email.mime.text.MIMEText
  py::object header;     // email.header.Header
  py::module_ json;
  py::module_ dumptree;
  qz::contracts::QzConfig config;
  qz::contracts::QzTool tool;
  qz::postrunner::SmtpSession smtp;
};
Bindings* bound = nullptr;

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

// ---- the mail ----

py::object compose(py::handle to, py::handle subject, py::handle body, py::handle sender) {
  auto own = [](py::handle h) { return py::reinterpret_borrow<py::object>(h); };
  py::object message = bound->mime_text(text("QZ Mail\n\n") + utf8(own(body)),
                                          text("plain"), text("utf-8"));
  message[text("Subject")] =
      bound->header(text("[QZ Mail] ") + utf8(own(subject)), text("utf-8"));
  message[text("From")] = sender;
  message[text("To")] = to;
  message.attr("add_header")(text("reply-to"), bound->config.QZ_SMTP_REPLYTO());
  return message;
}

// One mail, composed and handed to the SMTP session (which bounds its whole
// exchange by QZ_SMTP_MAIL_TIMEOUT).
void qz_send_mail(py::object to, py::object subject, py::object body) {
  py::object sender = bound->config.QZ_SMTP_SENDER();
  py::object message = compose(to, subject, body, sender);
  bound->smtp.send(sender, to, message.attr("as_string")());
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
               append_str + text("\n\n") + report_str);
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
    bound->smtp.check_settings();
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
  bound->smtp.quit();
  qz::worker::exit_with(served.orderly ? 0 : 1);
}

}  // namespace

QZ_QUEUE_PROGRAM(postrunner, m) {
  bound = new Bindings{
      .mime_text = py::module_::import("email.mime.text").attr("MIMEText"),
      .header = py::module_::import("email.header").attr("Header"),
      .json = qz::host::import_json(),
      .dumptree = py::module_::import("qz.dumptree"),
      .config = qz::contracts::QzConfig::bind(),
      .tool = qz::contracts::QzTool::bind(),
      .smtp = qz::postrunner::SmtpSession(m),
  };
  py::module_::import("optparse");

  m.attr("version") = text("0.010");
  qz::worker::define(m, kWorker);

  m.def("qz_send_mail", &send_mail_operation);
  m.def("main", &main_operation);
  qz::host::run_main_if_main(m);
}
