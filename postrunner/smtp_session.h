// The SMTP side of postrunner: one connection reused from mail to mail and
// everything that moves bytes over it. The session owns
//   - the connection slot, the program module's `smtp` attribute: the open
//     connection (an smtplib.SMTP) or none, visible and replaceable there;
//   - the mail's deadline: one mail's whole exchange (opening the connection
//     and a failure's quit included) takes at most QZ_SMTP_MAIL_TIMEOUT, past
//     which the socket is shut down and the mail fails with socket.timeout;
//   - the reply budget (ReplyLines) on every socket the connection reads from;
//   - the connect itself, through smtplib's private SMTP._get_socket, so that
//     the connect waits no longer than the mail has left and the deadline
//     covers the greeting and an implicit TLS handshake;
//   - TLS (QZ_SMTP_TLS: plain, STARTTLS before anything else is said, or TLS
//     from the first byte), the server's chain and name always checked;
//   - giving a connection up after a failure, and the last quit.
//
// Contract on the reply budget: smtplib reads replies from the connection's
// `file`, and a new socket comes with a new file (smtplib's own starttls()
// makes one without the budget, which is why the session upgrades the
// connection itself). Every socket the connection is given, at connect or by
// a TLS upgrade, goes through read_replies_from(), the one place that
// installs the budget; a later change of the transport must go through it
// too, or the replies on the new socket are read without a limit.
//
// Not copyable; one per program, made when the module loads, never freed (its
// deadline's watcher thread lives as long as the process). The deadline
// watches one socket at a time: one mail at a time.
#pragma once

#include "contracts/qzconfig.h"
#include "host/host.h"
#include "net/socket_deadline.h"

namespace qz::postrunner {

class SmtpSession {
 public:
  // Binds smtplib and the settings, empties the module's `smtp` slot and
  // registers the reply reader's type on the module.
  explicit SmtpSession(py::module_& program);
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;

  // QZ_SMTP_TLS and QZ_SMTP_SSL_CAFILE as every new connection reads them: a
  // value that cannot work raises ValueError naming the setting and its
  // value. Called at start too, so that a bad one is named there.
  void check_settings() const;

  // Sends one mail (`mail`, its text, from `sender` to `to`) over the connection in the
  // slot, or a new one, within the mail's deadline. A failed exchange gives
  // the connection up, so that the next mail opens a fresh one, and raises the
  // mail's own error, or socket.timeout naming QZ_SMTP_MAIL_TIMEOUT when its
  // time ran out; an interrupt or exit request passes through untouched.
  void send(py::handle sender, py::handle to, py::handle mail);

  // The last quit of the connection in the slot, if any, at the service's end:
  // an exchange of its own, bounded like a mail; its failure is not reported.
  void quit();

 private:
  struct MailBudget;
  struct Security;
  class Watching;

  Security security() const;
  py::object connection(const MailBudget& budget);
  void connect(const py::object& opened, const MailBudget& budget, const Security& how);
  void start_tls(const py::object& opened, py::handle host, const Security& how);
  py::object secured(const py::object& opened, py::handle sock, py::handle host,
                     const Security& how);
  static void read_replies_from(const py::object& opened, py::handle sock);
  void drop_connection();
  void watch(py::handle smtp, const MailBudget& budget);
  void arm_deadline(int fd, double seconds);

  py::dict globals_;  // the program module's namespace, which holds the slot
  py::module_ smtplib_;
  contracts::QzConfig config_;
  SocketDeadline deadline_;  // of the exchange in hand
};

}  // namespace qz::postrunner
