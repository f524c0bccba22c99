#include "postrunner/smtp_session.h"

#include "postrunner/reply_lines.h"

#include <chrono>
#include <cmath>
#include <memory>
#include <string>

namespace qz::postrunner {

using host::integer;
using host::is_failure;
using host::text;
using host::throw_error;
using host::truth;

// The time one mail's exchange may take, counted from its start.
struct SmtpSession::MailBudget {
  std::chrono::steady_clock::time_point start;
  double seconds;

  double left() const {
    std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    return seconds - spent.count();
  }
};

namespace {

// QZ_SMTP_TLS: plain (the default), STARTTLS on the plain connection before
// anything else is said, or TLS from the first byte (implicit, port 465).
enum class Tls { kNone, kStartTls, kImplicit };

// The wait a new connection's connect may take: the socket's own time-out
// (None: no limit), but no longer than the mail has left, and never zero
// (which would make the socket non-blocking).
py::object connect_wait(py::handle per_wait, double left) {
  double most = std::fmax(left, 0.001);
  if (!per_wait.is_none() && host::as_double(per_wait) <= most)
    return py::reinterpret_borrow<py::object>(per_wait);
  return py::float_(most);
}

[[noreturn]] void bad_setting(const char* format, py::handle a, py::handle b = py::handle()) {
  py::object values = b ? py::make_tuple(a, b) : py::make_tuple(a);
  throw_error(PyExc_ValueError, text(format).attr("__mod__")(values));
}

// A text setting as a byte string; none and the empty text are "".
py::object text_setting(const contracts::QzConfig& config, const char* name) {
  py::object value = config.setting_or(name, text(""));
  if (value.is_none()) return text("");
  if (PyUnicode_Check(value.ptr())) return value.attr("encode")(text("utf-8"));
  if (!PyString_Check(value.ptr())) {
    std::string format = std::string("setting ") + name + "=%r is not a text";
    bad_setting(format.c_str(), value);
  }
  return value;
}

// The descriptor of an SMTP connection's socket; -1 when it has none (closed).
int socket_of(py::handle smtp) {
  py::object sock = py::getattr(smtp, "sock", py::none());
  if (sock.is_none()) return -1;
  return py::cast<int>(sock.attr("fileno")());
}

// Raised in place of what a socket shut down at the deadline gave smtplib
// (end of file, a reset): the host's socket.timeout, which names the budget.
[[noreturn]] void raise_mail_timeout(double seconds) {
  py::object message = host::steal(PyString_FromFormat(
      "the SMTP exchange of one mail took longer than QZ_SMTP_MAIL_TIMEOUT (%s s)",
      PyString_AS_STRING(host::str_of(py::float_(seconds)).ptr())));
  PyErr_SetObject(py::module_::import("socket").attr("timeout").ptr(), message.ptr());
  throw py::error_already_set();
}

}  // namespace

struct SmtpSession::Security {
  Tls tls = Tls::kNone;
  py::object context;  // ssl.SSLContext; none without TLS
};

// The exchange in hand stays under its deadline until this leaves scope,
// however it ends (an interrupt included).
class SmtpSession::Watching {
 public:
  explicit Watching(SocketDeadline& deadline) : deadline_(deadline) {}
  Watching(const Watching&) = delete;
  Watching& operator=(const Watching&) = delete;
  ~Watching() { deadline_.disarm(); }
  // Ends the watch at once; true when the deadline had passed.
  bool end() { return deadline_.disarm(); }

 private:
  SocketDeadline& deadline_;
};

SmtpSession::SmtpSession(py::module_& program)
    : globals_(py::reinterpret_borrow<py::dict>(program.attr("__dict__"))),
      smtplib_(py::module_::import("smtplib")),
      config_(contracts::QzConfig::bind()) {
  program.attr("smtp") = py::none();
  ReplyLines::define(program);
}

// ---- TLS ----

// With TLS the server's chain and its name (QZ_SMTP_HOST) are always checked,
// against the CA file when one is named, else against the system's store.
SmtpSession::Security SmtpSession::security() const {
  py::object mode = text_setting(config_, "QZ_SMTP_TLS");
  py::object cafile = text_setting(config_, "QZ_SMTP_SSL_CAFILE");
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
        **host::kwargs({{"cafile", truth(cafile) ? cafile : py::none()}}));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_IOError) && !e.matches(ssl.attr("SSLError"))) throw;
    py::object kind = e.value().attr("__class__").attr("__name__");
    py::object reason = kind + text(": ") + host::str_of(e.value());
    bad_setting("setting QZ_SMTP_SSL_CAFILE=%r: no CA could be read from it: %s", cafile, reason);
  }
  return chosen;
}

void SmtpSession::check_settings() const { security(); }

// The one place a connection's replies get their budget: on the file of
// the socket it has just been given.
void SmtpSession::read_replies_from(const py::object& opened, py::handle sock) {
  opened.attr("file") = py::cast(ReplyLines(sock.attr("makefile")(text("rb"))));
}

// `sock` wrapped in TLS for `host`, handshake done (under the deadline the
// caller has armed on its descriptor), and its replies read within their
// budget from here on.
py::object SmtpSession::secured(const py::object& opened, py::handle sock, py::handle host,
                                const Security& how) {
  py::object tls =
      how.context.attr("wrap_socket")(sock, **host::kwargs({{"server_hostname", host}}));
  // A new reader: what the old one had buffered past the server's last
  // plain reply never passes for something the server said under TLS.
  read_replies_from(opened, tls);
  return tls;
}

// STARTTLS on a connection just greeted, before any login: a server that
// does not offer it, or refuses it, fails the mail and nothing else is sent.
void SmtpSession::start_tls(const py::object& opened, py::handle host, const Security& how) {
  opened.attr("ehlo_or_helo_if_needed")();
  if (!truth(opened.attr("has_extn")(text("starttls")))) {
    py::object message = text("the SMTP server %s does not offer STARTTLS (QZ_SMTP_TLS=%r)")
                             .attr("__mod__")(py::make_tuple(host, text("starttls")));
    throw_error(smtplib_.attr("SMTPException"), message);
  }
  py::object reply = opened.attr("docmd")(text("STARTTLS"));
  if (!integer(220).equal(host::at(reply, 0))) {
    PyErr_SetObject(smtplib_.attr("SMTPResponseException").ptr(), reply.ptr());
    throw py::error_already_set();
  }
  opened.attr("sock") = secured(opened, opened.attr("sock"), host, how);
  // What the server said before TLS counts for nothing after it.
  opened.attr("helo_resp") = py::none();
  opened.attr("ehlo_resp") = py::none();
  opened.attr("esmtp_features") = py::dict();
  opened.attr("does_esmtp") = integer(0);
}

// ---- the deadline ----

// Puts the exchange in hand under its deadline; one that cannot be watched
// (no descriptor left to duplicate) does not start.
void SmtpSession::arm_deadline(int fd, double seconds) {
  if (!deadline_.arm(fd, seconds)) {
    PyErr_SetFromErrno(PyExc_OSError);
    throw py::error_already_set();
  }
}

// The deadline of the exchange in hand covers the connection's socket.
void SmtpSession::watch(py::handle smtp, const MailBudget& budget) {
  int fd = socket_of(smtp);
  if (fd >= 0) arm_deadline(fd, budget.left());
}

// ---- the connection ----

// Connects a new connection as SMTP(host, port, timeout=...) would: no
// connect without a host, and a greeting other than 220 refused. The
// connect waits no longer than the mail has left, and from the moment the
// socket exists the exchange's deadline is on it and its replies are read
// within their budget: the greeting is part of the exchange, and so is an
// implicit TLS handshake. With STARTTLS the upgrade follows the greeting.
void SmtpSession::connect(const py::object& opened, const MailBudget& budget,
                          const Security& how) {
  py::object host = config_.QZ_SMTP_HOST();
  if (!truth(host)) return;
  // The name the server's certificate must carry: the host smtplib
  // connects to, without the port it may split off.
  auto server_name = std::make_shared<py::object>(host);
  // Held by the connection only while it connects: the hook refers to the
  // connection, a cycle the host cannot collect.
  py::object make_socket = opened.attr("_get_socket");
  opened.attr("_get_socket") = py::cpp_function(
      [this, opened, make_socket, budget, how, server_name](py::object host, py::object port,
                                                            py::object per_wait) {
        *server_name = host;
        py::object sock = make_socket(host, port, connect_wait(per_wait, budget.left()));
        sock.attr("settimeout")(per_wait);
        arm_deadline(py::cast<int>(sock.attr("fileno")()), budget.left());
        if (how.tls == Tls::kImplicit) return secured(opened, sock, host, how);
        read_replies_from(opened, sock);
        return sock;
      });
  py::object greeting;
  try {
    greeting = opened.attr("connect")(host, config_.QZ_SMTP_PORT());
  } catch (py::error_already_set&) {
    py::delattr(opened, "_get_socket");
    throw;
  }
  py::delattr(opened, "_get_socket");
  if (!integer(220).equal(host::at(greeting, 0))) {
    opened.attr("close")();
    PyErr_SetObject(smtplib_.attr("SMTPConnectError").ptr(), greeting.ptr());
    throw py::error_already_set();
  }
  if (how.tls == Tls::kStartTls) start_tls(opened, *server_name, how);
}

// A connection already open is reused without a new login. A new one is
// stored in the slot at once, then connected and logged in; one that an
// interrupt left half-way is closed and forgotten, never reused. (smtplib
// looks up the machine's own name as it makes the connection, before the
// connect: that lookup is the resolver's, outside the mail's budget.)
py::object SmtpSession::connection(const MailBudget& budget) {
  py::object slot = host::global(globals_, "smtp");
  if (truth(slot)) return slot;
  Security how = security();
  py::object opened =
      smtplib_.attr("SMTP")(**host::kwargs({{"timeout", config_.QZ_SMTP_TIMEOUT()}}));
  globals_[text("smtp")] = opened;
  try {
    connect(opened, budget, how);
    py::object uid = config_.QZ_SMTP_UID();
    if (truth(uid)) opened.attr("login")(uid, config_.QZ_SMTP_PWD());
  } catch (py::error_already_set& e) {
    if (is_failure(e)) throw;  // the caller gives the connection up
    try {
      opened.attr("close")();
    } catch (py::error_already_set& close_error) {
      if (!is_failure(close_error)) throw;
    }
    globals_[text("smtp")] = py::none();
    throw;
  }
  return opened;
}

// After a failed exchange the connection is given up, so that the next mail
// opens a fresh one; its quit may fail too (or find no connection at all).
void SmtpSession::drop_connection() {
  py::object slot = host::global(globals_, "smtp");
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
  globals_[text("smtp")] = py::none();
}

// ---- one mail, the last quit ----

void SmtpSession::send(py::handle sender, py::handle to, py::handle mail) {
  MailBudget budget{std::chrono::steady_clock::now(), config_.smtp_mail_timeout()};
  Watching watching(deadline_);
  try {
    py::object smtp = connection(budget);
    watch(smtp, budget);
    smtp.attr("sendmail")(sender, to, mail);
  } catch (py::error_already_set& e) {
    if (!is_failure(e)) throw;  // an interrupt or exit passes through untouched
    // The mail's own error names the cause, unless its time ran out; the
    // quit that gives the connection up stays within the same time.
    bool timed_out = deadline_.expired() || budget.left() <= 0;
    drop_connection();
    if (timed_out) raise_mail_timeout(budget.seconds);
    throw;
  }
  // Sent; a deadline that passed just after leaves a socket shut down.
  if (watching.end()) drop_connection();
}

void SmtpSession::quit() {
  py::object slot = host::global(globals_, "smtp");
  if (!truth(slot)) return;
  Watching watching(deadline_);
  try {
    watch(slot, {std::chrono::steady_clock::now(), config_.smtp_mail_timeout()});
    slot.attr("quit")();
  } catch (py::error_already_set& e) {
    if (!is_failure(e)) throw;
  }
}

}  // namespace qz::postrunner
